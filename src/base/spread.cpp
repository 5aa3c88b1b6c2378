// Work spread over the processors: taking over a part links thousands of
// files one call at a time, and each call mostly waits on the file system, so
// a few threads side by side finish it in a fraction of the time. The calling
// thread works too; the others exist only for the length of one call.
#include "base/base.h"

#include <wchar.h>

namespace {

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
    return n < 1 ? 1 : n > (unsigned)SPREAD_MAX ? (unsigned)SPREAD_MAX : n;
}

void path_list_free(path_list* list) {
    mem_free(&list->text);
    mem_free(&list->starts);
}

int path_list_add(path_list* list, const wchar_t* path) {
    size_t start = (size_t)list->text.len;
    if (mem_sink(&list->starts, &start, sizeof start) &&
        mem_sink(&list->text, path, (DWORD)((wcslen(path) + 1) * sizeof(wchar_t))))
        return 1;
    path_list_free(list);  // what was noted goes too: no start without its path
    return 0;
}

size_t path_list_count(const path_list* list) {
    return (size_t)(list->starts.len / sizeof(size_t));
}

const wchar_t* path_list_at(const path_list* list, size_t i) {
    return (const wchar_t*)(list->text.data + ((const size_t*)list->starts.data)[i]);
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
