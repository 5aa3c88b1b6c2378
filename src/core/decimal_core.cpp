// The one reader of decimal numbers: bytes in, a value out; no Windows header.
#include "core/core.h"

int decimal_read(const char* text, size_t length, unsigned long long max, unsigned long long* value,
                 size_t* digits) {
    unsigned long long v = 0;
    int over = 0;
    size_t n = 0;
    for (; n < length && text[n] >= '0' && text[n] <= '9'; ++n) {
        unsigned digit = (unsigned)(text[n] - '0');
        // Tested before the step, so the value never wraps.
        if (over || digit > max || v > (max - digit) / 10) over = 1;
        else v = v * 10 + digit;
    }
    *digits = n;
    if (n == 0 || over) return 0;
    *value = v;
    return 1;
}
