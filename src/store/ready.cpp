// The completeness check of a Builder on disk: only the file system's
// attributes are looked at; nothing is opened. The rule itself (which files,
// the path limits) is in ready_core.cpp.
#include "store/store.h"

namespace {

int present(const wchar_t* path, void* unused) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return 0;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return 0;
    return data.nFileSizeHigh != 0 || data.nFileSizeLow != 0;
}

}  // namespace

int builder_ready(const wchar_t* exe) { return builder_ready_with(exe, present, 0); }
