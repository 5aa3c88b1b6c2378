// The release API's answer and release-download links. The input's first
// line is the asset name looked for; the rest is the answer. The rest is
// also split as a link, and so is every address the scan finds.
#include <stdint.h>

#include "fuzz_check.h"
#include "core/core.h"

namespace {

const char kBase[] = "https://localhost:47443/";

// A successful split must give back the link it came from, piece by piece.
void check_split(const char* url) {
    char* repo = poisoned(256);
    char* tag = poisoned(256);
    char* asset = poisoned(260);
    int has_tag = 7;
    int r = release_link_split(kBase, url, repo, tag, &has_tag, asset);
    FUZZ_CHECK(r == 0 || r == 1, "release_link_split returned %d", r);
    if (r) {
        FUZZ_CHECK(has_tag == 0 || has_tag == 1, "has_tag %d", has_tag);
        FUZZ_CHECK(terminated_within(repo, 256), "repo not terminated");
        FUZZ_CHECK(terminated_within(asset, 260), "asset not terminated");
        FUZZ_CHECK(asset[0] != 0, "empty asset from %s", url);
        FUZZ_CHECK(!strpbrk(asset, "/?#"), "asset keeps a separator: %s", asset);
        FUZZ_CHECK(strchr(repo, '/') != 0, "repo without owner/name: %s", repo);
        if (has_tag) FUZZ_CHECK(terminated_within(tag, 256), "tag not terminated");
        size_t cap = strlen(url) + 1;
        char* again = (char*)malloc(cap + 64);
        snprintf(again, cap + 64, "%s%s%s%s%s%s", kBase, repo,
                 has_tag ? "/releases/download/" : "/releases/latest/download/", has_tag ? tag : "",
                 has_tag ? "/" : "", asset);
        FUZZ_CHECK(strcmp(again, url) == 0, "split of %s rebuilds as %s", url, again);
        free(again);
    }
    free(repo);
    free(tag);
    free(asset);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t* nl = (const uint8_t*)memchr(data, '\n', size);
    size_t asset_len = nl ? (size_t)(nl - data) : 0;
    size_t rest_at = nl ? asset_len + 1 : 0;
    char* asset = nul_copy(data, asset_len);
    size_t len = size - rest_at;
    char* answer = nul_copy(data + rest_at, len);  // `len` bytes and a NUL, as the caller hands it

    char* out = poisoned(LIST_URL_CAP);
    int r = api_answer_scan(kBase, answer, len, asset, out);
    FUZZ_CHECK(r == 0 || r == 1, "api_answer_scan returned %d", r);
    if (r) {
        FUZZ_CHECK(terminated_within(out, LIST_URL_CAP), "address not terminated within %d bytes",
                   LIST_URL_CAP);
        FUZZ_CHECK(strncmp(out, kBase, sizeof kBase - 1) == 0, "address off the base: %s", out);
        check_split(out);
    }
    // Embedded NULs end the answer for the scan: the same bytes cut at the
    // first NUL must give the same verdict.
    size_t cut = strlen(answer);
    if (cut < len) {
        char* out2 = poisoned(LIST_URL_CAP);
        int r2 = api_answer_scan(kBase, answer, cut, asset, out2);
        FUZZ_CHECK(r2 == r, "verdict %d with the NUL-ended answer, %d cut at the NUL", r, r2);
        if (r) FUZZ_CHECK(strcmp(out, out2) == 0, "address differs when cut at the NUL");
        free(out2);
    }

    check_split(answer);

    free(out);
    free(answer);
    free(asset);
    return 0;
}
