// bare_launch.exe: the least a launcher can do under this platform, to hold
// the setup's fast start against. It starts the program named by its first
// argument with the rest of its command line and returns at once, as the
// setup's fast start does. Built twice: plain (CreateProcessW only) and, as
// shell_launch.exe with BARE_LAUNCH_SHELL, also asking the shell for the
// per-user data folder first, as a start with the per-user home must.
#include <windows.h>
#ifdef BARE_LAUNCH_SHELL
#include <shlobj.h>
#endif

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR tail, int) {
#ifdef BARE_LAUNCH_SHELL
    wchar_t folder[MAX_PATH];
    if (SHGetFolderPathW(0, CSIDL_LOCAL_APPDATA, 0, SHGFP_TYPE_CURRENT, folder) != S_OK) return 1;
#endif
    // The program is the first argument; it gets the whole tail as its
    // command line, which names it first as any command line does.
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessW(0, tail, 0, 0, FALSE, 0, 0, 0, &startup, &process)) return 1;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}
