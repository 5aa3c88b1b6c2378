// Small helpers shared by the test doubles: environment look-ups, JSON text,
// writing to standard handles and appending lines to a shared log file.
#pragma once

#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>

namespace dbl {

// The value of an environment variable, or nothing when it is not set
// (an empty value is returned as an empty string).
inline std::optional<std::wstring> env(const wchar_t* name) {
    SetLastError(0);
    DWORD n = GetEnvironmentVariableW(name, nullptr, 0);
    if (n == 0) {
        if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
        return std::wstring();
    }
    std::wstring v(n, L'\0');
    n = GetEnvironmentVariableW(name, v.data(), n);
    v.resize(n);
    return v;
}

// A numeric environment variable (decimal or 0x-hex), or `fallback`.
inline unsigned long env_num(const wchar_t* name, unsigned long fallback) {
    auto v = env(name);
    if (!v || v->empty()) return fallback;
    return wcstoul(v->c_str(), nullptr, 0);
}

// UTF-16 to UTF-8. Lone surrogates become U+FFFD.
inline std::string utf8(const std::wstring& w) {
    if (w.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

// A JSON string literal (with quotes) holding `w` exactly: surrogate pairs are
// written as UTF-8, lone surrogates and control characters as \u escapes.
inline std::string json(const std::wstring& w) {
    std::string out = "\"";
    char esc[8];
    for (size_t i = 0; i < w.size(); ++i) {
        unsigned c = w[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < w.size() && w[i + 1] >= 0xDC00 && w[i + 1] <= 0xDFFF) {
            out += utf8(w.substr(i, 2));
            ++i;
        } else if ((c >= 0xD800 && c <= 0xDFFF) || c < 0x20) {
            switch (c) {
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default: snprintf(esc, sizeof esc, "\\u%04x", c); out += esc;
            }
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else {
            out += utf8(std::wstring(1, wchar_t(c)));
        }
    }
    return out + "\"";
}

inline std::string json_or_null(const std::optional<std::wstring>& v) {
    return v ? json(*v) : "null";
}

// Writes all of `data` to `h`; false when the handle is missing or a write fails.
inline bool write_all(HANDLE h, const char* data, size_t size) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return false;
    while (size > 0) {
        DWORD chunk = size > 65536 ? 65536 : DWORD(size), done = 0;
        if (!WriteFile(h, data, chunk, &done, nullptr) || done == 0) return false;
        data += done;
        size -= done;
    }
    return true;
}

inline bool write_std(DWORD which, const std::string& s) {
    return write_all(GetStdHandle(which), s.data(), s.size());
}

// Appends `line` to the file at `path` (created if missing) in one write.
// The file is opened shared; a brief lock by another process is waited out.
inline bool append_line(const std::wstring& path, const std::string& line) {
    HANDLE f = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100; ++attempt) {
        f = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f != INVALID_HANDLE_VALUE) break;
        DWORD err = GetLastError();
        if (err != ERROR_SHARING_VIOLATION && err != ERROR_LOCK_VIOLATION && err != ERROR_ACCESS_DENIED) break;
        Sleep(50);
    }
    if (f == INVALID_HANDLE_VALUE) return false;
    bool ok = write_all(f, line.data(), line.size());
    CloseHandle(f);
    return ok;
}

// The first thing a double started from the Unix side does: it creates the
// file that `variable` names (when set), so that the harness can tell the
// double's own exit from a start that Wine failed before it ran at all.
inline void started(const wchar_t* variable = L"STONEWAKE_TEST_START_MARK") {
    auto mark = env(variable);
    if (!mark || mark->empty()) return;
    HANDLE f = CreateFileW(mark->c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
}

} // namespace dbl
