// The wide form of a part's folder inside a version.
#include "store/store.h"

#include "base/wide.h"

int part_folder(const part_record* part, wchar_t out[PATH_CAP]) {
    char folder[LIST_NAME_CAP];
    if (!part_folder_bytes(part, folder)) return 0;
    // The names are ASCII by validation, so this conversion cannot grow them.
    return utf8_wide(folder, out, PATH_CAP);
}
