// The start of a program that another process holds for a moment, often an
// antivirus scanning it: a start that fails with access denied or a sharing
// violation is tried again on the retries of held files (release/retry.cpp),
// and so is one that failed inside the system (the new process ended before
// it was up).
#include "setup.h"

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
