// How a run ends before its time: the one place that winds a run down (the
// running tar finished, the home's lock let go), shows why, and ends it. And
// how the process ends at all: never while a child it starts is created but
// not yet in its job, which would leave that child behind for good. fail()
// formats why and comes here from every subsystem.
#include "app/app.h"
#include "base/base.h"
#include "ui/ui.h"
#include "install/install.h"

void process_end(UINT code) {
    // Held to the end: a child being started is in its job first, and no
    // other is started after.
    child_start_lock();
    ExitProcess(code);
}

void run_end(const wchar_t* message) {
    // A part that is still being unpacked comes before the failure at hand:
    // a failure of its own is the one reported (it comes back here).
    unpack_finish();
    // The next setup on this home need not wait for this message to be read.
    home_lock_release();
    if (g_headless) {
        say_error(message);
        process_end(1);
    }
    if (GetCurrentThreadId() == g_main_thread) {
        // Start-up roads on the main thread: no window, and none to come.
        error_box(0, message, L"Stonewake Builder setup");
        process_end(1);
    }
    // The worker: the box belongs to the window, which it disables while it
    // is shown, also when the failure came before the window was made.
    g_exit = 1;  // a run that ended in a fatal error does not report success
    window_made_wait();
    error_box(window_handle(), message, L"Stonewake Builder setup");
    window_post(WM_SETUP_CLOSE, 1);
    ExitThread(1);
}

void fail(const wchar_t* fmt, ...) {
    wchar_t text[MESSAGE_CAP];
    va_list ap;
    va_start(ap, fmt);
    format_bounded(text, MESSAGE_CAP, fmt, ap);
    va_end(ap);
    run_end(text);
}
