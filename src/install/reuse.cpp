// Part reuse: a part whose digest the installed version also lists, and whose
// folder is still there, is taken over instead of downloaded. Its files are
// linked into the staging folder (hard links: no data is copied), or copied
// where the volume refuses links (FAT and exFAT sticks). Nothing is moved out
// of the installed version, so it stays whole whatever happens to this run.
// Every failure here is silent and leads to the normal download.
#include "install/changes.h"

#include <string.h>
#include <wchar.h>

#include "home/home.h"

namespace {

int file_take(const wchar_t* source, const wchar_t* destination) {
    return CreateHardLinkW(destination, source, 0) || CopyFileW(source, destination, TRUE);
}

// A tree being taken over: its folders are made as the walk finds them, its
// files (their paths below the root) are linked afterwards, side by side.
// With `listed`, every file and folder the walk finds must be an entry of
// the part with its kind and size, as the index lists them.
struct tree_take {
    const wchar_t* source;
    const wchar_t* destination;
    path_list files;
    const entry_set* listed;
};

int tree_file_job(void* context, size_t i) {
    const tree_take* t = (const tree_take*)context;
    const wchar_t* name = path_list_at(&t->files, i);
    wchar_t source[PATH_CAP];
    wchar_t destination[PATH_CAP];
    return qb_home_join(source, PATH_CAP, t->source, name) &&
           qb_home_join(destination, PATH_CAP, t->destination, name) && file_take(source, destination);
}

// One thing the walk of the source found (links and junctions fail the
// walk): with `listed`, an entry of the part with its kind and size; a folder
// is made at once, a file noted by its path below the root.
int tree_found(void* context, const wchar_t* path, int folder, unsigned long long size) {
    tree_take* t = (tree_take*)context;
    if (t->listed && !entry_set_takes(t->listed, path, folder, size)) return 0;
    const wchar_t* child = path + wcslen(t->source) + 1;
    if (!folder) return path_list_add(&t->files, child);
    wchar_t made[PATH_CAP];
    return qb_home_join(made, PATH_CAP, t->destination, child) && CreateDirectoryW(made, 0);
}

// copy_part_tree, comparing what it finds with `listed` when given.
int tree_copy(const wchar_t* source, const wchar_t* destination, const entry_set* listed) {
    DWORD attributes = GetFileAttributesW(source);
    // The failure value has every bit set and so also refuses a missing source.
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return 0;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return file_take(source, destination);
    if (!CreateDirectoryW(destination, 0)) return 0;
    tree_take t = {source, destination, {}, listed};
    int taken = folder_walk(source, 0, tree_found, &t) && spread(path_list_count(&t.files), tree_file_job, &t);
    path_list_free(&t.files);
    return taken;
}

}  // namespace

int copy_part_tree(const wchar_t* source, const wchar_t* destination) {
    return tree_copy(source, destination, 0);
}

// Where the installed version holds this part, and where it would go in the
// staging folder; 0 when that version does not hold it.
int part_reusable(const setup_list* list, unsigned index, const install_paths* paths,
                  wchar_t source[PATH_CAP], wchar_t destination[PATH_CAP]) {
    const part_record* part = &list->parts[index];
    wchar_t folder[PATH_CAP];
    if (!part_folder(part, folder)) return 0;

    char current[LIST_TAG_CAP];
    if (!current_tag_read(paths->versions, current) || strcmp(current, list->tag) == 0) return 0;

    wchar_t parts_txt[PATH_CAP];
    if (home_path(parts_txt, L"%ls\\%hs\\parts.txt", paths->versions, current) < 0) return 0;
    static char listed[8192];
    DWORD got = 0;
    if (qb_home_bytes(parts_txt, listed, sizeof listed - 1, &got) != 1) return 0;
    listed[got] = 0;
    if (!strstr(listed, part->sha256)) return 0;

    if (home_path(source, L"%ls\\%hs\\%ls", paths->versions, current, folder) < 0 ||
        home_path(destination, L"%ls\\%ls", paths->staging, folder) < 0)
        return 0;
    return GetFileAttributesW(source) != INVALID_FILE_ATTRIBUTES;
}

int part_reuse(const setup_list* list, unsigned index, const install_paths* paths, const wchar_t* source,
               const wchar_t* destination) {
    // A destination that is already there came with an earlier part of this
    // list. Taking the folder over would fail on it, and removing the failed
    // copy would take away what that part brought: download this part instead.
    if (GetFileAttributesW(destination) != INVALID_FILE_ATTRIBUTES) return 0;

    wchar_t parent[PATH_CAP];
    memcpy(parent, destination, (wcslen(destination) + 1) * sizeof(wchar_t));
    if (qb_home_parent(parent)) make_folders(parent);
    // Damage is not inherited: with an index, the folder must hold every
    // entry of the part with its kind and size, and nothing else; a part
    // that does not is healed by the delta road instead.
    entry_set listed = {};
    int check = part_listing(list, index, paths, source, &listed);
    int taken = check >= 0 && tree_copy(source, destination, check ? &listed : 0) &&
                (!check || entry_set_complete(&listed));
    entry_set_free(&listed);
    changes_free(changes_of(index));
    if (!taken) {
        rmtree(destination);  // only links and copies: the source keeps every file
        return 0;
    }
    status(L"Part %d of %d unchanged: kept from the installed version", (int)index + 1,
           (int)list->part_count);
    return 1;
}
