// The signed setup list's two lines: "serial <n>" and, last, "signature
// <r and s in hex>" over every byte before it; and the publisher's keys as
// the build names them. Bytes in, bytes out; no Windows header.
#include "core/core.h"

#include <string.h>

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

int line_starts(const char* line, size_t length, const char* key) {
    size_t n = strlen(key);
    return length >= n && memcmp(line, key, n) == 0;
}

// "serial <1 to 20 digits>" whose value fits in 64 bits.
int serial_value(const char* digits, size_t length, unsigned long long* out) {
    size_t n;
    return length <= 20 && decimal_read(digits, length, ~0ULL, out, &n) && n == length;
}

}  // namespace

size_t decimal_text(unsigned long long value, char out[21]) {
    char reversed[20];
    size_t n = 0;
    do {
        reversed[n++] = (char)('0' + value % 10);
        value /= 10;
    } while (value);
    for (size_t i = 0; i < n; ++i) out[i] = reversed[n - 1 - i];
    out[n] = 0;
    return n;
}

int hex_bytes(const char* hex, size_t count, unsigned char* out) {
    for (size_t i = 0; i < count; ++i) {
        int high = hex_value(hex[2 * i]);
        int low = high < 0 ? -1 : hex_value(hex[2 * i + 1]);
        if (low < 0) return 0;
        out[i] = (unsigned char)(high * 16 + low);
    }
    return 1;
}

void list_signing_scan(const char* body, size_t length, list_signing* out) {
    memset(out, 0, sizeof *out);
    size_t at = 0;
    while (at < length) {
        size_t start = at;
        while (at < length && body[at] != '\r' && body[at] != '\n') ++at;
        size_t line_length = at - start;
        while (at < length && (body[at] == '\r' || body[at] == '\n')) ++at;
        const char* line = body + start;
        if (line_length == 0) continue;
        if (out->signature_lines) out->after_signature = 1;  // anything but line ends after it
        if (line_starts(line, line_length, "serial ")) {
            ++out->serial_lines;
            out->serial_ok = serial_value(line + 7, line_length - 7, &out->serial);
        } else if (line_starts(line, line_length, "signature ")) {
            if (++out->signature_lines > 1) continue;
            out->signed_length = start;
            out->signature_ok = line_length == 10 + 2 * LIST_SIGNATURE_BYTES &&
                                hex_bytes(line + 10, LIST_SIGNATURE_BYTES, out->signature);
        }
    }
}

int list_signing_complete(const list_signing* signing) {
    return signing->serial_lines == 1 && signing->serial_ok && signing->signature_lines == 1 &&
           signing->signature_ok && !signing->after_signature;
}

int list_key_next(const char** cursor, unsigned char key[LIST_KEY_BYTES]) {
    const char* p = *cursor;
    if (*p == ',') ++p;
    size_t n = 0;
    while (p[n] && p[n] != ',') ++n;
    if (n != 2 * LIST_KEY_BYTES || !hex_bytes(p, LIST_KEY_BYTES, key)) return 0;
    *cursor = p + n;
    return 1;
}
