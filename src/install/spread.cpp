// Work spread over the processors: taking over a part links thousands of
// files one call at a time, and each call mostly waits on the file system, so
// a few threads side by side finish it in a fraction of the time. The calling
// thread works too; the others exist only for the length of one call.
#include "setup.h"

namespace {

const unsigned SPREAD_MAX = 4;  // threads at most, the caller's included

struct spread_work {
    size_t count;
    int (*job)(void* context, size_t i);
    void* context;
    volatile LONG64 next;
    volatile LONG failed;
};

DWORD WINAPI spread_thread(void* argument) {
    spread_work* w = (spread_work*)argument;
    while (!w->failed) {
        LONG64 i = InterlockedIncrement64(&w->next) - 1;
        if ((unsigned long long)i >= w->count) break;
        if (!w->job(w->context, (size_t)i)) InterlockedExchange(&w->failed, 1);
    }
    return 0;
}

}  // namespace

unsigned spread_width(void) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    unsigned n = info.dwNumberOfProcessors;
    return n < 1 ? 1 : n > SPREAD_MAX ? SPREAD_MAX : n;
}

int spread(size_t count, int (*job)(void* context, size_t i), void* context) {
    spread_work w = {count, job, context, 0, 0};
    HANDLE threads[SPREAD_MAX];
    DWORD made = 0;
    for (unsigned t = 1; t < spread_width() && t < count; ++t) {
        // A thread that cannot be had leaves its share to the others.
        HANDLE thread = CreateThread(0, 0, spread_thread, &w, 0, 0);
        if (thread) threads[made++] = thread;
    }
    spread_thread(&w);
    if (made) WaitForMultipleObjects(made, threads, TRUE, INFINITE);
    for (DWORD t = 0; t < made; ++t) CloseHandle(threads[t]);
    return !w.failed;
}
