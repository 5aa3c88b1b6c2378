// The retries of what another process holds for a moment, often an antivirus
// scanning a file just written: a rename, or the start of a program, that
// fails with access denied or a sharing violation is tried again, 80 times
// 250 ms apart (about 20 seconds). A start that failed inside the system
// (the new process ended before it was up) is tried again the same way.
#include "setup.h"

namespace {

int held(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

}  // namespace

int move_with_retries(const wchar_t* from, const wchar_t* to, DWORD flags) {
    for (int attempt = 1;; ++attempt) {
        if (MoveFileExW(from, to, flags)) return 1;
        DWORD error = GetLastError();
        if (!held(error) || attempt == 80) {
            SetLastError(error);
            return 0;
        }
        setup_sleep(250);
    }
}

int start_with_retries(wchar_t* command, BOOL inherit, DWORD flags, const wchar_t* folder,
                       STARTUPINFOW* startup, PROCESS_INFORMATION* process, HANDLE job) {
    for (int attempt = 1;; ++attempt) {
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
        if ((!held(error) && error != ERROR_INTERNAL_ERROR) || attempt == 80) {
            SetLastError(error);
            return 0;
        }
        setup_sleep(250);
    }
}
