// The one walk over a folder's entries.
#include "base/folder_each.h"

#include <wchar.h>

int is_folder(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

int folder_each(const wchar_t* pattern, folder_entry_fn each, void* context) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND ? 1 : -1;
    int result = 1;
    do {
        const wchar_t* name = found.cFileName;
        if (name[0] == L'.' && (!name[1] || (name[1] == L'.' && !name[2]))) continue;
        if (!each(context, &found)) {
            result = 0;
            break;
        }
    } while (FindNextFileW(search, &found));
    DWORD error = GetLastError();
    if (result && error != ERROR_NO_MORE_FILES) result = 0;
    FindClose(search);
    SetLastError(error);
    return result;
}
