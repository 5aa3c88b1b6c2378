// Removing folders: rmtree, and the version sweep that leaves only the
// current version in the versions folder. A folder is renamed to a .gone name
// before it is deleted, so one in use stays whole under its own name. Links
// are unlinked, never entered, and no shortened path is ever touched.
#include "setup.h"

#include <wchar.h>

namespace {

int is_dots(const wchar_t* name) {
    return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0;
}

int is_link_folder(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

}  // namespace

void rmtree(const wchar_t* folder) {
    // A link given as the top folder is removed itself; what it points to stays.
    if (is_link_folder(GetFileAttributesW(folder))) {
        RemoveDirectoryW(folder);
        return;
    }
    wchar_t pattern[PATH_CAP];
    WIN32_FIND_DATAW found;
    HANDLE search = INVALID_HANDLE_VALUE;
    if (home_path(pattern, L"%ls\\*", folder) >= 0) search = FindFirstFileW(pattern, &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (is_dots(found.cFileName)) continue;
            wchar_t child[PATH_CAP];
            if (home_path(child, L"%ls\\%ls", folder, found.cFileName) < 0) continue;
            DWORD attributes = found.dwFileAttributes;
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                rmtree(child);
            } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveDirectoryW(child);  // a junction or folder link: the link alone
            } else {
                SetFileAttributesW(child, FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child);
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder);
}

void version_sweep(const wchar_t* versions, const char* tag) {
    wchar_t wide_tag[LIST_TAG_CAP];
    MultiByteToWideChar(CP_UTF8, 0, tag, -1, wide_tag, LIST_TAG_CAP);
    wchar_t pattern[PATH_CAP];
    if (home_path(pattern, L"%ls\\*", versions) < 0) return;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const wchar_t* name = found.cFileName;
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || is_dots(name)) continue;
        // The file system ignores letter case, and so does the test for the
        // version folder that stays.
        if (CompareStringOrdinal(name, -1, wide_tag, -1, TRUE) == CSTR_EQUAL) continue;
        wchar_t path[PATH_CAP];
        wchar_t gone[PATH_CAP];
        if (home_path(path, L"%ls\\%ls", versions, name) < 0) continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            RemoveDirectoryW(path);
            continue;
        }
        size_t length = wcslen(name);
        if (length >= 6 && wcscmp(name + length - 5, L".gone") == 0) {
            rmtree(path);
            continue;
        }
        if (home_path(gone, L"%ls.gone", path) < 0) continue;
        if (MoveFileW(path, gone)) rmtree(gone);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}
