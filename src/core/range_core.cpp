// The Content-Range of a 206 answer, judged against the range asked for.
#include "core/core.h"

namespace {

// Reads a decimal number of at most 19 digits; returns the text after it, or
// null when there is none or it does not fit.
const wchar_t* read_number(const wchar_t* text, unsigned long long* out) {
    unsigned long long n = 0;
    int digits = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text) {
        if (++digits > 19) return 0;
        n = n * 10 + (unsigned long long)(*text - L'0');
    }
    if (!digits) return 0;
    *out = n;
    return text;
}

}  // namespace

int content_range_ok(const wchar_t* value, unsigned long long first, unsigned long long last,
                     unsigned long long total) {
    // The unit's letters in any case.
    static const wchar_t unit[] = L"bytes ";
    for (int i = 0; unit[i]; ++i)
        if (!value[i] || (value[i] | 0x20) != unit[i]) return 0;
    unsigned long long start = 0, end = 0, length = 0;
    const wchar_t* p = read_number(value + 6, &start);
    if (!p || *p != L'-') return 0;
    p = read_number(p + 1, &end);
    if (!p || *p != L'/') return 0;
    p = read_number(p + 1, &length);
    if (!p || *p) return 0;
    return start == first && end == last && length == total && first <= last && last < total;
}
