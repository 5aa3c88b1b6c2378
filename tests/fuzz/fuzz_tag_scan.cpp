// The --tag value of a command line and the nightly rule. The input becomes a
// wide command line twice: one byte per character (Latin-1) and one
// little-endian byte pair per character (UTF-16 code units, as on Windows).
#include <stdint.h>

#include "fuzz_check.h"
#include "core/core.h"

namespace {

int tag_byte(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.' ||
           c == '_' || c == '-' || c == '+';
}

int lower_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// A match must at least end in "-g<lower hex>" (before any "-dirty") with
// "-<digits>" in front of it.
void check_nightly(const char* tag) {
    size_t cap = strlen(tag) + 1;
    char* copy = (char*)malloc(cap);  // exact size: a read past the NUL shows
    memcpy(copy, tag, cap);
    int m = nightly_match(copy);
    FUZZ_CHECK(m == 0 || m == 1, "nightly_match returned %d", m);
    if (m) {
        size_t n = cap - 1;
        if (n >= 6 && strcmp(copy + n - 6, "-dirty") == 0) n -= 6;
        size_t i = n;
        while (i > 0 && lower_hex(copy[i - 1])) --i;
        FUZZ_CHECK(i < n && i >= 2 && copy[i - 1] == 'g' && copy[i - 2] == '-',
                   "nightly without -g<hex>: %s", copy);
        i -= 2;
        size_t d = i;
        while (i > 0 && copy[i - 1] >= '0' && copy[i - 1] <= '9') --i;
        FUZZ_CHECK(i < d && i > 0 && copy[i - 1] == '-', "nightly without -<digits>: %s", copy);
    }
    free(copy);
}

int contains_key(const wchar_t* s) {
    return wcsstr(s, L"--tag ") != 0;
}

void check_scan(const wchar_t* cmdline) {
    char* out = poisoned(LIST_TAG_CAP);
    int taken = tag_scan(cmdline, out);
    FUZZ_CHECK(terminated_within(out, LIST_TAG_CAP), "tag not terminated within %d bytes", LIST_TAG_CAP);
    size_t n = strlen(out);
    FUZZ_CHECK(taken == 1 ? n > 0 : n == 0, "tag_scan returned %d with a tag of %zu bytes", taken, n);
    FUZZ_CHECK((taken != 0) == contains_key(cmdline), "tag_scan returned %d", taken);
    // An option of its own is one of the key's occurrences.
    FUZZ_CHECK(!tag_option_own(cmdline) || contains_key(cmdline), "an own --tag option without the key");
    FUZZ_CHECK(n <= LIST_TAG_CAP - 1, "tag of %zu bytes", n);
    for (size_t i = 0; i < n; ++i)
        FUZZ_CHECK(tag_byte(out[i]), "byte 0x%02x in tag %s", (unsigned char)out[i], out);
    if (n) FUZZ_CHECK(contains_key(cmdline), "tag %s without a --tag key", out);
    check_nightly(out);
    free(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    wchar_t* bytes = (wchar_t*)malloc((size + 1) * sizeof(wchar_t));
    for (size_t i = 0; i < size; ++i) bytes[i] = (wchar_t)data[i];
    bytes[size] = 0;
    check_scan(bytes);
    free(bytes);

    size_t pairs = size / 2;
    wchar_t* units = (wchar_t*)malloc((pairs + 1) * sizeof(wchar_t));
    for (size_t i = 0; i < pairs; ++i) units[i] = (wchar_t)(data[2 * i] | (data[2 * i + 1] << 8));
    units[pairs] = 0;
    check_scan(units);
    free(units);

    char* raw = nul_copy(data, size);
    check_nightly(raw);
    free(raw);
    return 0;
}
