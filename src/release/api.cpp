// The release API fallback: a release-download link on the release host is
// turned into the asset's download address from the API's answer.
#include "release/release.h"
#include "base/base.h"


int api_link_for(const char* url, char out[URL_CAP]) {
    char repo[256];
    char tag[256];
    char asset[260];
    int has_tag = 0;
    if (!release_link_split(SETUP_HOST_BASE, url, repo, tag, &has_tag, asset)) return 0;
    return api_asset_url(repo, has_tag ? tag : 0, asset, out);
}

int api_asset_url(const char* repo, const char* tag, const char* asset, char out[URL_CAP]) {
    char address[URL_CAP];
    size_t n = text_append(address, URL_CAP, 0, SETUP_HOST_BASE "api/v1/repos/");
    n = text_append(address, URL_CAP, n, repo);
    if (tag) {
        n = text_append(address, URL_CAP, n, "/releases/tags/");
        text_append(address, URL_CAP, n, tag);
    } else {
        text_append(address, URL_CAP, n, "/releases/latest");
    }
    mem_buf answer = {};
    int found = 0;
    if (http_get(address, mem_sink, &answer, 0, L"application/vnd.github+json") && answer.data)
        found = api_answer_scan(SETUP_HOST_BASE, answer.data, (size_t)answer.len, asset, out);
    mem_free(&answer);
    return found;
}
