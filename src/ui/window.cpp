// The progress window: a title, one status line and one progress bar. Sizes
// are plain pixels; the manifest declares the program DPI-aware.
#include "ui/ui.h"

#include "base/system_dll.h"

HWND g_win;
HWND g_text;
HWND g_bar;
HANDLE g_window_made;

namespace {

// A close the worker asked for, also before the window existed.
volatile LONG g_close_asked;

}  // namespace

HWND window_handle(void) {
    return (HWND)InterlockedCompareExchangePointer((PVOID volatile*)&g_win, 0, 0);
}

void window_post(UINT message, WPARAM wparam) {
    // The worker starts before the window exists: a close asked for before
    // is kept for the window (set first, read after the window is published,
    // so one side or both post it), and the status is read when it comes.
    if (message == WM_SETUP_CLOSE) InterlockedExchange(&g_close_asked, 1);
    HWND window = window_handle();
    // The window exists only once the window library was loaded.
    const user32_functions* u = window ? user32_loaded() : 0;
    if (u) u->PostMessageW(window, message, wparam, 0);
}

void window_made_wait(void) {
    if (g_window_made) WaitForSingleObject(g_window_made, INFINITE);
}

enum { WINDOW_W = 460, WINDOW_H = 140, MARQUEE_MS = 30 };

int window_create(HINSTANCE instance, int show) {
    const user32_functions* u = user32();
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    comctl32()->InitCommonControlsEx(&controls);

    WNDCLASSW cls = {};
    cls.lpfnWndProc = wndproc;
    cls.hInstance = instance;
    cls.hIcon = u->LoadIconW(instance, MAKEINTRESOURCEW(1));
    cls.hCursor = u->LoadCursorW(0, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    cls.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    cls.lpszClassName = L"StonewakeSetup";
    u->RegisterClassW(&cls);

    int x = (u->GetSystemMetrics(SM_CXSCREEN) - WINDOW_W) / 2;
    int y = (u->GetSystemMetrics(SM_CYSCREEN) - WINDOW_H) / 2;
    // Published to the worker only once it is complete.
    HWND window = u->CreateWindowExW(0, L"StonewakeSetup", L"Stonewake Builder setup",
                                     WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, x, y, WINDOW_W, WINDOW_H, 0,
                                     0, instance, 0);
    if (!window) return 0;
    g_text = u->CreateWindowExW(0, L"STATIC", L"Starting...", WS_CHILD | WS_VISIBLE, 16, 16, 412, 22,
                             window, 0, instance, 0);
    g_bar = u->CreateWindowExW(0, PROGRESS_CLASSW, 0, WS_CHILD | WS_VISIBLE | PBS_MARQUEE, 16, 48, 412,
                            20, window, 0, instance, 0);
    HFONT font = gdi32()->CreateFontW(-15, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                             DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI");
    u->SendMessageW(g_text, WM_SETFONT, (WPARAM)font, TRUE);
    u->SendMessageW(g_bar, PBM_SETMARQUEE, 1, MARQUEE_MS);
    u->ShowWindow(window, show);
    InterlockedExchangePointer((PVOID volatile*)&g_win, window);
    return 1;
}

void window_ready(void) {
    // The window is published: what the worker posted before it existed is
    // applied now (the close was kept; the status line is read anew).
    const user32_functions* u = user32();
    HWND window = window_handle();
    u->PostMessageW(window, WM_SETUP_STATUS, 0, 0);
    if (InterlockedCompareExchange(&g_close_asked, 0, 0)) u->PostMessageW(window, WM_SETUP_CLOSE, 0, 0);
    SetEvent(g_window_made);
}

LRESULT CALLBACK wndproc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    const user32_functions* u = user32();
    switch (message) {
    case WM_DESTROY:
        u->PostQuitMessage(0);
        return 0;
    case WM_SETUP_CLOSE:
        u->DestroyWindow(window);
        return 0;
    case WM_CTLCOLORSTATIC: {
        // The label is drawn on the window's own background, not the grey
        // of a dialog.
        HDC dc = (HDC)wparam;
        gdi32()->SetBkColor(dc, u->GetSysColor(COLOR_WINDOW));
        gdi32()->SetTextColor(dc, u->GetSysColor(COLOR_WINDOWTEXT));
        return (LRESULT)u->GetSysColorBrush(COLOR_WINDOW);
    }
    case WM_CLOSE:
        // The close box ends the setup wherever the worker stands; every step
        // of the install leaves the installed version whole. A setup stopped
        // before the Builder started does not report success.
        if (!InterlockedCompareExchange(&g_builder_started, 0, 0)) g_exit = ERROR_CANCELLED;
        u->DestroyWindow(window);
        return 0;
    case WM_SETUP_STATUS: {
        wchar_t text[STATUS_CAP];
        status_snapshot(text);
        if (text[0]) u->SetWindowTextW(g_text, text);  // "Starting..." until the first status
        LONG percent = InterlockedCompareExchange(&g_percent, 0, 0);
        // A bar keeps drawing a marquee while it has the marquee style, even
        // with the animation stopped: the style goes with the state.
        LONG_PTR style = u->GetWindowLongPtrW(g_bar, GWL_STYLE);
        if (percent < 0) {
            if (!(style & PBS_MARQUEE)) u->SetWindowLongPtrW(g_bar, GWL_STYLE, style | PBS_MARQUEE);
            u->SendMessageW(g_bar, PBM_SETMARQUEE, 1, MARQUEE_MS);
        } else {
            u->SendMessageW(g_bar, PBM_SETMARQUEE, 0, 0);
            if (style & PBS_MARQUEE) u->SetWindowLongPtrW(g_bar, GWL_STYLE, style & ~(LONG_PTR)PBS_MARQUEE);
            u->SendMessageW(g_bar, PBM_SETPOS, (WPARAM)percent, 0);
        }
        return 0;
    }
    default:
        return u->DefWindowProcW(window, message, wparam, lparam);
    }
}
