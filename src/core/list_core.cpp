// The setup list: parsing, validation and the name rule for everything that
// comes from outside. Bytes in, bytes out; no Windows header.
#include "core/core.h"

#include <string.h>

namespace {

int is_blank(char c) {
    // The blanks that a scanf conversion skips.
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int is_name_byte(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
           c == '.' || c == '_' || c == '+' || c == '-';
}

// A string field of at most `width` non-blank bytes, like "%<width>s": blanks
// before it are skipped, the rest of a longer run stays for the next field.
// Returns 0 when no byte could be taken.
int take_string(const char** cursor, char* out, size_t width) {
    const char* p = *cursor;
    while (*p && is_blank(*p)) ++p;
    size_t n = 0;
    while (*p && !is_blank(*p) && n < width) out[n++] = *p++;
    if (n == 0) return 0;
    out[n] = 0;
    *cursor = p;
    return 1;
}

// An unsigned decimal number like "%llu": blanks skipped, digits taken up to
// the first other byte. A value beyond 64 bits saturates, so that it can never
// wrap round to a small size.
int take_number(const char** cursor, unsigned long long* out) {
    const char* p = *cursor;
    while (*p && is_blank(*p)) ++p;
    size_t digits;
    if (!decimal_read(p, strlen(p), ~0ULL, out, &digits)) {
        if (digits == 0) return 0;
        *out = ~0ULL;
    }
    *cursor = p + digits;
    return 1;
}

void parse_line(const char* line, setup_list* out) {
    if (strncmp(line, "tag ", 4) == 0) {
        const char* p = line + 4;
        char value[LIST_TAG_CAP];
        if (take_string(&p, value, sizeof value - 1)) memcpy(out->tag, value, sizeof value);
    } else if (strncmp(line, "run ", 4) == 0) {
        const char* p = line + 4;
        char value[LIST_NAME_CAP];
        if (take_string(&p, value, sizeof value - 1)) memcpy(out->run, value, sizeof value);
    } else if (strncmp(line, "part ", 5) == 0) {
        if (out->part_lines < ~0u) out->part_lines++;
        if (out->part_count >= LIST_MAX_PARTS) return;
        part_record* rec = &out->parts[out->part_count];
        const char* p = line + 5;
        part_record taken;
        memset(&taken, 0, sizeof taken);
        if (take_string(&p, taken.sha256, 64) && take_number(&p, &taken.size) &&
            take_string(&p, taken.dir, LIST_NAME_CAP - 1) &&
            take_string(&p, taken.from, LIST_NAME_CAP - 1) &&
            take_string(&p, taken.to, LIST_NAME_CAP - 1) &&
            take_string(&p, taken.url, LIST_URL_CAP - 1)) {
            *rec = taken;
            out->part_count++;
        }
    } else if (strncmp(line, "index ", 6) == 0) {
        if (out->index_lines < ~0u) out->index_lines++;
        part_record taken;
        if (out->index_lines == 1 && index_line_read(line, &taken)) out->index = taken;
        else memset(&out->index, 0, sizeof out->index);  // two lines: no index at all
    }
}

int is_lower_hex(const char* text, size_t length) {
    if (strlen(text) != length) return 0;
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return 0;
    }
    return 1;
}

int https_prefix(const char* url) {
    static const char scheme[] = "https://";
    for (size_t i = 0; i < 8; ++i) {
        char c = url[i];
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
        if (c != scheme[i]) return 0;
    }
    return 1;
}

int upper_ascii(char c) {
    return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c;
}

}  // namespace

int name_component_ok(const char* component, size_t length) {
    if (length == 0) return 0;
    char last = component[length - 1];
    if (last == '.' || last == ' ') return 0;
    // The part before the first '.' decides whether the name is a device.
    size_t base = 0;
    while (base < length && component[base] != '.') ++base;
    // "CON ", "nul .txt": Windows drops the blanks before testing for a device.
    while (base > 0 && component[base - 1] == ' ') --base;
    static const char* const devices[] = {"CON", "PRN", "AUX", "NUL"};
    if (base == 3) {
        for (size_t i = 0; i < sizeof devices / sizeof devices[0]; ++i) {
            size_t k = 0;
            while (k < 3 && upper_ascii(component[k]) == devices[i][k]) ++k;
            if (k == 3) return 0;
        }
    }
    if (base == 4 && component[3] >= '0' && component[3] <= '9') {
        char a = (char)upper_ascii(component[0]), b = (char)upper_ascii(component[1]),
             c = (char)upper_ascii(component[2]);
        if ((a == 'C' && b == 'O' && c == 'M') || (a == 'L' && b == 'P' && c == 'T')) return 0;
    }
    return 1;
}

size_t text_append(char* out, size_t cap, size_t length, const char* piece) {
    if (length >= cap) return cap;
    size_t n = strlen(piece);
    if (length + n >= cap) {
        memcpy(out + length, piece, cap - 1 - length);
        out[cap - 1] = 0;
        return cap;
    }
    memcpy(out + length, piece, n + 1);
    return length + n;
}

int index_line_read(const char* line, part_record* out) {
    memset(out, 0, sizeof *out);
    if (strncmp(line, "index ", 6) != 0) return 0;
    const char* p = line + 6;
    if (strlen(p) < 65 || p[64] != ' ') return 0;
    memcpy(out->sha256, p, 64);
    if (!is_lower_hex(out->sha256, 64)) return 0;
    p += 65;
    size_t digits;
    unsigned long long size;
    if (!decimal_read(p, strlen(p), ~0ULL, &size, &digits) || digits > 19 || p[digits] != ' ') return 0;
    const char* url = p + digits + 1;
    size_t length = strlen(url);
    if (strncmp(url, "https://", 8) != 0 || length >= LIST_URL_CAP || strpbrk(url, " \t\v\f")) return 0;
    memcpy(out->url, url, length + 1);
    out->size = size;
    return 1;
}

int list_name_ok(const char* name, int separators) {
    if (!name || !name[0] || name[0] == '/' || name[0] == '\\') return 0;
    for (const unsigned char* p = (const unsigned char*)name; *p; ++p) {
        if (is_name_byte(*p)) continue;
        if (separators && (*p == '/' || *p == '\\')) continue;
        return 0;
    }
    const char* p = name;
    for (;;) {
        const char* start = p;
        while (*p && !(separators && (*p == '/' || *p == '\\'))) ++p;
        size_t length = (size_t)(p - start);
        if (length == 0) return 0;
        if (length == 1 && start[0] == '.') return 0;
        if (length == 2 && start[0] == '.' && start[1] == '.') return 0;
        if (!name_component_ok(start, length)) return 0;
        if (!*p) break;
        ++p;  // one separator
        if (!*p) break;  // a single trailing separator is accepted
    }
    return 1;
}

void list_parse(char* body, setup_list* out) {
    memset(out, 0, sizeof *out);
    char* p = body;
    while (*p) {
        while (*p == '\r' || *p == '\n') ++p;
        if (!*p) break;
        char* line = p;
        while (*p && *p != '\r' && *p != '\n') ++p;
        if (*p) *p++ = 0;
        parse_line(line, out);
    }
}

int list_validate(const setup_list* list) {
    if (!list->tag[0] || !list->run[0] || list->part_count == 0) return LIST_UNREADABLE;
    if (list->part_lines > LIST_MAX_PARTS) return LIST_TOO_MANY;
    if (list->part_lines != list->part_count) return LIST_UNREADABLE;
    if (!list_name_ok(list->tag, 0) || !list_name_ok(list->run, 1)) return LIST_REFUSED;
    for (unsigned i = 0; i < list->part_count && i < LIST_MAX_PARTS; ++i) {
        const part_record* part = &list->parts[i];
        if (!is_lower_hex(part->sha256, 64)) return LIST_REFUSED;
        if (!https_prefix(part->url)) return LIST_REFUSED;
        if (strcmp(part->dir, ".") != 0 && !list_name_ok(part->dir, 1)) return LIST_REFUSED;
        if (strcmp(part->from, "-") != 0 && !list_name_ok(part->from, 0)) return LIST_REFUSED;
        if (strcmp(part->to, "-") != 0 && !list_name_ok(part->to, 0)) return LIST_REFUSED;
    }
    return LIST_OK;
}
