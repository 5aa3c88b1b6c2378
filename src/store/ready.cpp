// The completeness check of a Builder: its executable and the twelve files of
// its self-contained runtime, each present as a non-empty file. Only the file
// system's attributes are looked at; nothing is opened.
#include "setup.h"

#include <string.h>
#include <wchar.h>

namespace {

int present(const wchar_t* path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return 0;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return 0;
    return data.nFileSizeHigh != 0 || data.nFileSizeLow != 0;
}

}  // namespace

int builder_ready(const wchar_t* exe) {
    static const wchar_t* const required[] = {
        L"StonewakeBuilder.dll",       L"StonewakeBuilder.deps.json",
        L"StonewakeBuilder.runtimeconfig.json", L"hostfxr.dll",
        L"hostpolicy.dll",             L"coreclr.dll",
        L"System.Private.CoreLib.dll", L"WindowsBase.dll",
        L"PresentationCore.dll",       L"PresentationFramework.dll",
        L"PresentationNative_cor3.dll", L"wpfgfx_cor3.dll"};
    size_t length = wcslen(exe);
    if (length >= PATH_CAP) return 0;
    wchar_t path[PATH_CAP];
    memcpy(path, exe, (length + 1) * sizeof(wchar_t));
    wchar_t* slash = wcsrchr(path, L'\\');
    if (!slash) return 0;
    if (!present(path)) return 0;
    size_t folder = (size_t)(slash - path) + 1;
    for (size_t i = 0; i < sizeof required / sizeof required[0]; ++i) {
        size_t name = wcslen(required[i]);
        if (folder + name > PATH_CAP - 1) return 0;
        memcpy(slash + 1, required[i], (name + 1) * sizeof(wchar_t));
        if (!present(path)) return 0;
    }
    return 1;
}
