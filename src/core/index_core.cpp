// The release index and the central directory of an assembled zip: bytes
// in, bytes out; no Windows header.
#include "core/index_core.h"

#include <string.h>

namespace {

const char kHeader[] = "tarnwick-index 1";
// The SHA-256 of nothing: a folder's content.
const char kNothing[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// A line of the index: [start, start + length), without its '\n'.
struct cursor {
    const char* p;
    const char* end;
};

int is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// `width` lower-case hex digits, then the field's end (a blank, or the line's end
// when `last`).
int take_hex(cursor* c, size_t width, unsigned* value, char* text) {
    if ((size_t)(c->end - c->p) < width) return 0;
    unsigned v = 0;
    for (size_t i = 0; i < width; ++i) {
        char ch = c->p[i];
        if (!is_hex(ch)) return 0;
        if (text) text[i] = ch;
        else v = (v << 4) | (unsigned)(ch <= '9' ? ch - '0' : ch - 'a' + 10);
    }
    if (text) text[width] = 0;
    if (value) *value = v;
    c->p += width;
    return 1;
}

// A decimal number of 1 to `digits` digits without leading zeros, at most `limit`.
int take_number(cursor* c, size_t digits, unsigned long long limit, unsigned long long* value) {
    unsigned long long v;
    size_t n;
    if (!decimal_read(c->p, (size_t)(c->end - c->p), limit, &v, &n) || n > digits ||
        (n > 1 && c->p[0] == '0'))
        return 0;
    c->p += n;
    *value = v;
    return 1;
}

int take_value(cursor* c, unsigned* value) {
    unsigned long long v;
    if (!take_number(c, 10, INDEX_MAX_VALUE, &v)) return 0;
    *value = (unsigned)v;
    return 1;
}

int take_blank(cursor* c) {
    if (c->p >= c->end || *c->p != ' ') return 0;
    ++c->p;
    return 1;
}

int take_text(cursor* c, const char* text) {
    size_t n = strlen(text);
    if ((size_t)(c->end - c->p) < n || memcmp(c->p, text, n) != 0) return 0;
    c->p += n;
    return 1;
}

// One entry line, judged on its own.
int parse_entry(cursor c, index_entry* e) {
    if (c.p >= c.end || (*c.p != 'f' && *c.p != 'd')) return 0;
    e->folder = *c.p++ == 'd';
    unsigned long long method;
    if (!take_blank(&c) || !take_value(&c, &e->offset) || !take_blank(&c) || !take_value(&c, &e->length) ||
        !take_blank(&c) || !take_number(&c, 1, 8, &method) || !take_blank(&c) ||
        !take_hex(&c, 4, &e->flags, 0) || !take_blank(&c) || !take_hex(&c, 8, &e->crc32, 0) ||
        !take_blank(&c) || !take_hex(&c, 4, &e->time, 0) || !take_blank(&c) ||
        !take_hex(&c, 4, &e->date, 0) || !take_blank(&c) || !take_value(&c, &e->compressed) ||
        !take_blank(&c) || !take_value(&c, &e->size) || !take_blank(&c) ||
        !take_hex(&c, 64, 0, e->sha256) || !take_blank(&c))
        return 0;
    e->method = (unsigned)method;
    size_t n = (size_t)(c.end - c.p);
    if (n == 0 || n >= INDEX_NAME_CAP) return 0;
    memcpy(e->name, c.p, n);
    e->name[n] = 0;
    e->name_length = n;
    if (entry_name_verdict(e->name, n) != ENTRY_NAME_OK) return 0;
    // Deflated or stored, never encrypted (bits 0, 6 and 13).
    if (e->method != 0 && e->method != 8) return 0;
    if (e->flags & ZIP_ENCRYPTED_FLAGS) return 0;
    if (e->method == 0 && e->compressed != e->size) return 0;
    if (e->folder != (e->name[n - 1] == '/')) return 0;
    if (e->folder && (e->size || e->compressed || e->crc32 || strcmp(e->sha256, kNothing) != 0)) return 0;
    // The record holds its fixed header, the name and the data, and at most
    // an extra field and a data descriptor besides.
    unsigned long long least = ZIP_LOCAL_HEADER + n + (unsigned long long)e->compressed;
    if (e->length < least || e->length - least > (unsigned long long)ZIP_FIELD_MAX + ZIP_DESCRIPTOR_MAX) return 0;
    return 1;
}

// One pass over the whole index. With `fn` null it only judges; otherwise it
// yields the part's entries (the index is known to be well formed by then).
// One pass over the index. `skim`: the index was judged whole before, so the
// entry lines of the other parts' sections are only counted, not read.
int run(const char* data, size_t length, const char* part, unsigned long long part_size,
        index_entry_fn fn, void* context, size_t* bad_line, int skim) {
    const char* p = data;
    const char* end = data + length;
    size_t line = 0;
    unsigned long long left = 0;  // entry lines still due in this part section
    int wanted = 0, found = 0;
    unsigned long long records_end = 0;
    size_t bad = 0;
    index_entry entry;
    while (p < end && !bad) {
        const char* eol = (const char*)memchr(p, '\n', (size_t)(end - p));
        bad = line + 1;  // until the line is read whole and found good
        if (!eol) break;  // every line ends in '\n'
        cursor c = {p, eol};
        p = eol + 1;
        ++line;
        if (line == 1) {
            if (!take_text(&c, kHeader) || c.p != c.end) break;
            bad = 0;
            continue;
        }
        if (left == 0) {
            char sha[65];
            if (!take_text(&c, "part ") || !take_hex(&c, 64, 0, sha) || !take_blank(&c) ||
                !take_number(&c, 7, INDEX_MAX_ENTRIES, &left) || c.p != c.end || left == 0)
                break;
            wanted = strcmp(sha, part) == 0;
            if (wanted && found++) break;  // listed twice
            records_end = 0;
            bad = 0;
            continue;
        }
        --left;
        if (skim && !wanted) {
            bad = 0;
            continue;
        }
        if (!parse_entry(c, &entry)) break;
        // Records in ascending order, each after the one before: a record is
        // never fetched twice, and none overlaps another.
        if (entry.offset < records_end) break;
        records_end = (unsigned long long)entry.offset + entry.length;
        if (wanted && records_end > part_size) break;
        bad = 0;
        if (fn && wanted && fn(&entry, context)) return INDEX_STOPPED;
    }
    if (!bad && (line == 0 || left != 0)) bad = line + 1;  // empty, or a section cut short
    if (bad) {
        if (bad_line) *bad_line = bad;
        return INDEX_MALFORMED;
    }
    return found ? INDEX_OK : INDEX_NO_PART;
}

// What the local header and the central directory record share: from the
// version needed to extract to the name's length.
void put_common(unsigned char* p, const index_entry* e) {
    zip_put16(p + ZIP_COMMON_VERSION, e->method == 8 ? 20 : 10);  // needed to extract
    zip_put16(p + ZIP_COMMON_FLAGS, e->flags);
    zip_put16(p + ZIP_COMMON_METHOD, e->method);
    zip_put16(p + ZIP_COMMON_TIME, e->time);
    zip_put16(p + ZIP_COMMON_DATE, e->date);
    zip_put32(p + ZIP_COMMON_CRC32, e->crc32);
    zip_put32(p + ZIP_COMMON_COMPRESSED, e->compressed);
    zip_put32(p + ZIP_COMMON_SIZE, e->size);
    zip_put16(p + ZIP_COMMON_NAME_LENGTH, (unsigned)e->name_length);
}

}  // namespace

int entry_name_verdict(const char* name, size_t length) {
    if (length == 0) return ENTRY_NAME_EMPTY;
    if (name[0] == '/' || name[0] == '\\') return ENTRY_NAME_ROOTED;
    if (memchr(name, ':', length)) return ENTRY_NAME_DRIVE;
    size_t start = 0;
    for (size_t i = 0; i <= length; ++i) {
        unsigned char c = i < length ? (unsigned char)name[i] : '/';
        if (c < 0x20) return ENTRY_NAME_CONTROL;
        if (c != '/' && c != '\\') continue;
        // Windows drops trailing dots and blanks: "..", ". ." and "..." all step upwards.
        size_t k = start;
        while (k < i && (name[k] == '.' || name[k] == ' ')) ++k;
        int dots_only = k == i && i > start;
        if (dots_only && !(i - start == 1 && name[start] == '.')) return ENTRY_NAME_UPWARD;
        start = i + 1;
    }
    return ENTRY_NAME_OK;
}

int index_parse(const char* data, size_t length, const char* part_sha256, unsigned long long part_size,
                index_entry_fn fn, void* context, size_t* bad_line) {
    if ((!data && length) || !part_sha256) return INDEX_MALFORMED;
    int verdict = run(data, length, part_sha256, part_size, 0, 0, bad_line, 0);
    if (verdict != INDEX_OK || !fn) return verdict;
    return run(data, length, part_sha256, part_size, fn, context, 0, 0);
}

int index_check(const char* data, size_t length, size_t* bad_line) {
    if (!data && length) return INDEX_MALFORMED;
    return run(data, length, "", 0, 0, 0, bad_line, 0);
}

int index_section(const char* data, size_t length, const char* part_sha256, unsigned long long part_size,
                  index_entry_fn fn, void* context) {
    if ((!data && length) || !part_sha256) return INDEX_MALFORMED;
    int verdict = run(data, length, part_sha256, part_size, 0, 0, 0, 1);
    if (verdict != INDEX_OK || !fn) return verdict;
    return run(data, length, part_sha256, part_size, fn, context, 0, 1);
}

void zip_directory_begin(zip_directory* z, unsigned char* out, size_t cap) {
    memset(z, 0, sizeof *z);
    z->out = out;
    z->cap = cap;
}

size_t zip_local_header(const index_entry* e, unsigned char* out, size_t cap) {
    size_t size = ZIP_LOCAL_HEADER + e->name_length;
    if (e->name_length >= INDEX_NAME_CAP || cap < size) return 0;
    zip_put32(out, ZIP_LOCAL_SIGNATURE);
    put_common(out + ZIP_LOCAL_COMMON, e);
    zip_put16(out + ZIP_LOCAL_EXTRA_LENGTH, 0);
    memcpy(out + ZIP_LOCAL_HEADER, e->name, e->name_length);
    return size;
}

int zip_record_plain(const index_entry* e) {
    return !(e->flags & ZIP_DESCRIPTOR_FLAG) &&
           e->length == ZIP_LOCAL_HEADER + e->name_length + (unsigned long long)e->compressed;
}

int zip_directory_add(zip_directory* z, const index_entry* e, unsigned long long offset) {
    const size_t size = ZIP_CENTRAL_HEADER + e->name_length;
    if (z->failed || offset < z->records_end || offset > INDEX_MAX_VALUE ||
        offset + e->length > INDEX_MAX_VALUE || z->count >= ZIP_WIDE_COUNT - 1 || e->name_length == 0 ||
        e->name_length >= INDEX_NAME_CAP || z->cap - z->used < size) {
        z->failed = 1;
        return 0;
    }
    unsigned char* p = z->out + z->used;
    zip_put32(p, ZIP_CENTRAL_SIGNATURE);
    zip_put16(p + ZIP_CENTRAL_MADE_BY, 0x0314);  // Unix, zip 2.0 (the modes below)
    put_common(p + ZIP_CENTRAL_COMMON, e);
    zip_put16(p + ZIP_CENTRAL_EXTRA_LENGTH, 0);
    zip_put16(p + ZIP_CENTRAL_COMMENT_LENGTH, 0);
    zip_put16(p + ZIP_CENTRAL_DISK, 0);
    zip_put16(p + ZIP_CENTRAL_INTERNAL, 0);
    zip_put32(p + ZIP_CENTRAL_EXTERNAL, (unsigned long long)(e->folder ? 040755u : 0100644u) << 16);
    zip_put32(p + ZIP_CENTRAL_OFFSET, offset);
    memcpy(p + ZIP_CENTRAL_HEADER, e->name, e->name_length);
    z->used += size;
    z->count++;
    z->records_end = offset + e->length;
    return 1;
}

size_t zip_directory_end(zip_directory* z, unsigned long long directory_offset) {
    if (z->failed || directory_offset < z->records_end || directory_offset > INDEX_MAX_VALUE ||
        z->used > INDEX_MAX_VALUE || directory_offset + z->used > INDEX_MAX_VALUE || z->cap - z->used < ZIP_END_RECORD) {
        z->failed = 1;
        return 0;
    }
    unsigned char* p = z->out + z->used;
    zip_put32(p, ZIP_END_SIGNATURE);
    zip_put16(p + ZIP_END_DISK, 0);
    zip_put16(p + ZIP_END_DIRECTORY_DISK, 0);
    zip_put16(p + ZIP_END_DISK_ENTRIES, z->count);
    zip_put16(p + ZIP_END_ENTRIES, z->count);
    zip_put32(p + ZIP_END_DIRECTORY_SIZE, z->used);
    zip_put32(p + ZIP_END_DIRECTORY_OFFSET, directory_offset);
    zip_put16(p + ZIP_END_COMMENT_LENGTH, 0);
    z->used += ZIP_END_RECORD;
    return z->used;
}

int range_plan_add(range_plan* plan, unsigned long long offset, unsigned long long length) {
    if (plan->ranges && offset >= plan->end && offset - plan->end <= DELTA_MERGED_GAP) {
        plan->bytes += offset + length - plan->end;
        plan->end = offset + length;
        return 0;
    }
    plan->ranges++;
    plan->bytes += length;
    plan->start = offset;
    plan->end = offset + length;
    return 1;
}

int range_plan_worth(const range_plan* plan, unsigned long long part_size) {
    return plan->ranges <= DELTA_MAX_RANGES && plan->bytes <= part_size / 2;
}

namespace {

int same_letters(const char* a, size_t length, const char* b) {
    if (strlen(b) != length) return 0;
    for (size_t i = 0; i < length; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = (char)(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = (char)(y - 'A' + 'a');
        if (x != y) return 0;
    }
    return 1;
}

}  // namespace

size_t entry_place(char* out, size_t cap, const part_record* part, const char* name, size_t length,
                   int renamed) {
    char dir[LIST_NAME_CAP];
    size_t n = layout_relative(dir, part->dir);
    if (n + 1 > cap) return 0;
    memcpy(out, dir, n + 1);
    const size_t dir_length = n;
    int rename = renamed && strcmp(part->from, "-") != 0 && strcmp(part->to, "-") != 0;
    int top = 1;
    for (size_t i = 0; i < length;) {
        size_t start = i;
        while (i < length && name[i] != '/' && name[i] != '\\') ++i;
        const char* component = name + start;
        size_t size = i - start;
        ++i;
        if (size == 0 || (size == 1 && component[0] == '.')) continue;
        if (top && rename && same_letters(component, size, part->from)) {
            component = part->to;
            size = strlen(part->to);
        }
        top = 0;
        if (n + (n != 0) + size + 1 > cap) return 0;
        if (n) out[n++] = '\\';
        memcpy(out + n, component, size);
        out[n += size] = 0;
    }
    return n == dir_length ? 0 : n;
}
