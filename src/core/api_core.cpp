// Release-download links and the release API's answer. No Windows header.
#include "core/core.h"

#include <string.h>

namespace {

int starts_with(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

int json_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Reads a JSON string value that starts right after its opening quote. A
// backslash is dropped and the byte after it taken literally. At most cap - 1
// bytes are stored; the rest of the value is read and dropped. Returns the
// position after the closing quote, or 0 when the value is not closed before
// the end.
const char* read_value(const char* p, const char* end, char* out, size_t cap) {
    size_t n = 0;
    while (p < end && *p) {
        char c = *p++;
        if (c == '"') {
            out[n] = 0;
            return p;
        }
        if (c == '\\') {
            if (p >= end || !*p) return 0;
            c = *p++;
        }
        if (n < cap - 1) out[n++] = c;
    }
    return 0;
}

// After a key: blanks, ':', blanks, '"', each required byte followed by at
// least one more byte. Returns the position after the quote, or 0.
const char* value_start(const char* p, const char* end) {
    while (p < end && *p && json_blank(*p)) ++p;
    if (p >= end || *p != ':' || p + 1 >= end || !p[1]) return 0;
    ++p;
    while (p < end && *p && json_blank(*p)) ++p;
    if (p >= end || *p != '"' || p + 1 >= end || !p[1]) return 0;
    return p + 1;
}

// The first occurrence of `key` in [from, end), stopping at a NUL byte.
const char* find(const char* from, const char* end, const char* key) {
    size_t k = strlen(key);
    for (const char* p = from; p < end && *p; ++p) {
        if ((size_t)(end - p) < k) return 0;
        if (memcmp(p, key, k) == 0) return p;
    }
    return 0;
}

}  // namespace

int release_link_split(const char* base, const char* url, char repo[256], char tag[256],
                       int* has_tag, char asset[260]) {
    if (!starts_with(url, base)) return 0;
    const char* r = url + strlen(base);
    const char* first = strchr(r, '/');
    if (!first) return 0;
    const char* second = strchr(first + 1, '/');
    if (!second) return 0;
    size_t repo_length = (size_t)(second - r);
    if (repo_length > 255) return 0;
    memcpy(repo, r, repo_length);
    repo[repo_length] = 0;

    const char* name = 0;
    static const char latest[] = "/releases/latest/download/";
    static const char tagged[] = "/releases/download/";
    if (starts_with(second, latest)) {
        name = second + sizeof latest - 1;
        *has_tag = 0;
        tag[0] = 0;
    } else if (starts_with(second, tagged)) {
        const char* t = second + sizeof tagged - 1;
        const char* slash = strchr(t, '/');
        if (!slash) return 0;
        size_t tag_length = (size_t)(slash - t);
        if (tag_length > 255) return 0;
        memcpy(tag, t, tag_length);
        tag[tag_length] = 0;
        *has_tag = 1;
        name = slash + 1;
    } else {
        return 0;
    }
    size_t name_length = strlen(name);
    if (name_length == 0 || name_length > 259) return 0;
    if (strpbrk(name, "/?#")) return 0;
    memcpy(asset, name, name_length + 1);
    return 1;
}

int api_answer_scan(const char* base, const char* data, size_t len, const char* asset,
                    char out[LIST_URL_CAP]) {
    static const char name_key[] = "\"name\"";
    static const char url_key[] = "\"browser_download_url\"";
    out[0] = 0;
    const char* end = data + len;
    const char* entry = 0;
    const char* from = data;
    for (;;) {
        const char* key = find(from, end, name_key);
        if (!key) return 0;
        char value[600];
        const char* v = value_start(key + 6, end);
        if (v && read_value(v, end, value, sizeof value) && strcmp(value, asset) == 0) {
            entry = key;
            break;
        }
        from = key + 6;
    }
    const char* close = find(entry + 6, end, "}");
    const char* url = find(entry + 6, end, url_key);
    if (!url || !close || url > close) return 0;
    if (url + 22 >= end || !url[22]) return 0;
    const char* v = value_start(url + 22, end);
    if (v && read_value(v, end, out, LIST_URL_CAP) && starts_with(out, base)) return 1;
    out[0] = 0;  // nothing half-read or off the host is left for a caller
    return 0;
}
