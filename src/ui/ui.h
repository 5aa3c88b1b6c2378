// What the progress window and the reporting offer: the bar, the lines on
// standard output and error, the error box, the bounded formatter.
#ifndef STONEWAKE_UI_UI_H
#define STONEWAKE_UI_UI_H

#include "setup.h"

// The window, written once by the main thread; the worker reads it here.
HWND window_handle(void);
// Set once the window is made; the worker waits for it before the Builder
// starts (a start-up that could not make the window ends the process first).
extern HANDLE g_window_made;
void window_made_wait(void);
// Called by start-up once window_create has made the window: catches up with
// what the worker posted before, and sets g_window_made.
MAY_END_RUN void window_ready(void);
extern wchar_t g_status[STATUS_CAP];
extern volatile LONG g_percent;  // -1: marquee; written with InterlockedExchange

// The bar at `percent` (-1: the marquee), the window told when it changed;
// never ends the run, so jobs beside the worker may call it.
void progress_show(LONG percent);
// One line on standard output in CLI mode (UTF-8).
void say_out(const wchar_t* text);
void say_error(const wchar_t* text);
// Posts `message` to the progress window, when there is one.
void window_post(UINT message, WPARAM wparam);
// An error box; where the window library cannot be loaded, the text goes to
// standard error instead.
void error_box(HWND owner, const wchar_t* text, const wchar_t* caption);
// Bounded wide formatter: at most cap - 1 characters and the terminator,
// always terminated. Returns the length, or -1 when the text did not fit
// (the buffer then holds the cut text).
int format_bounded(wchar_t* out, size_t cap, const wchar_t* fmt, va_list ap);
int format_into(wchar_t* out, size_t cap, const wchar_t* fmt, ...);
// The thread that ran start-up; run_end() ends the process when called on it.
extern DWORD g_main_thread;
// Set once the Builder process exists; a window closed before that is a
// stopped setup, not a finished one.
extern volatile LONG g_builder_started;

// Window set-up: registers the class, creates the window and its controls,
// starts the marquee and shows it. Returns 0 when the window could not be made.
MAY_END_RUN int window_create(HINSTANCE instance, int show);
MAY_END_RUN LRESULT CALLBACK wndproc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// Copies the current status line under its lock (the window thread's read).
void status_snapshot(wchar_t out[STATUS_CAP]);

#endif
