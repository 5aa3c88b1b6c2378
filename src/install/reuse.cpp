// Part reuse: a part whose digest the installed version also lists, and whose
// folder is still there, is taken over instead of downloaded. Its files are
// linked into the staging folder (hard links: no data is copied), or copied
// where the volume refuses links (FAT and exFAT sticks). Nothing is moved out
// of the installed version, so it stays whole whatever happens to this run.
// Every failure here is silent and leads to the normal download.
#include "setup.h"

#include <string.h>
#include <wchar.h>

#include "app/owned.h"

namespace {

void close_search(void* search) {
    FindClose(search);
}

}  // namespace

int copy_part_tree(const wchar_t* source, const wchar_t* destination) {
    DWORD attributes = GetFileAttributesW(source);
    // Links and junctions are never followed or copied; the failure value has
    // every bit set and so also refuses a missing source.
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return 0;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return CreateHardLinkW(destination, source, 0) || CopyFileW(source, destination, TRUE);
    if (!CreateDirectoryW(destination, 0)) return 0;
    size_t source_length = wcslen(source);
    size_t destination_length = wcslen(destination);
    if (source_length >= 258) return 0;
    wchar_t pattern[PATH_CAP];
    format_into(pattern, PATH_CAP, L"%ls\\*", source);
    WIN32_FIND_DATAW found;
    owned_handle search(close_search, FindFirstFileW(pattern, &found));
    if (!search.valid()) return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        const wchar_t* name = found.cFileName;
        if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0) continue;
        size_t name_length = wcslen(name);
        wchar_t child_source[PATH_CAP];
        wchar_t child_destination[PATH_CAP];
        if (source_length + name_length + 2 > PATH_CAP ||
            destination_length + name_length + 2 > PATH_CAP)
            return 0;
        qb_home_join(child_source, PATH_CAP, source, name);
        qb_home_join(child_destination, PATH_CAP, destination, name);
        if (!copy_part_tree(child_source, child_destination)) return 0;
    } while (FindNextFileW(search.get(), &found));
    return GetLastError() == ERROR_NO_MORE_FILES;
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

int part_reuse(const setup_list* list, unsigned index, const wchar_t* source,
               const wchar_t* destination) {
    // A destination that is already there came with an earlier part of this
    // list. Taking the folder over would fail on it, and removing the failed
    // copy would take away what that part brought: download this part instead.
    if (GetFileAttributesW(destination) != INVALID_FILE_ATTRIBUTES) return 0;

    wchar_t parent[PATH_CAP];
    memcpy(parent, destination, (wcslen(destination) + 1) * sizeof(wchar_t));
    if (qb_home_parent(parent)) make_folders(parent);
    if (!copy_part_tree(source, destination)) {
        rmtree(destination);  // only links and copies: the source keeps every file
        return 0;
    }
    status(L"Part %d of %d unchanged: kept from the installed version", (int)index + 1,
           (int)list->part_count);
    return 1;
}
