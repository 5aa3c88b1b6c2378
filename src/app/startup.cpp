// Start-up: decides, once, what this start does, in a fixed order: the play
// road, CLI mode, the Builder home, the launcher road, the fast start, and
// otherwise the worker with the progress window.
#include "app/app.h"

#include <wchar.h>

#include "base/system_dll.h"
#include "ui/ui.h"
#include "home/home.h"
#include "store/store.h"

namespace {

const wchar_t home_message[] =
    L"The Builder home is unavailable or its portable marker is invalid. For a new portable "
    L"install, put this setup in a writable folder and start it with --portable.";

// What the user sees when start-up itself cannot go on.
int startup_error(const wchar_t* text) {
    if (g_headless) say_error(text);
    else error_box(0, text, L"Stonewake Builder setup");
    return 1;
}

}  // namespace

int setup_main(HINSTANCE instance, const wchar_t* tail, int show) {
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    g_main_thread = GetCurrentThreadId();
    int portable = cmdline_take(tail);
    if (cmdline_starts_with(L"--play")) return play_road();
    if (cmdline_starts_with(L"--cli")) {
        g_headless = 1;
        show = SW_HIDE;
    }
    wchar_t exe[PATH_CAP];
    DWORD n = GetModuleFileNameW(0, exe, PATH_CAP);
    int launcher = n > 0 && n < PATH_CAP && launcher_named(exe) && !wcsstr(g_cmdline, L"--");
    // A game's launcher only looks for a home: --portable must not make one
    // inside the game folder.
    qb_home_select(portable && !launcher);
    if (launcher) return launcher_road(exe);
    if (wcsstr(g_cmdline, L"--launch") && launch_installed()) return 0;
    if (!g_home_ok) return startup_error(home_message);

    // The worker starts first: its request for the setup list goes out while
    // the window library loads and the window is made. Everything it reads
    // from start-up is written by now; it reaches the window only by posts.
    g_window_made = CreateEventW(0, TRUE, FALSE, 0);
    HANDLE worker = g_window_made ? CreateThread(0, 0, work, 0, 0, 0) : 0;
    if (!worker)
        return startup_error(L"The setup could not start its worker. Restart Windows and run the setup again.");
    // Returning ends the process, and the worker with it (it never starts
    // the Builder before the window is made).
    if (!window_create(instance, show))
        return startup_error(L"The setup window could not be created. Restart Windows and run the setup again.");
    window_ready();
    const user32_functions* u = user32();
    MSG message;
    while (u->GetMessageW(&message, 0, 0, 0) > 0) {
        u->TranslateMessage(&message);
        u->DispatchMessageW(&message);
    }
    // The window closed once the Builder started: the worker sweeps the old
    // versions away and lets the home's lock go before the process ends.
    // Closed before that, the setup ends at once, wherever the worker stands.
    if (InterlockedCompareExchange(&g_builder_started, 0, 0)) WaitForSingleObject(worker, INFINITE);
    // The window went away unasked (no close box, no failure): Windows took
    // it, as when the desktop it stood on closed. That run did not succeed.
    else if (g_exit == 0)
        return startup_error(L"The setup was stopped before the Builder started. Run the setup again.");
    return g_exit;
}
