// Every network access goes through http_get: one blocking GET whose body is
// streamed, chunk by chunk, into a sink. The caller reads http_status() after
// a failure to tell "no answer" from what the server said.
#include "release/release.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "base/owned.h"
#include "base/system_dll.h"
#include "base/wide.h"
#include "ui/ui.h"

namespace {

DWORD g_http_status;
unsigned long long g_http_received;

// A Range header: the text and two numbers of at most 20 digits always fit.
enum { RANGE_ASKED_CAP = sizeof "Range: bytes=-" + 2 * 20 };

// One WinHTTP session serves the whole run, so its pool keeps connections
// (and their TLS sessions) open from one request to the next: only the first
// request pays for the connection and the handshake. Opened on first use,
// with the automatic proxy and, where that is refused, the default one;
// never closed before the process ends.
HINTERNET g_session;
INIT_ONCE g_session_once = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK open_session(PINIT_ONCE, PVOID parameter, PVOID*) {
    const winhttp_functions* w = (const winhttp_functions*)parameter;
    HINTERNET session = w->WinHttpOpen(L"StonewakeBuilder-Setup/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session)
        session = w->WinHttpOpen(L"StonewakeBuilder-Setup/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                 WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    // A session that could not be opened is tried again by the next request.
    if (!session) return FALSE;
    w->WinHttpSetTimeouts(session, 30000, 30000, 30000, 60000);
    DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
    w->WinHttpSetOption(session, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy);
    g_session = session;
    return TRUE;
}

HINTERNET http_session(const winhttp_functions* w) {
    return InitOnceExecuteOnce(&g_session_once, open_session, (PVOID)w, 0) ? g_session : 0;
}

// The answer's header `query` (WINHTTP_QUERY_...) into `value`; empty when
// it has none or a longer one.
void header_text(const winhttp_functions* w, HINTERNET request, DWORD query, wchar_t value[128]) {
    DWORD size = 128 * sizeof(wchar_t);
    if (!w->WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, value, &size,
                                WINHTTP_NO_HEADER_INDEX))
        value[0] = 0;
}

MAY_END_RUN void close_internet(void* handle) {
    winhttp()->WinHttpCloseHandle(handle);
}

// What a request needs of its address: the host, its port and scheme, and
// the path with its query (a fragment is never sent).
struct address_parts {
    wchar_t host[256];
    wchar_t path[URL_CAP];
    INTERNET_PORT port;
    int secure;
};

// 0 when `url` cannot be read or its path and query do not fit.
int address_split(const winhttp_functions* w, const char* url, address_parts* out) {
    wchar_t wide[URL_CAP];
    if (!utf8_wide(url, wide, URL_CAP)) return 0;
    wchar_t query[URL_CAP];
    out->path[0] = query[0] = 0;
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = out->host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = out->path;
    parts.dwUrlPathLength = URL_CAP;
    parts.lpszExtraInfo = query;
    parts.dwExtraInfoLength = URL_CAP;
    if (!w->WinHttpCrackUrl(wide, 0, 0, &parts)) return 0;
    wchar_t* fragment = wcschr(query, L'#');
    if (fragment) *fragment = 0;
    if (wcslen(out->path) + wcslen(query) >= URL_CAP) return 0;
    wcscat(out->path, query);
    out->port = parts.nPort;
    out->secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    return 1;
}

// The connection and the GET request of one address, closed in that order's
// reverse when this ends.
struct open_request {
    owned_handle connection{close_internet};
    owned_handle request{close_internet};
};

// Opens them for `url`; 0 when the address cannot be read or either could
// not be had.
int request_open(const winhttp_functions* w, const char* url, const wchar_t* accept, open_request* out) {
    address_parts address;
    if (!address_split(w, url, &address)) return 0;
    HINTERNET session = http_session(w);
    if (!session) return 0;
    out->connection.reset(w->WinHttpConnect(session, address.host, address.port, 0));
    if (!out->connection.valid()) return 0;
    const wchar_t* types[2] = {accept, 0};
    out->request.reset(w->WinHttpOpenRequest(out->connection.get(), L"GET", address.path, 0, WINHTTP_NO_REFERER,
                                             accept ? types : WINHTTP_DEFAULT_ACCEPT_TYPES,
                                             address.secure ? WINHTTP_FLAG_SECURE : 0));
    return out->request.valid();
}

// Sends the GET with the header line `asked` (a Range, or none: 0), which
// is sent again on each redirect with the request, and waits for the answer,
// whose status goes to g_http_status. 0 when none came.
int request_send(const winhttp_functions* w, HINTERNET request, const wchar_t* asked) {
    if (!w->WinHttpSendRequest(request, asked ? asked : WINHTTP_NO_ADDITIONAL_HEADERS, asked ? (DWORD)-1L : 0,
                               WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !w->WinHttpReceiveResponse(request, 0))
        return 0;
    DWORD code = 0;
    DWORD size = sizeof code;
    w->WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX);
    g_http_status = code;
    return 1;
}

// Whether the answer's body is to be read: a 200 (the whole body; where the
// rest was asked for, the sink is rewound first and `*from` becomes 0), or a
// 206 with the Content-Range of exactly the rest asked for. Each 200 or 206
// tells whether the host takes ranges.
int body_wanted(const winhttp_functions* w, HINTERNET request, void* context, unsigned long long* from,
                unsigned long long expected, http_range* range) {
    DWORD code = g_http_status;
    wchar_t value[128];
    if (range && (code == 200 || code == 206)) {
        header_text(w, request, WINHTTP_QUERY_ACCEPT_RANGES, value);
        range->ranges = code == 206 || _wcsicmp(value, L"bytes") == 0;
    }
    if (*from && code == 206) {
        header_text(w, request, WINHTTP_QUERY_CONTENT_RANGE, value);
        if (expected && content_range_ok(value, *from, expected - 1, expected)) return 1;
        range->ranges = 0;  // not the rest asked for: the whole body next time
        return 0;
    }
    if (code != 200) return 0;
    if (!*from) return 1;
    if (!range->rewind(context)) return 0;
    *from = range->held = 0;  // the whole body again
    return 1;
}

// What a body is measured against: it ends cleanly at `expected` bytes
// counted from `from` (at any length when that is 0); the bar shows `shown`
// and the bytes read so far out of `scale` (no bar when that is 0).
struct body_measure {
    unsigned long long from, expected, shown, scale;
};

// Reads the body into the sink; 1 when it ended cleanly at the expected length.
int body_read(const winhttp_functions* w, HINTERNET request, http_sink sink, void* context,
              const body_measure* m, http_range* range) {
    static unsigned char buf[65536];
    unsigned long long total = m->from;
    for (;;) {
        DWORD n = 0;
        if (!w->WinHttpReadData(request, buf, sizeof buf, &n)) return 0;
        if (n == 0) return m->expected == 0 || total == m->expected;
        // A body that runs past the expected length is broken: what lies
        // beyond it is neither read on nor handed to the sink.
        if (m->expected && n > m->expected - total) return 0;
        g_http_received += n;
        if (!sink(context, buf, n)) return 0;
        total += n;
        if (range) range->held = total;
        if (m->scale) {
            InterlockedExchange(&g_percent, (LONG)((m->shown + total - m->from) * 100 / m->scale));
            window_post(WM_SETUP_STATUS, 0);
        }
    }
}

}  // namespace

int http_get(const char* url, http_sink sink, void* context, unsigned long long expected,
             const wchar_t* accept) {
    return http_get_range(url, sink, context, expected, accept, 0);
}

int http_get_range(const char* url, http_sink sink, void* context, unsigned long long expected,
                   const wchar_t* accept, http_range* range) {
    // WinHTTP loads CNG later, by name, for TLS. Taken from the system folder
    // first, that is the copy found: a loader that searches the program's
    // folder for such late loads (Wine does) never reaches a planted one.
    bcrypt();
    const winhttp_functions* w = winhttp();
    open_request open;
    unsigned long long from = range ? range->held : 0;
    wchar_t asked[RANGE_ASKED_CAP];
    format_into(asked, RANGE_ASKED_CAP, L"Range: bytes=%llu-", from);
    if (!request_open(w, url, accept, &open) || !request_send(w, open.request.get(), from ? asked : 0) ||
        !body_wanted(w, open.request.get(), context, &from, expected, range))
        return 0;
    body_measure m = {from, expected, from, expected};
    return body_read(w, open.request.get(), sink, context, &m, range);
}

int http_get_span(const char* url, http_sink sink, void* context, http_span* span) {
    bcrypt();
    const winhttp_functions* w = winhttp();
    open_request open;
    wchar_t asked[RANGE_ASKED_CAP];
    format_into(asked, RANGE_ASKED_CAP, L"Range: bytes=%llu-%llu", span->first, span->last);
    span->answer = 0;
    if (!request_open(w, url, 0, &open) || !request_send(w, open.request.get(), asked)) return 0;
    if (g_http_status == 206) {
        wchar_t value[128];
        header_text(w, open.request.get(), WINHTTP_QUERY_CONTENT_RANGE, value);
        if (!content_range_ok(value, span->first, span->last, span->total)) return 0;
        span->answer = 206;
        body_measure m = {0, span->last + 1 - span->first, span->shown, span->scale};
        return body_read(w, open.request.get(), sink, context, &m, 0);
    }
    if (g_http_status != 200 || !span->whole) return 0;
    span->answer = 200;  // the host does not take ranges: this is the whole body
    body_measure m = {0, span->total, 0, span->total};
    return body_read(w, open.request.get(), span->whole, span->whole_context, &m, 0);
}

int file_sink(void* context, const void* bytes, DWORD count) {
    file_hash_ctx* ctx = (file_hash_ctx*)context;
    if (ctx->poll) ctx->poll();  // the part before this one may be unpacking meanwhile
    DWORD written = 0;
    if (!WriteFile(ctx->file, bytes, count, &written, 0) || written != count) {
        DWORD error = GetLastError();
        ctx->write_error = error ? error : ERROR_WRITE_FAULT;
        return 0;
    }
    return bcrypt()->BCryptHashData(ctx->hash, (PUCHAR)bytes, count, 0) == 0;
}

DWORD http_status(void) {
    return g_http_status;
}

void http_status_set(DWORD status) {
    g_http_status = status;
}

unsigned long long http_received(void) {
    return g_http_received;
}

int http_retryable(DWORD status) {
    return status == 0 || status >= 500 || status == 403 || status == 408 || status == 429 ||
           status == 200;
}
