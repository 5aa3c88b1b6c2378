// The setup list as it arrives from the server: parsed, validated, each part's
// folder formed, and every field run through the name rule both ways.
#include <stdint.h>

#include "fuzz_check.h"
#include "core/core.h"

namespace {

int allowed_byte(unsigned char c, int separators) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.' ||
           c == '_' || c == '+' || c == '-' || (separators && (c == '/' || c == '\\'));
}

int is_sep(char c) { return c == '/' || c == '\\'; }

// What an accepted name must look like whatever the details of the rule:
// not empty, no leading separator, only allowed bytes, no "." or ".."
// component.
void check_accepted_name(const char* name, int separators) {
    FUZZ_CHECK(name[0] != 0, "empty name accepted");
    FUZZ_CHECK(!is_sep(name[0]), "leading separator accepted: %s", name);
    for (const unsigned char* p = (const unsigned char*)name; *p; ++p)
        FUZZ_CHECK(allowed_byte(*p, separators), "byte 0x%02x accepted (separators %d): %s", *p,
                   separators, name);
    const char* p = name;
    while (*p) {
        const char* start = p;
        while (*p && !(separators && is_sep(*p))) ++p;
        size_t n = (size_t)(p - start);
        FUZZ_CHECK(!(n == 1 && start[0] == '.') && !(n == 2 && start[0] == '.' && start[1] == '.'),
                   "dot component accepted: %s", name);
        if (*p) ++p;
    }
}

// Both separator settings on one string, and how they relate: a plain name
// is also a valid one-component path.
void check_name_rule(const char* name) {
    int plain = list_name_ok(name, 0);
    int path = list_name_ok(name, 1);
    FUZZ_CHECK(plain == 0 || plain == 1, "list_name_ok returned %d", plain);
    FUZZ_CHECK(path == 0 || path == 1, "list_name_ok returned %d", path);
    if (plain) {
        check_accepted_name(name, 0);
        FUZZ_CHECK(path, "accepted as a name but refused as a path: %s", name);
    }
    if (path) check_accepted_name(name, 1);
}

int lower_hex64(const char* s) {
    for (int i = 0; i < 64; ++i)
        if (!((s[i] >= '0' && s[i] <= '9') || (s[i] >= 'a' && s[i] <= 'f'))) return 0;
    return s[64] == 0;
}

int https_prefix(const char* url) {
    static const char scheme[] = "https://";
    for (int i = 0; i < 8; ++i) {
        char c = url[i];
        if (c >= 'A' && c <= 'Z') c = (char)(c + 32);
        if (c != scheme[i]) return 0;
    }
    return 1;
}

int cleared(const part_record* p) {
    static const part_record zero = part_record();
    return memcmp(p, &zero, sizeof zero) == 0;
}

void check_part_folder(const part_record* part, int list_ok) {
    char* out = poisoned(LIST_NAME_CAP);
    int r = part_folder_bytes(part, out);
    FUZZ_CHECK(r == 0 || r == 1, "part_folder_bytes returned %d", r);
    if (r) {
        FUZZ_CHECK(terminated_within(out, LIST_NAME_CAP), "folder not terminated within %d bytes",
                   LIST_NAME_CAP);
        FUZZ_CHECK(strlen(out) <= LIST_NAME_CAP - 1, "folder too long");
        FUZZ_CHECK(!strchr(out, '/'), "folder keeps a '/': %s", out);
        if (list_ok) {
            // From an accepted list the folder stays inside the version.
            FUZZ_CHECK(out[0] && out[0] != '\\' && !strchr(out, ':'), "folder not relative: %s", out);
            const char* p = out;
            while (*p) {
                const char* start = p;
                while (*p && *p != '\\') ++p;
                size_t n = (size_t)(p - start);
                FUZZ_CHECK(!(n == 1 && start[0] == '.') &&
                               !(n == 2 && start[0] == '.' && start[1] == '.'),
                           "folder has a dot component: %s", out);
                if (*p) ++p;
            }
        }
    }
    free(out);
}

}  // namespace

// The signing scan reads the raw bytes (before the parser writes into them):
// what it reports lies inside them, and a complete signing has its one
// signature line right after the signed bytes.
void check_signing(const uint8_t* data, size_t size) {
    list_signing s;
    list_signing_scan((const char*)data, size, &s);
    FUZZ_CHECK(s.signed_length <= size, "signed length %zu of %zu bytes", s.signed_length, size);
    if (!list_signing_complete(&s)) return;
    FUZZ_CHECK(s.serial_lines == 1 && s.signature_lines == 1, "complete with %u serials, %u signatures",
               s.serial_lines, s.signature_lines);
    FUZZ_CHECK(s.signed_length + 138 <= size && !memcmp(data + s.signed_length, "signature ", 10),
               "the signed bytes do not end at the signature line");
    for (size_t i = s.signed_length + 138; i < size; ++i)
        FUZZ_CHECK(data[i] == '\r' || data[i] == '\n', "byte 0x%02x after the signature", data[i]);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    check_signing(data, size);
    char* body = nul_copy(data, size);
    static setup_list storage;  // a global: AddressSanitizer still guards its ends
    setup_list* list = &storage;
    memset(list, 0xA5, sizeof *list);  // list_parse must clear all of it

    list_parse(body, list);

    // In place, only line ends change, and only to NUL.
    for (size_t i = 0; i < size; ++i) {
        char was = (char)data[i];
        FUZZ_CHECK(body[i] == was || ((was == '\r' || was == '\n') && body[i] == 0),
                   "byte %zu changed from 0x%02x to 0x%02x", i, (unsigned char)was,
                   (unsigned char)body[i]);
    }

    FUZZ_CHECK(list->part_count <= LIST_MAX_PARTS, "part_count %u", list->part_count);
    FUZZ_CHECK(terminated_within(list->tag, sizeof list->tag), "tag not terminated");
    FUZZ_CHECK(terminated_within(list->run, sizeof list->run), "run not terminated");
    for (unsigned i = 0; i < LIST_MAX_PARTS; ++i) {
        const part_record* p = &list->parts[i];
        if (i >= list->part_count) {
            FUZZ_CHECK(cleared(p), "part %u beyond part_count %u is not cleared", i,
                       list->part_count);
            continue;
        }
        FUZZ_CHECK(terminated_within(p->sha256, sizeof p->sha256), "part %u sha256 not terminated", i);
        FUZZ_CHECK(terminated_within(p->dir, sizeof p->dir), "part %u dir not terminated", i);
        FUZZ_CHECK(terminated_within(p->from, sizeof p->from), "part %u from not terminated", i);
        FUZZ_CHECK(terminated_within(p->to, sizeof p->to), "part %u to not terminated", i);
        FUZZ_CHECK(terminated_within(p->url, sizeof p->url), "part %u url not terminated", i);
    }

    // The index line: held only when there was exactly one, well formed.
    const part_record* index = &list->index;
    if (index->url[0]) {
        FUZZ_CHECK(list->index_lines == 1, "an index held from %u index lines", list->index_lines);
        FUZZ_CHECK(lower_hex64(index->sha256), "index digest %s", index->sha256);
        FUZZ_CHECK(strncmp(index->url, "https://", 8) == 0 && terminated_within(index->url, sizeof index->url) &&
                       !strpbrk(index->url, " \t\v\f\r\n"),
                   "index address %s", index->url);
        FUZZ_CHECK(!index->dir[0] && !index->from[0] && !index->to[0], "index line with a dir, from or to");
    } else {
        FUZZ_CHECK(cleared(index), "no index, yet the record is not cleared");
    }

    int verdict = list_validate(list);
    FUZZ_CHECK(verdict == LIST_OK || verdict == LIST_UNREADABLE || verdict == LIST_REFUSED ||
                   verdict == LIST_TOO_MANY,
               "list_validate returned %d", verdict);
    FUZZ_CHECK(verdict != LIST_OK || list->part_lines == list->part_count,
               "accepted with %u part lines for %u parts", list->part_lines, list->part_count);
    if (verdict == LIST_OK) {
        FUZZ_CHECK(list->part_count >= 1 && list->part_count <= LIST_MAX_PARTS, "accepted with %u parts",
                   list->part_count);
        FUZZ_CHECK(list_name_ok(list->tag, 0), "accepted tag fails the name rule: %s", list->tag);
        FUZZ_CHECK(list_name_ok(list->run, 1), "accepted run fails the path rule: %s", list->run);
        for (unsigned i = 0; i < list->part_count; ++i) {
            const part_record* p = &list->parts[i];
            FUZZ_CHECK(lower_hex64(p->sha256), "accepted part %u digest: %s", i, p->sha256);
            FUZZ_CHECK(https_prefix(p->url), "accepted part %u url: %s", i, p->url);
            FUZZ_CHECK(!strcmp(p->dir, ".") || list_name_ok(p->dir, 1), "accepted part %u dir: %s", i,
                       p->dir);
            FUZZ_CHECK(!strcmp(p->from, "-") || list_name_ok(p->from, 0), "accepted part %u from: %s", i,
                       p->from);
            FUZZ_CHECK(!strcmp(p->to, "-") || list_name_ok(p->to, 0), "accepted part %u to: %s", i, p->to);
        }
    }

    check_name_rule(list->tag);
    check_name_rule(list->run);
    for (unsigned i = 0; i < list->part_count; ++i) {
        const part_record* p = &list->parts[i];
        check_name_rule(p->sha256);
        check_name_rule(p->dir);
        check_name_rule(p->from);
        check_name_rule(p->to);
        check_name_rule(p->url);
        check_part_folder(p, verdict == LIST_OK);
    }

    // The parser never hands over blanks, so the rule also gets the raw
    // input (up to its first NUL) as one string.
    char* raw = nul_copy(data, size);
    check_name_rule(raw);
    free(raw);

    free(body);
    return 0;
}
