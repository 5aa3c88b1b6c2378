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
const wchar_t too_long[] =
    L"The game folder's path is too long for Windows. Move the game to a folder with a shorter path.";

// The game below its folder, and the length that adds to the folder's path.
const wchar_t game_below[] = L"\\bin\\stonewake.exe";
enum { GAME_BELOW = sizeof game_below / sizeof(wchar_t) - 1 };

// The play road's command line: the game's path in quotes, from a game
// folder of at most 259 characters; it always fits.
enum { PLAY_COMMAND_CAP = 2 + (PATH_CAP - 1) + GAME_BELOW + 1 };

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
    // The token: up to the closing quote, or up to a blank when unquoted.
    wchar_t end = L' ';
    if (*p == L'"') {
        end = L'"';
        ++p;
    }
    size_t n = 0;
    while (p[n] && p[n] != end) ++n;
    // A folder longer than a path is refused, never cut to another one.
    if (n >= PATH_CAP) {
        say_error(too_long);
        return 1;
    }
    wchar_t folder[PATH_CAP];
    memcpy(folder, p, n * sizeof(wchar_t));
    folder[n] = 0;

    wchar_t command[PLAY_COMMAND_CAP];
    int formed = format_into(command, PLAY_COMMAND_CAP, L"\"%ls%ls\"", folder, game_below);
    SetEnvironmentVariableW(L"TARNWICK_NO_UPDATE_CHECK", L"1");
    PROCESS_INFORMATION process;
    if (!folder[0] || formed < 0 || !start_game(command, folder, &process)) {
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

    // The folder (shorter than the executable's path) always fits the
    // command line.
    static_assert(sizeof L"--launch \"\"" / sizeof(wchar_t) + PATH_CAP - 1 <= CMDLINE_CAP, "--launch");
    format_into(g_cmdline, CMDLINE_CAP, L"--launch \"%ls\"", folder);
    if (launch_installed()) return 0;

    // The game's path must fit a path: a longer one is refused, not taken for
    // a missing game.
    if (wcslen(folder) + GAME_BELOW >= PATH_CAP) {
        error_box(0, too_long, L"Stonewake");
        return 1;
    }
    wchar_t game[PATH_CAP];
    wchar_t command[PATH_CAP + 2];
    PROCESS_INFORMATION process;
    if (home_path(game, L"%ls%ls", folder, game_below) >= 0 &&
        format_into(command, PATH_CAP + 2, L"\"%ls\"", game) >= 0 && start_game(command, folder, &process)) {
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
