// Byte-level core of the release lookup: the setup list, the name rules, the
// requested tag and the nightly rule, and the release API's answer. Nothing
// here includes a Windows header, so the same source builds for Windows and
// natively for the fuzzers.
#ifndef STONEWAKE_RELEASE_CORE_H
#define STONEWAKE_RELEASE_CORE_H

#include <stddef.h>
#include <wchar.h>

enum {
    LIST_MAX_PARTS = 16,
    LIST_TAG_CAP = 128,
    LIST_NAME_CAP = 260,
    LIST_URL_CAP = 1024
};

struct part_record {
    char sha256[65];
    unsigned long long size;
    char dir[LIST_NAME_CAP];
    char from[LIST_NAME_CAP];
    char to[LIST_NAME_CAP];
    char url[LIST_URL_CAP];
};

struct setup_list {
    char tag[LIST_TAG_CAP];
    char run[LIST_NAME_CAP];
    part_record parts[LIST_MAX_PARTS];
    unsigned part_count;
    unsigned part_lines;  // every "part " line, read or not: more than part_count is a broken list
    // The release index, from the one "index <sha256> <size> <url>" line: its
    // digest, size and address (dir, from and to empty). All empty when the
    // list has none, a malformed one or more than one: a list is never
    // refused for it, an update just has no index.
    part_record index;
    unsigned index_lines;
};

// 1 when `line` is a well-formed index line, "index <sha256> <size> <url>":
// one blank between the fields, 64 lower-case hex digits, 1 to 19 decimal
// digits, and an address that starts with "https://" and holds no blank,
// tab, vertical tab or form feed (at most 1023 bytes); then `out` holds
// them (dir, from and to empty). On 0, `out` is not to be used.
int index_line_read(const char* line, part_record* out);

// Verdicts of list_validate.
enum {
    LIST_OK = 0,
    LIST_UNREADABLE = 1,  // no tag, no run or no part
    LIST_REFUSED = 2,     // a value that the name rules or the digest/url checks refuse
    LIST_TOO_MANY = 3     // more part lines than a version can have
};

// 1 when `name` is an acceptable name (separators 0) or relative path
// (separators nonzero): ASCII letters, digits and "._+-" (and '/', '\' for a
// path), no empty, "." or ".." component, no leading separator, and every
// component one that Windows keeps as it is (name_component_ok).
int list_name_ok(const char* name, int separators);

// 1 when Windows keeps a path component of `length` bytes as it is: it does
// not end in '.' or ' ' (Win32 drops those, so "2.4." would name "2.4" and
// "..." the folder above), and it is no device name (CON, PRN, AUX, NUL,
// COM0-COM9, LPT0-LPT9 in any letter case, also with an extension, as in
// "nul.txt"). The "." and ".." components are the caller's to judge.
int name_component_ok(const char* component, size_t length);

// Parses a NUL-terminated body into `out` (zeroed first). Line ends are
// overwritten with NUL bytes in place. Never fails: lines that do not fit
// are ignored.
void list_parse(char* body, setup_list* out);

// Checks a parsed list; returns LIST_OK, LIST_UNREADABLE (also for a "part "
// line with fewer than six fields), LIST_TOO_MANY (a 17th part line) or
// LIST_REFUSED. A list is taken whole or not at all: a version published
// without one of its parts would pass for complete.
int list_validate(const setup_list* list);

// The --tag value of a command line: the first "--tag " occurrence, then
// spaces and double quotes skipped, then everything up to a NUL, space or
// quote. Returns its start and length, or null when there is no "--tag ".
const wchar_t* tag_value(const wchar_t* cmdline, size_t* length);

// The requested tag: the --tag value cut to 127 characters, taken only when
// it is made of [0-9A-Za-z._+-] (the bytes a list's tag may hold). Returns 1
// with the tag in `out` (128 bytes), 0 when there is no --tag, and -1 when
// the value is empty or holds any other character; `out` is then empty.
int tag_scan(const wchar_t* cmdline, char out[LIST_TAG_CAP]);

// 1 when "--tag " stands as an option of its own on the command line: at its
// start or after a blank, outside double quotes. Only such an option asks
// for one release whatever its serial; a "--tag " inside an argument still
// names the tag, but an older list than the home has used stays refused.
int tag_option_own(const wchar_t* cmdline);

// 1 when `tag` is a build description (...-<digits>-g<lower hex>, optionally
// followed by "-dirty") that stands for the nightly release.
int nightly_match(const char* tag);

// Splits a release-download link on `base` ("https://host/") into its
// repository path, tag and asset name. Returns 1 on success; *has_tag tells
// the tagged form from the latest-release form.
int release_link_split(const char* base, const char* url, char repo[256], char tag[256],
                       int* has_tag, char asset[260]);

// Scans a release API answer (`len` bytes, also ended by a NUL) for the entry
// whose "name" is `asset` and copies its "browser_download_url" into `out`
// (1024 bytes). Returns 1 when one was found and it begins with `base`.
int api_answer_scan(const char* base, const char* data, size_t len, const char* asset,
                    char out[LIST_URL_CAP]);

// Bounded concatenation: appends `piece` to the text of `length` bytes in
// `out`. Returns the new length, or `cap` when the piece did not fit (the text
// is then cut, and always terminated).
size_t text_append(char* out, size_t cap, size_t length, const char* piece);

// The folder a part occupies inside a version, as bytes with '\' separators
// (at most 259 bytes and a NUL). Returns 0 when the part has none: a tool
// part whose archive name matches no tool prefix.
int part_folder_bytes(const part_record* part, char out[LIST_NAME_CAP]);

// The files of the Builder's self-contained runtime that must lie, non-empty,
// beside its executable.
enum { BUILDER_RUNTIME_FILES = 12, BUILDER_PATH_CAP = 260 };
extern const char* const builder_runtime_files[BUILDER_RUNTIME_FILES];

// The completeness rule: 1 when the executable `exe` (a full path with '\'
// separators, shorter than 260 characters) and every runtime file beside it
// are present, as `present` (a non-empty file at that path) tells; 0 at the
// first one that is not, or when a path does not fit in 260 characters.
int builder_ready_with(const wchar_t* exe, int (*present)(const wchar_t* path, void* context),
                       void* context);

// A relative path of the setup list (`run`, a part's `dir`) as the install
// puts it below a folder: '/' turned into '\', separators at its end
// dropped, and "." the folder itself (an empty result). Returns the length.
size_t layout_relative(char out[LIST_NAME_CAP], const char* relative);

// 1 when `value`, the Content-Range of a 206 answer to "Range:
// bytes=<first>-<last>", is "bytes <first>-<last>/<total>": exactly the bytes
// asked for, of a body of `total` bytes.
int content_range_ok(const wchar_t* value, unsigned long long first, unsigned long long last,
                     unsigned long long total);

// ---- the signed list ---------------------------------------------------------
enum { LIST_SIGNATURE_BYTES = 64, LIST_KEY_BYTES = 64, LIST_MAX_KEYS = 4 };

// What a list's bytes say of its signing: its "serial <n>" lines (n: 1 to 20
// digits within 64 bits) and "signature <128 lower-case hex digits>" lines
// (r and s of an ECDSA P-256 signature, 32 bytes each, big-endian, over the
// SHA-256 of every byte before the first signature line's first byte).
struct list_signing {
    unsigned serial_lines;
    unsigned signature_lines;
    int serial_ok;        // the last serial line is well formed
    int signature_ok;     // the first signature line is well formed
    int after_signature;  // something other than line ends follows it
    unsigned long long serial;
    size_t signed_length;
    unsigned char signature[LIST_SIGNATURE_BYTES];
};
void list_signing_scan(const char* body, size_t length, list_signing* out);
// 1 when the list has exactly one well-formed serial line and one well-formed
// signature line, with only line ends after it (what is left is whether a
// key verifies the signature).
int list_signing_complete(const list_signing* signing);
// The one decimal reader. It reads the digits '0' to '9' at the start of
// `text`, up to the first other byte or `length` bytes (a NUL ends a text
// too): no blank, no sign, no '+'; leading zeros are digits like any other.
// *digits is always their count, so a caller can judge the count (at most N
// digits, no leading zero) and what follows. Returns 1 with their value in
// *value when there is at least one digit and the value is at most `max`;
// 0 when there is none, or when the value exceeds `max` (also beyond 64
// bits: it never wraps and never saturates). *value is set only on 1.
int decimal_read(const char* text, size_t length, unsigned long long max, unsigned long long* value,
                 size_t* digits);
// `value` in decimal digits, terminated; returns their count (1 to 20).
size_t decimal_text(unsigned long long value, char out[21]);
// `count` bytes from 2 * count lower-case hex digits; 0 at any other byte.
int hex_bytes(const char* hex, size_t count, unsigned char* out);
// The next key of a comma-separated list of public keys (128 lower-case hex
// digits each: X and Y of an ECDSA P-256 key), moving the cursor past it;
// 0 at the end or at anything else.
int list_key_next(const char** cursor, unsigned char key[LIST_KEY_BYTES]);

#endif
