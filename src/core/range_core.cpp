// The Content-Range of a 206 answer, judged against the range asked for.
#include "core/core.h"

namespace {

// What follows "bytes " at its longest: three numbers of 19 digits and the
// two bytes between them.
enum { RANGE_DIGITS = 19, RANGE_NUMBERS_CAP = 3 * RANGE_DIGITS + 2 };

// Reads a decimal number of at most 19 digits (leading zeros counted) from a
// terminated text; returns the text after it, or null when there is none or
// it does not fit.
const char* read_number(const char* text, unsigned long long* out) {
    size_t digits;
    if (!decimal_read(text, RANGE_NUMBERS_CAP, ~0ULL, out, &digits) || digits > RANGE_DIGITS) return 0;
    return text + digits;
}

}  // namespace

int content_range_ok(const wchar_t* value, unsigned long long first, unsigned long long last,
                     unsigned long long total) {
    // The unit's letters in any case.
    static const wchar_t unit[] = L"bytes ";
    for (int i = 0; unit[i]; ++i)
        if (!value[i] || (value[i] | 0x20) != unit[i]) return 0;
    // The numbers as bytes: a character beyond ASCII is no digit.
    char text[RANGE_NUMBERS_CAP + 1];
    size_t n = 0;
    for (const wchar_t* w = value + 6; *w; ++w, ++n) {
        if (n == RANGE_NUMBERS_CAP) return 0;  // longer than any value of the form
        text[n] = (unsigned long)*w < 0x80 ? (char)*w : '?';
    }
    text[n] = 0;
    unsigned long long start = 0, end = 0, length = 0;
    const char* p = read_number(text, &start);
    if (!p || *p != '-') return 0;
    p = read_number(p + 1, &end);
    if (!p || *p != '/') return 0;
    p = read_number(p + 1, &length);
    if (!p || *p) return 0;
    return start == first && end == last && length == total && first <= last && last < total;
}
