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
    dbl::write_std(STD_OUTPUT_HANDLE, "recorder: stdout line\n");
    dbl::write_std(STD_ERROR_HANDLE, "recorder: stderr line\n");
    if (auto ms = dbl::env_num(L"STONEWAKE_RECORD_SLEEP_MS", 0)) Sleep(ms);
    ExitProcess(UINT(dbl::env_num(L"STONEWAKE_RECORD_EXIT", 0)));
}
