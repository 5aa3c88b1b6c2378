// UTF-8 bytes made wide, whole or not at all.
#include "base/wide.h"

#include <windows.h>

int utf8_wide(const char* text, wchar_t* out, int cap) {
    // Too small a buffer gives 0 (ERROR_INSUFFICIENT_BUFFER): nothing is cut.
    if (cap > 0 && MultiByteToWideChar(CP_UTF8, 0, text, -1, out, cap) > 0) return 1;
    if (cap > 0) out[0] = 0;
    return 0;
}

int tag_wide(const char* tag, wchar_t out[LIST_TAG_CAP]) {
    return utf8_wide(tag, out, LIST_TAG_CAP);
}
