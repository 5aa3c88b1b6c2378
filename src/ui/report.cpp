// How the worker reports: the status line, fatal errors and the error line on
// standard error. The worker reaches the window only by posting messages.
#include "ui/ui.h"

#include <stdlib.h>
#include <string.h>

#include "base/system_dll.h"
#include "core/core.h"

wchar_t g_status[STATUS_CAP];
volatile LONG g_percent = -1;
volatile LONG g_builder_started;
DWORD g_main_thread;

namespace {

// The status line is rewritten by the worker while the window thread may be
// reading it; both sides copy it under this lock, so the label never shows a
// torn line.
SRWLOCK g_status_lock = SRWLOCK_INIT;

#if defined(STONEWAKE_TEST_HOOKS)
// Test builds append every status line, with a millisecond timestamp, to the
// file named by STONEWAKE_TEST_STATUS_LOG. Release builds have no such code.
void log_status(const wchar_t* text) {
    wchar_t name[PATH_CAP];
    DWORD n = GetEnvironmentVariableW(L"STONEWAKE_TEST_STATUS_LOG", name, PATH_CAP);
    if (n == 0 || n >= PATH_CAP) return;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    unsigned long long ms =
        ((((unsigned long long)now.dwHighDateTime) << 32) | now.dwLowDateTime) / 10000ULL -
        11644473600000ULL;
    char line[STATUS_CAP * 3 + 32];
    int head = (int)decimal_text(ms, line);
    line[head++] = '\t';
    int body = WideCharToMultiByte(CP_UTF8, 0, text, -1, line + head, (int)sizeof line - head - 1,
                                   0, 0);
    if (head <= 0 || body <= 0) return;
    int length = head + body - 1;
    line[length++] = '\n';
    HANDLE file = CreateFileW(name, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, 0,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written;
    WriteFile(file, line, (DWORD)length, &written, 0);
    CloseHandle(file);
}
#endif

}  // namespace

#if defined(STONEWAKE_TEST_HOOKS)
// STONEWAKE_TEST_PAUSE=<name>[#<n>] holds the run at the n-th passage
// (default the first) of that moment: it creates the file named by
// STONEWAKE_TEST_PAUSE_FILE and waits until the test removes it (at most a
// minute), or ends the setup meanwhile.
void test_point(const char* name) {
    static int passed;
    char wanted[64];
    DWORD n = GetEnvironmentVariableA("STONEWAKE_TEST_PAUSE", wanted, sizeof wanted);
    if (n == 0 || n >= sizeof wanted) return;
    int occurrence = 1;
    char* hash = strchr(wanted, '#');
    if (hash) {
        *hash = 0;
        occurrence = atoi(hash + 1);
    }
    if (strcmp(wanted, name) != 0 || ++passed != occurrence) return;
    wchar_t file_name[PATH_CAP];
    n = GetEnvironmentVariableW(L"STONEWAKE_TEST_PAUSE_FILE", file_name, PATH_CAP);
    if (n == 0 || n >= PATH_CAP) return;
    HANDLE file = CreateFileW(file_name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, 0,
                              CREATE_ALWAYS, 0, 0);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written;
    WriteFile(file, name, (DWORD)strlen(name), &written, 0);
    CloseHandle(file);
    for (int i = 0; i < 6000 && GetFileAttributesW(file_name) != INVALID_FILE_ATTRIBUTES; ++i) Sleep(10);
}
#endif

#if defined(STONEWAKE_TEST_HOOKS)
void test_started(void) {
    wchar_t file_name[PATH_CAP];
    DWORD n = GetEnvironmentVariableW(L"STONEWAKE_TEST_START_MARK", file_name, PATH_CAP);
    if (n == 0 || n >= PATH_CAP) return;
    HANDLE file = CreateFileW(file_name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, 0, CREATE_ALWAYS, 0, 0);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}
#endif

int format_bounded(wchar_t* out, size_t cap, const wchar_t* fmt, va_list ap) {
    if (cap == 0) return -1;
    int n = _vsnwprintf(out, cap - 1, fmt, ap);
    out[cap - 1] = 0;  // a text that fills the buffer exactly, or was cut, stays terminated
    return n < 0 ? -1 : n;
}

int format_into(wchar_t* out, size_t cap, const wchar_t* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = format_bounded(out, cap, fmt, ap);
    va_end(ap);
    return n;
}

void status(const wchar_t* fmt, ...) {
    wchar_t text[STATUS_CAP];
    va_list ap;
    va_start(ap, fmt);
    format_bounded(text, STATUS_CAP, fmt, ap);  // a text that does not fit is cut
    va_end(ap);
    AcquireSRWLockExclusive(&g_status_lock);
    memcpy(g_status, text, sizeof text);
    ReleaseSRWLockExclusive(&g_status_lock);
#if defined(STONEWAKE_TEST_HOOKS)
    log_status(text);
#endif
    window_post(WM_SETUP_STATUS, 0);
}

void progress_show(LONG percent) {
    if (InterlockedExchange(&g_percent, percent) != percent) window_post(WM_SETUP_STATUS, 0);
}

void status_snapshot(wchar_t out[STATUS_CAP]) {
    AcquireSRWLockShared(&g_status_lock);
    memcpy(out, g_status, sizeof g_status);
    ReleaseSRWLockShared(&g_status_lock);
}

namespace {

// How many characters of `text` fit in `room` bytes of UTF-8. A surrogate
// pair is one character of four bytes and never split; a lone surrogate
// becomes U+FFFD, three bytes.
int utf8_fit(const wchar_t* text, int room) {
    int used = 0;
    int i = 0;
    while (text[i]) {
        unsigned c = text[i];
        int units = 1;
        int bytes = c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
        if (c >= 0xD800 && c <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            units = 2;
            bytes = 4;
        }
        if (used + bytes > room) break;
        used += bytes;
        i += units;
    }
    return i;
}

}  // namespace

void say_error(const wchar_t* text) {
    // A message too long for the line's buffer is cut at a character
    // boundary: the user still gets its start, on one line.
    char utf8[2040];
    int chars = utf8_fit(text, (int)sizeof utf8 - 1);
    int n = chars ? WideCharToMultiByte(CP_UTF8, 0, text, chars, utf8, (int)sizeof utf8 - 1, 0, 0) : 0;
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if ((chars && n < 1) || err == 0 || err == INVALID_HANDLE_VALUE) return;
    DWORD written;
    WriteFile(err, "error ", 6, &written, 0);
    if (n) WriteFile(err, utf8, (DWORD)n, &written, 0);
    WriteFile(err, "\n", 1, &written, 0);
}

void say_out(const wchar_t* text) {
    char utf8[STATUS_CAP * 3 + 2];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, (int)sizeof utf8 - 1, 0, 0);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (n < 1 || out == 0 || out == INVALID_HANDLE_VALUE) return;
    utf8[n - 1] = '\n';
    DWORD written;
    WriteFile(out, utf8, (DWORD)n, &written, 0);
}

void error_box(HWND owner, const wchar_t* text, const wchar_t* caption) {
    // Not user32(): its failure would come back here through fail.
    const user32_functions* u = user32_loaded();
    if (u) u->MessageBoxW(owner, text, caption, MB_ICONERROR);
    else say_error(text);
}
