// One setup at a time per Builder home. The install pipeline, from the
// downloads folder's creation to its removal, runs under a named mutex whose
// name comes from the home's full path in upper case (the file system ignores
// letter case). A mutex left by a setup that was killed is taken over. The
// lock is let go before the Builder starts, so a Builder that starts a setup
// never waits for its parent.
#include "store/store.h"

#include <string.h>
#include <wchar.h>

#include "ui/ui.h"
#include "home/home.h"

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
    // Upper case as the file system compares names, without the window
    // library (the fast start may ask for the lock and loads none).
    LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, upper, (int)length, upper, (int)length);
    // FNV-1a over the UTF-16 units.
    unsigned long long hash = 14695981039346656037ULL;
    for (size_t i = 0; i < length; ++i) {
        hash ^= (unsigned short)upper[i];
        hash *= 1099511628211ULL;
    }
    // 16 hex digits after the prefix always fit.
    static_assert(sizeof L"Local\\StonewakeBuilderSetup-" / sizeof(wchar_t) + 16 <= 64, "lock name");
    format_into(out, 64, L"Local\\StonewakeBuilderSetup-%016llx", hash);
}

namespace {

// Opens the home's mutex and tries it without waiting; the wait result, with
// the mutex in `out` (0 when there is no mutex: its name is taken by another
// kind of object, and nothing can be coordinated).
DWORD lock_try(HANDLE* out) {
    wchar_t name[64];
    home_lock_name(g_home.path, name);
    *out = CreateMutexW(0, FALSE, name);
    return *out ? WaitForSingleObject(*out, 0) : WAIT_FAILED;
}

}  // namespace

int home_lock_try(void) {
    HANDLE mutex;
    DWORD got = lock_try(&mutex);
    if (got == WAIT_OBJECT_0 || got == WAIT_ABANDONED) {
        g_home_lock = mutex;
        return 1;
    }
    if (mutex) CloseHandle(mutex);
    return 0;
}

void home_lock_take(void) {
    HANDLE mutex;
    DWORD got = lock_try(&mutex);
    // Without a mutex the setup goes on alone, as it would without the lock.
    if (!mutex) return;
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
