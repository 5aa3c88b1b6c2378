// Scratch folders and small file helpers for the unit tests. Everything here
// uses plain Win32 calls (never the product's own helpers), and every path
// goes through the \\?\ form so that trees deeper than 259 characters can be
// built and removed too.
#ifndef STONEWAKE_TEST_TEMP_DIR_H
#define STONEWAKE_TEST_TEMP_DIR_H

#include <windows.h>

#include <string>

namespace testutil {

// UTF-8 form of a wide text, for test messages.
inline std::string narrow(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, 0, 0, 0, 0);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], n, 0, 0);
    return out;
}

inline std::wstring long_form(const std::wstring& path) {
    if (path.compare(0, 4, L"\\\\?\\") == 0) return path;
    if (path.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + path.substr(2);
    return L"\\\\?\\" + path;
}

inline DWORD attributes(const std::wstring& path) {
    return GetFileAttributesW(long_form(path).c_str());
}

inline bool exists(const std::wstring& path) {
    return attributes(path) != INVALID_FILE_ATTRIBUTES;
}

inline bool is_folder(const std::wstring& path) {
    DWORD a = attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// Creates a folder and its missing ancestors.
inline void make_dirs(const std::wstring& path) {
    for (size_t i = 3; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == L'\\')
            CreateDirectoryW(long_form(path.substr(0, i)).c_str(), 0);
    }
}

// Writes `bytes` as the whole file, creating its folder first.
inline bool write_file(const std::wstring& path, const std::string& bytes) {
    size_t cut = path.rfind(L'\\');
    if (cut != std::wstring::npos) make_dirs(path.substr(0, cut));
    HANDLE file = CreateFileW(long_form(path).c_str(), GENERIC_WRITE, 0, 0, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, 0);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = bytes.empty() ||
              WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, 0);
    CloseHandle(file);
    return ok && written == bytes.size();
}

// Reads a whole file; false when it cannot be opened.
inline bool read_file(const std::wstring& path, std::string* bytes) {
    bytes->clear();
    HANDLE file = CreateFileW(long_form(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, 0, OPEN_EXISTING, 0, 0);
    if (file == INVALID_HANDLE_VALUE) return false;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, 0) && got) bytes->append(chunk, got);
    CloseHandle(file);
    return true;
}

inline std::string file_text(const std::wstring& path) {
    std::string bytes;
    return read_file(path, &bytes) ? bytes : std::string("<missing>");
}

// Removes a tree; links are removed, never entered.
inline void remove_tree(const std::wstring& path) {
    std::wstring lp = long_form(path);
    DWORD a = GetFileAttributesW(lp.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return;
    if (!(a & FILE_ATTRIBUTE_DIRECTORY)) {
        SetFileAttributesW(lp.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(lp.c_str());
        return;
    }
    if (!(a & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((lp + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                std::wstring name = found.cFileName;
                if (name != L"." && name != L"..") remove_tree(path + L"\\" + name);
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
    }
    SetFileAttributesW(lp.c_str(), FILE_ATTRIBUTE_DIRECTORY);
    RemoveDirectoryW(lp.c_str());
}

// A fresh folder under the temporary folder, removed with everything in it
// when the object goes. `label` becomes part of the folder name (non-ASCII
// labels put non-ASCII characters into every path of a test).
class TempDir {
public:
    explicit TempDir(const std::wstring& label = L"t") {
        static unsigned counter = 0;
        wchar_t temp[MAX_PATH + 1];
        DWORD n = GetTempPathW(MAX_PATH + 1, temp);
        std::wstring base(temp, n);
        if (!base.empty() && base.back() == L'\\') base.pop_back();
        path_ = base + L"\\sw-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(++counter) + L"-" + label;
        remove_tree(path_);
        make_dirs(path_);
    }
    ~TempDir() { remove_tree(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& relative) const {
        return relative.empty() ? path_ : path_ + L"\\" + relative;
    }

private:
    std::wstring path_;
};

// A path below `base` of exactly `length` characters, made of folders of at
// most 100 characters ("ddd...\ddd..."). `base` must be shorter than length - 1.
inline std::wstring path_of_length(const std::wstring& base, size_t length) {
    std::wstring path = base;
    while (path.size() < length) {
        size_t room = length - path.size() - 1;  // after the backslash
        size_t piece = room > 100 ? 100 : room;
        // never leave a single character for the next round (it needs two)
        if (room > 100 && room - 100 < 2) piece = room - 2;
        path += L"\\" + std::wstring(piece, L'd');
    }
    return path;
}

// Holds a file open with no sharing at all, as a running program might.
class FileLock {
public:
    explicit FileLock(const std::wstring& path)
        : handle_(CreateFileW(long_form(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, 0,
                              OPEN_EXISTING, 0, 0)) {}
    ~FileLock() { release(); }
    bool held() const { return handle_ != INVALID_HANDLE_VALUE; }
    void release() {
        if (held()) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE handle_;
};

// Points the process's standard error handle at a fresh file for its
// lifetime; text() returns what was written there so far.
class StderrCapture {
public:
    StderrCapture() : dir_(L"stderr"), saved_(GetStdHandle(STD_ERROR_HANDLE)) {
        file_ = CreateFileW((dir_ / L"err.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ, 0,
                            CREATE_ALWAYS, 0, 0);
        SetStdHandle(STD_ERROR_HANDLE, file_);
    }
    ~StderrCapture() {
        SetStdHandle(STD_ERROR_HANDLE, saved_);
        if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    }
    bool ok() const { return file_ != INVALID_HANDLE_VALUE; }
    std::string text() const {
        std::string bytes;
        read_file(dir_ / L"err.txt", &bytes);
        return bytes;
    }

private:
    TempDir dir_;
    HANDLE saved_;
    HANDLE file_;
};

}  // namespace testutil

#endif
