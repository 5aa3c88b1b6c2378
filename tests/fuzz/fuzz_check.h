// Shared helpers of the fuzz targets: a failed invariant aborts, so libFuzzer
// records the input as a crash and the run fails.
#ifndef STONEWAKE_FUZZ_CHECK_H
#define STONEWAKE_FUZZ_CHECK_H

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define FUZZ_CHECK(cond, ...)                                                  \
    do {                                                                       \
        if (!(cond)) {                                                         \
            fprintf(stderr, "invariant failed at %s:%d: %s\n  ", __FILE__,     \
                    __LINE__, #cond);                                          \
            fprintf(stderr, __VA_ARGS__);                                      \
            fputc('\n', stderr);                                               \
            abort();                                                           \
        }                                                                      \
    } while (0)

// 1 when `buf` holds a NUL within its `cap` bytes.
static inline int terminated_within(const char* buf, size_t cap) {
    return memchr(buf, 0, cap) != 0;
}

// A heap copy of `size` bytes with a NUL after them, sized exactly so that
// AddressSanitizer sees any read past the terminator.
static inline char* nul_copy(const unsigned char* data, size_t size) {
    char* p = (char*)malloc(size + 1);
    if (size) memcpy(p, data, size);
    p[size] = 0;
    return p;
}

// An output buffer of exactly `cap` bytes, filled with a non-NUL pattern so
// that a missing terminator shows.
static inline char* poisoned(size_t cap) {
    char* p = (char*)malloc(cap);
    memset(p, 0xA5, cap);
    return p;
}

#endif
