// Starting the Builder: after an install (with the setup's standard handles and,
// in CLI mode, a wait for its exit code once the old versions are swept), or at
// once from the version that current.txt names (the fast start, no request
// made).
#include "store/store.h"

#include <string.h>
#include <wchar.h>

#include "base/base.h"
#include "ui/ui.h"
#include "home/home.h"
#include "base/wide.h"

namespace {

// The Builder's command line: its path in quotes (at most 259 characters), a
// blank and the setup's own arguments (at most 2047): it always fits.
enum { COMMAND_CAP = 2 + (PATH_CAP - 1) + 1 + CMDLINE_CAP };

int usable(HANDLE handle) {
    return handle != 0 && handle != INVALID_HANDLE_VALUE;
}

}  // namespace

void builder_start(const wchar_t* exe, HANDLE* process_out) {
    window_made_wait();
    status(L"Starting the Stonewake Builder...");
    wchar_t folder[PATH_CAP];
    memcpy(folder, exe, (wcslen(exe) + 1) * sizeof(wchar_t));
    qb_home_parent(folder);
    wchar_t command[COMMAND_CAP];
    if (format_into(command, COMMAND_CAP, L"\"%ls\" %ls", exe, g_cmdline) < 0) fail(L"Could not start %ls.", exe);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    BOOL inherit = FALSE;
    if (g_headless) {
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        if (usable(startup.hStdOutput) && usable(startup.hStdError)) {
            if (!usable(startup.hStdInput)) startup.hStdInput = 0;
            inherit = TRUE;
            SetHandleInformation(startup.hStdOutput, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
            SetHandleInformation(startup.hStdError, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
            startup.dwFlags = STARTF_USESTDHANDLES;
        }
    }
    PROCESS_INFORMATION process;
    if (!start_with_retries(command, inherit, 0, folder, &startup, &process, 0))
        fail(L"Could not start %ls.", exe);
    InterlockedExchange(&g_builder_started, 1);
    CloseHandle(process.hThread);
    *process_out = process.hProcess;
    // The window goes as the Builder starts; the process ends after the sweep.
    if (!g_headless) window_post(WM_SETUP_CLOSE, 0);
}

void builder_finish(HANDLE process, const wchar_t* versions) {
    if (g_headless) {
        WaitForSingleObject(process, INFINITE);
        DWORD code;
        if (GetExitCodeProcess(process, &code)) g_exit = (int)code;
        // The old version's files that the new one links and the Builder had
        // open could not go while it ran: they go now, unless another setup
        // is at work on the home (its own sweep takes them).
        if (home_lock_try()) {
            version_sweep(versions, 0);
            home_lock_release();
        }
    }
    CloseHandle(process);
    window_post(WM_SETUP_CLOSE, 0);
}

int launch_installed(void) {
    if (!g_home_ok) return 0;
    wchar_t home[PATH_CAP];
    memcpy(home, g_home.path, sizeof home);
    wchar_t versions[PATH_CAP];
    char tag[LIST_TAG_CAP];
    if (home_path(versions, L"%ls\\versions", home) < 0 || !current_tag_read(versions, tag)) return 0;
    wchar_t wide_tag[LIST_TAG_CAP];
    if (!tag_wide(tag, wide_tag)) return 0;
    wchar_t folder[PATH_CAP];
    wchar_t exe[PATH_CAP];
    if (home_path(folder, L"%ls\\versions\\%ls\\StonewakeBuilder", home, wide_tag) < 0 ||
        home_path(exe, L"%ls\\StonewakeBuilder.exe", folder) < 0)
        return 0;
    if (!builder_ready(exe)) {
        // A setup ended while it replaced this version may have left it under
        // its backup name; put back only when no other setup is at work.
        if (!home_lock_try()) return 0;
        int restored = version_restore_current(versions);
        home_lock_release();
        if (!restored || !builder_ready(exe)) return 0;
    }
    wchar_t command[COMMAND_CAP];
    if (format_into(command, COMMAND_CAP, L"\"%ls\" %ls", exe, g_cmdline) < 0) return 0;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!start_with_retries(command, FALSE, 0, folder, &startup, &process, 0)) return 0;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 1;
}
