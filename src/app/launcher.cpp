// A built game's folder holds the game as bin\stonewake.exe and a copy of this
// program as stonewake.exe. --play runs the game and hands back its exit
// code; started plainly, the launcher opens the game folder in the installed
// Builder, or runs the game when no Builder is ready.
#include "app/app.h"

#include <string.h>
#include <wchar.h>

#include "base/base.h"
#include "ui/ui.h"
#include "home/home.h"
#include "store/store.h"

namespace {

const wchar_t no_game[] =
    L"No built game to start. Build it first (the game folder needs bin\\stonewake.exe).";

// Starts the game with its quoted path as the whole command line and the game
// folder as working folder. Returns the process information on success.
int start_game(wchar_t* command, const wchar_t* folder, PROCESS_INFORMATION* process) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    return start_with_retries(command, FALSE, 0, folder, &startup, process, 0);
}

}  // namespace

int play_road(void) {
    const wchar_t* p = g_cmdline;
    while (*p == L' ') ++p;
    p += 6;  // --play
    while (*p == L' ') ++p;
    wchar_t folder[PATH_CAP];
    size_t n = 0;
    if (*p == L'"') {
        ++p;
        while (*p && *p != L'"') {
            if (n < PATH_CAP - 1) folder[n++] = *p;
            ++p;
        }
    } else {
        while (*p && *p != L' ') {
            if (n < PATH_CAP - 1) folder[n++] = *p;
            ++p;
        }
    }
    folder[n] = 0;

    wchar_t command[292];
    format_into(command, 292, L"\"%ls\\bin\\stonewake.exe\"", folder);
    SetEnvironmentVariableW(L"TARNWICK_NO_UPDATE_CHECK", L"1");
    PROCESS_INFORMATION process;
    if (!folder[0] || !start_game(command, folder, &process)) {
        say_error(no_game);
        return 1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    if (!GetExitCodeProcess(process.hProcess, &code)) code = 1;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return (int)code;
}

int launcher_road(const wchar_t* module_path) {
    wchar_t folder[PATH_CAP];
    size_t n = wcslen(module_path);
    memcpy(folder, module_path, (n + 1) * sizeof(wchar_t));
    qb_home_parent(folder);

    format_into(g_cmdline, CMDLINE_CAP, L"--launch \"%ls\"", folder);
    if (launch_installed()) return 0;

    wchar_t game[PATH_CAP];
    wchar_t command[264];
    PROCESS_INFORMATION process;
    if (home_path(game, L"%ls\\bin\\stonewake.exe", folder) >= 0 &&
        format_into(command, 264, L"\"%ls\"", game) >= 0 && start_game(command, folder, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return 0;
    }
    error_box(0,
              L"The game (bin\\stonewake.exe) is missing from this folder. Build it again with "
              L"the Stonewake Builder.",
              L"Stonewake");
    return 1;
}
