// A part's archive in the downloads folder: kept when an earlier run already
// fetched it whole, otherwise downloaded into downloads\<sha256>.zip.part while
// it is hashed, checked against its digest and moved into place. What a broken
// attempt or an earlier run left in the partial archive is carried on from;
// when the digest then differs, the part is downloaded once more from its
// first byte.
#include "setup.h"

#include <string.h>

#include "app/owned.h"
#include "app/system_dll.h"

namespace {

void digest_text(const unsigned char digest[32], char out[65]) {
    static const char hex[] = "0123456789abcdef";
    for (int i = 0; i < 32; ++i) {
        out[2 * i] = hex[digest[i] >> 4];
        out[2 * i + 1] = hex[digest[i] & 15];
    }
    out[64] = 0;
}

void destroy_hash(void* hash) {
    const bcrypt_functions* b = bcrypt_loaded();
    if (b) b->BCryptDestroyHash(hash);
}

// A running SHA-256 over CNG.
struct sha256 {
    owned_handle hash{destroy_hash};
};

// The algorithm asked of CNG. Test builds ask, when STONEWAKE_TEST_NO_SHA256
// is set, for one it does not have, so that the provider really cannot be
// opened (Wine's CNG always has SHA-256). Release builds have no such code.
const wchar_t* sha256_algorithm() {
#if defined(STONEWAKE_TEST_HOOKS)
    if (GetEnvironmentVariableW(L"STONEWAKE_TEST_NO_SHA256", 0, 0)) return L"STONEWAKE-NO-SUCH-HASH";
#endif
    return BCRYPT_SHA256_ALGORITHM;
}

// Without the hash nothing downloaded can be checked: a set-up call that
// fails ends the run, naming itself.
MAY_END_RUN void sha256_check(NTSTATUS result, const wchar_t* call) {
    if (result != 0)
        fail(L"Could not set up SHA-256 hashing (%ls, Windows error 0x%08lx).", call, (unsigned long)result);
}

// The run's one SHA-256 provider, opened by sha256_ready on the worker and
// kept: hashes are made from it on any thread, and a hash that runs beside
// the worker never opens anything that could fail.
BCRYPT_ALG_HANDLE g_sha256;

// Starts the hash, or starts it over; 0 when it cannot be had.
int sha256_begin(sha256* s) {
    s->hash.reset(0);
    const bcrypt_functions* b = bcrypt_loaded();
    BCRYPT_HASH_HANDLE hash = 0;
    if (!g_sha256 || !b || b->BCryptCreateHash(g_sha256, &hash, 0, 0, 0, 0, 0) != 0) return 0;
    s->hash.reset(hash);
    return 1;
}

// The same on the worker, which the hash cannot do without.
MAY_END_RUN void sha256_start(sha256* s) {
    sha256_ready();
    BCRYPT_HASH_HANDLE hash = 0;
    sha256_check(bcrypt()->BCryptCreateHash(g_sha256, &hash, 0, 0, 0, 0, 0), L"BCryptCreateHash");
    s->hash.reset(hash);
}

// The digest of what was hashed, as 64 hex digits; the hash is done with.
void sha256_text(sha256* s, char digest[65]) {
    unsigned char sum[32];
    bcrypt_loaded()->BCryptFinishHash(s->hash.get(), sum, sizeof sum, 0);
    s->hash.reset(0);
    digest_text(sum, digest);
}

// Feeds what `file` holds from its position on into `hash`, a `chunk` at a
// time, up to the first read that fails or returns nothing. Returns the
// number of bytes fed; `whole` tells that no read failed.
unsigned long long hash_rest(HANDLE file, BCRYPT_HASH_HANDLE hash, unsigned char* chunk, DWORD size,
                             int* whole) {
    const bcrypt_functions* b = bcrypt_loaded();
    unsigned long long count = 0;
    *whole = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, chunk, size, &got, 0)) return count;
        if (got == 0) break;
        b->BCryptHashData(hash, chunk, got, 0);
        count += got;
    }
    *whole = 1;
    return count;
}

// One part's download: the partial archive and its running hash (what
// file_sink is handed; first, so the record passes for a file_hash_ctx).
struct part_download {
    file_hash_ctx ctx;
    sha256 sum;
    const part_record* part;
    int n;
    int count;
    const wchar_t* downloads;
    wchar_t partial[PATH_CAP];
    http_range range;
    int resumed;  // the last attempt carried on from bytes it did not fetch itself
};

// The partial archive is filled from its first byte again.
MAY_END_RUN void hash_again(part_download* d) {
    sha256_start(&d->sum);
    d->ctx.hash = d->sum.hash.get();
    d->range.held = 0;
    d->resumed = 0;
}

// The partial archive cut to its first `held` bytes, positioned at its end.
int cut_at(HANDLE file, unsigned long long held) {
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)held;
    return SetFilePointerEx(file, at, 0, FILE_BEGIN) && SetEndOfFile(file);
}

// A 200 answer to a range request: the whole body comes again.
MAY_END_RUN int rewind_download(void* context) {
    part_download* d = (part_download*)context;
    hash_again(d);
    if (cut_at(d->ctx.file, 0)) return 1;
    DWORD error = GetLastError();
    d->ctx.write_error = error ? error : ERROR_WRITE_FAULT;
    return 0;
}

// How many bytes of a partial archive that an earlier run left are carried
// on from, hashed into the download's hash: none when there is none, when it
// cannot be read whole, or when it is larger than the part (then it goes).
MAY_END_RUN unsigned long long held_partial(part_download* d) {
    owned_handle file(close_file, CreateFileW(d->partial, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING,
                                              FILE_FLAG_SEQUENTIAL_SCAN, 0));
    if (!file.valid()) return 0;
    LARGE_INTEGER length = {};
    int whole = 0;
    unsigned long long held = 0;
    int read = GetFileSizeEx(file.get(), &length);
    int larger = (unsigned long long)length.QuadPart > d->part->size;
    static unsigned char chunk[1048576];  // the worker's alone
    if (read && !larger) held = hash_rest(file.get(), d->ctx.hash, chunk, sizeof chunk, &whole);
    file.reset(0);  // closed before it may go
    if (whole && held == (unsigned long long)length.QuadPart) return held;
    if (larger) DeleteFileW(d->partial);
    hash_again(d);
    return 0;
}

// The outcome classes, and one more: a 206 answer that broke off or was not
// the rest asked for is a broken transfer too.
int part_retryable(DWORD status) {
    return http_retryable(status) || status == 206;
}

// One attempt's transfer into the partial archive, cut to what it holds; 1
// when the part is whole. Every second attempt goes through the release
// API's link.
MAY_END_RUN int transfer(part_download* d, int attempt) {
    owned_handle file(close_file, CreateFileW(d->partial, GENERIC_WRITE, 0, 0, OPEN_ALWAYS,
                                              FILE_FLAG_SEQUENTIAL_SCAN, 0));
    if (!file.valid()) fail(L"Could not write to %ls.", d->downloads);
    d->ctx.file = file.get();
    if (!cut_at(file.get(), d->range.held)) {
        d->ctx.write_error = ERROR_WRITE_FAULT;
        return 0;
    }
    g_http_status = 0;
    // A partial archive that holds the whole part needs no request.
    if (d->range.held == d->part->size) return 1;
    char link[URL_CAP];
    if ((attempt & 1) && api_link_for(d->part->url, link))
        return http_get_range(link, file_sink, d, d->part->size, L"application/octet-stream", &d->range);
    return http_get_range(d->part->url, file_sink, d, d->part->size, 0, &d->range);
}

MAY_END_RUN int part_attempt(part_download* d, int attempt) {
    // A host that does not take ranges sends the whole body again.
    if (!d->range.ranges && d->range.held) hash_again(d);
    d->resumed = d->range.held != 0;
    int ok = transfer(d, attempt);
    InterlockedExchange(&g_percent, -1);
    if (ok) return ATTEMPT_OK;
    // A disk that cannot take the archive is not the server's fault, and
    // asking again only fills it again.
    if (d->ctx.write_error) {
        DeleteFileW(d->partial);
        fail(L"Could not write to %ls.", d->downloads);
    }
    if (!part_retryable(g_http_status)) return ATTEMPT_FINAL;
    // A body that ran on past its length is not carried on from.
    if (d->range.held == d->part->size) d->range.ranges = 0;
    return ATTEMPT_RETRY;
}

// The attempts on the retry schedule; `shown`: the first one's status line
// is on screen already. Between two, the part before (which may still be
// unpacking) is waited for within the wait: its failure is reported, as its
// own, before this part is asked for again.
MAY_END_RUN int part_attempts(part_download* d, int shown) {
    for (int attempt = 0;; ++attempt) {
        if (attempt != 0) {
            status(L"Part %d of %d: the download server didn't answer (%lu). Trying again in %d s...", d->n,
                   d->count, g_http_status, (int)g_waits[attempt - 1]);
            DWORD began = GetTickCount();
            unpack_finish();
            retry_wait(attempt - 1, began);
        }
        if (attempt != 0 || !shown)
            status(L"Downloading part %d of %d (%llu MB)...", d->n, d->count, d->part->size >> 20);
        int outcome = part_attempt(d, attempt);
        if (outcome != ATTEMPT_RETRY || attempt == RETRY_TRIES - 1) return outcome;
    }
}

MAY_END_RUN void part_give_up(part_download* d, int outcome) {
    // What passing trouble let arrive is kept: the next run carries on from it.
    if (outcome == ATTEMPT_FINAL || d->range.held == 0) DeleteFileW(d->partial);
    if (outcome == ATTEMPT_RETRY)
        fail(L"Downloading part %d of %d failed: GitHub's download servers are failing right now "
             L"(" RETRY_TOLD L"). This is on GitHub's side. The parts already downloaded are kept: run "
             L"StonewakeBuilder.exe again in a few minutes and it carries on from here.",
             d->n, d->count);
    fail(L"Downloading part %d of %d failed. Check your connection and free space, then try again.", d->n,
         d->count);
}

// Downloads the part into its partial archive (or ends the run); 1 when
// its digest is the listed one.
MAY_END_RUN int part_download_checked(part_download* d, int shown) {
    int outcome = part_attempts(d, shown);
    if (outcome != ATTEMPT_OK) part_give_up(d, outcome);
    char digest[65];
    sha256_text(&d->sum, digest);
    return strcmp(digest, d->part->sha256) == 0;
}

}  // namespace

void sha256_ready(void) {
    if (g_sha256) return;
    BCRYPT_ALG_HANDLE provider = 0;
    sha256_check(bcrypt()->BCryptOpenAlgorithmProvider(&provider, sha256_algorithm(), 0, 0),
                 L"BCryptOpenAlgorithmProvider");
    g_sha256 = provider;
}

int file_identity_of(HANDLE file, file_identity* out) {
    // Not GetFileInformationByHandle: it asks for the volume too, which costs
    // Wine a look at the drive for every file.
    FILE_BASIC_INFO basic;
    FILE_STANDARD_INFO standard;
    if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) ||
        !GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard))
        return 0;
    out->created = (unsigned long long)basic.CreationTime.QuadPart;
    out->written = (unsigned long long)basic.LastWriteTime.QuadPart;
    out->size = (unsigned long long)standard.EndOfFile.QuadPart;
    return 1;
}

int file_identity_same(const file_identity* a, const file_identity* b) {
    return a->created == b->created && a->written == b->written && a->size == b->size;
}

int file_sha256(const wchar_t* path, char digest[65], file_identity* identity) {
    digest[0] = 0;
    owned_handle file(close_file, CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING,
                                              FILE_FLAG_SEQUENTIAL_SCAN, 0));
    sha256 sum;
    if (!file.valid() || !sha256_begin(&sum)) return 0;
    file_identity before, after;
    int whole = 0;
    unsigned char chunk[65536];  // called side by side: a buffer of its own
    if (!file_identity_of(file.get(), &before)) return 0;
    hash_rest(file.get(), sum.hash.get(), chunk, sizeof chunk, &whole);
    // A file written to while it was read is not the one hashed.
    if (!whole || !file_identity_of(file.get(), &after) || !file_identity_same(&before, &after)) return 0;
    sha256_text(&sum, digest);
    if (identity) *identity = after;
    return 1;
}

void sha256_of(const void* bytes, size_t count, unsigned char out[32]) {
    sha256 sum;
    sha256_start(&sum);
    const bcrypt_functions* b = bcrypt();
    b->BCryptHashData(sum.hash.get(), (PUCHAR)bytes, (ULONG)count, 0);
    b->BCryptFinishHash(sum.hash.get(), out, 32, 0);
}

void part_fetch(const setup_list* list, unsigned index, const wchar_t* downloads,
                const wchar_t* archive) {
    part_download d = {};
    d.part = &list->parts[index];
    d.n = (int)index + 1;
    d.count = (int)list->part_count;
    d.downloads = downloads;
    char digest[65] = "";
    sha256_ready();
    if (GetFileAttributesW(archive) != INVALID_FILE_ATTRIBUTES && file_sha256(archive, digest, 0) &&
        strcmp(digest, d.part->sha256) == 0)
        return;  // an earlier run left it complete

    work_path(d.partial, L"%ls.part", archive);
    hash_again(&d);
    // What an earlier run got is asked for no more; whether this host takes
    // ranges, its first answer tells.
    d.range.rewind = rewind_download;
    d.range.ranges = 1;
    d.range.held = held_partial(&d);
    int good = part_download_checked(&d, 0);
    // What was carried on from may be what is wrong (zeros a power cut left,
    // a cut-off page): the part comes once more, whole.
    if (!good && d.resumed) {
        hash_again(&d);
        good = part_download_checked(&d, 1);
    }
    if (!good) {
        DeleteFileW(d.partial);
        fail(L"Part %d of %d did not download correctly (its checksum differs). Try again.", d.n, d.count);
    }
    if (!move_with_retries(d.partial, archive, MOVEFILE_REPLACE_EXISTING)) {
        DWORD error = GetLastError();
        DeleteFileW(d.partial);
        fail(L"Could not place part %d of %d in %ls (Windows error %lu).", d.n, d.count, downloads, error);
    }
}
