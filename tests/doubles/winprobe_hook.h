// What winprobe asks winprobe_hook.dll, which runs inside the probed window's
// own process. Wine answers neither WM_GETFONT nor GetClassLongPtrW(GCLP_HICON)
// for another process's window, and a font handle means nothing outside its
// process, so those are read from inside and passed back in shared memory.
#pragma once

#include <windows.h>

#include <string>

// Sent to the window with wParam = winprobe's process id; the hook fills the
// mapping named by winprobe_mapping_name(wParam).
#define WINPROBE_QUERY_MESSAGE L"StonewakeWinprobeQuery"

struct WinprobeAnswer {
    LONG answered;
    LONG has_font;        // WM_GETFONT gave a font ...
    LONG font_read;       // ... and GetObjectW could read it into `font`
    LONG has_class_icon;  // GCLP_HICON or GCLP_HICONSM is set
    LOGFONTW font;
};

inline std::wstring winprobe_mapping_name(DWORD probe_pid) {
    return L"Local\\StonewakeWinprobe-" + std::to_wstring(probe_pid);
}
