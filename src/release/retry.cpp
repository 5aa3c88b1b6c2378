// The waits of the setup, in one place: the retry schedule of a request (8
// tries over about 3 minutes, the waits growing), the retries of what another
// process holds for a moment (80 tries 250 ms apart, about 20 seconds: often
// an antivirus scanning a file just written), and setup_sleep, which every
// wait goes through so that a test build can shorten them all.
#include "setup.h"

constexpr DWORD g_waits[RETRY_TRIES - 1] = {3, 6, 12, 20, 30, 45, 60};

namespace {

enum { HELD_TRIES = 80, HELD_WAIT_MS = 250 };

// The messages tell the schedule as RETRY_TOLD: it must say what it is.
constexpr DWORD waited(int retries) {
    return retries == 0 ? 0 : g_waits[retries - 1] + waited(retries - 1);
}
static_assert(RETRY_TOLD[6] == L'0' + RETRY_TRIES && (waited(RETRY_TRIES - 1) + 30) / 60 == 3,
              "RETRY_TOLD tells the tries and the minutes of the schedule");

}  // namespace

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
