// The completeness rule of a Builder, over any file system: its executable and
// the twelve files of its self-contained runtime beside it. No Windows header,
// so the release tool applies the same rule to a release laid out in memory.
#include "core/core.h"

#include <string.h>
#include <wchar.h>

const char* const builder_runtime_files[BUILDER_RUNTIME_FILES] = {
    "StonewakeBuilder.dll",       "StonewakeBuilder.deps.json",
    "StonewakeBuilder.runtimeconfig.json", "hostfxr.dll",
    "hostpolicy.dll",             "coreclr.dll",
    "System.Private.CoreLib.dll", "WindowsBase.dll",
    "PresentationCore.dll",       "PresentationFramework.dll",
    "PresentationNative_cor3.dll", "wpfgfx_cor3.dll"};

int builder_ready_with(const wchar_t* exe, int (*present)(const wchar_t* path, void* context),
                       void* context) {
    size_t length = wcslen(exe);
    if (length >= BUILDER_PATH_CAP) return 0;
    wchar_t path[BUILDER_PATH_CAP];
    memcpy(path, exe, (length + 1) * sizeof(wchar_t));
    wchar_t* slash = wcsrchr(path, L'\\');
    if (!slash) return 0;
    if (!present(path, context)) return 0;
    size_t folder = (size_t)(slash - path) + 1;
    for (size_t i = 0; i < BUILDER_RUNTIME_FILES; ++i) {
        const char* name = builder_runtime_files[i];
        size_t name_length = strlen(name);
        if (folder + name_length > BUILDER_PATH_CAP - 1) return 0;
        // The names are ASCII: each byte is its own wide character.
        for (size_t k = 0; k <= name_length; ++k) slash[1 + k] = (wchar_t)(unsigned char)name[k];
        if (!present(path, context)) return 0;
    }
    return 1;
}
