// Every network access goes through http_get: one blocking GET whose body is
// streamed, chunk by chunk, into a sink. The caller reads g_http_status after
// a failure to tell "no answer" from what the server said.
#include "setup.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "app/system_dll.h"

DWORD g_http_status;

namespace {

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

}  // namespace

int http_get(const char* url, http_sink sink, void* context, unsigned long long expected,
             const wchar_t* accept) {
    return http_get_range(url, sink, context, expected, accept, 0);
}

int http_get_range(const char* url, http_sink sink, void* context, unsigned long long expected,
                   const wchar_t* accept, http_range* range) {
    static unsigned char buf[65536];
    // WinHTTP loads CNG later, by name, for TLS. Taken from the system folder
    // first, that is the copy found: a loader that searches the program's
    // folder for such late loads (Wine does) never reaches a planted one.
    bcrypt();
    const winhttp_functions* w = winhttp();
    wchar_t wide[URL_CAP];
    if (!MultiByteToWideChar(CP_UTF8, 0, url, -1, wide, URL_CAP)) return 0;

    wchar_t host[256];
    wchar_t path[URL_CAP];
    wchar_t query[URL_CAP];
    path[0] = query[0] = 0;
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = URL_CAP;
    parts.lpszExtraInfo = query;
    parts.dwExtraInfoLength = URL_CAP;
    if (!w->WinHttpCrackUrl(wide, 0, 0, &parts)) return 0;
    // The path is requested with its query; a fragment is never sent.
    wchar_t* fragment = wcschr(query, L'#');
    if (fragment) *fragment = 0;
    if (wcslen(path) + wcslen(query) >= URL_CAP) return 0;
    wcscat(path, query);

    int result = 0;
    HINTERNET connection = 0;
    HINTERNET request = 0;
    HINTERNET session = http_session(w);
    if (!session) return 0;

    connection = w->WinHttpConnect(session, host, parts.nPort, 0);
    if (connection) {
        const wchar_t* types[2] = {accept, 0};
        request = w->WinHttpOpenRequest(connection, L"GET", path, 0, WINHTTP_NO_REFERER,
                                        accept ? types : WINHTTP_DEFAULT_ACCEPT_TYPES,
                                        parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
    }
    // Headers given with the request are sent again on each redirect.
    unsigned long long from = range ? range->held : 0;
    wchar_t asked[48] = L"";
    if (from) _snwprintf(asked, 47, L"Range: bytes=%llu-", from);
    if (request && w->WinHttpSendRequest(request, from ? asked : WINHTTP_NO_ADDITIONAL_HEADERS,
                                         from ? (DWORD)-1L : 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
        w->WinHttpReceiveResponse(request, 0)) {
        DWORD code = 0;
        DWORD size = sizeof code;
        w->WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX);
        g_http_status = code;
        wchar_t value[128];
        if (range && (code == 200 || code == 206)) {
            header_text(w, request, WINHTTP_QUERY_ACCEPT_RANGES, value);
            range->ranges = code == 206 || _wcsicmp(value, L"bytes") == 0;
        }
        int body = code == 200;
        if (from && code == 206) {
            header_text(w, request, WINHTTP_QUERY_CONTENT_RANGE, value);
            body = content_range_ok(value, from, expected);
            if (!body) range->ranges = 0;  // not the rest asked for: the whole body next time
        } else if (from && body && range->rewind(context))
            from = range->held = 0;  // the whole body again
        else if (from)
            body = 0;
        if (body) {
            unsigned long long total = from;
            int clean = 0;
            for (;;) {
                DWORD n = 0;
                if (!w->WinHttpReadData(request, buf, sizeof buf, &n)) break;
                if (n == 0) {
                    clean = 1;
                    break;
                }
                // A body that runs past the expected length is broken: what
                // lies beyond it is neither read on nor handed to the sink.
                if (expected && n > expected - total) break;
                if (!sink(context, buf, n)) break;
                total += n;
                if (range) range->held = total;
                if (expected) {
                    InterlockedExchange(&g_percent, (LONG)(total * 100 / expected));
                    window_post(WM_SETUP_STATUS, 0);
                }
            }
            result = clean && (expected == 0 || total == expected);
        }
    }
    if (request) w->WinHttpCloseHandle(request);
    if (connection) w->WinHttpCloseHandle(connection);
    return result;
}

int mem_sink(void* context, const void* bytes, DWORD count) {
    mem_buf* buffer = (mem_buf*)context;
    unsigned long long need = buffer->len + count + 1;
    if (need > buffer->cap) {
        unsigned long long cap = 2 * need;
        char* grown = (char*)(cap == (size_t)cap ? realloc(buffer->data, (size_t)cap) : 0);
        if (!grown) {
            free(buffer->data);
            buffer->data = 0;
            buffer->len = 0;
            buffer->cap = 0;
            return 0;
        }
        buffer->data = grown;
        buffer->cap = cap;
    }
    memcpy(buffer->data + buffer->len, bytes, count);
    buffer->len += count;
    buffer->data[buffer->len] = 0;
    return 1;
}

void mem_free(mem_buf* buffer) {
    free(buffer->data);
    buffer->data = 0;
    buffer->len = 0;
    buffer->cap = 0;
}

int file_sink(void* context, const void* bytes, DWORD count) {
    unpack_poll();  // the part before this one may be unpacking meanwhile
    file_hash_ctx* ctx = (file_hash_ctx*)context;
    DWORD written = 0;
    if (!WriteFile(ctx->file, bytes, count, &written, 0) || written != count) {
        DWORD error = GetLastError();
        ctx->write_error = error ? error : ERROR_WRITE_FAULT;
        return 0;
    }
    return bcrypt()->BCryptHashData(ctx->hash, (PUCHAR)bytes, count, 0) == 0;
}

int http_retryable(DWORD status) {
    return status == 0 || status >= 500 || status == 403 || status == 408 || status == 429 ||
           status == 200;
}
