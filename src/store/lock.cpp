// One setup at a time per Builder home. The install pipeline, from the
// downloads folder's creation to its removal, runs under a named mutex whose
// name comes from the home's full path in upper case (the file system ignores
// letter case). A mutex left by a setup that was killed is taken over. The
// lock is let go before the Builder starts, so a Builder that starts a setup
// never waits for its parent.
#include "setup.h"

#include <string.h>
#include <wchar.h>

namespace {

HANDLE g_home_lock;

}  // namespace

void home_lock_name(const wchar_t* home, wchar_t out[64]) {
    wchar_t upper[PATH_CAP];
    size_t length = wcslen(home);
    if (length >= PATH_CAP) length = PATH_CAP - 1;
    memcpy(upper, home, length * sizeof(wchar_t));
    upper[length] = 0;
    while (length > 3 && upper[length - 1] == L'\\') upper[--length] = 0;
    CharUpperBuffW(upper, (DWORD)length);
    // FNV-1a over the UTF-16 units.
    unsigned long long hash = 14695981039346656037ULL;
    for (size_t i = 0; i < length; ++i) {
        hash ^= (unsigned short)upper[i];
        hash *= 1099511628211ULL;
    }
    format_into(out, 64, L"Local\\StonewakeBuilderSetup-%016llx", hash);
}

void home_lock_take(void) {
    wchar_t name[64];
    home_lock_name(g_home.path, name);
    HANDLE mutex = CreateMutexW(0, FALSE, name);
    // Without a mutex (its name taken by another kind of object) nothing can
    // be coordinated; the setup goes on alone, as it would without the lock.
    if (!mutex) return;
    DWORD got = WaitForSingleObject(mutex, 0);
    if (got == WAIT_TIMEOUT) {
        status(L"Waiting for another Stonewake Builder setup to finish...");
        got = WaitForSingleObject(mutex, INFINITE);
    }
    if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) {
        CloseHandle(mutex);
        return;
    }
    g_home_lock = mutex;
    test_point("locked");
}

void home_lock_release(void) {
    if (!g_home_lock) return;
    ReleaseMutex(g_home_lock);
    CloseHandle(g_home_lock);
    g_home_lock = 0;
}
