// The requested tag and the nightly rule. No Windows header.
#include "core/core.h"

#include <string.h>
#include <wchar.h>

const wchar_t* tag_value(const wchar_t* cmdline, size_t* length) {
    static const wchar_t key[] = L"--tag ";
    *length = 0;
    const wchar_t* hit = 0;
    for (const wchar_t* p = cmdline; *p && !hit; ++p) {
        size_t i = 0;
        while (key[i] && p[i] == key[i]) ++i;
        if (!key[i]) hit = p;
    }
    if (!hit) return 0;
    const wchar_t* p = hit + 6;
    while (*p == L' ' || *p == L'"') ++p;
    size_t n = 0;
    while (p[n] && p[n] != L' ' && p[n] != L'"') ++n;
    *length = n;
    return p;
}

int tag_scan(const wchar_t* cmdline, char out[LIST_TAG_CAP]) {
    out[0] = 0;
    size_t length = 0;
    const wchar_t* p = tag_value(cmdline, &length);
    if (!p) return 0;
    if (length > LIST_TAG_CAP - 1) length = LIST_TAG_CAP - 1;  // a longer value is cut
    if (length == 0) return -1;  // asked for a release without naming one
    for (size_t n = 0; n < length; ++n) {
        wchar_t c = p[n];
        if ((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') ||
            c == L'-' || c == L'.' || c == L'_' || c == L'+') {
            out[n] = (char)c;
            continue;
        }
        out[0] = 0;  // any other character refuses the whole value
        return -1;
    }
    out[length] = 0;
    return 1;
}

int tag_option_own(const wchar_t* cmdline) {
    int quoted = 0;
    for (const wchar_t* p = cmdline; *p; ++p) {
        if (*p == L'"') quoted = !quoted;
        if (quoted || (p != cmdline && p[-1] != L' ' && p[-1] != L'\t')) continue;
        if (wcsncmp(p, L"--tag ", 6) == 0) return 1;
    }
    return 0;
}

int nightly_match(const char* tag) {
    size_t length = strlen(tag);
    if (length >= 7 && strcmp(tag + length - 6, "-dirty") == 0) length -= 6;
    // From the end: lower-case hex digits, 'g', '-', decimal digits, '-'.
    size_t i = length;
    size_t hex = 0;
    while (i > 0 && ((tag[i - 1] >= '0' && tag[i - 1] <= '9') ||
                     (tag[i - 1] >= 'a' && tag[i - 1] <= 'f'))) {
        --i;
        ++hex;
    }
    if (hex == 0 || i < 2 || tag[i - 1] != 'g' || tag[i - 2] != '-') return 0;
    i -= 2;
    size_t digits = 0;
    while (i > 0 && tag[i - 1] >= '0' && tag[i - 1] <= '9') {
        --i;
        ++digits;
    }
    return digits > 0 && i > 0 && tag[i - 1] == '-';
}
