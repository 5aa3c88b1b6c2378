// Reporting and the progress window: the bounded formatter, the status line,
// the error line on standard error, fail() in CLI mode, and the window with
// its label and bar as the worker's messages change them.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "setup.h"
#include "temp_dir.h"

#include <commctrl.h>

#include "ui/ui.h"

// The window's handles (ui/window.cpp's own), which these tests look at.
extern HWND g_win;
extern HWND g_text;
extern HWND g_bar;

namespace {

// ---- format_bounded, status ------------------------------------------------

TEST(Report, FormatIntoKeepsEveryResultTerminated) {
    struct Row {
        size_t cap;
        std::wstring text;
        int result;
        std::wstring out;
    } rows[] = {
        {10, L"abc", 3, L"abc"},
        {10, L"123456789", 9, L"123456789"},  // exactly cap - 1
        {10, L"1234567890", -1, L"123456789"},
        {10, std::wstring(600, L'x'), -1, std::wstring(9, L'x')},
        {1, L"", 0, L""},
        {1, L"a", -1, L""},
    };
    for (const Row& row : rows) {
        wchar_t out[16];
        wmemset(out, L'#', 16);
        EXPECT_EQ(row.result, format_into(out, row.cap, L"%ls", row.text.c_str()))
            << row.text.size() << " in " << row.cap;
        EXPECT_EQ(row.out, std::wstring(out)) << row.text.size() << " in " << row.cap;
        EXPECT_EQ(L'#', out[row.cap]) << "nothing written past the buffer";
    }
    wchar_t out[4] = {L'#', L'#', L'#', L'#'};
    EXPECT_EQ(-1, format_into(out, 0, L"abc"));
    EXPECT_EQ(L'#', out[0]);
}

TEST(Report, StatusCutsALongLineAndStaysTerminated) {
    HWND saved = g_win;
    g_win = 0;
    const std::wstring long_line(600, L's');
    wmemset(g_status, L'#', STATUS_CAP);
    status(L"%ls", long_line.c_str());
    EXPECT_EQ(std::wstring(511, L's'), std::wstring(g_status, wcsnlen(g_status, STATUS_CAP)));
    wchar_t copy[STATUS_CAP];
    status_snapshot(copy);
    EXPECT_EQ(std::wstring(g_status), std::wstring(copy));

    status(L"Unpacking part %d of %d...", 1, 2);
    EXPECT_EQ(std::wstring(L"Unpacking part 1 of 2..."), std::wstring(g_status));
    // status() posted to a thread queue (no window): drop those posts.
    MSG message;
    while (PeekMessageW(&message, 0, WM_SETUP_STATUS, WM_SETUP_STATUS, PM_REMOVE)) {
    }
    g_win = saved;
}

// ---- say_error -----------------------------------------------------------------

TEST(Report, SayErrorWritesOneUtf8Line) {
    const std::wstring cjk679(679, L'\u5bb6');  // 2037 bytes in UTF-8
    std::string cjk_bytes;
    for (int i = 0; i < 679; ++i) cjk_bytes += "\xE5\xAE\xB6";
    struct Row {
        std::wstring text;
        std::string line;
    } rows[] = {
        {L"The download failed.", "error The download failed.\n"},
        {L"Gr\u00fc\u00dfe \u5bb6 \u2013 ok", "error Gr\xC3\xBC\xC3\x9F" "e \xE5\xAE\xB6 \xE2\x80\x93 ok\n"},
        {L"tar said:\nline two", "error tar said:\nline two\n"},
        {L"", "error \n"},
        {std::wstring(2039, L'x'), "error " + std::string(2039, 'x') + "\n"},
        // Longer: cut to 2039 bytes, never inside a character.
        {std::wstring(2040, L'x'), "error " + std::string(2039, 'x') + "\n"},
        {cjk679 + L"xx", "error " + cjk_bytes + "xx\n"},
        {cjk679 + L"xxx", "error " + cjk_bytes + "xx\n"},
        {cjk679 + L"\u5bb6", "error " + cjk_bytes + "\n"},
        {cjk679 + L"x\U0001F600", "error " + cjk_bytes + "x\n"},  // a pair is never split
        {std::wstring(5000, L'x'), "error " + std::string(2039, 'x') + "\n"},
    };
    for (const Row& row : rows) {
        testutil::StderrCapture capture;
        ASSERT_TRUE(capture.ok());
        say_error(row.text.c_str());
        EXPECT_EQ(row.line, capture.text()) << "text of " << row.text.size() << " characters";
    }
}

TEST(Report, SayErrorWithoutStandardErrorWritesNothingAndReturns) {
    testutil::StderrCapture capture;
    ASSERT_TRUE(capture.ok());
    HANDLE file = GetStdHandle(STD_ERROR_HANDLE);
    for (HANDLE none : {(HANDLE)0, INVALID_HANDLE_VALUE}) {
        SetStdHandle(STD_ERROR_HANDLE, none);
        say_error(L"nobody reads this");
        SetStdHandle(STD_ERROR_HANDLE, file);
    }
    say_error(L"read");
    EXPECT_EQ("error read\n", capture.text());
}

// ---- fail() in CLI mode -------------------------------------------------------------

TEST(Report, FailInCliModeWritesTheLineAndExitsWithOne) {
    EXPECT_EXIT(
        {
            g_headless = 1;
            fail(L"Part %d of %d could not be unpacked (Windows error %lu).", 2, 5, 87UL);
        },
        ::testing::ExitedWithCode(1),
        ::testing::Eq(std::string("error Part 2 of 5 could not be unpacked (Windows error 87).\n")));
}

TEST(Report, FailCutsAMessageToItsBuffer) {
    const std::wstring path(1500, L'p');
    EXPECT_EXIT(
        {
            g_headless = 1;
            fail(L"%ls", path.c_str());
        },
        ::testing::ExitedWithCode(1), ::testing::Eq("error " + std::string(1023, 'p') + "\n"));
}

// ---- the progress window --------------------------------------------------------------

// Records every message sent to the bar and the label while a test runs.
struct Sent {
    HWND window;
    UINT message;
    WPARAM wparam;
    LPARAM lparam;
};
std::vector<Sent> g_sent;

LRESULT CALLBACK record_sent(int code, WPARAM wparam, LPARAM lparam) {
    if (code == HC_ACTION) {
        const CWPSTRUCT* c = (const CWPSTRUCT*)lparam;
        g_sent.push_back({c->hwnd, c->message, c->wParam, c->lParam});
    }
    return CallNextHookEx(0, code, wparam, lparam);
}

std::vector<Sent> sent_to(HWND window, UINT first, UINT last) {
    std::vector<Sent> out;
    for (const Sent& s : g_sent)
        if (s.window == window && s.message >= first && s.message <= last) out.push_back(s);
    return out;
}

std::wstring window_text(HWND window) {
    wchar_t text[STATUS_CAP + 8];
    int n = GetWindowTextW(window, text, STATUS_CAP + 8);
    return std::wstring(text, n > 0 ? n : 0);
}

std::wstring class_of(HWND window) {
    wchar_t name[64];
    int n = GetClassNameW(window, name, 64);
    return std::wstring(name, n > 0 ? n : 0);
}

// The child's rectangle in its parent's client coordinates.
RECT child_rect(HWND child) {
    RECT r;
    GetWindowRect(child, &r);
    MapWindowPoints(0, GetParent(child), (POINT*)&r, 2);
    return r;
}

void pump() {
    MSG message;
    while (PeekMessageW(&message, 0, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_sent.clear();
        InterlockedExchange(&g_percent, -1);
        hook_ = SetWindowsHookExW(WH_CALLWNDPROC, record_sent, 0, GetCurrentThreadId());
        ASSERT_NE((HHOOK)0, hook_);
        ASSERT_EQ(1, window_create(GetModuleHandleW(0), SW_SHOWNOACTIVATE));
        pump();
    }
    void TearDown() override {
        if (hook_) UnhookWindowsHookEx(hook_);
        if (g_win && IsWindow(g_win)) DestroyWindow(g_win);
        pump();
        g_win = g_text = g_bar = 0;
        InterlockedExchange(&g_percent, -1);
    }
    HHOOK hook_ = 0;
};

TEST_F(WindowTest, CreatedWithItsClassTitleStyleSizeAndPlace) {
    EXPECT_EQ(std::wstring(L"StonewakeSetup"), class_of(g_win));
    EXPECT_EQ(std::wstring(L"Stonewake Builder setup"), window_text(g_win));
    DWORD style = (DWORD)GetWindowLongW(g_win, GWL_STYLE);
    for (DWORD bit : {WS_CAPTION, WS_SYSMENU, WS_MINIMIZEBOX, WS_VISIBLE})
        EXPECT_EQ(bit, style & bit) << std::hex << bit;
    for (DWORD bit : {(DWORD)WS_MAXIMIZEBOX, (DWORD)WS_THICKFRAME, (DWORD)WS_CHILD, (DWORD)WS_POPUP})
        EXPECT_EQ(0u, style & bit) << std::hex << bit;
    RECT r;
    GetWindowRect(g_win, &r);
    EXPECT_EQ(460, r.right - r.left);
    EXPECT_EQ(140, r.bottom - r.top);
    EXPECT_EQ((GetSystemMetrics(SM_CXSCREEN) - 460) / 2, r.left);
    EXPECT_EQ((GetSystemMetrics(SM_CYSCREEN) - 140) / 2, r.top);
}

TEST_F(WindowTest, LabelAndBarSitWhereTheyShould) {
    struct Row {
        HWND child;
        const wchar_t* cls;
        RECT place;
    } rows[] = {
        {g_text, L"Static", {16, 16, 16 + 412, 16 + 22}},
        {g_bar, L"msctls_progress32", {16, 48, 16 + 412, 48 + 20}},
    };
    for (const Row& row : rows) {
        ASSERT_NE((HWND)0, row.child);
        EXPECT_EQ(g_win, GetParent(row.child));
        EXPECT_EQ(0, _wcsicmp(row.cls, class_of(row.child).c_str())) << "class";
        RECT r = child_rect(row.child);
        EXPECT_EQ(row.place.left, r.left);
        EXPECT_EQ(row.place.top, r.top);
        EXPECT_EQ(row.place.right, r.right);
        EXPECT_EQ(row.place.bottom, r.bottom);
        LONG style = GetWindowLongW(row.child, GWL_STYLE);
        EXPECT_EQ(WS_CHILD | WS_VISIBLE, style & (WS_CHILD | WS_VISIBLE));
    }
    EXPECT_EQ(std::wstring(L"Starting..."), window_text(g_text));
    EXPECT_EQ(PBS_MARQUEE, GetWindowLongW(g_bar, GWL_STYLE) & PBS_MARQUEE);

    HFONT font = (HFONT)SendMessageW(g_text, WM_GETFONT, 0, 0);
    ASSERT_NE((HFONT)0, font);
    LOGFONTW lf;
    ASSERT_EQ((int)sizeof lf, GetObjectW(font, sizeof lf, &lf));
    EXPECT_EQ(-15, lf.lfHeight);
    EXPECT_EQ(FW_NORMAL, lf.lfWeight);
    EXPECT_EQ(CLEARTYPE_QUALITY, lf.lfQuality);
    EXPECT_EQ(std::wstring(L"Segoe UI"), std::wstring(lf.lfFaceName));

    // The marquee was started with a 30 ms step while the window was made.
    std::vector<Sent> marquee = sent_to(g_bar, PBM_SETMARQUEE, PBM_SETMARQUEE);
    ASSERT_EQ(1u, marquee.size());
    EXPECT_EQ(1u, marquee[0].wparam);
    EXPECT_EQ(30, marquee[0].lparam);
}

TEST_F(WindowTest, HiddenInCliMode) {
    DestroyWindow(g_win);
    pump();
    ASSERT_EQ(1, window_create(GetModuleHandleW(0), SW_HIDE));
    EXPECT_FALSE(IsWindowVisible(g_win));
}

TEST_F(WindowTest, LabelIsDrawnOnTheWindowsOwnBackground) {
    // What the label asks its parent for when it paints: the window's brush
    // and background colour, not the grey of a dialog.
    HDC dc = GetDC(g_text);
    ASSERT_NE((HDC)0, dc);
    SetBkColor(dc, RGB(1, 2, 3));
    LRESULT brush = SendMessageW(g_win, WM_CTLCOLORSTATIC, (WPARAM)dc, (LPARAM)g_text);
    EXPECT_EQ((LRESULT)GetSysColorBrush(COLOR_WINDOW), brush);
    EXPECT_EQ(GetSysColor(COLOR_WINDOW), GetBkColor(dc));
    EXPECT_EQ(GetSysColor(COLOR_WINDOWTEXT), GetTextColor(dc));
    ReleaseDC(g_text, dc);
}

TEST_F(WindowTest, StatusMessageAppliesTheLineAndThePercentage) {
    struct Row {
        LONG percent;
        std::vector<Sent> expected;  // window field unused
    } rows[] = {
        {57, {{0, PBM_SETMARQUEE, 0, 0}, {0, PBM_SETPOS, 57, 0}}},
        {-1, {{0, PBM_SETMARQUEE, 1, 30}}},
        {0, {{0, PBM_SETMARQUEE, 0, 0}, {0, PBM_SETPOS, 0, 0}}},
        {150, {{0, PBM_SETMARQUEE, 0, 0}, {0, PBM_SETPOS, 150, 0}}},  // passed on unchanged
        {-7, {{0, PBM_SETMARQUEE, 1, 30}}},
    };
    int i = 0;
    for (const Row& row : rows) {
        const std::wstring line = L"Downloading part " + std::to_wstring(++i) + L" of 6 \u2013 \u5bb6";
        status(L"%ls", line.c_str());
        InterlockedExchange(&g_percent, row.percent);
        g_sent.clear();
        EXPECT_EQ(0, SendMessageW(g_win, WM_SETUP_STATUS, 0, 0));
        std::vector<Sent> got = sent_to(g_bar, PBM_SETPOS, PBM_SETMARQUEE);
        ASSERT_EQ(row.expected.size(), got.size()) << "percent " << row.percent;
        for (size_t k = 0; k < got.size(); ++k) {
            EXPECT_EQ(row.expected[k].message, got[k].message) << "percent " << row.percent;
            EXPECT_EQ(row.expected[k].wparam, got[k].wparam) << "percent " << row.percent;
            EXPECT_EQ(row.expected[k].lparam, got[k].lparam) << "percent " << row.percent;
        }
        EXPECT_EQ(line, window_text(g_text));
    }
}

// The bar carries the marquee style only while it is a marquee: with the style
// on, a position is not drawn (and some controls ignore it altogether).
TEST_F(WindowTest, BarShowsThePercentage) {
    struct Row {
        LONG percent;
        LRESULT shown;
    } rows[] = {{57, 57}, {0, 0}, {100, 100}, {150, 100}, {-1, -1}, {-1, -1}, {42, 42}};
    for (const Row& row : rows) {
        InterlockedExchange(&g_percent, row.percent);
        SendMessageW(g_win, WM_SETUP_STATUS, 0, 0);
        LONG style = GetWindowLongW(g_bar, GWL_STYLE);
        EXPECT_EQ(row.shown < 0 ? PBS_MARQUEE : 0, style & PBS_MARQUEE) << row.percent;
        EXPECT_EQ(WS_CHILD | WS_VISIBLE, style & (WS_CHILD | WS_VISIBLE)) << row.percent;
        if (row.shown >= 0) {
            EXPECT_EQ(row.shown, SendMessageW(g_bar, PBM_GETPOS, 0, 0)) << row.percent;
        }
    }
}

TEST_F(WindowTest, PostedStatusReachesTheLabel) {
    InterlockedExchange(&g_percent, 42);
    status(L"Unpacking part %d of %d...", 2, 3);
    EXPECT_EQ(std::wstring(L"Starting..."), window_text(g_text)) << "posted, not yet handled";
    pump();
    EXPECT_EQ(std::wstring(L"Unpacking part 2 of 3..."), window_text(g_text));
    EXPECT_EQ(42, SendMessageW(g_bar, PBM_GETPOS, 0, 0));

    const std::wstring long_line(600, L'L');
    status(L"%ls", long_line.c_str());
    pump();
    EXPECT_EQ(std::wstring(511, L'L'), window_text(g_text));
}

// The worker rewrites the line while the window thread copies it: every copy
// is one whole line. (Without the lock, a reader spinning like this one sees
// mixed lines within a few thousand rewrites.)
volatile LONG g_rewriting;
volatile LONG g_copies;

// Rewrites until the reader has made `rounds` copies meanwhile, however the
// two threads are scheduled (a million rewrites at most).
DWORD WINAPI rewrite_status(void* rounds) {
    const std::wstring a(STATUS_CAP - 1, L'a'), b(STATUS_CAP - 1, L'b');
    for (int i = 0; i < 1000000 && g_copies < *(int*)rounds; ++i) status(L"%ls", (i & 1 ? b : a).c_str());
    InterlockedExchange(&g_rewriting, 0);
    return 0;
}

TEST(Report, StatusCopiesAreNeverTorn) {
    HWND saved = g_win;
    g_win = 0;  // the posts go to the worker's own queue and die with it
    status(L"%ls", std::wstring(STATUS_CAP - 1, L'a').c_str());
    int rounds = 3000;
    InterlockedExchange(&g_rewriting, 1);
    InterlockedExchange(&g_copies, 0);
    HANDLE worker = CreateThread(0, 0, rewrite_status, &rounds, 0, 0);
    ASSERT_NE((HANDLE)0, worker);
    long copies = 0, torn = 0;
    while (g_rewriting) {
        wchar_t copy[STATUS_CAP];
        status_snapshot(copy);
        std::wstring text(copy, wcsnlen(copy, STATUS_CAP));
        copies = InterlockedIncrement(&g_copies);
        if (text.size() != STATUS_CAP - 1 || text.find_first_not_of(text[0]) != std::wstring::npos)
            ++torn;
    }
    WaitForSingleObject(worker, INFINITE);
    CloseHandle(worker);
    g_win = saved;
    EXPECT_EQ(0, torn) << "of " << copies << " copies";
    EXPECT_GE(copies, rounds) << "the reader hardly ran";
}

TEST_F(WindowTest, CloseMessageDestroysTheWindowAndEndsTheLoop) {
    struct Row {
        UINT message;
        WPARAM wparam;
    } rows[] = {{WM_SETUP_CLOSE, 0}, {WM_SETUP_CLOSE, 1}, {WM_CLOSE, 0}};
    for (const Row& row : rows) {
        if (!IsWindow(g_win)) {
            ASSERT_EQ(1, window_create(GetModuleHandleW(0), SW_HIDE));
        }
        HWND window = g_win;
        PostMessageW(window, row.message, row.wparam, 0);
        MSG message;
        int quit = -1;
        while (GetMessageW(&message, 0, 0, 0) > 0) DispatchMessageW(&message);
        if (message.message == WM_QUIT) quit = (int)message.wParam;
        EXPECT_EQ(0, quit) << "message " << std::hex << row.message;
        EXPECT_FALSE(IsWindow(window));
    }
}

}  // namespace
