// Where the setup list lives: TARNWICK_SETUP_LIST, else the tagged release
// (or the nightly release for a build description), else the latest one.
#include "release/release.h"

#include <stdlib.h>
#include <string.h>

void requested_tag(char out[LIST_TAG_CAP]) {
    tag_scan(g_cmdline, out);
}

int requested_tag_refused(wchar_t shown[LIST_TAG_CAP]) {
    char tag[LIST_TAG_CAP];
    shown[0] = 0;
    if (tag_scan(g_cmdline, tag) >= 0) return 0;
    size_t length = 0;
    const wchar_t* value = tag_value(g_cmdline, &length);
    if (length > LIST_TAG_CAP - 1) length = LIST_TAG_CAP - 1;
    memcpy(shown, value, length * sizeof(wchar_t));
    shown[length] = 0;
    return 1;
}

const char* manifest_url(void) {
    static char u[URL_CAP];
    const char* explicit_list = getenv("TARNWICK_SETUP_LIST");
    if (explicit_list && explicit_list[0]) {
        size_t n = strlen(explicit_list);
        if (n > URL_CAP - 1) n = URL_CAP - 1;
        memcpy(u, explicit_list, n);
        u[n] = 0;
        return u;
    }
    char tag[LIST_TAG_CAP];
    requested_tag(tag);
    if (!tag[0]) {
        text_append(u, URL_CAP, 0,
                    SETUP_HOST_BASE "Stonewake/Stonewake/releases/latest/download/tarnwick-setup.txt");
        return u;
    }
    size_t n = text_append(u, URL_CAP, 0, SETUP_HOST_BASE "Stonewake/Stonewake/releases/download/");
    n = text_append(u, URL_CAP, n, nightly_match(tag) ? "nightly" : tag);
    text_append(u, URL_CAP, n, "/tarnwick-setup.txt");
    return u;
}
