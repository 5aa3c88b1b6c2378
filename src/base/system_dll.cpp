// Loads the system DLLs that the executable does not import, from the system
// folder alone, each once, on first use; and holds the table of them.
#include "base/system_dll.h"

#include "setup.h"

namespace {

BOOL CALLBACK load_once(PINIT_ONCE, PVOID parameter, PVOID*) {
    system_dll* dll = (system_dll*)parameter;
    // Only the system folder is searched, for the DLL and for what it loads.
    HMODULE module = LoadLibraryExW(dll->file, 0, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module) {
        dll->error = GetLastError();
        return FALSE;
    }
    for (size_t i = 0; dll->names[i]; ++i) {
        dll->slots[i] = GetProcAddress(module, dll->names[i]);
        if (!dll->slots[i]) {
            dll->error = GetLastError();
            dll->missing = dll->names[i];
            return FALSE;
        }
    }
    dll->error = 0;
    return TRUE;
}

}  // namespace

int system_dll_load(system_dll* dll) {
    if (InitOnceExecuteOnce(&dll->once, load_once, dll, 0)) return 1;
    if (dll->error == 0) dll->error = ERROR_MOD_NOT_FOUND;
    return 0;
}

void system_dll_need(system_dll* dll) {
    if (system_dll_load(dll)) return;
    if (dll->missing)
        fail(L"Windows' %ls has no function %hs (Windows error %lu). Windows' system files may need "
             L"repair: open Command Prompt as administrator, run sfc /scannow, then run the setup again.",
             dll->file, dll->missing, dll->error);
    fail(L"Could not load Windows' %ls from the system folder (Windows error %lu). Windows' system "
         L"files may need repair: open Command Prompt as administrator, run sfc /scannow, then run "
         L"the setup again.",
         dll->file, dll->error);
}

SYSTEM_DLL_DEFINE(winhttp, L"winhttp.dll", SETUP_WINHTTP_FUNCTIONS)
SYSTEM_DLL_DEFINE(bcrypt, L"bcrypt.dll", SETUP_BCRYPT_FUNCTIONS)
SYSTEM_DLL_DEFINE(user32, L"user32.dll", SETUP_USER32_FUNCTIONS)
SYSTEM_DLL_DEFINE(gdi32, L"gdi32.dll", SETUP_GDI32_FUNCTIONS)
SYSTEM_DLL_DEFINE(comctl32, L"comctl32.dll", SETUP_COMCTL32_FUNCTIONS)
SYSTEM_DLL_DEFINE(shell32, L"shell32.dll", SETUP_SHELL32_FUNCTIONS)
