// Byte-level core of the zip format: the records the setup, the release tool
// and the fuzzers read or write, named once. Every number is little-endian;
// each record starts with its signature; offsets are from the record's start.
// No Windows header.
#ifndef STONEWAKE_CORE_ZIP_CORE_H
#define STONEWAKE_CORE_ZIP_CORE_H

#include <stddef.h>

// Signatures.
enum {
    ZIP_LOCAL_SIGNATURE = 0x04034b50,
    ZIP_CENTRAL_SIGNATURE = 0x02014b50,
    ZIP_END_SIGNATURE = 0x06054b50,
    ZIP64_END_SIGNATURE = 0x06064b50,
    ZIP64_LOCATOR_SIGNATURE = 0x07064b50,
    ZIP_DESCRIPTOR_SIGNATURE = 0x08074b50
};

// A local header, then its name, extra field and data (and a data
// descriptor when the flags say so).
enum {
    ZIP_LOCAL_COMMON = 4,  // the fields a central record shares, from the version needed
    ZIP_LOCAL_NAME_LENGTH = 26,
    ZIP_LOCAL_EXTRA_LENGTH = 28,
    ZIP_LOCAL_HEADER = 30  // its fixed size: the name follows
};

// A central directory record, then its name, extra field and comment.
enum {
    ZIP_CENTRAL_MADE_BY = 4,
    ZIP_CENTRAL_COMMON = 6,
    ZIP_CENTRAL_FLAGS = 8,
    ZIP_CENTRAL_METHOD = 10,
    ZIP_CENTRAL_TIME = 12,
    ZIP_CENTRAL_DATE = 14,
    ZIP_CENTRAL_CRC32 = 16,
    ZIP_CENTRAL_COMPRESSED = 20,
    ZIP_CENTRAL_SIZE = 24,
    ZIP_CENTRAL_NAME_LENGTH = 28,
    ZIP_CENTRAL_EXTRA_LENGTH = 30,
    ZIP_CENTRAL_COMMENT_LENGTH = 32,
    ZIP_CENTRAL_DISK = 34,
    ZIP_CENTRAL_INTERNAL = 36,
    ZIP_CENTRAL_EXTERNAL = 38,  // the Unix mode in the upper 16 bits
    ZIP_CENTRAL_OFFSET = 42,    // of the entry's local header
    ZIP_CENTRAL_HEADER = 46     // its fixed size: the name follows
};

// What a local header and a central record share, in the same order: the
// version needed to extract, flags, method, time, date, CRC-32, compressed
// size, size and the name's length.
enum {
    ZIP_COMMON_VERSION = 0,
    ZIP_COMMON_FLAGS = 2,
    ZIP_COMMON_METHOD = 4,
    ZIP_COMMON_TIME = 6,
    ZIP_COMMON_DATE = 8,
    ZIP_COMMON_CRC32 = 10,
    ZIP_COMMON_COMPRESSED = 14,
    ZIP_COMMON_SIZE = 18,
    ZIP_COMMON_NAME_LENGTH = 22,
    ZIP_COMMON_BYTES = 24
};

// The end of central directory record, the last record of a zip but for its
// comment (at most ZIP_FIELD_MAX bytes).
enum {
    ZIP_END_DISK = 4,
    ZIP_END_DIRECTORY_DISK = 6,
    ZIP_END_DISK_ENTRIES = 8,
    ZIP_END_ENTRIES = 10,
    ZIP_END_DIRECTORY_SIZE = 12,
    ZIP_END_DIRECTORY_OFFSET = 16,
    ZIP_END_COMMENT_LENGTH = 20,
    ZIP_END_RECORD = 22
};

// Zip64: the locator lies just before the end record and names the zip64
// end record, which lies before the locator.
enum {
    ZIP64_LOCATOR_END = 8,  // the zip64 end record's offset, 8 bytes
    ZIP64_LOCATOR = 20,
    ZIP64_END_ENTRIES = 32,           // 8 bytes
    ZIP64_END_DIRECTORY_OFFSET = 48,  // 8 bytes
    ZIP64_END_RECORD = 56
};

// Limits and flags.
enum {
    ZIP_FIELD_MAX = 0xFFFF,      // a 16-bit length: a name, an extra field, a comment
    ZIP_WIDE_COUNT = 0xFFFF,     // an entry count that zip64 holds instead
    ZIP_DESCRIPTOR_FLAG = 8,     // a data descriptor follows the data
    ZIP_UTF8_FLAG = 0x800,       // the name is UTF-8
    ZIP_ENCRYPTED_FLAGS = 0x2041,  // bits 0, 6 and 13: encrypted, strongly, or its directory masked
    ZIP_DESCRIPTOR = 12,         // CRC-32 and both sizes
    ZIP_DESCRIPTOR_SIGNED = 16,  // the same after its signature
    ZIP_DESCRIPTOR_MAX = 24      // signed, with zip64's 8-byte sizes
};
const unsigned long long ZIP_WIDE = 0xFFFFFFFFull;  // a size or offset that zip64 holds instead

inline unsigned zip_get16(const unsigned char* p) {
    return p[0] | (unsigned)p[1] << 8;
}

inline unsigned zip_get32(const unsigned char* p) {
    return zip_get16(p) | zip_get16(p + 2) << 16;
}

inline unsigned long long zip_get64(const unsigned char* p) {
    return zip_get32(p) | (unsigned long long)zip_get32(p + 4) << 32;
}

inline void zip_put16(unsigned char* p, unsigned v) {
    p[0] = (unsigned char)(v & 0xFF);
    p[1] = (unsigned char)((v >> 8) & 0xFF);
}

inline void zip_put32(unsigned char* p, unsigned long long v) {
    for (int i = 0; i < 4; ++i) p[i] = (unsigned char)((v >> (8 * i)) & 0xFF);
}

#endif
