// planted.dll: a DLL that a web page dropped beside a downloaded setup. Tests
// copy it there under the names of system DLLs (winhttp.dll, bcrypt.dll). When
// any process loads it, it appends "<its own path>\t<the executable>\n" to the
// file named by STONEWAKE_PLANTED_LOG and refuses to load (DllMain returns
// FALSE), so a run that took it can pass neither for a clean one nor quietly.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t log[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"STONEWAKE_PLANTED_LOG", log, MAX_PATH);
    if (n > 0 && n < MAX_PATH) {
        wchar_t dll[MAX_PATH] = L"";
        wchar_t exe[MAX_PATH] = L"";
        GetModuleFileNameW(self, dll, MAX_PATH);
        GetModuleFileNameW(nullptr, exe, MAX_PATH);
        char line[4 * MAX_PATH * 2 + 4];
        int at = WideCharToMultiByte(CP_UTF8, 0, dll, -1, line, 4 * MAX_PATH, nullptr, nullptr);
        if (at > 0) {
            line[at - 1] = '\t';
            int more = WideCharToMultiByte(CP_UTF8, 0, exe, -1, line + at, 4 * MAX_PATH, nullptr, nullptr);
            if (more > 0) {
                at += more - 1;
                line[at++] = '\n';
                HANDLE f = CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
                if (f != INVALID_HANDLE_VALUE) {
                    DWORD written;
                    WriteFile(f, line, DWORD(at), &written, nullptr);
                    CloseHandle(f);
                }
            }
        }
    }
    return FALSE;
}
