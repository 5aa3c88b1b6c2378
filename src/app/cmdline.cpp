// The command-line tail and its options. Options are found by plain,
// case-sensitive text comparison, never by splitting into arguments.
#include "app/app.h"

#include <string.h>
#include <wchar.h>

wchar_t g_cmdline[CMDLINE_CAP];
unsigned char g_headless;
int g_exit;

namespace {

int is_blank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

// Length of a leading --portable (bare or in double quotes) at `p`, or 0.
size_t portable_option(const wchar_t* p) {
    if (wcsncmp(p, L"--portable", 10) == 0 && (p[10] == 0 || is_blank(p[10]))) return 10;
    if (wcsncmp(p, L"\"--portable\"", 12) == 0 && (p[12] == 0 || is_blank(p[12]))) return 12;
    return 0;
}

}  // namespace

int cmdline_take(const wchar_t* tail) {
    size_t n = tail ? wcslen(tail) : 0;
    if (n > CMDLINE_CAP - 1) n = CMDLINE_CAP - 1;
    if (n) memcpy(g_cmdline, tail, n * sizeof(wchar_t));
    g_cmdline[n] = 0;
    g_cmdline[CMDLINE_CAP - 1] = 0;

    const wchar_t* p = g_cmdline;
    while (is_blank(*p)) ++p;
    size_t option = portable_option(p);
    if (!option) return 0;
    p += option;
    while (is_blank(*p)) ++p;
    memmove(g_cmdline, p, (wcslen(p) + 1) * sizeof(wchar_t));
    return 1;
}

int cmdline_starts_with(const wchar_t* option) {
    const wchar_t* p = g_cmdline;
    while (*p == L' ') ++p;
    size_t n = wcslen(option);
    return wcsncmp(p, option, n) == 0 && (p[n] == 0 || p[n] == L' ');
}
