// Putting an unpacked part in place. Each part's tar unpacks into a folder of
// its own inside the staging folder; once it and every part before it are
// unpacked, its entries are moved below its `dir` (a folder that is there
// already merged file by file; otherwise the later part's entry wins, a file
// over a folder as a folder over a file, as tar overwrites) and its top entry
// gets its name: the tree that one tar after the other into `dir` gives.
#include "install/install.h"

#include <string.h>
#include <wchar.h>

#include "base/base.h"
#include "home/home.h"
#include "base/wide.h"
#include "base/folder_each.h"

namespace {

// The run's rename failure, for part `index` and the entry `name`.
SETUP_NORETURN void place_fail(const setup_list* list, unsigned index, const wchar_t* name,
                               DWORD error) SETUP_NORETURN_AFTER;
void place_fail(const setup_list* list, unsigned index, const wchar_t* name, DWORD error) {
    int n = (int)index + 1;
    int count = (int)list->part_count;
    unpack_failing(index);
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
        fail(L"Could not set up part %d of %d (renaming %ls, Windows error %lu). Another program is "
             L"holding the files just unpacked, often an antivirus scan: run the setup again, and if "
             L"it happens again allow the folder %ls in it.",
             n, count, name, error, g_home.path);
    fail(L"Could not set up part %d of %d (renaming %ls, Windows error %lu).", n, count, name, error);
}

int child_path(wchar_t out[PATH_CAP], const wchar_t* folder, const wchar_t* name) {
    if (!qb_home_join(out, PATH_CAP, folder, name)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    return 1;
}

int merge_into(const wchar_t* source, const wchar_t* target, wchar_t failed[PATH_CAP]);

// Removes what an earlier part left at `target` (of the `there` attributes):
// a folder with all below it (a link alone), or a file. Another process
// holding it, or a file inside the folder, is waited out as a rename waits
// for it. 0 with the last error set when it stays.
int earlier_remove(const wchar_t* target, DWORD there) {
    for (int tries = 1;; ++tries) {
        DWORD error;
        if (there & FILE_ATTRIBUTE_DIRECTORY) {
            rmtree(target);
            if (RemoveDirectoryW(target)) return 1;
        } else if (delete_file(target)) {
            return 1;
        }
        error = GetLastError();
        if (GetFileAttributesW(target) == INVALID_FILE_ATTRIBUTES) return 1;
        if (!held_retry(tries, error, ERROR_DIR_NOT_EMPTY)) return 0;
    }
}

// Moves `source` to `target`. A folder onto a folder is merged; otherwise
// the entry takes the place of what is there. What is there goes first when
// it is a folder, the entry is one, or it is a read-only file (tar unlinks an
// existing file, so a link into the installed version keeps its own content
// and attributes).
int move_entry(const wchar_t* source, const wchar_t* target, wchar_t failed[PATH_CAP]) {
    DWORD there = GetFileAttributesW(target);
    if (there == INVALID_FILE_ATTRIBUTES) return move_with_retries(source, target, 0);
    int folder = is_folder(GetFileAttributesW(source));
    if (is_folder(there) && folder) return merge_into(source, target, failed);
    if ((folder || (there & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY))) &&
        !earlier_remove(target, there))
        return 0;
    return move_with_retries(source, target, MOVEFILE_REPLACE_EXISTING);
}

struct merge {
    const wchar_t* source;
    const wchar_t* target;
    wchar_t* failed;
};

int merge_one(void* context, const WIN32_FIND_DATAW* found) {
    const merge* m = (const merge*)context;
    wchar_t from[PATH_CAP];
    wchar_t to[PATH_CAP];
    int moved = child_path(from, m->source, found->cFileName) && child_path(to, m->target, found->cFileName) &&
                move_entry(from, to, m->failed);
    if (!moved && !m->failed[0]) wcscpy(m->failed, found->cFileName);
    return moved;
}

// One pass over the folder `source`, each entry moved into `target`. 0 with
// the last error set and the entry's name in `failed` at the first that could
// not be moved. A listing that broke off counts as a pass: the folder is then
// not empty, and another pass follows.
int merge_pass(const wchar_t* source, const wchar_t* target, wchar_t failed[PATH_CAP]) {
    wchar_t pattern[PATH_CAP];
    if (!child_path(pattern, source, L"*")) return 0;
    merge m = {source, target, failed};
    int listed = folder_each(pattern, merge_one, &m);
    return listed > 0 || (listed == 0 && !failed[0]);
}

// Removes the folder `source` emptied by a pass, waiting out another process
// that holds it (an antivirus scanning it): 1 when it is gone, -1 when it is
// not empty yet, 0 with the last error set when it stays.
int emptied_remove(const wchar_t* source) {
    for (int tries = 1;; ++tries) {
        if (RemoveDirectoryW(source)) return 1;
        DWORD error = GetLastError();
        if (error == ERROR_DIR_NOT_EMPTY) return -1;
        if (GetFileAttributesW(source) == INVALID_FILE_ATTRIBUTES) return 1;
        if (!held_retry(tries, error, 0)) return 0;
    }
}

// Every entry of the folder `source` moved into the folder `target`, then
// `source` removed: one that stays would be published with the version. A
// search need not list what was added or removed while it ran, so passes go
// on until the folder is empty (a few at most).
int merge_into(const wchar_t* source, const wchar_t* target, wchar_t failed[PATH_CAP]) {
    for (int pass = 0; pass < 8; ++pass) {
        if (!merge_pass(source, target, failed)) return 0;
        int removed = emptied_remove(source);
        if (removed == 1) return 1;
        if (removed == 0) {
            const wchar_t* name = wcsrchr(source, L'\\');
            wcscpy(failed, name ? name + 1 : source);
            return 0;
        }
    }
    wcscpy(failed, L".");
    SetLastError(ERROR_DIR_NOT_EMPTY);
    return 0;
}

}  // namespace

void part_destination(const wchar_t* staging, const part_record* part, wchar_t out[PATH_CAP]) {
    char dir[LIST_NAME_CAP];
    if (!layout_relative(dir, part->dir)) work_path(out, L"%ls", staging);
    else work_path(out, L"%ls\\%hs", staging, dir);
}

void part_own_folder(const wchar_t* staging, const setup_list* list, unsigned index,
                     wchar_t out[PATH_CAP]) {
    // No release names its content so: a digest's start and the part's number.
    work_path(out, L"%ls\\%.16hs~%u.unpacking", staging, list->parts[index].sha256, index + 1);
}

void part_place(const setup_list* list, unsigned index, const wchar_t* staging) {
    wchar_t own[PATH_CAP];
    wchar_t destination[PATH_CAP];
    part_own_folder(staging, list, index, own);
    part_destination(staging, &list->parts[index], destination);
    make_folders(destination);
    wchar_t failed[PATH_CAP] = {};
    if (GetFileAttributesW(own) != INVALID_FILE_ATTRIBUTES && !merge_into(own, destination, failed))
        place_fail(list, index, failed, GetLastError());
    test_point("part-placing");  // its entries in place, its top entry not yet named
    part_top_rename(list, index, destination);
}

void part_top_rename(const setup_list* list, unsigned index, const wchar_t* destination) {
    const part_record* part = &list->parts[index];
    if (strcmp(part->from, "-") == 0 || strcmp(part->to, "-") == 0) return;
    wchar_t from[PATH_CAP];
    wchar_t to[PATH_CAP];
    // Names that passed the name rule; one that did not convert is refused.
    if (!utf8_wide(part->from, from, PATH_CAP) || !utf8_wide(part->to, to, PATH_CAP)) fail(list_name_refused);
    wchar_t source[PATH_CAP];
    wchar_t target[PATH_CAP];
    work_path(source, L"%ls\\%ls", destination, from);
    work_path(target, L"%ls\\%ls", destination, to);
    if (GetFileAttributesW(target) != INVALID_FILE_ATTRIBUTES) return;
    if (move_with_retries(source, target, 0)) return;
    place_fail(list, index, from, GetLastError());
}
