// winprobe.exe: finds another process's windows in the same Wine prefix and
// reports them as JSON on standard output (UTF-8). A class or title given as
// "*" matches any. Exit 0 when found, 1 on timeout, 2 on a usage error.
//
//   winprobe window <class> <title> <timeout_ms>
//       One object: the window, its children (z-order, with texts, rects
//       relative to the window's client area, fonts, progress bar state).
//   winprobe watch <class> <title> <timeout_ms> <interval_ms>
//       One line per change of the title, child texts, visibility or progress
//       bar state, then {"gone":true} when the window goes away (or
//       {"timeout":true}). Exit 0 when the window was seen at all.
//   winprobe msgbox <caption> <timeout_ms> [press|leave]
//       A message box (dialog class "#32770"): text, buttons, icon, owner.
//       "press" (the default) clicks OK (or Cancel) and reports whether it closed.
//   winprobe close <class> <title> <timeout_ms>
//       Presses the window's close box (WM_SYSCOMMAND SC_CLOSE, as a click on
//       it sends) and reports whether the window went away within the time.
//   winprobe none <class> <title> <ms>
//       Exit 0 if no such window appears within ms; otherwise print it and exit 1.
// Fonts and the class icon are read through winprobe_hook.dll, which must sit
// beside this program; without it they are asked for from outside, which Wine
// does not answer (fonts then come out null, "icon" only sees WM_SETICON icons).
#include "double_util.h"
#include "winprobe_hook.h"

#include <commctrl.h>

#include <optional>
#include <string>
#include <vector>

namespace {

const UINT kSendTimeoutMs = 1000;

std::string num(long long v) { return std::to_string(v); }
std::string boolean(bool v) { return v ? "true" : "false"; }
std::string handle_num(HWND h) { return num(static_cast<long long>(reinterpret_cast<INT_PTR>(h))); }

bool send(HWND h, UINT msg, WPARAM wp, LPARAM lp, DWORD_PTR* result = nullptr) {
    DWORD_PTR r = 0;
    bool ok = SendMessageTimeoutW(h, msg, wp, lp, SMTO_ABORTIFHUNG, kSendTimeoutMs, &r) != 0;
    if (result) *result = ok ? r : 0;
    return ok;
}

std::wstring class_of(HWND h) {
    wchar_t buf[256] = L"";
    GetClassNameW(h, buf, 256);
    return buf;
}

// The window text as the window itself reports it (WM_GETTEXT is marshalled
// across processes), falling back to the text the system keeps for it.
std::wstring text_of(HWND h) {
    DWORD_PTR len = 0;
    if (send(h, WM_GETTEXTLENGTH, 0, 0, &len)) {
        std::wstring t(len + 1, L'\0');
        DWORD_PTR got = 0;
        if (send(h, WM_GETTEXT, len + 1, reinterpret_cast<LPARAM>(t.data()), &got)) {
            t.resize(got < len ? got : len);
            return t;
        }
    }
    wchar_t buf[4096] = L"";
    InternalGetWindowText(h, buf, 4096);
    return buf;
}

std::vector<HWND> children_of(HWND h) {
    std::vector<HWND> out;
    EnumChildWindows(h, [](HWND c, LPARAM lp) {
        reinterpret_cast<std::vector<HWND>*>(lp)->push_back(c);
        return TRUE;
    }, reinterpret_cast<LPARAM>(&out));
    return out;
}

std::string rect_json(const RECT& r) {
    return "{\"x\": " + num(r.left) + ", \"y\": " + num(r.top) + ", \"w\": " + num(r.right - r.left) +
           ", \"h\": " + num(r.bottom - r.top) + "}";
}

// Asks code inside the window's own process (winprobe_hook.dll, beside this
// program) for what Wine does not tell another process: see winprobe_hook.h.
// Nothing when the hook cannot be set or does not answer.
std::optional<WinprobeAnswer> ask_inside(HWND h) {
    static const UINT query = RegisterWindowMessageW(WINPROBE_QUERY_MESSAGE);
    static HMODULE dll = [] {
        wchar_t path[MAX_PATH];
        DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring dir(path, n);
        return LoadLibraryW((dir.substr(0, dir.find_last_of(L'\\') + 1) + L"winprobe_hook.dll").c_str());
    }();
    static HOOKPROC proc =
        dll ? reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(dll, "winprobe_hook"))) : nullptr;
    static HANDLE map = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(WinprobeAnswer),
                                           winprobe_mapping_name(GetCurrentProcessId()).c_str());
    static auto* answer =
        map ? static_cast<WinprobeAnswer*>(MapViewOfFile(map, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(WinprobeAnswer)))
            : nullptr;
    if (!proc || !answer) return std::nullopt;
    HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROC, proc, dll, GetWindowThreadProcessId(h, nullptr));
    if (!hook) return std::nullopt;
    ZeroMemory(answer, sizeof *answer);
    send(h, query, GetCurrentProcessId(), 0);
    UnhookWindowsHookEx(hook);
    if (!answer->answered) return std::nullopt;
    return *answer;
}

std::string font_json(HWND h) {
    LOGFONTW lf{};
    bool read = false;
    if (auto inside = ask_inside(h)) {
        if (!inside->has_font) return "null";
        read = inside->font_read;
        lf = inside->font;
    } else {
        DWORD_PTR font = 0;
        if (!send(h, WM_GETFONT, 0, 0, &font) || !font) return "null";
        read = GetObjectW(reinterpret_cast<HFONT>(font), sizeof lf, &lf) == sizeof lf;
    }
    if (!read) return "{\"face\": null, \"height\": null, \"weight\": null}";
    return "{\"face\": " + dbl::json(lf.lfFaceName) + ", \"height\": " + num(lf.lfHeight) +
           ", \"weight\": " + num(lf.lfWeight) + "}";
}

bool is_progress(HWND h) { return _wcsicmp(class_of(h).c_str(), PROGRESS_CLASSW) == 0; }
bool is_static(HWND h) { return _wcsicmp(class_of(h).c_str(), L"Static") == 0; }
bool is_icon_static(HWND h) { return is_static(h) && (GetWindowLongW(h, GWL_STYLE) & SS_TYPEMASK) == SS_ICON; }

// "pos", "range" and "marquee" members for a progress bar (with a leading comma).
std::string progress_members(HWND bar) {
    DWORD_PTR pos = 0, lo = 0, hi = 0;
    send(bar, PBM_GETPOS, 0, 0, &pos);
    send(bar, PBM_GETRANGE, TRUE, 0, &lo);
    send(bar, PBM_GETRANGE, FALSE, 0, &hi);
    bool marquee = (GetWindowLongW(bar, GWL_STYLE) & PBS_MARQUEE) != 0;
    return ", \"pos\": " + num(int(pos)) + ", \"range\": [" + num(int(lo)) + ", " + num(int(hi)) +
           "], \"marquee\": " + boolean(marquee);
}

std::string child_json(HWND top, HWND c) {
    RECT r{};
    GetWindowRect(c, &r);
    MapWindowPoints(nullptr, top, reinterpret_cast<POINT*>(&r), 2);
    std::string s = "{\"hwnd\": " + handle_num(c) + ", \"class\": " + dbl::json(class_of(c)) +
                    ", \"text\": " + dbl::json(text_of(c)) + ", \"id\": " + num(GetDlgCtrlID(c)) +
                    ", \"style\": " + num(DWORD(GetWindowLongW(c, GWL_STYLE))) +
                    ", \"exstyle\": " + num(DWORD(GetWindowLongW(c, GWL_EXSTYLE))) +
                    ", \"visible\": " + boolean(IsWindowVisible(c)) + ", \"rect\": " + rect_json(r) +
                    ", \"font\": " + font_json(c);
    if (is_progress(c)) s += progress_members(c);
    return s + "}";
}

// A class icon, or an icon set on the window itself (WM_SETICON).
bool has_icon(HWND h) {
    auto inside = ask_inside(h);
    if ((inside && inside->has_class_icon) || GetClassLongPtrW(h, GCLP_HICON)) return true;
    DWORD_PTR icon = 0;
    return (send(h, WM_GETICON, ICON_BIG, 0, &icon) && icon) || (send(h, WM_GETICON, ICON_SMALL, 0, &icon) && icon);
}

std::string window_json(HWND h) {
    RECT r{}, client{};
    GetWindowRect(h, &r);
    GetClientRect(h, &client);
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    std::string kids;
    for (HWND c : children_of(h)) kids += (kids.empty() ? "" : ", ") + child_json(h, c);
    return "{\"found\": true, \"hwnd\": " + handle_num(h) + ", \"pid\": " + num(pid) +
           ", \"class\": " + dbl::json(class_of(h)) + ", \"title\": " + dbl::json(text_of(h)) +
           ", \"rect\": " + rect_json(r) + ", \"client\": {\"w\": " + num(client.right) + ", \"h\": " +
           num(client.bottom) + "}, \"style\": " + num(DWORD(GetWindowLongW(h, GWL_STYLE))) +
           ", \"exstyle\": " + num(DWORD(GetWindowLongW(h, GWL_EXSTYLE))) +
           ", \"visible\": " + boolean(IsWindowVisible(h)) + ", \"screen\": {\"w\": " +
           num(GetSystemMetrics(SM_CXSCREEN)) + ", \"h\": " + num(GetSystemMetrics(SM_CYSCREEN)) +
           "}, \"icon\": " + boolean(has_icon(h)) + ", \"children\": [" + kids + "]}";
}

const wchar_t* any_if_star(const wchar_t* s) { return wcscmp(s, L"*") == 0 ? nullptr : s; }

// Polls for a top-level window until `timeout_ms` has passed. Once found, waits
// until its thread handles messages again, so that the window has finished
// being created (children included) before it is read.
HWND wait_for(const wchar_t* cls, const wchar_t* title, DWORD timeout_ms) {
    DWORD start = GetTickCount();
    for (;;) {
        if (HWND h = FindWindowW(any_if_star(cls), any_if_star(title))) {
            send(h, WM_NULL, 0, 0);
            if (IsWindow(h)) return h;
        }
        if (GetTickCount() - start >= timeout_ms) return nullptr;
        Sleep(25);
    }
}

void print(const std::string& json) { dbl::write_std(STD_OUTPUT_HANDLE, json + "\n"); }

int cmd_window(const wchar_t* cls, const wchar_t* title, DWORD timeout_ms) {
    HWND h = wait_for(cls, title, timeout_ms);
    print(h ? window_json(h) : "{\"found\": false}");
    return h ? 0 : 1;
}

int cmd_none(const wchar_t* cls, const wchar_t* title, DWORD ms) {
    HWND h = wait_for(cls, title, ms);
    print(h ? window_json(h) : "{\"found\": false}");
    return h ? 1 : 0;
}

// close: the close box; destroy: the window's WM_DESTROY arrives unasked, as
// when Windows takes the window away (its desktop closed).
int cmd_close(const wchar_t* cls, const wchar_t* title, DWORD timeout_ms, bool destroy) {
    HWND h = wait_for(cls, title, timeout_ms);
    if (!h) {
        print("{\"found\": false}");
        return 1;
    }
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    if (destroy) {   // the window itself stays until its program ends
        PostMessageW(h, WM_DESTROY, 0, 0);
        print("{\"found\": true, \"pid\": " + num(pid) + "}");
        return 0;
    }
    PostMessageW(h, WM_SYSCOMMAND, SC_CLOSE, 0);
    DWORD start = GetTickCount();
    while (IsWindow(h) && GetTickCount() - start < timeout_ms) Sleep(10);
    print("{\"found\": true, \"pid\": " + num(pid) + ", \"closed\": " + boolean(!IsWindow(h)) + "}");
    return 0;
}

int cmd_watch(const wchar_t* cls, const wchar_t* title, DWORD timeout_ms, DWORD interval_ms) {
    DWORD start = GetTickCount();
    HWND h = wait_for(cls, title, timeout_ms);
    if (!h) {
        print("{\"found\": false}");
        return 1;
    }
    std::string last;
    for (;;) {
        std::string label, texts, bar = ", \"pos\": null, \"range\": null, \"marquee\": null";
        bool have_label = false;
        HWND label_window = nullptr, bar_window = nullptr;
        for (HWND c : children_of(h)) {
            std::wstring t = text_of(c);
            texts += (texts.empty() ? "" : ", ") + dbl::json(t);
            if (!have_label && is_static(c) && !is_icon_static(c))
                label = dbl::json(t), have_label = true, label_window = c;
            if (!bar_window && is_progress(c)) bar_window = c;
        }
        // The bar's style is read straight from the window, while the label
        // is read by a message the setup answers between two status updates:
        // a bar read is paired with a label only when the label read after it
        // is still the same, so that a state never mixes two status lines.
        if (bar_window) {
            for (int tries = 0; tries < 50; ++tries) {
                bar = progress_members(bar_window);
                std::string again = label_window ? dbl::json(text_of(label_window)) : label;
                if (again == label) break;
                label = again;
            }
        }
        std::string state = "\"title\": " + dbl::json(text_of(h)) + ", \"visible\": " + boolean(IsWindowVisible(h)) +
                            ", \"label\": " + (have_label ? label : "null") + ", \"texts\": [" + texts + "]" + bar;
        DWORD t = GetTickCount() - start;
        if (!IsWindow(h)) {
            print("{\"t\": " + num(t) + ", \"gone\": true}");
            return 0;
        }
        if (state != last) print("{\"t\": " + num(t) + ", \"hwnd\": " + handle_num(h) + ", " + state + "}");
        last = state;
        if (t >= timeout_ms) {
            print("{\"t\": " + num(t) + ", \"timeout\": true}");
            return 0;
        }
        Sleep(interval_ms);
    }
}

int cmd_msgbox(const wchar_t* caption, DWORD timeout_ms, bool press) {
    HWND box = wait_for(L"#32770", caption, timeout_ms);
    if (!box) {
        print("{\"found\": false}");
        return 1;
    }
    // The text is the static with id 0xFFFF on Windows; otherwise take the
    // longest static text that is not the icon.
    std::wstring text;
    int text_id = 0;
    bool icon = false;
    std::string buttons;
    HWND ok = nullptr, cancel = nullptr, first_button = nullptr;
    for (HWND c : children_of(box)) {
        int id = GetDlgCtrlID(c);
        if (is_icon_static(c)) {
            icon = true;
        } else if (is_static(c)) {
            std::wstring t = text_of(c);
            if (id == 0xFFFF || (text_id != 0xFFFF && t.size() > text.size())) text = t, text_id = id;
        } else if (_wcsicmp(class_of(c).c_str(), L"Button") == 0) {
            buttons += (buttons.empty() ? "" : ", ") + dbl::json(text_of(c));
            if (id == IDOK) ok = c;
            if (id == IDCANCEL) cancel = c;
            if (!first_button) first_button = c;
        }
    }
    DWORD pid = 0;
    GetWindowThreadProcessId(box, &pid);
    HWND owner = GetWindow(box, GW_OWNER);
    std::string out = "{\"found\": true, \"hwnd\": " + handle_num(box) + ", \"pid\": " + num(pid) +
                      ", \"caption\": " + dbl::json(text_of(box)) + ", \"text\": " + dbl::json(text) +
                      ", \"text_id\": " + num(text_id) + ", \"owner\": " + handle_num(owner);
    if (owner)
        out += ", \"owner_class\": " + dbl::json(class_of(owner)) + ", \"owner_title\": " + dbl::json(text_of(owner)) +
               ", \"owner_enabled\": " + boolean(IsWindowEnabled(owner) != FALSE);
    out += ", \"buttons\": [" + buttons + "], \"icon\": " + boolean(icon);

    if (press) {
        HWND button = ok ? ok : cancel ? cancel : first_button;
        int id = button ? GetDlgCtrlID(button) : IDOK;
        std::wstring pressed = button ? text_of(button) : L"";
        if (button) send(button, BM_CLICK, 0, 0);
        bool closed = false;
        for (int i = 0; i < 80 && !closed; ++i) {
            if (i == 40)  // the click did not take: ask the dialog directly
                PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
            closed = !IsWindow(box);
            if (!closed) Sleep(25);
        }
        out += ", \"pressed\": " + dbl::json(pressed) + ", \"closed\": " + boolean(closed);
    }
    print(out + "}");
    return 0;
}

int usage() {
    dbl::write_std(STD_ERROR_HANDLE,
                   "usage: winprobe window <class> <title> <timeout_ms>\n"
                   "       winprobe watch <class> <title> <timeout_ms> <interval_ms>\n"
                   "       winprobe msgbox <caption> <timeout_ms> [press|leave]\n"
                   "       winprobe close|destroy <class> <title> <timeout_ms>\n"
                   "       winprobe none <class> <title> <ms>\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    dbl::started();
    if (argc < 2) return usage();
    std::wstring cmd = argv[1];
    auto ms = [&](int i) { return DWORD(wcstoul(argv[i], nullptr, 10)); };
    if (cmd == L"window" && argc == 5) return cmd_window(argv[2], argv[3], ms(4));
    if (cmd == L"close" && argc == 5) return cmd_close(argv[2], argv[3], ms(4), false);
    if (cmd == L"destroy" && argc == 5) return cmd_close(argv[2], argv[3], ms(4), true);
    if (cmd == L"none" && argc == 5) return cmd_none(argv[2], argv[3], ms(4));
    if (cmd == L"watch" && argc == 6) return cmd_watch(argv[2], argv[3], ms(4), ms(5));
    if (cmd == L"msgbox" && (argc == 4 || argc == 5)) {
        std::wstring mode = argc == 5 ? argv[4] : L"press";
        if (mode != L"press" && mode != L"leave") return usage();
        return cmd_msgbox(argv[2], ms(3), mode == L"press");
    }
    return usage();
}
