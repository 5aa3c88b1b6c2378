// The release lookup: every network access (HTTP into a sink), the setup
// list's address, the release API, fetching and checking the setup list.
#ifndef STONEWAKE_RELEASE_RELEASE_H
#define STONEWAKE_RELEASE_RELEASE_H

#include "setup.h"

#include <bcrypt.h>

#include "core/core.h"

#define SETUP_HOST_BASE "https://" STONEWAKE_RELEASE_HOST "/"

struct file_hash_ctx {
    HANDLE file;
    BCRYPT_HASH_HANDLE hash;
    DWORD write_error;  // set by file_sink when the file could not take the bytes
    void (*poll)(void);  // when not 0, called before each chunk is written
};

typedef int (*http_sink)(void* context, const void* bytes, DWORD count);

MAY_END_RUN int http_get(const char* url, http_sink sink, void* context, unsigned long long expected,
             const wchar_t* accept);

// A body of `expected` bytes that the sink already holds the first `held`
// bytes of: asked for from there on ("Range: bytes=<held>-" when held is not
// 0). A 206 answer counts only with the Content-Range of exactly that rest; a
// 200 answer is the whole body again, so the sink is rewound to byte 0 first.
struct http_range {
    unsigned long long held;       // in: bytes the sink holds; out: the same after the transfer
    int (*rewind)(void* context);  // empties the sink; 0 when it could not
    int ranges;                    // set by each 200 or 206 answer: 1 when the host takes ranges
};
MAY_END_RUN int http_get_range(const char* url, http_sink sink, void* context, unsigned long long expected,
                   const wchar_t* accept, http_range* range);
// A span of a body of `total` bytes, asked for with "Range: bytes=<first>-
// <last>": only a 206 answer with exactly that Content-Range is read into the
// sink, the bar showing `shown` and the bytes read of `scale`. A 200 answer is
// the whole body (the host does not take ranges): read into `whole` when
// that is given, the bar following it. `answer` tells which was read (0: none).
struct http_span {
    unsigned long long first, last, total;
    unsigned long long shown, scale;
    http_sink whole;
    void* whole_context;
    int answer;
};
MAY_END_RUN int http_get_span(const char* url, http_sink sink, void* context, http_span* span);
MAY_END_RUN int file_sink(void* context, const void* bytes, DWORD count);
// The outcome classes of a failed request, by the status it left.
int http_retryable(DWORD status);
// The HTTP status of the last request (0: no answer came), which a caller
// reads after a failure to tell "no answer" from what the server said, and
// may set (0 before a request, or the status it reports).
DWORD http_status(void);
void http_status_set(DWORD status);
// Body bytes the run has received (the worker's).
unsigned long long http_received(void);

const char* manifest_url(void);
void requested_tag(char out[LIST_TAG_CAP]);
// 1 when the command line has a --tag value that is refused (empty, or a
// character a tag cannot hold), with the value as given (at most 127
// characters) in `shown`.
int requested_tag_refused(wchar_t shown[LIST_TAG_CAP]);
MAY_END_RUN int api_link_for(const char* url, char out[URL_CAP]);
MAY_END_RUN int api_asset_url(const char* repo, const char* tag, const char* asset, char out[URL_CAP]);

// What the first phase of the worker hands on.
struct fetch_result {
    setup_list list;
    unsigned long long serial;  // a signed list's, when above the home's record; else 0
    int repair;
    wchar_t downloads[PATH_CAP];
};
MAY_END_RUN void fetch_setup_list(fetch_result* out);
// What ends the run when a name of the setup list cannot be used.
extern const wchar_t list_name_refused[];
// 1 when the build holds publisher keys (STONEWAKE_LIST_KEYS), so that only a
// list one of them signed is used.
int list_keys_held(void);
// 1 when the list's signing is complete and one of the build's keys verifies
// its signature over the list's bytes (`body`, as they came).
MAY_END_RUN int list_signature_verified(const char* body, const list_signing* signing);

#endif
