// Byte-level core of the release index: the name rule for zip entries, the
// index parser, and the central directory of a zip assembled from local
// records fetched by byte ranges. No Windows header: the setup, the release
// tool and a fuzzer build the same source.
//
// The index is text, one line per entry, '\n' ends every line:
//
//   tarnwick-index 1
//   part <sha256 of the part> <entries>
//   <f|d> <offset> <length> <method> <flags> <crc32> <time> <date> <compressed> <size> <sha256> <name>
//   ...
//
// <offset> and <length> give the entry's local record in the part's zip (its
// header, name, extra field, data and data descriptor); <method> is 0 or 8;
// <flags>, <time> and <date> are 4 and <crc32> 8 lower-case hex digits;
// numbers are decimal without leading zeros, below 4294967295 (no zip64);
// <sha256> is that of the entry's content (a folder's is that of nothing);
// <name> is the rest of the line, the name as stored, taken byte for byte.
#ifndef STONEWAKE_RELEASE_INDEX_CORE_H
#define STONEWAKE_RELEASE_INDEX_CORE_H

#include <stddef.h>

#include "core/core.h"
#include "core/zip_core.h"

enum {
    INDEX_NAME_CAP = 1024,          // a name of up to 1023 bytes and its NUL
    INDEX_MAX_VALUE = 0xFFFFFFFEu,  // 0xFFFFFFFF would mean zip64
    INDEX_MAX_ENTRIES = 9999999     // per part: 7 digits
};

// Verdicts of entry_name_verdict: why an entry would not stay inside the
// folder it is unpacked into.
enum {
    ENTRY_NAME_OK = 0,
    ENTRY_NAME_EMPTY = 1,
    ENTRY_NAME_ROOTED = 2,   // starts with '/' or '\'
    ENTRY_NAME_DRIVE = 3,    // holds ':' (a drive or a stream)
    ENTRY_NAME_UPWARD = 4,   // a component of dots and blanks other than ".": Windows reads it as ".."
    ENTRY_NAME_CONTROL = 5   // a byte below 0x20
};
int entry_name_verdict(const char* name, size_t length);

// An entry's fields but its name's bytes: what a holder of many entries
// keeps, with the names in a pool of its own.
struct index_fields {
    int folder;
    unsigned offset, length;  // the local record within the part's zip
    unsigned method, flags, crc32, time, date;
    unsigned compressed, size;
    char sha256[65];
    size_t name_length;
};

struct index_entry : index_fields {
    char name[INDEX_NAME_CAP];
};

// Verdicts of index_parse.
enum {
    INDEX_OK = 0,
    INDEX_MALFORMED = 1,  // anything out of form, range or order, or a refused name
    INDEX_NO_PART = 2,    // well formed, but the part is not in it
    INDEX_STOPPED = 3     // the callback asked to stop
};

// Called for each entry of the part, in the index's order (ascending
// offsets); a nonzero return stops the parse.
typedef int (*index_entry_fn)(const index_entry* entry, void* context);

// Reads the `length` bytes of an index and yields the entries of the part
// whose SHA-256 is `part_sha256` (64 lower-case hex digits), a zip of
// `part_size` bytes. The whole index is judged before the first entry is
// yielded: a malformed index yields nothing. Each entry's record lies inside
// the part and after the one before it; a part listed twice is malformed.
// On INDEX_MALFORMED, *bad_line (when given) is the 1-based line to blame.
int index_parse(const char* data, size_t length, const char* part_sha256, unsigned long long part_size,
                index_entry_fn fn, void* context, size_t* bad_line);

// The whole index judged as index_parse judges it, for no part in
// particular: INDEX_NO_PART when it is well formed, else INDEX_MALFORMED
// (and *bad_line, when given).
int index_check(const char* data, size_t length, size_t* bad_line);

// index_parse for an index that index_check found well formed: the same
// verdict and entries for any part, the other parts' entry lines counted but
// not read again.
int index_section(const char* data, size_t length, const char* part_sha256, unsigned long long part_size,
                  index_entry_fn fn, void* context);

// The zip records the index speaks of (core/zip_core.h), as the release
// tool writes them and the setup checks them: a local header and the name,
// with the CRC-32 and both sizes in it (no data descriptor) and no extra
// field, then the data; a central directory record and the name; the end
// record.

// The local header of `entry` (its length: ZIP_LOCAL_HEADER and the name),
// formed from the index's fields alone; 0 when it does not fit `cap`.
size_t zip_local_header(const index_entry* entry, unsigned char* out, size_t cap);
// 1 when the entry's record is that header followed by its compressed data
// and nothing else: the only record the delta road takes.
int zip_record_plain(const index_entry* entry);

// The central directory of a zip whose local records were copied one after
// another from parts' zips: one record per entry, then the end record,
// into a caller-given buffer. Entries are added in the order of their
// offsets in the new zip; offsets, sizes and the directory's own offset and
// size stay below 4294967295 and there are at most 65534 entries (no zip64).
struct zip_directory {
    unsigned char* out;
    size_t cap, used;
    unsigned count;
    unsigned long long records_end;  // the end of the last record added
    int failed;
};

void zip_directory_begin(zip_directory* z, unsigned char* out, size_t cap);
// Adds `entry`, whose local record starts at `offset` in the new zip.
// Returns 0 (and the directory fails) when it overlaps the record before,
// would need zip64 or does not fit.
int zip_directory_add(zip_directory* z, const index_entry* entry, unsigned long long offset);
// Writes the end record for a directory placed at `directory_offset` (at or
// after the last record's end). Returns the directory's whole size in bytes,
// or 0 when any step failed.
size_t zip_directory_end(zip_directory* z, unsigned long long directory_offset);

// ---- the delta road ----------------------------------------------------------
// An update fetches the local records of the entries it lacks by byte ranges
// of the part's zip: records whose gap is at most DELTA_MERGED_GAP bytes
// share a range (the gap is fetched rather than split), and the road is
// taken only with at most DELTA_MAX_RANGES ranges and at most half the part.
enum { DELTA_MERGED_GAP = 65536, DELTA_MAX_RANGES = 64 };

struct range_plan {
    unsigned ranges;
    unsigned long long bytes;       // of every range, gaps included
    unsigned long long start, end;  // the last range
};
// Adds a record after the ones added before (`*plan` zeroed to begin with).
// Returns 1 when it opens a range of its own, 0 when the last one grows to it.
int range_plan_add(range_plan* plan, unsigned long long offset, unsigned long long length);
// 1 when the plan is worth taking for a part of `part_size` bytes.
int range_plan_worth(const range_plan* plan, unsigned long long part_size);

// Where the entry `name` (`length` bytes) of `part` lies below a version
// folder, with '\' separators and no separator at either end: the part's dir,
// then the name without its "." and empty components; with `renamed`, a top
// component that is the part's `from` (in any letter case) becomes its `to`,
// as it is once unpacked. Returns the length; 0 when it does not fit in
// `cap` bytes or names the part's dir itself.
size_t entry_place(char* out, size_t cap, const part_record* part, const char* name, size_t length,
                   int renamed);

#endif
