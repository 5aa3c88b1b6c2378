// The waits of the setup, in one place: the retry schedule of a request (8
// tries over about 3 minutes, the waits growing), the retries of what another
// process holds for a moment (80 tries 250 ms apart, about 20 seconds: often
// an antivirus scanning a file just written or a program about to start;
// a start that failed inside the system, the new process ended before it was
// up, is tried again the same way), and setup_sleep, which every wait goes
// through so that a test build can shorten them all.
#include "base/base.h"

constexpr DWORD g_waits[RETRY_TRIES - 1] = {3, 6, 12, 20, 30, 45, 60};

namespace {

enum { HELD_TRIES = 80, HELD_WAIT_MS = 250 };

// The messages tell the schedule as RETRY_TOLD: it must say what it is.
constexpr DWORD waited(int retries) {
    return retries == 0 ? 0 : g_waits[retries - 1] + waited(retries - 1);
}
static_assert(RETRY_TOLD[6] == L'0' + RETRY_TRIES && (waited(RETRY_TRIES - 1) + 30) / 60 == 3,
              "RETRY_TOLD tells the tries and the minutes of the schedule");

// Held while a child is created and put in its job, and by process_end.
SRWLOCK g_start_lock = SRWLOCK_INIT;

}  // namespace

void child_start_lock(void) {
    AcquireSRWLockExclusive(&g_start_lock);
}

void child_start_unlock(void) {
    ReleaseSRWLockExclusive(&g_start_lock);
}

void setup_sleep(DWORD ms) {
    Sleep(ms / STONEWAKE_TIME_DIVISOR);
}

void retry_wait(int retry, DWORD since) {
    DWORD wait = g_waits[retry] * 1000 / STONEWAKE_TIME_DIVISOR;
    DWORD spent = GetTickCount() - since;
    if (spent < wait) Sleep(wait - spent);
}

int held_retry(int tries, DWORD error, DWORD also) {
    int held = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || (also && error == also);
    if (!held || tries >= HELD_TRIES) {
        SetLastError(error);
        return 0;
    }
    setup_sleep(HELD_WAIT_MS);
    return 1;
}

int move_with_retries(const wchar_t* from, const wchar_t* to, DWORD flags) {
    for (int tries = 1;; ++tries) {
        if (MoveFileExW(from, to, flags)) return 1;
        if (!held_retry(tries, GetLastError(), 0)) return 0;
    }
}

int start_with_retries(wchar_t* command, BOOL inherit, DWORD flags, const wchar_t* folder,
                       STARTUPINFOW* startup, PROCESS_INFORMATION* process, HANDLE job) {
    for (int tries = 1;; ++tries) {
        // Under the start lock the process cannot end between a child's
        // creation and its entry into the job: it waits for the child to be
        // in, and the job's end then ends the child too.
        child_start_lock();
        BOOL made = CreateProcessW(0, command, 0, 0, inherit, flags | (job ? CREATE_SUSPENDED : 0), 0,
                                   folder, startup, process);
        DWORD error = made ? 0 : GetLastError();
        if (made && job) {
            test_point("child-created");
            AssignProcessToJobObject(job, process->hProcess);  // else it runs on its own
            ResumeThread(process->hThread);
        }
        child_start_unlock();
        if (made) return 1;
        if (!held_retry(tries, error, ERROR_INTERNAL_ERROR)) return 0;
    }
}
