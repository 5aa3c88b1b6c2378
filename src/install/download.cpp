// A part's archive in the downloads folder: kept when an earlier run already
// fetched it whole, otherwise downloaded into downloads\<sha256>.zip.part while
// it is hashed, checked against its digest and moved into place. What a broken
// attempt or an earlier run left in the partial archive is carried on from;
// when the digest then differs, the part is downloaded once more from its
// first byte.
#include "install/install.h"

#include <string.h>

#include "base/owned.h"
#include "base/system_dll.h"
#include "base/base.h"
#include "ui/ui.h"
#include "home/home.h"

namespace {

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
    http_status_set(0);
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
    if (!part_retryable(http_status())) return ATTEMPT_FINAL;
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
                   d->count, http_status(), (int)g_waits[attempt - 1]);
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

void part_fetch(const setup_list* list, unsigned index, const wchar_t* downloads,
                const wchar_t* archive) {
    part_download d = {};
    d.part = &list->parts[index];
    d.n = (int)index + 1;
    d.count = (int)list->part_count;
    d.downloads = downloads;
    d.ctx.poll = unpack_poll;  // the part before this one may be unpacking meanwhile
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
