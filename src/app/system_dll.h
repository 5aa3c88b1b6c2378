// System DLLs loaded at run time. Windows looks for an imported DLL that is not
// one of its KnownDLLs in the program's own folder first, where a web page may
// have dropped a file of that name beside a downloaded setup. So the
// executable imports only KnownDLLs (and the common controls, which its
// manifest binds); every other system DLL is loaded here, from the system
// folder alone, the first time a road needs it, and its functions are
// resolved into typed slots:
//
//   #define SETUP_WINHTTP_FUNCTIONS(X) X(WinHttpOpen) X(WinHttpConnect) ...
//   SYSTEM_DLL_DECLARE(winhttp, SETUP_WINHTTP_FUNCTIONS)          // header
//   SYSTEM_DLL_DEFINE(winhttp, L"winhttp.dll", SETUP_WINHTTP_FUNCTIONS)  // one .cpp
//   winhttp()->WinHttpOpen(...)
//
// The first call loads the DLL and resolves every function of its list; later
// calls cost one check. A DLL or function that cannot be had ends the run
// with a message naming it (fail).
#ifndef STONEWAKE_SYSTEM_DLL_H
#define STONEWAKE_SYSTEM_DLL_H

#include <windows.h>
#include <bcrypt.h>
#include <winhttp.h>

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
void system_dll_need(system_dll* dll);
// The same without the message: 1 when loaded, 0 with dll->error set.
int system_dll_load(system_dll* dll);

#define SYSTEM_DLL_SLOT(function) decltype(&::function) function;
#define SYSTEM_DLL_NAME(function) #function,

#define SYSTEM_DLL_DECLARE(name, LIST)    \
    struct name##_functions {             \
        LIST(SYSTEM_DLL_SLOT)             \
    };                                    \
    const name##_functions* name(void);

#define SYSTEM_DLL_DEFINE(name, file_name, LIST)                                          \
    const name##_functions* name(void) {                                                  \
        static name##_functions functions;                                                \
        static const char* const names[] = {LIST(SYSTEM_DLL_NAME) 0};                     \
        static_assert(sizeof functions == (sizeof names / sizeof names[0] - 1) * sizeof(FARPROC), \
                      "every slot is one function pointer");                              \
        static system_dll dll = {file_name, names, (FARPROC*)&functions, INIT_ONCE_STATIC_INIT, 0, 0}; \
        system_dll_need(&dll);                                                            \
        return &functions;                                                                \
    }

// ---- the system DLLs the setup loads at run time --------------------------

#define SETUP_WINHTTP_FUNCTIONS(X)                                                      \
    X(WinHttpCrackUrl) X(WinHttpOpen) X(WinHttpSetTimeouts) X(WinHttpSetOption)          \
    X(WinHttpConnect) X(WinHttpOpenRequest) X(WinHttpSendRequest) X(WinHttpReceiveResponse) \
    X(WinHttpQueryHeaders) X(WinHttpReadData) X(WinHttpCloseHandle)
SYSTEM_DLL_DECLARE(winhttp, SETUP_WINHTTP_FUNCTIONS)

#define SETUP_BCRYPT_FUNCTIONS(X)                                                 \
    X(BCryptOpenAlgorithmProvider) X(BCryptCreateHash) X(BCryptHashData)           \
    X(BCryptFinishHash) X(BCryptDestroyHash) X(BCryptCloseAlgorithmProvider)
SYSTEM_DLL_DECLARE(bcrypt, SETUP_BCRYPT_FUNCTIONS)

#endif
