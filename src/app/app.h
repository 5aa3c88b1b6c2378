// Start-up, the worker, and how a run and the process end.
#ifndef STONEWAKE_APP_APP_H
#define STONEWAKE_APP_APP_H

#include "setup.h"

// ---- ending a run ------------------------------------------------------------
// Ends the run with `message`: finishes a running tar first (its own failure,
// an earlier part's, is then the one reported), lets the home's lock go, and
// tells the user (standard error in CLI mode; else a box owned by the
// window, once it exists, or an ownerless one from start-up). Ends the
// process, or on the worker in window mode the worker (the window closes and
// the run's exit code is 1).
SETUP_NORETURN void run_end(const wchar_t* message) SETUP_NORETURN_AFTER;
// Ends the process. Children are started under the start lock, so the
// process never ends between a child's creation and its entry into its job.
SETUP_NORETURN void process_end(UINT code) SETUP_NORETURN_AFTER;

// ---- start-up ----------------------------------------------------------------
// Copies the tail into g_cmdline (cut at 2047) and removes a leading
// --portable; returns 1 when it was there.
int cmdline_take(const wchar_t* tail);
// 1 when the text after leading spaces of g_cmdline is `option` followed by
// the end or a space.
int cmdline_starts_with(const wchar_t* option);
int play_road(void);
MAY_END_RUN int launcher_road(const wchar_t* module_path);
// The whole start: returns the process exit code.
MAY_END_RUN int setup_main(HINSTANCE instance, const wchar_t* tail, int show);
MAY_END_RUN DWORD WINAPI work(void* unused);

#endif
