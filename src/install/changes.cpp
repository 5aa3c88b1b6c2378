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
#include "install/changes.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "base/owned.h"
#include "ui/ui.h"
#include "home/home.h"

namespace {

part_changes g_parts[LIST_MAX_PARTS];

part_changes* live_changes(unsigned index) {
    part_changes* c = changes_of(index);
    return c && c->live ? c : 0;
}

// What hashing has done of what it has to do, for the bar.
struct hash_progress {
    part_changes* c;
    volatile LONG64* hashed;
};

// Whether the installed version lacks the entry (one job of a spread).
int wanted_judge(void* context, size_t i) {
    hash_progress* h = (hash_progress*)context;
    kept_entry* k = kept(h->c, i);
    wchar_t staged[PATH_CAP];
    wchar_t installed[PATH_CAP];
    if (!place_path(staged, h->c->paths->staging, h->c, k, 0, 1) ||
        !place_path(installed, h->c->installed, h->c, k, 1, 1))
        return 0;
    k->wanted = k->folder ? !folder_there(installed) : !file_there(installed, k, &k->hashed);
    if (h->hashed && !k->folder) repair_hashed(InterlockedExchangeAdd64(h->hashed, k->size) + k->size);
    return 1;
}

// 1 when the entry's record is the header formed from the index and its
// data, nothing else: only such a record can be checked before tar sees it.
int record_plain(const part_changes* c, const kept_entry* k) {
    index_entry e;
    entry_of(c, k, &e);
    return zip_record_plain(&e);
}

// Where the part's downloads go; 0 when an earlier attempt left the whole
// part or a piece of it (that goes on as it is).
int changes_files(part_changes* c, const wchar_t* downloads) {
    const part_record* part = &c->list->parts[c->index];
    wchar_t archive[PATH_CAP];
    return format_into(archive, PATH_CAP, L"%ls\\%hs.zip", downloads, part->sha256) >= 0 &&
           format_into(c->partial, PATH_CAP, L"%ls.part", archive) >= 0 &&
           format_into(c->zip, PATH_CAP, L"%ls\\%hs.changes.zip", downloads, part->sha256) >= 0 &&
           GetFileAttributesW(archive) == INVALID_FILE_ATTRIBUTES &&
           GetFileAttributesW(c->partial) == INVALID_FILE_ATTRIBUTES;
}

// The road is taken for an update from another complete version (installed,
// with its Builder where the list runs it), with the index holding the part,
// when no earlier attempt left the whole part or a piece of it, and when the
// plan is worth it.
MAY_END_RUN int changes_begin(part_changes* c, const setup_list* list, unsigned index,
                              const install_paths* paths, const wchar_t* downloads) {
    char current[LIST_TAG_CAP];
    if (!current_tag_read(paths->versions, current) || strcmp(current, list->tag) == 0) return 0;
    wchar_t installed[PATH_CAP];
    wchar_t installed_txt[PATH_CAP];
    wchar_t builder[PATH_CAP];
    if (format_into(installed, PATH_CAP, L"%ls\\%hs", paths->versions, current) < 0 ||
        format_into(installed_txt, PATH_CAP, L"%ls\\installed.txt", installed) < 0 ||
        format_into(builder, PATH_CAP, L"%ls\\%ls", installed, paths->run) < 0 ||
        GetFileAttributesW(installed_txt) == INVALID_FILE_ATTRIBUTES || !builder_ready(builder))
        return 0;
    if (!changes_load(c, list, index, paths, run_index(list))) return 0;
    memcpy(c->installed, installed, sizeof installed);
    return changes_files(c, downloads) && changes_plan(c, 0);
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

MAY_END_RUN int records_sink(void* context, const void* bytes, DWORD count) {
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

MAY_END_RUN int whole_sink(void* context, const void* bytes, DWORD count) {
    unpack_poll();
    whole_out* out = (whole_out*)context;
    if (!out->file.valid())
        out->file.reset(CreateFileW(out->path, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN, 0));
    DWORD wrote = 0;
    return out->file.valid() && WriteFile(out->file.get(), bytes, count, &wrote, 0) && wrote == count;
}

// Fetches the planned ranges into the small zip: 0 at the first one that
// does not come exactly as asked for.
MAY_END_RUN int records_fetch(part_changes* c, HANDLE file) {
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
        http_status_set(0);
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
    if (!place_path(staged, c->paths->staging, c, k, 0, 1) || !place_path(installed, c->installed, c, k, 1, 1))
        return 0;
    if (!k->folder) return file_link(staged, installed) && kept_file_same(staged, k);
    make_folders(staged);
    return folder_there(staged);
}

int own_takes(void* context, const wchar_t* path, int folder, unsigned long long size) {
    return entry_set_takes((const entry_set*)context, path, folder, size);
}

// A wanted file where tar unpacked it, with its SHA-256 (one job of a spread).
int place_unpacked(void* context, size_t i) {
    const set_place* place = entry_set_at((const entry_set*)context, i);
    return place->entry->folder || file_there(place->path, place->entry, 0);
}

// The part's own folder holds exactly the wanted entries, each file with its
// SHA-256: nothing more, nothing less.
int own_exactly(part_changes* c) {
    entry_set set = {};
    int exactly = 1;
    for (size_t i = 0; exactly && i < c->count; ++i) {
        kept_entry* k = kept(c, i);
        wchar_t path[PATH_CAP];
        k->found = 0;
        if (k->wanted) exactly = place_path(path, c->own, c, k, 0, 0) && entry_set_add(&set, path, k);
    }
    entry_set_sort(&set);
    exactly = exactly && folder_walk(c->own, 0, own_takes, &set);
    for (size_t i = 0; exactly && i < set.count; ++i) exactly = entry_set_at(&set, i)->entry->found;
    exactly = exactly && spread(set.count, place_unpacked, &set);
    entry_set_free(&set);
    return exactly;
}

}  // namespace

part_changes* changes_of(unsigned index) {
    return index < LIST_MAX_PARTS ? &g_parts[index] : 0;
}

kept_entry* kept(const part_changes* c, size_t i) {
    return (kept_entry*)c->entries.data + i;
}

void changes_free(part_changes* c) {
    mem_free(&c->entries);
    mem_free(&c->names);
    c->count = 0;
    c->live = 0;
    c->planned = 0;
    c->own[0] = 0;
}

int changes_plan(part_changes* c, volatile LONG64* hashed) {
    memset(&c->plan, 0, sizeof c->plan);
    c->wanted = 0;
    c->records = 0;
    c->directory = ZIP_END_RECORD;
    c->worth = 0;
    hash_progress h = {c, hashed};
    if (!spread(c->count, wanted_judge, &h)) return 0;
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
    c->worth = range_plan_worth(&c->plan, c->list->parts[c->index].size);
    return c->worth;
}

int part_listing(const setup_list* list, unsigned index, const install_paths* paths, const wchar_t* source,
                 entry_set* set) {
    part_changes* c = changes_of(index);
    wchar_t folder[PATH_CAP];
    if (!list->index.url[0] || !part_folder(&list->parts[index], folder) ||
        !changes_load(c, list, index, paths, run_index(list)))
        return 0;
    // The installed version is the source without its part folder.
    size_t whole = wcslen(source), tail = wcslen(folder);
    wchar_t root[PATH_CAP];
    if (whole <= tail + 1 || source[whole - tail - 1] != L'\\' || _wcsicmp(source + whole - tail, folder) != 0)
        return 0;
    memcpy(root, source, (whole - tail - 1) * sizeof(wchar_t));
    root[whole - tail - 1] = 0;
    for (size_t i = 0; i < c->count; ++i) {
        kept_entry* k = kept(c, i);
        wchar_t path[PATH_CAP];
        if (!place_path(path, root, c, k, 1, 1)) return -1;
        k->found = _wcsicmp(path, source) == 0;  // the part's folder itself
        if (!k->found && !entry_set_add(set, path, k)) return -1;
    }
    entry_set_sort(set);
    return 1;
}

int part_changes_fetch(const setup_list* list, unsigned index, const install_paths* paths,
                       const wchar_t* downloads, wchar_t zip[PATH_CAP]) {
    part_changes* c = changes_of(index);
    int planned = c->planned && c->worth && changes_files(c, downloads);
    if (!planned && (c->planned || !changes_begin(c, list, index, paths, downloads))) {
        changes_free(c);
        return 0;
    }
    c->planned = 0;
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

int part_changes_keep(unsigned index) {
    part_changes* c = changes_of(index);
    if (!c->planned || !c->worth || c->wanted) return 0;
    c->planned = 0;
    c->live = 1;
    if (!part_changes_place(index)) return 0;
    wchar_t destination[PATH_CAP];
    part_destination(c->paths->staging, &c->list->parts[index], destination);
    part_top_rename(c->list, index, destination);
    changes_free(c);
    return 1;
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
    if (c->own[0]) rmtree(c->own);
    wchar_t destination[PATH_CAP];
    part_destination(c->paths->staging, &c->list->parts[c->index], destination);
    size_t below = wcslen(destination);
    for (size_t i = 0; i < c->count && below; ++i) {
        const kept_entry* k = kept(c, i);
        wchar_t staged[PATH_CAP];
        if (k->wanted || !place_path(staged, c->paths->staging, c, k, 0, 1)) continue;
        if (k->folder) RemoveDirectoryW(staged);
        else delete_file(staged);
        // Folders left empty go too, up to the part's own folder.
        while (qb_home_parent(staged) && wcslen(staged) > below && RemoveDirectoryW(staged)) {
        }
    }
    changes_free(c);
}
