// The shared helpers below every subsystem: growing memory buffers, the
// waits and retries, work spread over the processors, SHA-256 hashing.
#ifndef STONEWAKE_BASE_BASE_H
#define STONEWAKE_BASE_BASE_H

#include "setup.h"

#include <bcrypt.h>

#include "base/owned.h"

// ---- memory (base/memory.cpp) ------------------------------------------------
struct mem_buf {
    char* data;
    unsigned long long len;
    unsigned long long cap;
};
// A sink (http_sink's form) that appends to a mem_buf, always keeping a 0
// after the bytes; 0 when out of memory (the buffer is then emptied).
int mem_sink(void* context, const void* bytes, DWORD count);
void mem_free(mem_buf* buffer);

// ---- waits (base/retry.cpp) ---------------------------------------------
// Every wait of the program goes through here, so a test build can shorten
// them all by one divisor. Callers pass (and messages show) the real time.
void setup_sleep(DWORD ms);
// The retry schedule of a request: RETRY_TRIES tries, g_waits[i] seconds
// before try i + 2; the messages tell it as RETRY_TOLD. Each try ends in one
// of the outcomes below.
#define RETRY_TRIES 8
#define RETRY_TOLD L"tried 8 times over 3 minutes"
extern const DWORD g_waits[RETRY_TRIES - 1];
enum { ATTEMPT_OK, ATTEMPT_RETRY, ATTEMPT_FINAL };
// The schedule's wait before try `retry` + 2, counted from `since` (a
// GetTickCount value): what the worker did since then is part of it.
void retry_wait(int retry, DWORD since);
// After try number `tries` failed with `error`: when another process may be
// holding what it needed for a moment (access denied, a sharing violation, or
// `also` when not 0) and fewer than 80 tries were made, waits 250 ms and
// returns 1; else returns 0 with the last error set to `error`.
int held_retry(int tries, DWORD error, DWORD also);
// Renames (MoveFileExW with `flags`), waiting out another process that holds
// the file or a file inside the folder, often an antivirus scan: up to 80
// tries, 250 ms apart, on ERROR_ACCESS_DENIED or ERROR_SHARING_VIOLATION.
// Returns 0 with the last error set.
int move_with_retries(const wchar_t* from, const wchar_t* to, DWORD flags);
// CreateProcessW with the same retries; 0 with the last error set. With a
// `job`, the child is in it before it runs (else it runs on its own).
int start_with_retries(wchar_t* command, BOOL inherit, DWORD flags, const wchar_t* folder,
                       STARTUPINFOW* startup, PROCESS_INFORMATION* process, HANDLE job);
// The start lock: a child is created and put in its job under it, and the
// process ends only holding it (process_end).
void child_start_lock(void);
void child_start_unlock(void);

// ---- spread (base/spread.cpp) ------------------------------------------------
enum { SPREAD_MAX = 4 };  // threads at most, the caller's included
// `job(context, i)` for every i below `count`, spread over up to
// spread_width() threads, the caller's among them: 1 when every call gave
// nonzero (after the first 0, calls not yet begun are skipped). Jobs run
// side by side: they share nothing writable but their own results, and never
// end the run.
int spread(size_t count, int (*job)(void* context, size_t i), void* context);
// The logical processors, at least 1 and at most SPREAD_MAX.
unsigned spread_width(void);
// Paths noted for a spread, one after another, each ending in 0.
struct path_list {
    mem_buf text;
    mem_buf starts;  // where each path starts in `text` (size_t each)
};
int path_list_add(path_list* list, const wchar_t* path);  // 0 when out of memory
size_t path_list_count(const path_list* list);
const wchar_t* path_list_at(const path_list* list, size_t i);
void path_list_free(path_list* list);

// ---- SHA-256 (base/sha256.cpp) ----------------------------------------------
// The run's SHA-256 provider opened (the run ends when it cannot be had):
// called on the worker before any hash runs beside it.
MAY_END_RUN void sha256_ready(void);
// A running SHA-256 over CNG.
void destroy_hash(void* hash);
struct sha256 {
    owned_handle hash{destroy_hash};
};
// The hash started (or started over) on the worker, which the hash cannot
// do without: a set-up call that fails ends the run.
MAY_END_RUN void sha256_start(sha256* s);
// The digest of what was hashed, as 64 hex digits; the hash is done with.
void sha256_text(sha256* s, char digest[65]);
// Feeds what `file` holds from its position on into `hash`, a `chunk` at a
// time, up to the first read that fails or returns nothing. Returns the
// number of bytes fed; `whole` tells that no read failed.
unsigned long long hash_rest(HANDLE file, BCRYPT_HASH_HANDLE hash, unsigned char* chunk, DWORD size,
                             int* whole);
// What tells a file from itself changed, shared by its hard links: its
// creation and last-write times and its size. A copy has a creation time of
// its own (on Windows; Wine gives it the source's, and a copy of an
// unchanged file holds the same bytes).
struct file_identity {
    unsigned long long created, written, size;
};
int file_identity_of(HANDLE file, file_identity* out);
int file_identity_same(const file_identity* a, const file_identity* b);
// The SHA-256 of a file, read whole and unchanged while it was read, with
// its identity (when `identity` is given). Never ends the run: 0 when the
// file cannot be read so, or the provider is not ready.
int file_sha256(const wchar_t* path, char digest[65], file_identity* identity);
MAY_END_RUN void sha256_of(const void* bytes, size_t count, unsigned char out[32]);

#endif
