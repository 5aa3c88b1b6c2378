// A part's archive in the downloads folder: kept when an earlier run already
// fetched it whole, otherwise downloaded into downloads\<sha256>.zip.part while
// it is hashed, checked against its digest and moved into place.
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

}  // namespace

int file_sha256(const wchar_t* path, char digest[65]) {
    static unsigned char chunk[1048576];
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
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(file, chunk, sizeof chunk, &got, 0)) break;
            if (got == 0) break;
            b->BCryptHashData(hash, chunk, got, 0);
        }
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
    int done = 0;
    DWORD last = 0;
    for (int a = 0; a < 8 && !done; ++a) {
        if (a != 0) {
            DWORD wait = g_waits[a - 1];
            status(L"Part %d of %d: the download server didn't answer (%lu). Trying again in %d s...",
                   n, count, g_http_status, (int)wait);
            setup_sleep(wait * 1000);
        }
        status(L"Downloading part %d of %d (%llu MB)...", n, count, part->size >> 20);
        const bcrypt_functions* b = bcrypt();
        file_hash_ctx ctx = {};
        ctx.file = CreateFileW(partial, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN, 0);
        if (ctx.file == INVALID_HANDLE_VALUE) fail(L"Could not write to %ls.", downloads);
        BCRYPT_ALG_HANDLE provider = 0;
        b->BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, 0, 0);
        b->BCryptCreateHash(provider, &ctx.hash, 0, 0, 0, 0, 0);
        g_http_status = 0;

        // Every second attempt goes through the release API's link.
        char link[URL_CAP];
        const char* source = part->url;
        const wchar_t* accept = 0;
        if ((a & 1) && api_link_for(part->url, link)) {
            source = link;
            accept = L"application/octet-stream";
        }
        int ok = http_get(source, file_sink, &ctx, part->size, accept);

        unsigned char sum[32];
        CloseHandle(ctx.file);
        b->BCryptFinishHash(ctx.hash, sum, sizeof sum, 0);
        b->BCryptDestroyHash(ctx.hash);
        b->BCryptCloseAlgorithmProvider(provider, 0);
        InterlockedExchange(&g_percent, -1);
        if (ok) {
            digest_text(sum, digest);
            done = 1;
            break;
        }
        // A disk that cannot take the archive is not the server's fault, and
        // asking again only fills it again.
        if (ctx.write_error) {
            DeleteFileW(partial);
            fail(L"Could not write to %ls.", downloads);
        }
        last = g_http_status;
        if (!http_retryable(last)) break;
    }
    if (!done) {
        DeleteFileW(partial);
        if (http_retryable(last))
            fail(L"Downloading part %d of %d failed: GitHub's download servers are failing right now "
                 L"(tried 8 times over 3 minutes). This is on GitHub's side. The parts already "
                 L"downloaded are kept: run StonewakeBuilder.exe again in a few minutes and it "
                 L"carries on from here.",
                 n, count);
        fail(L"Downloading part %d of %d failed. Check your connection and free space, then try again.",
             n, count);
    }
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
