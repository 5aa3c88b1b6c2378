// download_main.exe: one timed download through the setup's own http_get into
// its file_sink, so the body is written and hashed as it arrives and never
// read back, exactly as a part is fetched.
//
//   download_main <url> <file> <expected size> [file|hash|none]
//
// The last argument picks the sink, to see where the time goes: file (the
// default) is the setup's file_sink; hash only hashes (no file is made); none
// drops the bytes. Prints "<sha256 hex or -> <elapsed ms> <bytes>" on one
// line. The time runs from opening the file to closing it (hash finished),
// the connection and TLS handshake included. Exit 0 on success, 1 when the
// download failed, 2 on a usage error. Progress messages go to no window
// (no window is made).
#include "setup.h"

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "release/release.h"

namespace {

struct counted {
    file_hash_ctx ctx;
    int hash;
    unsigned long long bytes;
};

int count_sink(void* context, const void* bytes, DWORD count) {
    counted* c = (counted*)context;
    c->bytes += count;
    return !c->hash || BCryptHashData(c->ctx.hash, (PUCHAR)bytes, count, 0) == 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const wchar_t* mode = argc == 5 ? argv[4] : L"file";
    int to_file = wcscmp(mode, L"file") == 0;
    int hash = to_file || wcscmp(mode, L"hash") == 0;
    if ((argc != 4 && argc != 5) || (!hash && wcscmp(mode, L"none") != 0)) {
        fprintf(stderr, "usage: download_main <url> <file> <expected size> [file|hash|none]\n");
        return 2;
    }
    char url[URL_CAP];
    if (!WideCharToMultiByte(CP_UTF8, 0, argv[1], -1, url, URL_CAP, 0, 0)) {
        fprintf(stderr, "download_main: the url is too long\n");
        return 2;
    }
    unsigned long long expected = _wcstoui64(argv[3], 0, 10);

    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);

    counted sink = {};
    sink.hash = hash;
    if (to_file) {
        sink.ctx.file = CreateFileW(argv[2], GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN, 0);
        if (sink.ctx.file == INVALID_HANDLE_VALUE) {
            fprintf(stderr, "download_main: cannot create the file (error %lu)\n", GetLastError());
            return 1;
        }
    }
    BCRYPT_ALG_HANDLE provider = 0;
    if (hash && (BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, 0, 0) != 0 ||
                 BCryptCreateHash(provider, &sink.ctx.hash, 0, 0, 0, 0, 0) != 0)) {
        fprintf(stderr, "download_main: no SHA-256 provider\n");
        return 1;
    }
    int ok = to_file ? http_get(url, file_sink, &sink.ctx, expected, 0)
                     : http_get(url, count_sink, &sink, expected, 0);
    unsigned char sum[32];
    if (hash) {
        BCryptFinishHash(sink.ctx.hash, sum, sizeof sum, 0);
        BCryptDestroyHash(sink.ctx.hash);
        BCryptCloseAlgorithmProvider(provider, 0);
    }
    if (to_file) {
        LARGE_INTEGER size = {};
        GetFileSizeEx(sink.ctx.file, &size);
        sink.bytes = (unsigned long long)size.QuadPart;
        CloseHandle(sink.ctx.file);
    }

    QueryPerformanceCounter(&end);
    double ms = (double)(end.QuadPart - start.QuadPart) * 1000.0 / (double)frequency.QuadPart;
    if (!ok) {
        fprintf(stderr, "download_main: the download failed (HTTP status %lu)\n", http_status());
        return 1;
    }
    char hex[65] = "-";
    if (hash)
        for (int i = 0; i < 32; ++i) sprintf(hex + 2 * i, "%02x", sum[i]);
    printf("%s %.1f %llu\n", hex, ms, sink.bytes);
    return 0;
}
