// The entry point: everything it decides lives in the library.
#include "app/app.h"

MAY_END_RUN int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR tail, int show) {
    test_started();
    process_end((UINT)setup_main(instance, tail, show));
    return 0;
}

// The executable starts here, without the C runtime's start-up code (linked
// with -nostartfiles and this entry; /ENTRY elsewhere): the runtime DLL sets
// itself up when it is loaded, and nothing else that start-up does is used
// (no static constructors, no thread-local data, no exit handlers: the run
// ends in ExitProcess). It hands wWinMain what that start-up would: the
// command line after the program's name (quoted or not) and the blanks
// after it, and the show state the starter asked for.
// The build makes every other function internal (one program), this one
// stays visible.
#if defined(__GNUC__)
#define SETUP_ENTRY_VISIBLE __attribute__((externally_visible))
#else
#define SETUP_ENTRY_VISIBLE
#endif
extern "C" SETUP_ENTRY_VISIBLE void setup_entry(void) {
    wchar_t* tail = GetCommandLineW();
    bool quoted = false;
    while (*tail > L' ' || (*tail && quoted)) {
        if (*tail == L'"') quoted = !quoted;
        ++tail;
    }
    while (*tail && *tail <= L' ') ++tail;
    STARTUPINFOW startup;
    GetStartupInfoW(&startup);
    int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
    wWinMain(GetModuleHandleW(NULL), NULL, tail, show);
}
