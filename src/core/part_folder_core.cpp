// The folder that a part occupies inside a version. No Windows header.
#include "core/core.h"

#include <string.h>

int part_folder_bytes(const part_record* part, char out[LIST_NAME_CAP]) {
    static const char* const tools[] = {"python", "emsdk", "cpm", "third_party", "wgpu-native"};
    size_t n = 0;
    if (strcmp(part->to, "-") == 0 || strcmp(part->dir, ".") == 0) {
        // A tool part is known by its archive name, the url after its last '/'.
        const char* slash = strrchr(part->url, '/');
        const char* archive = slash ? slash + 1 : part->url;
        const char* tool = 0;
        for (size_t i = 0; i < sizeof tools / sizeof tools[0] && !tool; ++i) {
            char prefix[64];
            size_t length = text_append(prefix, sizeof prefix, 0, "StonewakeBuilder-");
            length = text_append(prefix, sizeof prefix, length, tools[i]);
            length = text_append(prefix, sizeof prefix, length, "-");
            if (length < sizeof prefix && strncmp(archive, prefix, length) == 0) tool = tools[i];
        }
        if (!tool) return 0;
        n = text_append(out, LIST_NAME_CAP, 0, "StonewakeBuilder\\tools\\");
        n = text_append(out, LIST_NAME_CAP, n, tool);
    } else {
        n = text_append(out, LIST_NAME_CAP, 0, part->dir);
        // A dir may end in its one separator: "a/" and "a" hold the same folders.
        if (n == 0 || (out[n - 1] != '/' && out[n - 1] != '\\'))
            n = text_append(out, LIST_NAME_CAP, n, "\\");
        n = text_append(out, LIST_NAME_CAP, n, part->to);
    }
    // A folder that does not fit is no folder: a cut path could name another.
    if (n >= LIST_NAME_CAP) return 0;
    for (char* p = out; *p; ++p)
        if (*p == '/') *p = '\\';
    return 1;
}
