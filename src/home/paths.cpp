// Bounded path helpers. Every path is at most 259 characters and its
// terminator; home_path is the one formatter through which paths are built.
#include "home/home.h"

#include <string.h>
#include <wchar.h>

#include "base/owned.h"
#include "ui/ui.h"

namespace {

int is_sep(wchar_t c) {
    return c == L'\\' || c == L'/';
}

}  // namespace

namespace {

const wchar_t too_long_portable[] =
    L"A path in this portable installation is too long for the Windows setup. Use a shorter "
    L"Builder home.";

MAY_END_RUN int home_path_v(wchar_t out[PATH_CAP], const wchar_t* fmt, va_list ap) {
    int n = format_bounded(out, PATH_CAP, fmt, ap);
    if (n < 0 || n >= PATH_CAP) {
        if (g_home.portable) fail(too_long_portable);
        return -1;
    }
    return n;
}

}  // namespace

int home_path(wchar_t out[PATH_CAP], const wchar_t* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = home_path_v(out, fmt, ap);
    va_end(ap);
    return n;
}

void work_path(wchar_t out[PATH_CAP], const wchar_t* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = home_path_v(out, fmt, ap);
    va_end(ap);
    // Outside a portable home home_path leaves a shortened text; the worker
    // never moves, deletes or creates anything through one.
    if (n < 0)
        fail(L"A path in the Builder home is too long for the Windows setup (%ls...). Use a "
             L"shorter Builder home.", out);
}

int qb_home_join(wchar_t* out, size_t capacity, const wchar_t* folder, const wchar_t* name) {
    size_t a = wcslen(folder);
    size_t b = wcslen(name);
    if (a + b + 2 > capacity) return 0;
    memmove(out, folder, a * sizeof(wchar_t));
    out[a] = L'\\';
    memcpy(out + a + 1, name, (b + 1) * sizeof(wchar_t));
    return 1;
}

int qb_home_full(wchar_t out[PATH_CAP], const wchar_t* in) {
    if (!in || !in[0]) return 0;
    int drive = ((in[0] >= L'A' && in[0] <= L'Z') || (in[0] >= L'a' && in[0] <= L'z')) &&
                in[1] == L':' && is_sep(in[2]);
    int network = 0;
    if (!drive && is_sep(in[0]) && is_sep(in[1])) {
        wchar_t third = in[2];
        if (third && third != L'.' && third != L'?' && !is_sep(third)) {
            const wchar_t* p = in + 2;
            while (*p && !is_sep(*p)) ++p;
            network = *p && p[1] && !is_sep(p[1]);
        }
    }
    if (!drive && !network) return 0;
    wchar_t full[PATH_CAP];
    DWORD n = GetFullPathNameW(in, PATH_CAP, full, 0);
    if (n == 0 || n >= PATH_CAP) return 0;
    // A device name makes the full form a device path (\\.\CON): no folder.
    if (full[0] == L'\\' && full[1] == L'\\' && (full[2] == L'.' || full[2] == L'?')) return 0;
    while (n > 3 && is_sep(full[n - 1])) full[--n] = 0;
    memcpy(out, full, (n + 1) * sizeof(wchar_t));
    return 1;
}

int qb_home_is_root(const wchar_t* path) {
    size_t n = wcslen(path);
    if (n == 3 && path[1] == L':') return 1;
    if (path[0] == L'\\' && path[1] == L'\\') {
        const wchar_t* server_end = wcschr(path + 2, L'\\');
        if (server_end && !wcschr(server_end + 1, L'\\')) return 1;
    }
    return 0;
}

int qb_home_parent(wchar_t* path) {
    if (qb_home_is_root(path)) return 0;
    wchar_t* last = wcsrchr(path, L'\\');
    if (!last) return 0;
    if (last == path + 2 && path[1] == L':') last[1] = 0;
    else *last = 0;
    return 1;
}

int qb_home_bytes(const wchar_t* path, char* buffer, DWORD capacity, DWORD* count) {
    owned_handle file(close_file, CreateFileW(path, GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0));
    if (!file.valid()) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : -1;
    }
    DWORD total = 0;
    while (total < capacity) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer + total, capacity - total, &got, 0)) return -1;
        if (got == 0) break;
        total += got;
    }
    *count = total;
    return 1;
}

void make_folders(const wchar_t* path) {
    wchar_t copy[PATH_CAP];
    size_t n = wcslen(path);
    if (n > PATH_CAP - 1) n = PATH_CAP - 1;
    memcpy(copy, path, n * sizeof(wchar_t));
    copy[n] = 0;
    for (size_t i = 3; i < n; ++i) {
        if (copy[i] != L'\\') continue;
        copy[i] = 0;
        CreateDirectoryW(copy, 0);
        copy[i] = L'\\';
    }
    CreateDirectoryW(copy, 0);
}
