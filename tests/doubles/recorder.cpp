// recorder.exe: stands in for the Builder and for a game. Tests copy it into
// place; each run appends one JSON line (UTF-8) describing how it was started:
//   {"exe":..., "cmdline":..., "cwd":..., "pid":N,
//    "env":{"TARNWICK_SETUP_BASE":s|null, "TARNWICK_BUILDER_PORTABLE":s|null,
//           "TARNWICK_NO_UPDATE_CHECK":s|null, "TARNWICK_SETUP_LIST":s|null},
//    "handles":{"stdin":h, "stdout":h, "stderr":h}}
// where h is "none" (no handle) or the handle's type: "disk", "pipe", "char", "unknown".
// Then it writes one line to standard output and one to standard error.
//
// Environment:
//   STONEWAKE_RECORD=<path>           file to append the JSON line to (nothing recorded if unset)
//   STONEWAKE_RECORD_SLEEP_MS=<ms>    sleep before exiting
//   STONEWAKE_RECORD_EXIT=<code>      exit code (default 0; 97 when the record cannot be written)
//   STONEWAKE_RECORD_RUN=<cmdline>    then runs that command line (a Builder that starts a setup)
//                                     and waits for it, and appends {"ran": <cmdline>, "exit": N}
//   STONEWAKE_RECORD_RUN_ENV=<N=v;..> the environment changes for that command (an empty value
//                                     removes the variable); both variables are removed for it
#include "double_util.h"

#include <string>

namespace {

std::string handle_kind(DWORD which) {
    HANDLE h = GetStdHandle(which);
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return "none";
    switch (GetFileType(h)) {
    case FILE_TYPE_DISK: return "disk";
    case FILE_TYPE_PIPE: return "pipe";
    case FILE_TYPE_CHAR: return "char";
    default: return "unknown";
    }
}

std::wstring module_path() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), DWORD(path.size())));
    return path;
}

std::wstring current_dir() {
    std::wstring dir(GetCurrentDirectoryW(0, nullptr), L'\0');
    dir.resize(GetCurrentDirectoryW(DWORD(dir.size()), dir.data()));
    return dir;
}

// Runs `command` with STONEWAKE_RECORD_RUN_ENV's changes, waits for it and
// appends its exit code to the record file.
void run_and_record(std::wstring command) {
    std::wstring changes = dbl::env(L"STONEWAKE_RECORD_RUN_ENV").value_or(L"");
    SetEnvironmentVariableW(L"STONEWAKE_RECORD_RUN", nullptr);
    SetEnvironmentVariableW(L"STONEWAKE_RECORD_RUN_ENV", nullptr);
    for (size_t at = 0; at < changes.size();) {
        size_t end = changes.find(L';', at);
        if (end == std::wstring::npos) end = changes.size();
        std::wstring pair = changes.substr(at, end - at);
        size_t eq = pair.find(L'=');
        if (eq != std::wstring::npos)
            SetEnvironmentVariableW(pair.substr(0, eq).c_str(), eq + 1 < pair.size() ? pair.c_str() + eq + 1 : nullptr);
        at = end + 1;
    }
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    DWORD code = 255;
    std::wstring line = command;
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        WaitForSingleObject(pi.hProcess, INFINITE);
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    if (auto record = dbl::env(L"STONEWAKE_RECORD"))
        dbl::append_line(*record, "{\"ran\": " + dbl::json(command) + ", \"exit\": " + std::to_string(code) + "}\n");
}

}  // namespace

int wmain() {
    if (auto record = dbl::env(L"STONEWAKE_RECORD")) {
        std::string env = "{";
        for (const wchar_t* name : {L"TARNWICK_SETUP_BASE", L"TARNWICK_BUILDER_PORTABLE", L"TARNWICK_NO_UPDATE_CHECK",
                                    L"TARNWICK_SETUP_LIST"}) {
            if (env.size() > 1) env += ", ";
            env += dbl::json(name) + ": " + dbl::json_or_null(dbl::env(name));
        }
        env += "}";
        std::string line = "{\"exe\": " + dbl::json(module_path()) +
                           ", \"cmdline\": " + dbl::json(GetCommandLineW()) +
                           ", \"cwd\": " + dbl::json(current_dir()) +
                           ", \"pid\": " + std::to_string(GetCurrentProcessId()) +
                           ", \"env\": " + env +
                           ", \"handles\": {\"stdin\": \"" + handle_kind(STD_INPUT_HANDLE) +
                           "\", \"stdout\": \"" + handle_kind(STD_OUTPUT_HANDLE) +
                           "\", \"stderr\": \"" + handle_kind(STD_ERROR_HANDLE) + "\"}}\n";
        if (!dbl::append_line(*record, line)) {
            dbl::write_std(STD_ERROR_HANDLE, "recorder: cannot append to the record file\n");
            return 97;
        }
    }
    if (auto run = dbl::env(L"STONEWAKE_RECORD_RUN")) run_and_record(*run);
    dbl::write_std(STD_OUTPUT_HANDLE, "recorder: stdout line\n");
    dbl::write_std(STD_ERROR_HANDLE, "recorder: stderr line\n");
    if (auto ms = dbl::env_num(L"STONEWAKE_RECORD_SLEEP_MS", 0)) Sleep(ms);
    ExitProcess(UINT(dbl::env_num(L"STONEWAKE_RECORD_EXIT", 0)));
}
