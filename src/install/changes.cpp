// The delta road of an update. The release index lists every entry of every
// part's zip; a part that changed need not come whole: the files that the
// installed version holds with the same size and SHA-256 at the same place
// are linked into the staging folder (copied where links are refused), and
// the local records of the other entries are fetched by byte ranges of the
// part's own zip, written one after another into a small zip of their own
// with a central directory written here, and unpacked by tar like any part.
// Nothing the host sends decides what is written: every record's header must
// be, byte for byte, the one formed from the index (which the signed list's
// digest vouches for) before it goes into the small zip; tar unpacks it into
// the part's own folder, which must then hold exactly the entries wanted,
// each file with its SHA-256, before they are moved into place; and a kept
// file is the very file that was hashed, or it is hashed again where it was
// linked. Whatever goes wrong drops the road for that part, silently: what it
// staged is removed and the part is fetched whole. The installed version is
// only ever read.
#include "setup.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "app/owned.h"
#include "release/index_core.h"

namespace {

enum {
    INDEX_CAP = 64 << 20,  // an index larger than this is not fetched
    WANTED_CAP = 65534,    // the records one zip holds without zip64
    PLACE_CAP = 1400       // an entry's place as bytes: a dir and a name
};

// The release index of this run: asked for once, when the first part needs
// it; empty unless it arrived whole with its digest.
int g_index_asked;
mem_buf g_index;

// An entry of the part: the index's fields, its name in the names pool.
struct kept_entry {
    unsigned offset, length, method, flags, crc32, time, date, compressed, size;
    int folder;
    int wanted;  // its record is fetched; else it is taken from the installed version
    char sha256[65];
    size_t name_at, name_length;
    file_identity hashed;  // a kept file: the installed file that was hashed
    int found;             // a wanted entry: seen in the part's own folder after tar
};

// A part on the road, from its plan until its changes are unpacked and
// checked: at most two at a time (one unpacking, the next one fetched).
struct part_changes {
    int live;
    const setup_list* list;
    unsigned index;
    const install_paths* paths;
    mem_buf entries;  // kept_entry records, in the order of the index
    mem_buf names;
    size_t count;
    size_t wanted;
    unsigned long long records;  // the wanted records' bytes
    size_t directory;            // the central directory's bytes
    range_plan plan;
    unsigned long long firsts[DELTA_MAX_RANGES];
    unsigned long long lasts[DELTA_MAX_RANGES];
    wchar_t installed[PATH_CAP];  // versions\<current tag>
    wchar_t zip[PATH_CAP];        // downloads\<sha256>.changes.zip
    wchar_t own[PATH_CAP];        // the part's own folder in staging, where tar unpacks the zip
    wchar_t partial[PATH_CAP];    // downloads\<sha256>.zip.part, where a whole body goes
};
part_changes g_parts[2];

kept_entry* kept(const part_changes* c, size_t i) {
    return (kept_entry*)c->entries.data + i;
}

void changes_free(part_changes* c) {
    mem_free(&c->entries);
    mem_free(&c->names);
    c->count = 0;
    c->live = 0;
}

part_changes* live_changes(unsigned index) {
    part_changes* c = &g_parts[index & 1];
    return c->live && c->index == index ? c : 0;
}

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
        if (!whole || memcmp(sum, listed, 32) != 0) mem_free(&g_index);
        InterlockedExchange(&g_percent, -1);
    }
    return g_index.data ? &g_index : 0;
}

int keep_entry(const index_entry* e, void* context) {
    part_changes* c = (part_changes*)context;
    kept_entry k;
    memset(&k, 0, sizeof k);
    k.offset = e->offset;
    k.length = e->length;
    k.method = e->method;
    k.flags = e->flags;
    k.crc32 = e->crc32;
    k.time = e->time;
    k.date = e->date;
    k.compressed = e->compressed;
    k.size = e->size;
    k.folder = e->folder;
    memcpy(k.sha256, e->sha256, sizeof k.sha256);
    k.name_at = (size_t)c->names.len;
    k.name_length = e->name_length;
    if (!mem_sink(&c->names, e->name, (DWORD)e->name_length) || !mem_sink(&c->entries, &k, sizeof k)) return 1;
    c->count++;
    return 0;
}

// The entry as the index gave it, for its central directory record.
void entry_of(const part_changes* c, const kept_entry* k, index_entry* e) {
    memset(e, 0, sizeof *e);
    e->folder = k->folder;
    e->offset = k->offset;
    e->length = k->length;
    e->method = k->method;
    e->flags = k->flags;
    e->crc32 = k->crc32;
    e->time = k->time;
    e->date = k->date;
    e->compressed = k->compressed;
    e->size = k->size;
    memcpy(e->sha256, k->sha256, sizeof e->sha256);
    memcpy(e->name, c->names.data + k->name_at, k->name_length);
    e->name_length = k->name_length;
}

// The entry's path below `folder`: as unpacked (`renamed` 0), or where the
// part's top entry has its name. 0 when it does not fit or is no UTF-8.
int place_path(wchar_t out[PATH_CAP], const wchar_t* folder, const part_changes* c, const kept_entry* k,
               int renamed) {
    char place[PLACE_CAP];
    if (!entry_place(place, sizeof place, &c->list->parts[c->index], c->names.data + k->name_at, k->name_length,
                     renamed))
        return 0;
    wchar_t wide[PATH_CAP];
    if (!MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, place, -1, wide, PATH_CAP)) return 0;
    return format_into(out, PATH_CAP, L"%ls\\%ls", folder, wide) >= 0;
}

int folder_there(const wchar_t* path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// 1 when `path` is a plain file of the entry's size and SHA-256 (and its
// identity then in `identity`, when given).
int file_there(const wchar_t* path, const kept_entry* k, file_identity* identity) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        data.nFileSizeHigh || data.nFileSizeLow != k->size)
        return 0;
    char digest[65];
    return file_sha256(path, digest, identity) && strcmp(digest, k->sha256) == 0;
}

// Whether the installed version lacks the entry (one job of a spread).
int wanted_judge(void* context, size_t i) {
    part_changes* c = (part_changes*)context;
    kept_entry* k = kept(c, i);
    wchar_t staged[PATH_CAP];
    wchar_t installed[PATH_CAP];
    if (!place_path(staged, c->paths->staging, c, k, 0) || !place_path(installed, c->installed, c, k, 1))
        return 0;
    k->wanted = k->folder ? !folder_there(installed) : !file_there(installed, k, &k->hashed);
    return 1;
}

// 1 when the entry's record is the header formed from the index and its
// data, nothing else: only such a record can be checked before tar sees it.
int record_plain(const part_changes* c, const kept_entry* k) {
    index_entry e;
    entry_of(c, k, &e);
    return zip_record_plain(&e);
}

// Which entries the installed version lacks, and the ranges that fetch
// their records: 1 when the road is worth taking.
int changes_plan(part_changes* c) {
    memset(&c->plan, 0, sizeof c->plan);
    c->wanted = 0;
    c->records = 0;
    c->directory = ZIP_END_RECORD;
    if (!spread(c->count, wanted_judge, c)) return 0;
    for (size_t i = 0; i < c->count; ++i) {
        kept_entry* k = kept(c, i);
        if (!k->wanted) continue;
        if (++c->wanted > WANTED_CAP || !record_plain(c, k)) return 0;
        c->records += k->length;
        c->directory += ZIP_CENTRAL_HEADER + k->name_length;
        if (range_plan_add(&c->plan, k->offset, k->length)) {
            if (c->plan.ranges > DELTA_MAX_RANGES) return 0;
            c->firsts[c->plan.ranges - 1] = k->offset;
        }
        c->lasts[c->plan.ranges - 1] = c->plan.end - 1;
    }
    return range_plan_worth(&c->plan, c->list->parts[c->index].size);
}

// The road is taken for an update from another complete version (installed,
// with its Builder where the list runs it), with the
// index holding the part, when no earlier attempt left the whole part or a
// piece of it (that goes on as it is), and when the plan is worth it.
int changes_begin(part_changes* c, const setup_list* list, unsigned index, const install_paths* paths,
                  const wchar_t* downloads) {
    const part_record* part = &list->parts[index];
    char current[LIST_TAG_CAP];
    if (!current_tag_read(paths->versions, current) || strcmp(current, list->tag) == 0) return 0;
    wchar_t installed_txt[PATH_CAP];
    wchar_t builder[PATH_CAP];
    if (format_into(c->installed, PATH_CAP, L"%ls\\%hs", paths->versions, current) < 0 ||
        format_into(installed_txt, PATH_CAP, L"%ls\\installed.txt", c->installed) < 0 ||
        format_into(builder, PATH_CAP, L"%ls\\%ls", c->installed, paths->run) < 0 ||
        GetFileAttributesW(installed_txt) == INVALID_FILE_ATTRIBUTES || !builder_ready(builder))
        return 0;
    wchar_t archive[PATH_CAP];
    if (format_into(archive, PATH_CAP, L"%ls\\%hs.zip", downloads, part->sha256) < 0 ||
        format_into(c->partial, PATH_CAP, L"%ls.part", archive) < 0 ||
        format_into(c->zip, PATH_CAP, L"%ls\\%hs.changes.zip", downloads, part->sha256) < 0 ||
        GetFileAttributesW(archive) != INVALID_FILE_ATTRIBUTES ||
        GetFileAttributesW(c->partial) != INVALID_FILE_ATTRIBUTES)
        return 0;
    const mem_buf* body = run_index(list);
    c->list = list;
    c->index = index;
    c->paths = paths;
    return body &&
           index_parse(body->data, (size_t)body->len, part->sha256, part->size, keep_entry, c, 0) == INDEX_OK &&
           changes_plan(c);
}

// Where the bytes of the ranges go: the wanted records, one after another,
// into the small zip, each record's header compared on the way with the one
// formed from the index.
struct records_out {
    part_changes* c;
    HANDLE file;
    unsigned long long at;  // the part's byte that comes next
    size_t next;            // the first entry not yet written whole
    unsigned long long written;
    size_t formed_for;  // 1 + the entry whose header `formed` holds
    size_t formed_length;
    unsigned char formed[ZIP_LOCAL_HEADER + INDEX_NAME_CAP];
};

// 1 when the bytes [from, to) of the entry's record, given at `bytes`, agree
// with the header the index gives it (its data is judged after tar).
int record_bytes_agree(records_out* out, const kept_entry* k, unsigned long long from, unsigned long long to,
                       const unsigned char* bytes) {
    if (out->formed_for != out->next + 1) {
        static index_entry e;  // the worker's alone
        entry_of(out->c, k, &e);
        out->formed_length = zip_local_header(&e, out->formed, sizeof out->formed);
        out->formed_for = out->next + 1;
    }
    unsigned long long header_end = k->offset + (unsigned long long)out->formed_length;
    if (!out->formed_length) return 0;
    if (from >= header_end) return 1;
    unsigned long long end = to < header_end ? to : header_end;
    return memcmp(bytes, out->formed + (from - k->offset), (size_t)(end - from)) == 0;
}

int records_sink(void* context, const void* bytes, DWORD count) {
    unpack_poll();  // the part before this one may be unpacking meanwhile
    records_out* out = (records_out*)context;
    const unsigned char* data = (const unsigned char*)bytes;
    unsigned long long base = out->at;
    unsigned long long end = base + count;
    for (; out->next < out->c->count; ++out->next) {
        const kept_entry* k = kept(out->c, out->next);
        unsigned long long first = k->offset;
        unsigned long long last = first + k->length;
        if (!k->wanted) continue;
        if (first >= end) break;
        unsigned long long from = first > base ? first : base;
        unsigned long long to = last < end ? last : end;
        DWORD wrote = 0;
        if (from < to && (!record_bytes_agree(out, k, from, to, data + (from - base)) ||
                          !WriteFile(out->file, data + (from - base), (DWORD)(to - from), &wrote, 0) ||
                          wrote != to - from))
            return 0;
        out->written += wrote;
        if (last > end) break;  // the record goes on in the next bytes
    }
    out->at = end;
    return 1;
}

// A host that answers a range with the whole part: the body is kept as the
// part's partial download, which the whole road carries on from.
struct whole_out {
    const wchar_t* path;
    owned_handle file{close_file};
};

int whole_sink(void* context, const void* bytes, DWORD count) {
    unpack_poll();
    whole_out* out = (whole_out*)context;
    if (!out->file.valid())
        out->file.reset(CreateFileW(out->path, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN, 0));
    DWORD wrote = 0;
    return out->file.valid() && WriteFile(out->file.get(), bytes, count, &wrote, 0) && wrote == count;
}

// Fetches the planned ranges into the small zip: 0 at the first one that
// does not come exactly as asked for.
int records_fetch(part_changes* c, HANDLE file) {
    const part_record* part = &c->list->parts[c->index];
    static records_out out;  // the worker's alone
    memset(&out, 0, sizeof out);
    out.c = c;
    out.file = file;
    whole_out whole;
    whole.path = c->partial;
    unsigned long long shown = 0;
    for (unsigned r = 0; r < c->plan.ranges; ++r) {
        http_span span = {c->firsts[r], c->lasts[r], part->size, shown, c->plan.bytes, whole_sink, &whole, 0};
        out.at = c->firsts[r];
        g_http_status = 0;
        if (!http_get_span(part->url, records_sink, &out, &span) || span.answer != 206) return 0;
        shown += c->lasts[r] + 1 - c->firsts[r];
        test_point("changes-range");
    }
    return out.written == c->records;
}

// The central directory of the small zip, after its records.
int directory_write(const part_changes* c, HANDLE file) {
    unsigned char* bytes = (unsigned char*)malloc(c->directory);
    if (!bytes) return 0;
    zip_directory z;
    zip_directory_begin(&z, bytes, c->directory);
    static index_entry e;
    unsigned long long at = 0;
    for (size_t i = 0; i < c->count; ++i) {
        const kept_entry* k = kept(c, i);
        if (!k->wanted) continue;
        entry_of(c, k, &e);
        zip_directory_add(&z, &e, at);
        at += k->length;
    }
    size_t size = zip_directory_end(&z, at);
    DWORD wrote = 0;
    int done = size && WriteFile(file, bytes, (DWORD)size, &wrote, 0) && wrote == size;
    free(bytes);
    return done;
}

// A file of the installed version linked (or copied) into the staging folder.
int file_link(const wchar_t* staged, const wchar_t* installed) {
    if (copy_part_tree(installed, staged)) return 1;
    wchar_t parent[PATH_CAP];
    memcpy(parent, staged, (wcslen(staged) + 1) * sizeof(wchar_t));
    if (!qb_home_parent(parent)) return 0;
    make_folders(parent);
    return copy_part_tree(installed, staged);
}

// A kept file where it was linked (or copied) is the one that was hashed,
// unchanged; otherwise it is hashed again there.
int kept_file_same(const wchar_t* staged, const kept_entry* k) {
    owned_handle file(close_file, CreateFileW(staged, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                              FILE_SHARE_DELETE, 0, OPEN_EXISTING, 0, 0));
    file_identity now;
    if (file.valid() && file_identity_of(file.get(), &now) && file_identity_same(&now, &k->hashed)) return 1;
    file.reset(0);
    return file_there(staged, k, 0);
}

// An entry that the installed version holds, put in its place in the
// staging folder (one job of a spread).
int entry_take(void* context, size_t i) {
    const part_changes* c = (const part_changes*)context;
    const kept_entry* k = kept(c, i);
    wchar_t staged[PATH_CAP];
    wchar_t installed[PATH_CAP];
    if (k->wanted) return 1;
    if (!place_path(staged, c->paths->staging, c, k, 0) || !place_path(installed, c->installed, c, k, 1))
        return 0;
    if (!k->folder) return file_link(staged, installed) && kept_file_same(staged, k);
    make_folders(staged);
    return folder_there(staged);
}

// A wanted entry's path in the part's own folder, where tar unpacked it
// (no dir, no rename); 0 when it does not fit or is no UTF-8.
int own_path(wchar_t out[PATH_CAP], const part_changes* c, const kept_entry* k) {
    static part_record bare;  // no dir and no rename: written once, the same every time
    bare.dir[0] = '.';
    char place[PLACE_CAP];
    if (!entry_place(place, sizeof place, &bare, c->names.data + k->name_at, k->name_length, 0)) return 0;
    wchar_t wide[PATH_CAP];
    if (!MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, place, -1, wide, PATH_CAP)) return 0;
    return format_into(out, PATH_CAP, L"%ls\\%ls", c->own, wide) >= 0;
}

// The wanted entries' paths in the part's own folder, in their order by
// path, for the walk after tar.
struct own_place {
    const wchar_t* path;
    kept_entry* entry;
};

int own_place_order(const void* a, const void* b) {
    return wcscmp(((const own_place*)a)->path, ((const own_place*)b)->path);
}

struct own_places {
    path_list paths;
    mem_buf order;  // own_place records, sorted
    size_t count;
};

void own_places_free(own_places* p) {
    path_list_free(&p->paths);
    mem_free(&p->order);
}

int own_places_make(own_places* p, part_changes* c) {
    memset(p, 0, sizeof *p);
    for (size_t i = 0; i < c->count; ++i) {
        kept_entry* k = kept(c, i);
        wchar_t path[PATH_CAP];
        if (!k->wanted) continue;
        if (!own_path(path, c, k) || !path_list_add(&p->paths, path)) return 0;
        own_place place = {0, k};
        if (!mem_sink(&p->order, &place, sizeof place)) return 0;
        k->found = 0;
    }
    p->count = path_list_count(&p->paths);
    own_place* order = (own_place*)p->order.data;
    for (size_t i = 0; i < p->count; ++i) order[i].path = path_list_at(&p->paths, i);
    if (p->count) qsort(order, p->count, sizeof *order, own_place_order);
    return 1;
}

// The first place at or after `path` in their order (the count when none).
size_t own_place_from(const own_places* p, const wchar_t* path) {
    const own_place* order = (const own_place*)p->order.data;
    size_t low = 0, high = p->count;
    while (low < high) {
        size_t middle = low + (high - low) / 2;
        if (wcscmp(order[middle].path, path) < 0) low = middle + 1;
        else high = middle;
    }
    return low;
}

// What the walk found at `path`: a wanted entry of its kind (a file of its
// size), or a folder along one (tar makes the folders an entry's name passes
// through). 0 at anything else.
int own_found(const own_places* p, const wchar_t* path, const WIN32_FIND_DATAW* found) {
    const own_place* order = (const own_place*)p->order.data;
    int is_folder = (found->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (found->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return 0;
    size_t at = own_place_from(p, path);
    if (at < p->count && wcscmp(order[at].path, path) == 0) {
        kept_entry* k = order[at].entry;
        if (k->folder != is_folder || (!is_folder && (found->nFileSizeHigh || found->nFileSizeLow != k->size)))
            return 0;
        k->found = 1;
        return 1;
    }
    // The entries below a folder follow its name and a backslash in the order.
    wchar_t below[PATH_CAP];
    if (!is_folder || format_into(below, PATH_CAP, L"%ls\\", path) < 0) return 0;
    at = own_place_from(p, below);
    return at < p->count && wcsncmp(order[at].path, below, wcslen(below)) == 0;
}

// Everything below `folder` is something own_found takes.
int own_walk(const own_places* p, const wchar_t* folder) {
    wchar_t pattern[PATH_CAP];
    if (!qb_home_join(pattern, PATH_CAP, folder, L"*")) return 0;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    int good = 1;
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
        wchar_t path[PATH_CAP];
        good = qb_home_join(path, PATH_CAP, folder, found.cFileName) && own_found(p, path, &found) &&
               (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || own_walk(p, path));
    } while (good && FindNextFileW(search, &found));
    FindClose(search);
    return good;
}

// A wanted file where tar unpacked it, with its SHA-256 (one job of a spread).
int place_unpacked(void* context, size_t i) {
    const own_places* p = (const own_places*)context;
    const own_place* place = (const own_place*)p->order.data + i;
    return place->entry->folder || file_there(place->path, place->entry, 0);
}

// The part's own folder holds exactly the wanted entries, each file with its
// SHA-256: nothing more, nothing less.
int own_exactly(part_changes* c) {
    own_places p;
    int exactly = own_places_make(&p, c) && own_walk(&p, c->own);
    for (size_t i = 0; exactly && i < p.count; ++i) exactly = ((own_place*)p.order.data)[i].entry->found;
    exactly = exactly && spread(p.count, place_unpacked, &p);
    own_places_free(&p);
    return exactly;
}

}  // namespace

int part_changes_fetch(const setup_list* list, unsigned index, const install_paths* paths,
                       const wchar_t* downloads, wchar_t zip[PATH_CAP]) {
    part_changes* c = &g_parts[index & 1];
    changes_free(c);
    if (!changes_begin(c, list, index, paths, downloads)) {
        changes_free(c);
        return 0;
    }
    status(L"Downloading the changes to part %d of %d (%llu MB)...", (int)index + 1, (int)list->part_count,
           c->plan.bytes >> 20);
    owned_handle file(close_file,
                      CreateFileW(c->zip, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN, 0));
    int fetched = file.valid() && records_fetch(c, file.get()) && directory_write(c, file.get());
    file.reset(0);
    InterlockedExchange(&g_percent, -1);
    if (!fetched) {
        DeleteFileW(c->zip);
        changes_free(c);
        return 0;
    }
    memcpy(zip, c->zip, sizeof c->zip);
    part_own_folder(paths->staging, list, index, c->own);
    c->live = 1;
    return 1;
}

int part_changes_place(unsigned index) {
    part_changes* c = live_changes(index);
    if (!c) return 0;
    if (spread(c->count, entry_take, c)) return 1;
    part_changes_drop(index);
    return 0;
}

int part_changes_check(unsigned index) {
    part_changes* c = live_changes(index);
    if (!c) return 0;
    DeleteFileW(c->zip);
    if (!own_exactly(c)) {
        part_changes_drop(index);
        return 0;
    }
    part_place(c->list, index, c->paths->staging);
    changes_free(c);
    return 1;
}

void part_changes_drop(unsigned index) {
    part_changes* c = live_changes(index);
    if (!c) return;
    DeleteFileW(c->zip);
    rmtree(c->own);
    wchar_t destination[PATH_CAP];
    part_destination(c->paths->staging, &c->list->parts[c->index], destination);
    size_t below = wcslen(destination);
    for (size_t i = 0; i < c->count && below; ++i) {
        const kept_entry* k = kept(c, i);
        wchar_t staged[PATH_CAP];
        if (k->wanted || !place_path(staged, c->paths->staging, c, k, 0)) continue;
        if (k->folder) RemoveDirectoryW(staged);
        else delete_file(staged);
        // Folders left empty go too, up to the part's own folder.
        while (qb_home_parent(staged) && wcslen(staged) > below && RemoveDirectoryW(staged)) {
        }
    }
    changes_free(c);
}
