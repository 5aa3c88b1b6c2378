// Removing folders: rmtree, and the version sweep that leaves only the
// current version in the versions folder. A folder is renamed to a .gone name
// before it is deleted, so one in use stays whole under its own name. Links
// are unlinked, never entered, and no shortened path is ever touched.
#include "store/store.h"

#include <string.h>
#include <wchar.h>

#include "base/base.h"
#include "ui/ui.h"
#include "base/folder_each.h"
#include "base/wide.h"

namespace {

// Removal works below the 260-character limit of every other path: a folder
// set aside under a longer name (a .gone or backup name) holds files whose
// paths fit under the old name but not under the new one.
enum { TREE_CAP = 4096 };

int is_link_folder(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}
}  // namespace

int delete_file(const wchar_t* path) {
    if (DeleteFileW(path)) return 1;
    if (GetLastError() != ERROR_ACCESS_DENIED) return 0;
    HANDLE file = CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, 0);
    if (file == INVALID_HANDLE_VALUE) return 0;
    // Windows 10 1809 and later delete past the attribute themselves
    // (FileDispositionInfoEx with FILE_DISPOSITION_FLAG_DELETE and
    // FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE).
    DWORD past_attribute = 0x1 | 0x10;
    int done = SetFileInformationByHandle(file, (FILE_INFO_BY_HANDLE_CLASS)21, &past_attribute,
                                          sizeof past_attribute);
    FILE_BASIC_INFO kept;
    if (!done && GetFileInformationByHandleEx(file, FileBasicInfo, &kept, sizeof kept) &&
        (kept.FileAttributes & FILE_ATTRIBUTE_READONLY)) {
        FILE_BASIC_INFO writable = kept;
        writable.FileAttributes &= ~(DWORD)FILE_ATTRIBUTE_READONLY;
        if (!writable.FileAttributes) writable.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        FILE_DISPOSITION_INFO gone = {TRUE};
        done = SetFileInformationByHandle(file, FileBasicInfo, &writable, sizeof writable) &&
               SetFileInformationByHandle(file, FileDispositionInfo, &gone, sizeof gone);
        SetFileInformationByHandle(file, FileBasicInfo, &kept, sizeof kept);
    }
    CloseHandle(file);
    return done;
}

namespace {

// A tree being removed: the walk notes its files (their long-form paths),
// which then go side by side; its folders go afterwards, deepest first. A
// file that cannot be noted goes at once.
struct tree_removal {
    path_list files;
    path_list folders;  // in the order found: a folder before those below it
};

int file_removal_job(void* context, size_t i) {
    const tree_removal* t = (const tree_removal*)context;
    delete_file(path_list_at(&t->files, i));
    return 1;  // a file that stays keeps its folder, for a later run
}

void removal_walk(tree_removal* t, wchar_t* path, size_t length);

// A folder being walked: its long form fills `path` up to `length`.
struct removal_step {
    tree_removal* t;
    wchar_t* path;
    size_t length;
};

int removal_one(void* context, const WIN32_FIND_DATAW* found) {
    const removal_step* r = (const removal_step*)context;
    wchar_t* path = r->path;
    size_t name = wcslen(found->cFileName);
    if (r->length + 1 + name >= TREE_CAP) return 1;
    path[r->length] = L'\\';
    memcpy(path + r->length + 1, found->cFileName, (name + 1) * sizeof(wchar_t));
    DWORD attributes = found->dwFileAttributes;
    if (is_folder(attributes))
        removal_walk(r->t, path, r->length + 1 + name);
    else if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveDirectoryW(path);  // a junction or folder link: the link alone
    else if (!path_list_add(&r->t->files, path))
        delete_file(path);
    path[r->length] = 0;
    return 1;
}

// Notes the folder whose long form fills `path` up to `length` and what it
// holds. An entry whose path does not fit in the buffer is left, and its
// folder with it, for a later run.
void removal_walk(tree_removal* t, wchar_t* path, size_t length) {
    if (length + 2 >= TREE_CAP) return;
    if (!path_list_add(&t->folders, path)) return;
    // The search pattern in the buffer; each entry's path then takes its place.
    memcpy(path + length, L"\\*", 3 * sizeof(wchar_t));
    removal_step r = {t, path, length};
    folder_each(path, removal_one, &r);
    path[length] = 0;
}

// Empties the folder whose long form fills `path` up to `length` and removes it.
void remove_tree(wchar_t* path, size_t length) {
    tree_removal t = {};
    removal_walk(&t, path, length);
    spread(path_list_count(&t.files), file_removal_job, &t);
    for (size_t i = path_list_count(&t.folders); i-- > 0;) RemoveDirectoryW(path_list_at(&t.folders, i));
    path_list_free(&t.files);
    path_list_free(&t.folders);
}

// A formatted path that fits in PATH_CAP; nothing is done with a cut one.
int fits(int n) {
    return n >= 0 && n < PATH_CAP;
}

int is_gone_name(const wchar_t* name) {
    size_t length = wcslen(name);
    return length >= 6 && wcscmp(name + length - 5, L".gone") == 0;
}

}  // namespace

void rmtree(const wchar_t* folder) {
    // A link given as the top folder is removed itself; what it points to stays.
    if (is_link_folder(GetFileAttributesW(folder))) {
        RemoveDirectoryW(folder);
        return;
    }
    size_t length = wcslen(folder);
    if (length == 0 || length >= PATH_CAP) return;
    wchar_t path[TREE_CAP];
    size_t prefix = 0;
    // The long form takes a path literally: only a plain full path gets it.
    int plain = !wcsstr(folder, L"\\.\\") && !wcsstr(folder, L"\\..\\") && !wcschr(folder, L'/');
    if (plain && folder[1] == L':' && folder[2] == L'\\') {
        memcpy(path, L"\\\\?\\", 4 * sizeof(wchar_t));
        prefix = 4;
    } else if (plain && folder[0] == L'\\' && folder[1] == L'\\' && folder[2] != L'?' &&
               folder[2] != L'.') {
        memcpy(path, L"\\\\?\\UNC", 7 * sizeof(wchar_t));
        prefix = 7;
        ++folder;  // "\\server\share" -> "\\?\UNC\server\share"
        --length;
    }
    memcpy(path + prefix, folder, (length + 1) * sizeof(wchar_t));
    while (length > 3 && path[prefix + length - 1] == L'\\') path[prefix + --length] = 0;
    remove_tree(path, prefix + length);
}

namespace {

struct sweep {
    const wchar_t* versions;
    const char* tag;
    const wchar_t* wide_tag;  // the version that stays (empty: none)
};

int sweep_one(void* context, const WIN32_FIND_DATAW* found) {
    const sweep* s = (const sweep*)context;
    const wchar_t* name = found->cFileName;
    if (!(found->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return 1;
    // The file system ignores letter case, and so does the test for the
    // version folder that stays.
    if (CompareStringOrdinal(name, -1, s->wide_tag, -1, TRUE) == CSTR_EQUAL) return 1;
    if (!s->tag && !is_gone_name(name)) return 1;
    wchar_t path[PATH_CAP];
    wchar_t gone[PATH_CAP];
    if (!fits(format_into(path, PATH_CAP, L"%ls\\%ls", s->versions, name))) return 1;
    if (found->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        RemoveDirectoryW(path);
        return 1;
    }
    if (is_gone_name(name)) {
        rmtree(path);
        return 1;
    }
    if (!fits(format_into(gone, PATH_CAP, L"%ls.gone", path)) || !MoveFileW(path, gone)) return 1;
    test_point("sweep-renamed");
    rmtree(gone);
    return 1;
}

}  // namespace

void version_sweep(const wchar_t* versions, const char* tag) {
    wchar_t wide_tag[LIST_TAG_CAP];
    wide_tag[0] = 0;
    // Without the version that stays, nothing goes.
    if (tag && !tag_wide(tag, wide_tag)) return;
    wchar_t pattern[PATH_CAP];
    // Nothing here ends the run: what does not fit is left for a later one.
    if (!fits(format_into(pattern, PATH_CAP, L"%ls\\*", versions))) return;
    sweep s = {versions, tag, wide_tag};
    folder_each(pattern, sweep_one, &s);
}
