// UTF-8 bytes made wide: a tag, a name of the setup list, a path.
#ifndef STONEWAKE_BASE_WIDE_H
#define STONEWAKE_BASE_WIDE_H

#include <wchar.h>

#include "core/core.h"

// The NUL-terminated UTF-8 `text` made wide in `out` (`cap` characters with
// the terminator). Returns 1 when all of it fit; 0 with `out` empty when it
// did not or the conversion failed: a text is never cut.
int utf8_wide(const char* text, wchar_t* out, int cap);

// A tag (a list's, the --tag value, current.txt's: at most 127 bytes of the
// name rule, so it always fits) made wide: utf8_wide into LIST_TAG_CAP.
int tag_wide(const char* tag, wchar_t out[LIST_TAG_CAP]);

#endif
