// The shared ground of the setup: the capacities every subsystem sizes its
// buffers by, the failure contract, the status line and the run's failure,
// the test hooks, and the globals that start-up writes and every subsystem
// reads. What a subsystem offers the others is in its own header
// (src/<folder>/<folder>.h); the byte-level core has its own (core/core.h).
#ifndef STONEWAKE_SETUP_H
#define STONEWAKE_SETUP_H

#include <windows.h>
#include <stdarg.h>

// The failure contract. MAY_END_RUN stands before every function that may end
// the run through fail(), its own or one it calls: such a call does not
// return then (the worker thread or the whole process ends, the user is told
// why). It stands where the function is declared, or for a file-local one
// where it is defined. Every other function returns whatever happens; its
// failures are results for the caller to judge. A run ended so exits with
// code 1 whatever the failure was: no caller tells one failure from another
// by the code (the message says which). So the codes stay 0, 1, 1223 for a
// window closed before the Builder started, the Builder's own in CLI mode
// and, on the play road, the game's.
#define MAY_END_RUN
// NEVER_ENDS_RUN stands before a function that must not end the run whatever
// happens: what runs after the Builder has started (the sweep, the lock let
// go, the wait for the Builder). tests/harness/failure_contract.py reads the
// call graph of src/ and fails when a function without MAY_END_RUN (or
// SETUP_NORETURN) can reach the end of the run, when a marked one cannot,
// and when a NEVER_ENDS_RUN function or a job handed to spread can.
#define NEVER_ENDS_RUN

enum {
    PATH_CAP = 260,     // every path: at most 259 characters and the terminator
    CMDLINE_CAP = 2048,
    STATUS_CAP = 512,
    MESSAGE_CAP = 1024,
    URL_CAP = 1024
};

#define WM_SETUP_STATUS (WM_APP + 1)
#define WM_SETUP_CLOSE (WM_APP + 2)

// ---- globals ---------------------------------------------------------------
// Written by start-up before the worker exists; afterwards only the worker
// changes g_cmdline (the --repair removal) and g_exit.
extern wchar_t g_cmdline[CMDLINE_CAP];
extern unsigned char g_headless;
extern int g_exit;

// ---- test hooks --------------------------------------------------------------
// A named moment of the run. Test builds can hold the run there (so a test
// can end it at that very moment); release builds have no such code.
// The first thing a run does in a test build: it creates the file that
// STONEWAKE_TEST_START_MARK names, so that the harness can tell a run of the
// setup from a start that Wine failed before any line of it ran.
#if defined(STONEWAKE_TEST_HOOKS)
void test_point(const char* name);
void test_started(void);
#else
inline void test_point(const char*) {}
inline void test_started(void) {}
#endif

#if defined(_MSC_VER)
#define SETUP_NORETURN __declspec(noreturn)
#define SETUP_NORETURN_AFTER
#else
#define SETUP_NORETURN
#define SETUP_NORETURN_AFTER __attribute__((noreturn))
#endif

// ---- reporting (ui/) and the failure of a run (app/) -----------------------
void status(const wchar_t* fmt, ...);
// Formats the message and ends the run with it (run_end, app/app.h): the one
// call every subsystem may make into the end of the run, defined beside it.
SETUP_NORETURN void fail(const wchar_t* fmt, ...) SETUP_NORETURN_AFTER;

#endif
