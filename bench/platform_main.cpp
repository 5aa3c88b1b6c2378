// platform_main.exe: only the platform's part of the setup's jobs, with none
// of the setup's own code, so that the setup can be held against what Windows
// (here: Wine) allows at best.
//
//   platform_main download <url> <file>
//       WinHTTP GET into a file while hashing it with CNG SHA-256.
//       Prints "<sha256 hex> <elapsed ms> <bytes>".
//   platform_main install <setup list url> <destination>
//       The setup list, then for every part, one after the other: its archive
//       downloaded into <destination>\downloads while hashed, its digest
//       checked, then tar.exe (the system folder's) -xf into
//       <destination>\<dir>, waited for. One WinHTTP session, connections
//       kept alive. Prints "<elapsed ms> <bytes> <parts>".
//   platform_main start <setup list url> <exe>
//       The setup list into memory (one GET), then <exe> started (not waited
//       for): what a start with the version already installed needs at least.
//       Prints "<elapsed ms> <bytes> 1".
//   platform_main requests <url> <count> one|each
//       <count> GETs of <url> (bodies dropped after hashing), in one WinHTTP
//       session or a new session each: what a session per request costs.
//       Prints "<elapsed ms> <bytes> <count>".
//   platform_main link <source folder> <destination folder>
//       The source tree rebuilt at the destination: folders made, every file
//       hard-linked, one CreateHardLinkW after another (what taking over an
//       unchanged part costs at least on one thread). Prints
//       "<elapsed ms> <files> 1".
//   platform_main ranges <url> <first>-<last>[,<first>-<last>...]
//       Each byte range of <url> asked for with its Range header, one after
//       another in one WinHTTP session (each answer must be a 206), bodies
//       hashed and dropped: what fetching a part's changed records costs.
//       Prints "<elapsed ms> <bytes> <ranges>".
//   platform_main hash <folder> -
//       Every file below the folder read whole and hashed with CNG SHA-256,
//       one after another (what checking an installed version costs at least
//       on one thread). Prints "<elapsed ms> <bytes> <files>".
//
// Times run from the first WinHTTP call to the last byte (or tar's end).
// Exit 0 on success, 1 when a step failed (a line on stderr says which), 2 on
// a usage error.
#include <windows.h>
#include <bcrypt.h>
#include <winhttp.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

namespace {

HINTERNET g_session;
BCRYPT_ALG_HANDLE g_sha256;
wchar_t g_range[64];  // "Range: bytes=<first>-<last>" for the next request, when set
unsigned char g_buf[65536];

struct body {
    HANDLE file;        // written when not INVALID_HANDLE_VALUE
    char* text;         // else collected here (the setup list)
    size_t len, cap;
    unsigned long long bytes;
    unsigned char sum[32];
};

int fetch(const wchar_t* url, body* out) {
    wchar_t host[256], path[2048];
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 2048;
    if (!WinHttpCrackUrl(url, 0, 0, &parts)) return 0;
    HINTERNET connection = WinHttpConnect(g_session, host, parts.nPort, 0);
    HINTERNET request = connection ? WinHttpOpenRequest(connection, L"GET", path, 0, WINHTTP_NO_REFERER,
                                                        WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE)
                                   : 0;
    BCRYPT_HASH_HANDLE hash = 0;
    int ok = request && BCryptCreateHash(g_sha256, &hash, 0, 0, 0, 0, 0) == 0 &&
             WinHttpSendRequest(request, g_range[0] ? g_range : WINHTTP_NO_ADDITIONAL_HEADERS,
                                g_range[0] ? (DWORD)-1L : 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
             WinHttpReceiveResponse(request, 0);
    DWORD code = 0, size = sizeof code;
    if (ok)
        WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX);
    ok = ok && code == (g_range[0] ? 206u : 200u);
    while (ok) {
        DWORD n = 0;
        if (!WinHttpReadData(request, g_buf, sizeof g_buf, &n)) ok = 0;
        if (!ok || n == 0) break;
        if (BCryptHashData(hash, g_buf, n, 0) != 0) ok = 0;
        if (out->file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            if (!WriteFile(out->file, g_buf, n, &written, 0) || written != n) ok = 0;
        } else {
            if (out->len + n + 1 > out->cap) {
                out->cap = 2 * (out->len + n + 1);
                out->text = (char*)realloc(out->text, out->cap);
                if (!out->text) ok = 0;
            }
            if (ok) {
                memcpy(out->text + out->len, g_buf, n);
                out->len += n;
                out->text[out->len] = 0;
            }
        }
        out->bytes += n;
    }
    if (hash) {
        BCryptFinishHash(hash, out->sum, 32, 0);
        BCryptDestroyHash(hash);
    }
    if (request) WinHttpCloseHandle(request);
    if (connection) WinHttpCloseHandle(connection);
    if (!ok) fwprintf(stderr, L"platform_main: GET %ls failed (status %lu, error %lu)\n", url, code, GetLastError());
    return ok;
}

void hex(const unsigned char* sum, char* out) {
    for (int i = 0; i < 32; ++i) sprintf(out + 2 * i, "%02x", sum[i]);
}

int fetch_to_file(const wchar_t* url, const wchar_t* file, body* out) {
    out->file = CreateFileW(file, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN, 0);
    if (out->file == INVALID_HANDLE_VALUE) {
        fwprintf(stderr, L"platform_main: cannot create %ls (error %lu)\n", file, GetLastError());
        return 0;
    }
    int ok = fetch(url, out);
    CloseHandle(out->file);
    return ok;
}

// tar.exe -xf <archive> -C <folder>, from the system folder, hidden and
// without a console (so no console host starts with it); waited for.
int untar(const wchar_t* archive, const wchar_t* folder) {
    wchar_t system[MAX_PATH], command[4096];
    GetSystemDirectoryW(system, MAX_PATH);
    _snwprintf(command, 4096, L"\"%ls\\tar.exe\" -xf \"%ls\" -C \"%ls\"", system, archive, folder);
    command[4095] = 0;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process;
    if (!CreateProcessW(0, command, 0, 0, FALSE, DETACHED_PROCESS, 0, folder, &startup, &process)) {
        fwprintf(stderr, L"platform_main: cannot start tar (error %lu)\n", GetLastError());
        return 0;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (code) fwprintf(stderr, L"platform_main: tar -xf %ls ended with %lu\n", archive, code);
    return code == 0;
}

// Makes every folder of `path` (a full path).
void make_folders(wchar_t* path) {
    for (wchar_t* p = path + 3; *p; ++p)
        if (*p == L'\\') {
            *p = 0;
            CreateDirectoryW(path, 0);
            *p = L'\\';
        }
    CreateDirectoryW(path, 0);
}

HINTERNET open_session() {
    HINTERNET session = WinHttpOpen(L"platform_main/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session)
        session = WinHttpOpen(L"platform_main/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0);
    return session;
}

// Each range of the comma-separated list, one request after another.
int ranges(const wchar_t* url, const wchar_t* list, unsigned long long* bytes, int* count) {
    for (const wchar_t* p = list; *p;) {
        const wchar_t* end = wcschr(p, L',');
        size_t n = end ? (size_t)(end - p) : wcslen(p);
        _snwprintf(g_range, 64, L"Range: bytes=%.*ls", (int)n, p);
        g_range[63] = 0;
        body out = {};
        out.file = INVALID_HANDLE_VALUE;
        if (!fetch(url, &out)) return 0;
        free(out.text);
        *bytes += out.bytes;
        ++*count;
        p += n + (end ? 1 : 0);
    }
    g_range[0] = 0;
    return 1;
}

int requests(const wchar_t* url, int count, int each, unsigned long long* bytes) {
    for (int i = 0; i < count; ++i) {
        if (each && i) {
            WinHttpCloseHandle(g_session);
            g_session = open_session();
        }
        body out = {};
        out.file = INVALID_HANDLE_VALUE;
        if (!g_session || !fetch(url, &out)) return 0;
        free(out.text);
        *bytes += out.bytes;
    }
    return 1;
}

int install(const wchar_t* list_url, const wchar_t* destination, unsigned long long* bytes, int* count) {
    body list = {};
    list.file = INVALID_HANDLE_VALUE;
    if (!fetch(list_url, &list)) return 0;
    *bytes += list.bytes;
    wchar_t downloads[MAX_PATH];
    _snwprintf(downloads, MAX_PATH, L"%ls\\downloads", destination);
    make_folders(downloads);
    for (char* line = strtok(list.text, "\r\n"); line; line = strtok(0, "\r\n")) {
        char sha[65], dir[512], from[512], to[512], url[2048];
        unsigned long long size;
        if (sscanf(line, "part %64s %llu %511s %511s %511s %2047s", sha, &size, dir, from, to, url) != 6) continue;
        wchar_t wide_url[2048], archive[MAX_PATH], folder[MAX_PATH];
        MultiByteToWideChar(CP_UTF8, 0, url, -1, wide_url, 2048);
        _snwprintf(archive, MAX_PATH, L"%ls\\%hs.zip", downloads, sha);
        _snwprintf(folder, MAX_PATH, L"%ls\\%hs", destination, strcmp(dir, ".") ? dir : "");
        for (wchar_t* p = folder; *p; ++p)
            if (*p == L'/') *p = L'\\';
        size_t n = wcslen(folder);
        if (n && folder[n - 1] == L'\\') folder[n - 1] = 0;
        body part = {};
        char digest[65];
        if (!fetch_to_file(wide_url, archive, &part)) return 0;
        hex(part.sum, digest);
        if (strcmp(digest, sha) != 0) {
            fprintf(stderr, "platform_main: %s has digest %s\n", url, digest);
            return 0;
        }
        make_folders(folder);
        if (!untar(archive, folder)) return 0;
        *bytes += part.bytes;
        ++*count;
    }
    free(list.text);
    return *count > 0;
}

// The list, then the program started with CreateProcessW from its folder.
int list_then_start(const wchar_t* list_url, const wchar_t* exe, unsigned long long* bytes) {
    body list = {};
    list.file = INVALID_HANDLE_VALUE;
    if (!fetch(list_url, &list)) return 0;
    free(list.text);
    *bytes = list.bytes;
    wchar_t command[4096], folder[MAX_PATH];
    _snwprintf(command, 4096, L"\"%ls\"", exe);
    command[4095] = 0;
    wcsncpy(folder, exe, MAX_PATH - 1);
    folder[MAX_PATH - 1] = 0;
    wchar_t* slash = wcsrchr(folder, L'\\');
    if (slash) *slash = 0;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessW(0, command, 0, 0, FALSE, 0, 0, folder, &startup, &process)) {
        fwprintf(stderr, L"platform_main: cannot start %ls (error %lu)\n", exe, GetLastError());
        return 0;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 1;
}

// The tree at `source` rebuilt at `destination` by hard links; 0 at the
// first failure.
int link_tree(const wchar_t* source, const wchar_t* destination, unsigned long long* files) {
    if (!CreateDirectoryW(destination, 0)) return 0;
    wchar_t pattern[MAX_PATH];
    _snwprintf(pattern, MAX_PATH, L"%ls\\*", source);
    pattern[MAX_PATH - 1] = 0;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    int ok = 1;
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
        wchar_t from[MAX_PATH], to[MAX_PATH];
        _snwprintf(from, MAX_PATH, L"%ls\\%ls", source, found.cFileName);
        _snwprintf(to, MAX_PATH, L"%ls\\%ls", destination, found.cFileName);
        from[MAX_PATH - 1] = to[MAX_PATH - 1] = 0;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ok = link_tree(from, to, files);
        else ok = CreateHardLinkW(to, from, 0) && ++*files;
    } while (ok && FindNextFileW(search, &found));
    FindClose(search);
    return ok;
}

// Every file below `folder` hashed, one after another; 0 at the first failure.
int hash_tree(const wchar_t* folder, unsigned long long* bytes, int* files) {
    wchar_t pattern[MAX_PATH];
    _snwprintf(pattern, MAX_PATH, L"%ls\\*", folder);
    pattern[MAX_PATH - 1] = 0;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    int ok = 1;
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
        wchar_t path[MAX_PATH];
        _snwprintf(path, MAX_PATH, L"%ls\\%ls", folder, found.cFileName);
        path[MAX_PATH - 1] = 0;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            ok = hash_tree(path, bytes, files);
            continue;
        }
        HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, 0);
        BCRYPT_HASH_HANDLE hash = 0;
        ok = file != INVALID_HANDLE_VALUE && BCryptCreateHash(g_sha256, &hash, 0, 0, 0, 0, 0) == 0;
        DWORD got = 0;
        while (ok && ReadFile(file, g_buf, sizeof g_buf, &got, 0) && got) {
            BCryptHashData(hash, g_buf, got, 0);
            *bytes += got;
        }
        unsigned char sum[32];
        if (ok) ok = BCryptFinishHash(hash, sum, sizeof sum, 0) == 0;
        if (hash) BCryptDestroyHash(hash);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        ++*files;
    } while (ok && FindNextFileW(search, &found));
    FindClose(search);
    return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int many = argc == 5 && wcscmp(argv[1], L"requests") == 0 &&
               (wcscmp(argv[4], L"one") == 0 || wcscmp(argv[4], L"each") == 0);
    if (!many && (argc != 4 || (wcscmp(argv[1], L"download") && wcscmp(argv[1], L"install") &&
                                wcscmp(argv[1], L"start") && wcscmp(argv[1], L"link") &&
                                wcscmp(argv[1], L"hash") && wcscmp(argv[1], L"ranges")))) {
        fprintf(stderr, "usage: platform_main download <url> <file> | install <setup list url> <destination> | "
                        "start <setup list url> <exe> | requests <url> <count> one|each | link <source> "
                        "<destination> | ranges <url> <first>-<last>,... | hash <folder> -\n");
        return 2;
    }
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (wcscmp(argv[1], L"link") == 0) {
        unsigned long long files = 0;
        if (!link_tree(argv[2], argv[3], &files)) {
            fprintf(stderr, "platform_main: linking failed (error %lu)\n", GetLastError());
            return 1;
        }
        QueryPerformanceCounter(&end);
        printf("%.1f %llu 1\n", (double)(end.QuadPart - start.QuadPart) * 1000.0 / (double)frequency.QuadPart, files);
        return 0;
    }
    if (wcscmp(argv[1], L"hash") == 0) {
        unsigned long long bytes = 0;
        int files = 0;
        if (BCryptOpenAlgorithmProvider(&g_sha256, BCRYPT_SHA256_ALGORITHM, 0, 0) != 0 ||
            !hash_tree(argv[2], &bytes, &files)) {
            fprintf(stderr, "platform_main: hashing failed (error %lu)\n", GetLastError());
            return 1;
        }
        QueryPerformanceCounter(&end);
        printf("%.1f %llu %d\n", (double)(end.QuadPart - start.QuadPart) * 1000.0 / (double)frequency.QuadPart,
               bytes, files);
        return 0;
    }
    g_session = open_session();
    if (!g_session || BCryptOpenAlgorithmProvider(&g_sha256, BCRYPT_SHA256_ALGORITHM, 0, 0) != 0) {
        fprintf(stderr, "platform_main: no WinHTTP session or SHA-256 provider\n");
        return 1;
    }
    int ok;
    unsigned long long bytes = 0;
    char digest[65] = "-";
    int parts = 0;
    if (wcscmp(argv[1], L"ranges") == 0) {
        ok = ranges(argv[2], argv[3], &bytes, &parts);
    } else if (many) {
        parts = _wtoi(argv[3]);
        ok = requests(argv[2], parts, argv[4][0] == L'e', &bytes);
    } else if (argv[1][0] == L's') {
        ok = list_then_start(argv[2], argv[3], &bytes);
        parts = 1;
    } else if (argv[1][0] == L'd') {
        body out = {};
        ok = fetch_to_file(argv[2], argv[3], &out);
        bytes = out.bytes;
        hex(out.sum, digest);
    } else {
        ok = install(argv[2], argv[3], &bytes, &parts);
    }
    QueryPerformanceCounter(&end);
    if (!ok) return 1;
    double ms = (double)(end.QuadPart - start.QuadPart) * 1000.0 / (double)frequency.QuadPart;
    if (!many && argv[1][0] == L'd') printf("%s %.1f %llu\n", digest, ms, bytes);
    else printf("%.1f %llu %d\n", ms, bytes, parts);
    return 0;
}
