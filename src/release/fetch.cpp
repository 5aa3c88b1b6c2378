// The first phase of the worker: --repair, the home re-check, the downloads
// folder, and the setup list fetched on the retry schedule (with the release
// API as a fallback after no answer or a server error), parsed, validated and
// checked against the requested tag.
#include "release/release.h"

#include <string.h>
#include <wchar.h>

#include "base/base.h"
#include "home/home.h"
#include "store/store.h"
#include "base/wide.h"

#define WIDEN2(x) L##x
#define WIDEN(x) WIDEN2(x)
#define HOST_W WIDEN(STONEWAKE_RELEASE_HOST)

const wchar_t list_name_refused[] =
    L"The release's setup list has a name this setup does not accept. Try again later.";

namespace {

const wchar_t looking[] = L"Looking for the latest Stonewake Builder...";

MAY_END_RUN int attempt(mem_buf* body) {
    mem_free(body);
    http_status_set(0);
    if (http_get(manifest_url(), mem_sink, body, 0, 0) && body->data) return ATTEMPT_OK;
    DWORD direct = http_status();
    if (direct == 0 || direct >= 500) {
        char link[URL_CAP];
        if (api_link_for(manifest_url(), link)) {
            mem_free(body);
            if (http_get(link, mem_sink, body, 0, L"application/octet-stream") && body->data)
                return ATTEMPT_OK;
            http_status_set(direct);  // the retry status reports the direct request
            return ATTEMPT_RETRY;
        }
        // Otherwise classified by what the lookup left: still the direct
        // status, or the API's own answer (a 404 there ends the fetch).
    }
    return http_retryable(http_status()) ? ATTEMPT_RETRY : ATTEMPT_FINAL;
}

MAY_END_RUN void give_up() {
    if (http_status() == 404)
        fail(L"The latest Stonewake release has no setup files yet. See the releases page: https://" HOST_W
             L"/Stonewake/Stonewake/releases/latest");
    if (http_status() == 0)
        fail(L"Could not reach " HOST_W
             L" to get the Stonewake Builder. Check your internet connection and try again.");
    fail(HOST_W L" is failing right now (an error 500 or above, " RETRY_TOLD L"). Try again in a few "
                L"minutes, or later today.");
}

MAY_END_RUN void list_validated(const setup_list* list) {
    int verdict = list_validate(list);
    if (verdict == LIST_UNREADABLE) fail(L"The release's setup list could not be read. Try again later.");
    if (verdict == LIST_TOO_MANY)
        fail(L"The release's setup list has more than 16 parts, which this setup cannot install. "
             L"Get the newest setup from the releases page: https://" HOST_W
             L"/Stonewake/Stonewake/releases/latest");
    if (verdict == LIST_REFUSED)
        fail(list_name_refused);
}

// In a build with the publisher's keys: only a list one of them signed, and
// never one older than this home has used, unless a --tag option of its own
// asked for one release (the user then gets that one, whatever its serial).
MAY_END_RUN void list_signed(const list_signing* signing, int verified, const wchar_t* versions,
                             fetch_result* out) {
    if (!list_keys_held()) return;
    if (!verified)
        fail(L"The release's setup list is not signed by the Stonewake Builder's publisher, so this "
             L"setup will not use it. Try again later.");
    unsigned long long recorded = serial_read(versions);
    if (!tag_option_own(g_cmdline) && signing->serial < recorded)
        fail(L"The server answered with an older setup list than this Builder home has already used, "
             L"so this setup will not use it. Try again in a few minutes.");
    // The record keeps the highest serial: only a higher one is written.
    if (signing->serial > recorded) out->serial = signing->serial;
}

// Asked for one version, the user must not silently get another.
MAY_END_RUN void list_tag_checked(const setup_list* list, const char* wanted) {
    if (!wanted[0] || strcmp(wanted, list->tag) == 0) return;
    wchar_t listed[LIST_TAG_CAP];
    wchar_t asked[LIST_TAG_CAP];
    // Both passed the name rule; one that did not convert shows empty, and
    // the run ends the same.
    tag_wide(list->tag, listed);
    tag_wide(wanted, asked);
    fail(L"The server answered with the setup list of %ls, not %ls (its download links can lag "
         L"right after a release). Try the update again in a few minutes.",
         listed, asked);
}

// The answer taken as the setup list: parsed and validated, then its
// signature and serial judged, then its tag.
MAY_END_RUN void list_take(mem_buf* body, const wchar_t* versions, fetch_result* out) {
    list_signing signing;
    list_signing_scan(body->data, (size_t)body->len, &signing);
    // Verified before parsing, which writes line ends over with NUL bytes.
    int verified = list_keys_held() && list_signature_verified(body->data, &signing);
    list_parse(body->data, &out->list);
    mem_free(body);
    list_validated(&out->list);
    char wanted[LIST_TAG_CAP];
    requested_tag(wanted);
    list_signed(&signing, verified, versions, out);
    list_tag_checked(&out->list, wanted);
}

}  // namespace

void fetch_setup_list(fetch_result* out) {
    memset(out, 0, sizeof *out);
    wchar_t* repair = wcsstr(g_cmdline, L"--repair");
    if (repair) {
        memmove(repair, repair + 8, (wcslen(repair + 8) + 1) * sizeof(wchar_t));
        setup_sleep(2000);
        out->repair = 1;
    }
    if (!g_home_ok || (g_home.portable && qb_home_marked(g_home.path) != 1))
        fail(L"The Builder home is unavailable or its portable marker is invalid.");
    // Asked for one version, the user must not silently get another.
    wchar_t refused[LIST_TAG_CAP];
    if (requested_tag_refused(refused))
        fail(L"The release tag \"%ls\" given with --tag is not one this setup can look for. A tag "
             L"holds only letters, digits, '.', '_', '+' and '-'.",
             refused);
    home_lock_take();
    wchar_t versions[PATH_CAP];
    work_path(versions, L"%ls\\versions", g_home.path);
    version_restore_current(versions);
    work_path(out->downloads, L"%ls\\downloads", g_home.path);
    make_folders(out->downloads);
    status(looking);

    mem_buf body = {};
    int outcome = attempt(&body);
    for (int i = 0; outcome == ATTEMPT_RETRY && i < RETRY_TRIES - 1; ++i) {
        status(L"The download server didn't answer (%lu). Trying again in %d s...", http_status(),
               (int)g_waits[i]);
        retry_wait(i, GetTickCount());
        status(looking);
        outcome = attempt(&body);
    }
    if (outcome != ATTEMPT_OK) give_up();

    list_take(&body, versions, out);
}
