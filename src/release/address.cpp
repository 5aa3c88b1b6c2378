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
    // Read from the process's own environment (the runtime's copy of it is
    // not set up: the executable starts without the runtime's start-up); a
    // longer value is cut to the address's capacity. 32767 characters is the
    // longest value the environment can hold.
    static char explicit_list[32768];
    DWORD got = GetEnvironmentVariableA("TARNWICK_SETUP_LIST", explicit_list, sizeof explicit_list);
    if (got > 0 && got < sizeof explicit_list) {
        size_t kept = got > URL_CAP - 1 ? URL_CAP - 1 : got;
        memcpy(u, explicit_list, kept);
        u[kept] = 0;
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
