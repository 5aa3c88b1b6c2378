// The release index and the central directory written for its entries. The
// input is an index, held in a buffer of exactly its size; the part asked for
// is the one named by its first "part " line. Every entry yielded must pass
// the entry name rule, lie inside the part after the entry before, and spell
// back to a line of the input byte for byte (the form has one spelling); the
// central directory written for the entries must read back as they are, and
// each entry's local header (what the delta road compares a fetched record
// with) must hold the fields that its directory record holds.
#include <stdint.h>

#include "core/zip_core.h"
#include "fuzz_check.h"
#include "core/index_core.h"

namespace {

struct Seen {
    const char* data;
    size_t size;
    unsigned long long part_size;
    unsigned long long records_end;
    unsigned count;
    index_entry kept[64];
};

int lower_hex(const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (!((s[i] >= '0' && s[i] <= '9') || (s[i] >= 'a' && s[i] <= 'f'))) return 0;
    return 1;
}

// The entry's place below a version, for a part that renames its top entry
// and one that does not: within the buffer, '\\' separators only, none at
// either end, no empty, "." or ".." component, below the part's dir.
void check_places(const index_entry* e) {
    part_record part = {};
    strcpy(part.dir, "StonewakeBuilder/tools");
    strcpy(part.from, "python");
    strcpy(part.to, "renamed");
    for (int renamed = 0; renamed < 2; ++renamed) {
        char* out = poisoned(300);
        size_t n = entry_place(out, 300, &part, e->name, e->name_length, renamed);
        if (n) {
            FUZZ_CHECK(n < 300 && strlen(out) == n, "place of %zu bytes for %s", n, e->name);
            FUZZ_CHECK(strncmp(out, "StonewakeBuilder\\tools\\", 23) == 0, "place %s not below the dir", out);
            FUZZ_CHECK(!strchr(out, '/') && out[n - 1] != '\\' && !strstr(out, "\\\\"), "place %s", out);
            for (const char* c = out; c; c = strchr(c + 1, '\\')) {
                const char* start = *c == '\\' ? c + 1 : c;
                FUZZ_CHECK(strncmp(start, ".\\", 2) != 0 && strcmp(start, ".") != 0 &&
                               strncmp(start, "..\\", 3) != 0 && strcmp(start, "..") != 0,
                           "place %s has a dot component", out);
            }
        }
        free(out);
    }
}

int on_entry(const index_entry* e, void* context) {
    Seen* seen = (Seen*)context;
    FUZZ_CHECK(e->name_length > 0 && e->name_length < INDEX_NAME_CAP && e->name[e->name_length] == 0 &&
                   strlen(e->name) == e->name_length,
               "name of %zu bytes", e->name_length);
    FUZZ_CHECK(entry_name_verdict(e->name, e->name_length) == ENTRY_NAME_OK, "name %s yielded", e->name);
    FUZZ_CHECK(e->folder == (e->name[e->name_length - 1] == '/'), "kind of %s", e->name);
    FUZZ_CHECK(e->method == 0 || e->method == 8, "method %u", e->method);
    FUZZ_CHECK(strlen(e->sha256) == 64 && lower_hex(e->sha256, 64), "digest %s", e->sha256);
    FUZZ_CHECK(e->offset >= seen->records_end, "record at %u before %llu", e->offset, seen->records_end);
    seen->records_end = (unsigned long long)e->offset + e->length;
    FUZZ_CHECK(seen->records_end <= seen->part_size, "record ends at %llu, past %llu", seen->records_end,
               seen->part_size);
    FUZZ_CHECK(e->length >= ZIP_LOCAL_HEADER + e->name_length + e->compressed, "record of %u bytes", e->length);
    // The one spelling of the entry is a line of the input.
    char* line = (char*)malloc(200 + e->name_length);
    int n = snprintf(line, 200, "\n%c %u %u %u %04x %08x %04x %04x %u %u %s ", e->folder ? 'd' : 'f', e->offset,
                     e->length, e->method, e->flags, e->crc32, e->time, e->date, e->compressed, e->size, e->sha256);
    memcpy(line + n, e->name, e->name_length);
    line[n + e->name_length] = '\n';
    FUZZ_CHECK(memmem(seen->data, seen->size, line, (size_t)n + e->name_length + 1) != 0, "entry %s respelt as %.*s",
               e->name, (int)(n + e->name_length), line + 1);
    free(line);
    check_places(e);
    if (seen->count < sizeof seen->kept / sizeof seen->kept[0]) seen->kept[seen->count] = *e;
    seen->count++;
    return 0;
}

// Each entry's local header: signature, the fields the directory record
// holds too (version needed to the name's length), no extra field, the
// name; nothing past the header's size touched; and the record is plain
// exactly when it is that header and the data.
void check_local_headers(const Seen* seen, const unsigned char* directory) {
    unsigned count = seen->count < 64 ? seen->count : 64;
    const unsigned char* record = directory;
    for (unsigned i = 0; i < count; ++i) {
        const index_entry* e = &seen->kept[i];
        size_t size = ZIP_LOCAL_HEADER + e->name_length;
        unsigned char* out = (unsigned char*)poisoned(size + 1);
        FUZZ_CHECK(zip_local_header(e, out, size - 1) == 0 && out[0] == 0xA5, "a header of %zu bytes in %zu", size,
                   size - 1);
        FUZZ_CHECK(zip_local_header(e, out, size) == size, "header of %s", e->name);
        FUZZ_CHECK(zip_get32(out) == ZIP_LOCAL_SIGNATURE &&
                       memcmp(out + ZIP_LOCAL_COMMON, record + ZIP_CENTRAL_COMMON, ZIP_COMMON_BYTES) == 0 &&
                       zip_get16(out + ZIP_LOCAL_EXTRA_LENGTH) == 0 &&
                       memcmp(out + ZIP_LOCAL_HEADER, e->name, e->name_length) == 0,
                   "local header of %s", e->name);
        FUZZ_CHECK(out[size] == 0xA5, "written past the header of %s", e->name);
        int plain = !(e->flags & ZIP_DESCRIPTOR_FLAG) && e->length == size + e->compressed;
        FUZZ_CHECK(zip_record_plain(e) == plain, "%s plain: %d", e->name, zip_record_plain(e));
        record += ZIP_CENTRAL_HEADER + e->name_length;
        free(out);
    }
}

// The entries placed one after another in a new zip: the directory written
// for them holds each one's fields, and nothing past the buffer is touched.
void check_directory(const Seen* seen) {
    unsigned count = seen->count < 64 ? seen->count : 64;
    size_t need = ZIP_END_RECORD;
    for (unsigned i = 0; i < count; ++i) need += ZIP_CENTRAL_HEADER + seen->kept[i].name_length;
    unsigned char* out = (unsigned char*)malloc(need);
    zip_directory z;
    unsigned long long offset = 0;
    for (int short_by = 1; short_by >= 0; --short_by) {
        zip_directory_begin(&z, out, need - short_by);
        offset = 0;
        for (unsigned i = 0; i < count; ++i) {
            zip_directory_add(&z, &seen->kept[i], offset);
            offset += seen->kept[i].length;
        }
        size_t written = zip_directory_end(&z, offset);
        if (short_by) FUZZ_CHECK(written == 0, "a directory of %zu bytes in %zu", need, need - 1);
        else if (offset > INDEX_MAX_VALUE) FUZZ_CHECK(written == 0, "records of %llu bytes without zip64", offset);
        else FUZZ_CHECK(written == need, "directory of %zu bytes, %zu expected", written, need);
    }
    if (offset <= INDEX_MAX_VALUE) {
        const unsigned char* p = out;
        offset = 0;
        for (unsigned i = 0; i < count; ++i) {
            const index_entry* e = &seen->kept[i];
            FUZZ_CHECK(zip_get32(p) == ZIP_CENTRAL_SIGNATURE && zip_get16(p + ZIP_CENTRAL_FLAGS) == e->flags &&
                           zip_get16(p + ZIP_CENTRAL_METHOD) == e->method && zip_get16(p + ZIP_CENTRAL_TIME) == e->time &&
                           zip_get16(p + ZIP_CENTRAL_DATE) == e->date && zip_get32(p + ZIP_CENTRAL_CRC32) == e->crc32 &&
                           zip_get32(p + ZIP_CENTRAL_COMPRESSED) == e->compressed &&
                           zip_get32(p + ZIP_CENTRAL_SIZE) == e->size &&
                           zip_get16(p + ZIP_CENTRAL_NAME_LENGTH) == e->name_length &&
                           zip_get32(p + ZIP_CENTRAL_OFFSET) == offset &&
                           memcmp(p + ZIP_CENTRAL_HEADER, e->name, e->name_length) == 0,
                       "directory record %u of %s", i, e->name);
            offset += e->length;
            p += ZIP_CENTRAL_HEADER + e->name_length;
        }
        FUZZ_CHECK(zip_get32(p) == ZIP_END_SIGNATURE && zip_get16(p + ZIP_END_ENTRIES) == count &&
                       zip_get32(p + ZIP_END_DIRECTORY_SIZE) == (unsigned)(p - out) &&
                       zip_get32(p + ZIP_END_DIRECTORY_OFFSET) == offset,
                   "end record for %u entries", count);
        check_local_headers(seen, out);
    }
    free(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char* copy = (char*)malloc(size ? size : 1);  // exact size: a read past the end shows
    if (size) memcpy(copy, data, size);
    char part[65] = "0000000000000000000000000000000000000000000000000000000000000000";
    const char* named = (const char*)memmem(copy, size, "\npart ", 6);
    if (named && (size_t)(copy + size - named) >= 6 + 64) {
        memcpy(part, named + 6, 64);
        part[64] = 0;
    }
    static const unsigned long long part_sizes[] = {~0ULL, 4096};
    for (unsigned long long part_size : part_sizes) {
        Seen seen;
        memset(&seen, 0, sizeof seen);
        seen.data = copy;
        seen.size = size;
        seen.part_size = part_size;
        size_t bad = 0;
        int verdict = index_parse(copy, size, part, part_size, on_entry, &seen, &bad);
        FUZZ_CHECK(verdict == INDEX_OK || verdict == INDEX_MALFORMED || verdict == INDEX_NO_PART,
                   "verdict %d", verdict);
        FUZZ_CHECK(verdict == INDEX_OK || seen.count == 0, "%u entries yielded, then verdict %d", seen.count,
                   verdict);
        FUZZ_CHECK(verdict != INDEX_MALFORMED || bad >= 1, "malformed without a line");
        // The same verdict without a callback: yielding never judges.
        FUZZ_CHECK(index_parse(copy, size, part, part_size, 0, 0, 0) == verdict, "verdict changes");
        if (verdict == INDEX_OK) check_directory(&seen);
        // Judged whole once, then a part's section read alone: the same verdict and entries.
        size_t whole_bad = 0;
        int whole = index_check(copy, size, &whole_bad);
        FUZZ_CHECK(whole == INDEX_NO_PART || whole == INDEX_MALFORMED, "whole verdict %d", whole);
        if (whole == INDEX_MALFORMED) {
            FUZZ_CHECK(verdict == INDEX_MALFORMED && bad <= whole_bad, "malformed at %zu, then verdict %d at %zu",
                       whole_bad, verdict, bad);
            continue;
        }
        Seen alone;
        memset(&alone, 0, sizeof alone);
        alone.data = copy;
        alone.size = size;
        alone.part_size = part_size;
        FUZZ_CHECK(index_section(copy, size, part, part_size, on_entry, &alone) == verdict, "section verdict");
        FUZZ_CHECK(alone.count == seen.count, "%u entries alone, %u in the whole", alone.count, seen.count);
        for (unsigned i = 0; i < seen.count && i < 64; ++i) {
            const index_entry *a = &alone.kept[i], *b = &seen.kept[i];
            FUZZ_CHECK(a->offset == b->offset && a->length == b->length && a->crc32 == b->crc32 &&
                           a->size == b->size && strcmp(a->name, b->name) == 0 && strcmp(a->sha256, b->sha256) == 0,
                       "entry %u alone differs", i);
        }
    }
    free(copy);
    return 0;
}
