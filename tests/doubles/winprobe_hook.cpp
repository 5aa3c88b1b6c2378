// winprobe_hook.dll: loaded by the system into the probed program when
// winprobe sets a WH_CALLWNDPROC hook on the window's thread. On winprobe's
// query message it reads the window's font and class icon in-process and
// writes them into winprobe's shared memory. It must sit beside winprobe.exe.
#include "winprobe_hook.h"

extern "C" __declspec(dllexport) LRESULT CALLBACK winprobe_hook(int code, WPARAM wp, LPARAM lp) {
    static const UINT query = RegisterWindowMessageW(WINPROBE_QUERY_MESSAGE);
    const auto* msg = reinterpret_cast<const CWPSTRUCT*>(lp);
    if (code == HC_ACTION && msg->message == query) {
        HANDLE map = OpenFileMappingW(FILE_MAP_WRITE, FALSE, winprobe_mapping_name(DWORD(msg->wParam)).c_str());
        auto* answer = map ? static_cast<WinprobeAnswer*>(MapViewOfFile(map, FILE_MAP_WRITE, 0, 0, sizeof(WinprobeAnswer)))
                           : nullptr;
        if (answer) {
            HFONT font = reinterpret_cast<HFONT>(SendMessageW(msg->hwnd, WM_GETFONT, 0, 0));
            answer->has_font = font != nullptr;
            answer->font_read = font && GetObjectW(font, sizeof answer->font, &answer->font) == sizeof answer->font;
            answer->has_class_icon =
                GetClassLongPtrW(msg->hwnd, GCLP_HICON) != 0 || GetClassLongPtrW(msg->hwnd, GCLP_HICONSM) != 0;
            answer->answered = 1;
            UnmapViewOfFile(answer);
        }
        if (map) CloseHandle(map);
    }
    return CallNextHookEx(nullptr, code, wp, lp);
}
