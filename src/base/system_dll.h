// System DLLs loaded at run time. Windows looks for an imported DLL that is not
// one of its KnownDLLs in the program's own folder first, where a web page may
// have dropped a file of that name beside a downloaded setup. And every
// imported DLL is loaded, with all it imports in turn, before the first line
// of the program runs, even on a road that never calls it. So the executable
// imports only kernel32 and the C runtime; every other system DLL (window,
// drawing, common controls, shell, HTTP, hashing) is loaded here, from the
// system folder alone, the first time a road needs it, and its functions are
// resolved into typed slots:
//
//   #define SETUP_WINHTTP_FUNCTIONS(X) X(WinHttpOpen) X(WinHttpConnect) ...
//   SYSTEM_DLL_DECLARE(winhttp, SETUP_WINHTTP_FUNCTIONS)          // header
//   SYSTEM_DLL_DEFINE(winhttp, L"winhttp.dll", SETUP_WINHTTP_FUNCTIONS)  // one .cpp
//   winhttp()->WinHttpOpen(...)
//
// The first call loads the DLL and resolves every function of its list; later
// calls cost one check. A DLL or function that cannot be had ends the run
// with a message naming it (fail); name_loaded() returns 0 instead, for the
// one caller that must not end that way (the message box of fail itself).
#ifndef STONEWAKE_SYSTEM_DLL_H
#define STONEWAKE_SYSTEM_DLL_H

#include <windows.h>
#include <bcrypt.h>
#include <commctrl.h>
#include <shlobj.h>
#include <winhttp.h>

#include "setup.h"

struct system_dll {
    const wchar_t* file;       // the DLL's file name in the system folder
    const char* const* names;  // the functions, in slot order, ending with 0
    FARPROC* slots;            // where their addresses go
    INIT_ONCE once;
    DWORD error;  // 0 once loaded; else why it could not be
    const char* missing;  // the function that was not found, if that was it
};

// Loads `dll` once (thread-safe) and fills its slots; on failure ends the run
// with a message (fail). Never returns with a slot unfilled.
MAY_END_RUN void system_dll_need(system_dll* dll);
// The same without the message: 1 when loaded, 0 with dll->error set.
int system_dll_load(system_dll* dll);

#define SYSTEM_DLL_SLOT(function) decltype(&::function) function;
#define SYSTEM_DLL_NAME(function) #function,

#define SYSTEM_DLL_DECLARE(name, LIST)    \
    struct name##_functions {             \
        LIST(SYSTEM_DLL_SLOT)             \
    };                                    \
    MAY_END_RUN const name##_functions* name(void); \
    const name##_functions* name##_loaded(void);

#define SYSTEM_DLL_DEFINE(name, file_name, LIST)                                          \
    static name##_functions name##_slots;                                                 \
    static const char* const name##_names[] = {LIST(SYSTEM_DLL_NAME) 0};                  \
    static_assert(sizeof name##_slots ==                                                  \
                      (sizeof name##_names / sizeof name##_names[0] - 1) * sizeof(FARPROC), \
                  "every slot is one function pointer");                                  \
    static system_dll name##_dll = {file_name, name##_names, (FARPROC*)&name##_slots,     \
                                    INIT_ONCE_STATIC_INIT, 0, 0};                         \
    const name##_functions* name(void) {                                                  \
        system_dll_need(&name##_dll);                                                     \
        return &name##_slots;                                                             \
    }                                                                                     \
    const name##_functions* name##_loaded(void) {                                         \
        return system_dll_load(&name##_dll) ? &name##_slots : 0;                          \
    }

// ---- the system DLLs the setup loads at run time --------------------------

#define SETUP_WINHTTP_FUNCTIONS(X)                                                      \
    X(WinHttpCrackUrl) X(WinHttpOpen) X(WinHttpSetTimeouts) X(WinHttpSetOption)          \
    X(WinHttpConnect) X(WinHttpOpenRequest) X(WinHttpSendRequest) X(WinHttpReceiveResponse) \
    X(WinHttpQueryHeaders) X(WinHttpReadData) X(WinHttpCloseHandle)
SYSTEM_DLL_DECLARE(winhttp, SETUP_WINHTTP_FUNCTIONS)

#define SETUP_BCRYPT_FUNCTIONS(X)                                                 \
    X(BCryptOpenAlgorithmProvider) X(BCryptCreateHash) X(BCryptHashData)           \
    X(BCryptFinishHash) X(BCryptDestroyHash) X(BCryptCloseAlgorithmProvider)       \
    X(BCryptImportKeyPair) X(BCryptVerifySignature) X(BCryptDestroyKey)
SYSTEM_DLL_DECLARE(bcrypt, SETUP_BCRYPT_FUNCTIONS)

// The window road: the progress window and its message loop; message boxes.
#define SETUP_USER32_FUNCTIONS(X)                                                       \
    X(CreateWindowExW) X(DefWindowProcW) X(DestroyWindow) X(DispatchMessageW) X(GetMessageW) \
    X(GetSysColor) X(GetSysColorBrush) X(GetSystemMetrics) X(GetWindowLongPtrW)           \
    X(LoadCursorW) X(LoadIconW) X(MessageBoxW) X(PostMessageW) X(PostQuitMessage)         \
    X(RegisterClassW) X(SendMessageW) X(SetWindowLongPtrW) X(SetWindowTextW) X(ShowWindow) \
    X(TranslateMessage)
SYSTEM_DLL_DECLARE(user32, SETUP_USER32_FUNCTIONS)

#define SETUP_GDI32_FUNCTIONS(X) X(CreateFontW) X(SetBkColor) X(SetTextColor)
SYSTEM_DLL_DECLARE(gdi32, SETUP_GDI32_FUNCTIONS)

// The common controls: the manifest binds version 6, which the loader picks
// for this name as it would for an import.
#define SETUP_COMCTL32_FUNCTIONS(X) X(InitCommonControlsEx)
SYSTEM_DLL_DECLARE(comctl32, SETUP_COMCTL32_FUNCTIONS)

// The per-user home: only when no home is named.
#define SETUP_SHELL32_FUNCTIONS(X) X(SHGetFolderPathW)
SYSTEM_DLL_DECLARE(shell32, SETUP_SHELL32_FUNCTIONS)

#endif
