// spawn.exe: starts a program with an exact Windows command line, which the
// Unix side cannot pass through Wine's own argv quoting unchanged. Waits for
// the program and exits with its exit code (255 when it cannot be started).
//
// Environment (every SPAWN_* variable is removed before the child starts):
//   SPAWN_CMDLINE=<command line>   the child's whole command line; its first token names the program
//   SPAWN_CWD=<folder>             the child's working folder (default: spawn's own)
//   SPAWN_NO_STDERR=1              the child gets a null standard error handle
//   SPAWN_NO_STDIO=1               the child gets no standard handles and inherits none,
//                                  as when started from the desktop. Wine hands our standard
//                                  handles to a child even when told to inherit nothing, unless
//                                  the child is started detached, so that is done here too.
//   SPAWN_MARK=<file>              created first thing, before anything else spawn does
//   SPAWN_LOG=<file>               a line is appended for every start that is made again
//
// A child whose first line creates the file named by STONEWAKE_TEST_START_MARK
// (the setup's test builds do) is started again when it ends with a nonzero
// code and without that file: Wine failed that start before any line of the
// child ran, so nothing of it is lost or done twice. A child that made the
// file exits with its own code, whatever it is.
#include "double_util.h"

#include <string>
#include <vector>

namespace {

void remove_spawn_variables() {
    std::vector<std::wstring> names;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* p = block; *p; p += wcslen(p) + 1) {
        std::wstring entry = p;
        size_t eq = entry.find(L'=', 1);  // names of hidden per-drive variables start with '='
        if (eq != std::wstring::npos && _wcsnicmp(entry.c_str(), L"SPAWN_", 6) == 0) names.push_back(entry.substr(0, eq));
    }
    FreeEnvironmentStringsW(block);
    for (const auto& name : names) SetEnvironmentVariableW(name.c_str(), nullptr);
}

// An inheritable duplicate of one of our standard handles (or null if we have none).
HANDLE inheritable(DWORD which) {
    HANDLE h = GetStdHandle(which), dup = nullptr;
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &dup, 0, TRUE, DUPLICATE_SAME_ACCESS)) return h;
    return dup;
}

// Starts the child; 0 with the last error set when it cannot be.
BOOL child_start(std::vector<wchar_t>& line, bool no_stdio, const std::optional<std::wstring>& cwd,
                 STARTUPINFOW& si, PROCESS_INFORMATION& pi) {
    // Wine fails a start now and then with an internal error (the new process
    // ended before it was up, under load): that start is tried again.
    BOOL started = FALSE;
    for (int attempt = 0; !started && attempt < 20; ++attempt) {
        if (attempt) Sleep(250);
        started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, no_stdio ? FALSE : TRUE,
                                 no_stdio ? DETACHED_PROCESS : 0, nullptr,
                                 cwd && !cwd->empty() ? cwd->c_str() : nullptr, &si, &pi);
        if (!started && GetLastError() != ERROR_INTERNAL_ERROR) break;
    }
    return started;
}

}  // namespace

int wmain() {
    dbl::started(L"SPAWN_MARK");
    auto cmdline = dbl::env(L"SPAWN_CMDLINE");
    auto cwd = dbl::env(L"SPAWN_CWD");
    bool no_stderr = dbl::env(L"SPAWN_NO_STDERR").value_or(L"") == L"1";
    bool no_stdio = dbl::env(L"SPAWN_NO_STDIO").value_or(L"") == L"1";
    if (!cmdline || cmdline->empty()) {
        dbl::write_std(STD_ERROR_HANDLE, "spawn: SPAWN_CMDLINE is not set\n");
        return 255;
    }

    STARTUPINFOW si{};
    si.cb = sizeof si;
    if (!no_stdio) {
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = inheritable(STD_INPUT_HANDLE);
        si.hStdOutput = inheritable(STD_OUTPUT_HANDLE);
        si.hStdError = no_stderr ? nullptr : inheritable(STD_ERROR_HANDLE);
    }
    std::vector<wchar_t> line(cmdline->begin(), cmdline->end());
    line.push_back(L'\0');
    auto log = dbl::env(L"SPAWN_LOG");
    auto mark = dbl::env(L"STONEWAKE_TEST_START_MARK");
    remove_spawn_variables();
    for (int start = 1;; ++start) {
        if (mark) DeleteFileW(mark->c_str());
        PROCESS_INFORMATION pi{};
        if (!child_start(line, no_stdio, cwd, si, pi)) {
            dbl::write_std(STD_ERROR_HANDLE, "spawn: CreateProcessW failed " + std::to_string(GetLastError()) + "\n");
            return 255;
        }
        CloseHandle(pi.hThread);
        WaitForSingleObject(pi.hProcess, INFINITE);
        DWORD code = 255;
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hProcess);
        bool ran = !mark || GetFileAttributesW(mark->c_str()) != INVALID_FILE_ATTRIBUTES;
        if (code == 0 || ran || start == 5) ExitProcess(code);
        char note[128];
        snprintf(note, sizeof note, "spawn: start %d ended with 0x%08lx before its first line: started again\n",
                 start, code);
        if (log) dbl::append_line(*log, note);
    }
}
