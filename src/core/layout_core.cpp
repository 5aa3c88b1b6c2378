// How an install turns a relative path of the setup list into a path below a
// folder. No Windows header: the fuzzers form every install path with it.
#include "core/core.h"

#include <string.h>

size_t layout_relative(char out[LIST_NAME_CAP], const char* relative) {
    out[0] = 0;
    if (strcmp(relative, ".") == 0) return 0;  // the folder itself
    size_t n = text_append(out, LIST_NAME_CAP, 0, relative);
    if (n >= LIST_NAME_CAP) return out[0] = 0, 0;
    for (size_t i = 0; i < n; ++i)
        if (out[i] == '/') out[i] = '\\';
    // A path may end in one separator; the folder is the same without it,
    // and before a closing quote on a command line it would escape the quote.
    while (n > 0 && out[n - 1] == '\\') out[--n] = 0;
    return n;
}
