// A part's entries as the release index lists them: the index fetched once a
// run, a part's section read into its entries, each entry's place below a
// folder, the tests of what is there, and the sorted set of places that the
// walk of a folder looks up what it finds in.
#include "install/changes.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "base/owned.h"
#include "ui/ui.h"
#include "home/home.h"
#include "base/folder_each.h"

namespace {

// The release index of this run: asked for once, when the first part needs
// it; empty unless it arrived whole with its digest.
int g_index_asked;
mem_buf g_index;

int keep_entry(const index_entry* e, void* context) {
    part_changes* c = (part_changes*)context;
    kept_entry k;
    memset(&k, 0, sizeof k);
    static_cast<index_fields&>(k) = *e;
    k.name_at = (size_t)c->names.len;
    if (!mem_sink(&c->names, e->name, (DWORD)e->name_length) || !mem_sink(&c->entries, &k, sizeof k)) return 1;
    c->count++;
    return 0;
}

}  // namespace

const mem_buf* run_index(const setup_list* list) {
    if (!g_index_asked) {
        g_index_asked = 1;
        const part_record* line = &list->index;
        if (!line->url[0] || line->size == 0 || line->size > INDEX_CAP) return 0;
        unsigned char listed[32];
        unsigned char sum[32];
        int whole = http_get(line->url, mem_sink, &g_index, line->size, 0) && g_index.data &&
                    hex_bytes(line->sha256, 32, listed);
        if (whole) sha256_of(g_index.data, (size_t)g_index.len, sum);
        // Judged whole once; each part's section is then read alone.
        if (!whole || memcmp(sum, listed, 32) != 0 ||
            index_check(g_index.data, (size_t)g_index.len, 0) != INDEX_NO_PART)
            mem_free(&g_index);
        InterlockedExchange(&g_percent, -1);
    }
    return g_index.data ? &g_index : 0;
}

int changes_load(part_changes* c, const setup_list* list, unsigned index, const install_paths* paths,
                 const mem_buf* body) {
    changes_free(c);
    c->list = list;
    c->index = index;
    c->paths = paths;
    const part_record* part = &list->parts[index];
    return body &&
           index_section(body->data, (size_t)body->len, part->sha256, part->size, keep_entry, c) == INDEX_OK;
}

void entry_of(const part_changes* c, const kept_entry* k, index_entry* e) {
    memset(e, 0, sizeof *e);
    static_cast<index_fields&>(*e) = *k;
    memcpy(e->name, c->names.data + k->name_at, k->name_length);
}

int place_path(wchar_t out[PATH_CAP], const wchar_t* folder, const part_changes* c, const kept_entry* k,
               int renamed, int dir) {
    static part_record bare;  // no dir and no rename: written once, the same every time
    bare.dir[0] = '.';
    char place[PLACE_CAP];
    if (!entry_place(place, sizeof place, dir ? &c->list->parts[c->index] : &bare, c->names.data + k->name_at,
                     k->name_length, renamed))
        return 0;
    wchar_t wide[PATH_CAP];
    if (!MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, place, -1, wide, PATH_CAP)) return 0;
    return format_into(out, PATH_CAP, L"%ls\\%ls", folder, wide) >= 0;
}

int folder_there(const wchar_t* path) {
    return is_folder(GetFileAttributesW(path));
}

int file_there(const wchar_t* path, const kept_entry* k, file_identity* identity) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        data.nFileSizeHigh || data.nFileSizeLow != k->size)
        return 0;
    char digest[65];
    return file_sha256(path, digest, identity) && strcmp(digest, k->sha256) == 0;
}

// ---- the sorted set of places ------------------------------------------------

namespace {

int place_order(const void* a, const void* b) {
    return wcscmp(((const set_place*)a)->path, ((const set_place*)b)->path);
}

// The first place at or after `path` in their order (the count when none).
size_t place_from(const entry_set* s, const wchar_t* path) {
    size_t low = 0, high = s->count;
    while (low < high) {
        size_t middle = low + (high - low) / 2;
        if (wcscmp(entry_set_at(s, middle)->path, path) < 0) low = middle + 1;
        else high = middle;
    }
    return low;
}

}  // namespace

int entry_set_add(entry_set* s, const wchar_t* path, kept_entry* entry) {
    set_place place = {0, entry};
    return path_list_add(&s->paths, path) && mem_sink(&s->order, &place, sizeof place);
}

void entry_set_sort(entry_set* s) {
    s->count = path_list_count(&s->paths);
    set_place* order = (set_place*)s->order.data;
    for (size_t i = 0; i < s->count; ++i) order[i].path = path_list_at(&s->paths, i);
    if (s->count) qsort(order, s->count, sizeof *order, place_order);
}

const set_place* entry_set_at(const entry_set* s, size_t i) {
    return (const set_place*)s->order.data + i;
}

int entry_set_takes(const entry_set* s, const wchar_t* path, int folder, unsigned long long size) {
    size_t at = place_from(s, path);
    if (at < s->count && wcscmp(entry_set_at(s, at)->path, path) == 0) {
        kept_entry* k = entry_set_at(s, at)->entry;
        if (k->folder != folder || (!folder && size != k->size)) return 0;
        k->found = 1;
        return 1;
    }
    // The entries below a folder follow its name and a backslash in the order.
    wchar_t below[PATH_CAP];
    if (!folder || format_into(below, PATH_CAP, L"%ls\\", path) < 0) return 0;
    at = place_from(s, below);
    return at < s->count && wcsncmp(entry_set_at(s, at)->path, below, wcslen(below)) == 0;
}

int entry_set_complete(const entry_set* s) {
    for (size_t i = 0; i < s->count; ++i)
        if (!entry_set_at(s, i)->entry->found) return 0;
    return 1;
}

void entry_set_free(entry_set* s) {
    path_list_free(&s->paths);
    mem_free(&s->order);
    s->count = 0;
}

namespace {

struct walk {
    const wchar_t* folder;
    const wchar_t* const* spared;
    int (*takes)(void* context, const wchar_t* path, int folder, unsigned long long size);
    void* context;
};

int walk_one(void* context, const WIN32_FIND_DATAW* found) {
    const walk* w = (const walk*)context;
    const wchar_t* name = found->cFileName;
    for (const wchar_t* const* s = w->spared; s && *s; ++s)
        if (_wcsicmp(*s, name) == 0) return 1;
    wchar_t path[PATH_CAP];
    int folder = (found->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    unsigned long long size = ((unsigned long long)found->nFileSizeHigh << 32) | found->nFileSizeLow;
    return !(found->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && qb_home_join(path, PATH_CAP, w->folder, name) &&
           w->takes(w->context, path, folder, size) && (!folder || folder_walk(path, 0, w->takes, w->context));
}

}  // namespace

int folder_walk(const wchar_t* folder, const wchar_t* const* spared,
                int (*takes)(void* context, const wchar_t* path, int folder, unsigned long long size),
                void* context) {
    wchar_t pattern[PATH_CAP];
    if (!qb_home_join(pattern, PATH_CAP, folder, L"*")) return 0;
    walk w = {folder, spared, takes, context};
    return folder_each(pattern, walk_one, &w) > 0;
}
