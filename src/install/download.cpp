// A part's archive in the downloads folder: kept when an earlier run already
// fetched it whole, otherwise downloaded into downloads\<sha256>.zip.part while
// it is hashed, checked against its digest and moved into place. What a broken
// attempt or an earlier run left in the partial archive is carried on from.
#include "setup.h"

#include <string.h>

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

// Feeds what `file` holds from its position on into `hash`, 1 MiB at a time
// through one static buffer, up to the first read that fails or returns
// nothing. Returns the number of bytes fed; `whole` tells that no read failed.
unsigned long long hash_rest(HANDLE file, BCRYPT_HASH_HANDLE hash, int* whole) {
    static unsigned char chunk[1048576];
    unsigned long long count = 0;
    *whole = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, chunk, sizeof chunk, &got, 0)) return count;
        if (got == 0) break;
        bcrypt()->BCryptHashData(hash, chunk, got, 0);
        count += got;
    }
    *whole = 1;
    return count;
}

// One part's download: the partial archive and its running hash (what
// file_sink is handed; first, so the record passes for a file_hash_ctx) and
// the provider that makes the hash again when the download starts over.
struct part_download {
    file_hash_ctx ctx;
    BCRYPT_ALG_HANDLE provider;
};

void restart_hash(part_download* d) {
    const bcrypt_functions* b = bcrypt();
    b->BCryptDestroyHash(d->ctx.hash);
    d->ctx.hash = 0;
    b->BCryptCreateHash(d->provider, &d->ctx.hash, 0, 0, 0, 0, 0);
}

// The partial archive cut to its first `held` bytes, positioned at its end.
int cut_at(HANDLE file, unsigned long long held) {
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)held;
    return SetFilePointerEx(file, at, 0, FILE_BEGIN) && SetEndOfFile(file);
}

// A 200 answer to a range request: the whole body comes again.
int rewind_download(void* context) {
    part_download* d = (part_download*)context;
    restart_hash(d);
    if (cut_at(d->ctx.file, 0)) return 1;
    DWORD error = GetLastError();
    d->ctx.write_error = error ? error : ERROR_WRITE_FAULT;
    return 0;
}

// How many bytes of a partial archive that an earlier run left are carried
// on from, hashed into the download's hash: none when there is none, when it
// cannot be read whole, or when it is larger than the part (then it goes).
unsigned long long held_partial(const wchar_t* partial, unsigned long long size, part_download* d) {
    HANDLE file = CreateFileW(partial, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, 0);
    if (file == INVALID_HANDLE_VALUE) return 0;
    LARGE_INTEGER length = {};
    int whole = 0;
    unsigned long long held = 0;
    if (GetFileSizeEx(file, &length) && (unsigned long long)length.QuadPart <= size)
        held = hash_rest(file, d->ctx.hash, &whole);
    CloseHandle(file);
    if (whole && held == (unsigned long long)length.QuadPart) return held;
    if ((unsigned long long)length.QuadPart > size) DeleteFileW(partial);
    restart_hash(d);
    return 0;
}

// The outcome classes, and one more: a 206 answer that broke off or was not
// the rest asked for is a broken transfer too.
int part_retryable(DWORD status) {
    return http_retryable(status) || status == 206;
}

}  // namespace

int file_sha256(const wchar_t* path, char digest[65]) {
    digest[0] = 0;
    const bcrypt_functions* b = bcrypt();
    BCRYPT_ALG_HANDLE provider = 0;
    if (b->BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, 0, 0) != 0) return 0;
    BCRYPT_HASH_HANDLE hash = 0;
    if (b->BCryptCreateHash(provider, &hash, 0, 0, 0, 0, 0) != 0) {
        b->BCryptCloseAlgorithmProvider(provider, 0);
        return 0;
    }
    unsigned char sum[32];
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, 0);
    int read_whole = file != INVALID_HANDLE_VALUE;
    if (read_whole) {
        int whole = 0;
        hash_rest(file, hash, &whole);
        CloseHandle(file);
    }
    b->BCryptFinishHash(hash, sum, sizeof sum, 0);
    b->BCryptDestroyHash(hash);
    b->BCryptCloseAlgorithmProvider(provider, 0);
    if (!read_whole) return 0;
    digest_text(sum, digest);
    return 1;
}

void part_fetch(const setup_list* list, unsigned index, const wchar_t* downloads,
                const wchar_t* archive) {
    const part_record* part = &list->parts[index];
    int n = (int)index + 1;
    int count = (int)list->part_count;
    char digest[65] = "";
    if (GetFileAttributesW(archive) != INVALID_FILE_ATTRIBUTES && file_sha256(archive, digest) &&
        strcmp(digest, part->sha256) == 0)
        return;  // an earlier run left it complete

    wchar_t partial[PATH_CAP];
    work_path(partial, L"%ls.part", archive);
    const bcrypt_functions* b = bcrypt();
    part_download d = {};
    b->BCryptOpenAlgorithmProvider(&d.provider, BCRYPT_SHA256_ALGORITHM, 0, 0);
    b->BCryptCreateHash(d.provider, &d.ctx.hash, 0, 0, 0, 0, 0);
    // What an earlier run got is asked for no more; whether this host takes
    // ranges, its first answer tells.
    http_range range = {held_partial(partial, part->size, &d), rewind_download, 1};
    int done = 0;
    DWORD last = 0;
    for (int a = 0; a < RETRY_TRIES && !done; ++a) {
        if (a != 0) {
            DWORD wait = g_waits[a - 1];
            status(L"Part %d of %d: the download server didn't answer (%lu). Trying again in %d s...",
                   n, count, g_http_status, (int)wait);
            retry_wait(a - 1, GetTickCount());
        }
        status(L"Downloading part %d of %d (%llu MB)...", n, count, part->size >> 20);
        // A host that does not take ranges sends the whole body again.
        if (!range.ranges && range.held) {
            restart_hash(&d);
            range.held = 0;
        }
        d.ctx.file = CreateFileW(partial, GENERIC_WRITE, 0, 0, OPEN_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN, 0);
        if (d.ctx.file == INVALID_HANDLE_VALUE) fail(L"Could not write to %ls.", downloads);
        if (!cut_at(d.ctx.file, range.held)) d.ctx.write_error = ERROR_WRITE_FAULT;
        g_http_status = 0;

        // A partial archive that holds the whole part needs no request.
        int ok = range.held == part->size && !d.ctx.write_error;
        if (!ok && !d.ctx.write_error) {
            // Every second attempt goes through the release API's link.
            char link[URL_CAP];
            const char* source = part->url;
            const wchar_t* accept = 0;
            if ((a & 1) && api_link_for(part->url, link)) {
                source = link;
                accept = L"application/octet-stream";
            }
            ok = http_get_range(source, file_sink, &d, part->size, accept, &range);
        }
        CloseHandle(d.ctx.file);
        InterlockedExchange(&g_percent, -1);
        if (ok) {
            done = 1;
            break;
        }
        // A disk that cannot take the archive is not the server's fault, and
        // asking again only fills it again.
        if (d.ctx.write_error) {
            DeleteFileW(partial);
            fail(L"Could not write to %ls.", downloads);
        }
        last = g_http_status;
        if (!part_retryable(last)) break;
        // A body that ran on past its length is not carried on from.
        if (range.held == part->size) range.ranges = 0;
    }
    unsigned char sum[32];
    b->BCryptFinishHash(d.ctx.hash, sum, sizeof sum, 0);
    b->BCryptDestroyHash(d.ctx.hash);
    b->BCryptCloseAlgorithmProvider(d.provider, 0);
    if (!done) {
        // What passing trouble let arrive is kept: the next run carries on from it.
        if (!part_retryable(last) || range.held == 0) DeleteFileW(partial);
        if (part_retryable(last))
            fail(L"Downloading part %d of %d failed: GitHub's download servers are failing right now "
                 L"(" RETRY_TOLD L"). This is on GitHub's side. The parts already downloaded are "
                 L"kept: run StonewakeBuilder.exe again in a few minutes and it carries on from here.",
                 n, count);
        fail(L"Downloading part %d of %d failed. Check your connection and free space, then try again.",
             n, count);
    }
    digest_text(sum, digest);
    if (strcmp(digest, part->sha256) != 0) {
        DeleteFileW(partial);
        fail(L"Part %d of %d did not download correctly (its checksum differs). Try again.", n, count);
    }
    if (!move_with_retries(partial, archive, MOVEFILE_REPLACE_EXISTING)) {
        DWORD error = GetLastError();
        DeleteFileW(partial);
        fail(L"Could not place part %d of %d in %ls (Windows error %lu).", n, count, downloads, error);
    }
}
