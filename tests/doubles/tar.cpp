// tar.exe double: stands in for the system's tar.exe when the setup unpacks a
// zip archive ("tar.exe -xf ARCHIVE -C DEST"). Like the real one it takes its
// command line in the ANSI code page (narrow main), so a path the code page
// cannot hold arrives with '?' and fails to open. The archive is opened from
// the working folder first, then the tool moves into DEST and unpacks there.
//
// Unpacks stored and deflated entries, reading sizes from the central
// directory and checking each CRC-32. Entries that would land outside DEST
// (absolute names, drive letters, '..' components, backslash tricks) are
// refused and skipped; the run then exits 1. Prints nothing on success.
//
// Environment:
//   STONEWAKE_TAR_LOG=<path>     append "<GetCommandLineA()>\t<current folder>\n"
//   STONEWAKE_TAR_SLOW_MS=<ms>   sleep before doing anything else
//   STONEWAKE_TAR_AWAIT=<path>   wait until that file exists (at most 60 s, else
//                                print "tar.exe: <path> never appeared" and exit 4)
//   STONEWAKE_TAR_FAIL=<code>    print "tar.exe: simulated failure" and exit <code>
//   STONEWAKE_TAR_FLOOD=<n>      print n bytes of text lines ("flood-start ...") and exit 2
//   STONEWAKE_TAR_BADUTF8=1      print bytes that are not valid UTF-8 and exit 2
//   STONEWAKE_TAR_MARK=<folder>  create <folder>\<archive name>.started once the
//                                controls above are read, <archive name>.ended
//                                when it exits (however it exits)
// SLOW_MS, AWAIT and FAIL are first looked for as STONEWAKE_TAR_<control>_<the
// archive name's first 12 characters> (one archive's own control), then as above.
#include "double_util.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

void err_line(const std::string& msg) { dbl::write_std(STD_ERROR_HANDLE, "tar.exe: " + msg + "\n"); }

// The archive's name and STONEWAKE_TAR_MARK's folder, once known.
std::wstring g_archive_name;
std::optional<std::wstring> g_mark;

void mark(const wchar_t* what) {
    if (!g_mark) return;
    HANDLE f = CreateFileW((*g_mark + L"\\" + g_archive_name + what).c_str(), GENERIC_WRITE, 0, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
}

[[noreturn]] void end(int code) {
    mark(L".ended");
    ExitProcess(UINT(code));
}

[[noreturn]] void fail(const std::string& msg, int code = 1) {
    err_line(msg);
    end(code);
}

// A control of this archive's own, else the one of every tar.
std::optional<std::wstring> control(const std::wstring& name) {
    std::wstring own = L"STONEWAKE_TAR_" + name + L"_" + g_archive_name.substr(0, 12);
    if (auto value = dbl::env(own.c_str())) return value;
    return dbl::env((L"STONEWAKE_TAR_" + name).c_str());
}

unsigned long control_num(const std::wstring& name, unsigned long fallback) {
    auto value = control(name);
    return value && !value->empty() ? std::wcstoul(value->c_str(), nullptr, 10) : fallback;
}

void run_test_controls(const char* archive) {
    std::string name = archive ? archive : "";
    name = name.substr(name.find_last_of("\\/") == std::string::npos ? 0 : name.find_last_of("\\/") + 1);
    g_archive_name.assign(name.begin(), name.end());
    g_mark = dbl::env(L"STONEWAKE_TAR_MARK");
    if (auto log = dbl::env(L"STONEWAKE_TAR_LOG")) {
        char cwd[MAX_PATH * 4] = "";
        GetCurrentDirectoryA(sizeof cwd, cwd);
        dbl::append_line(*log, std::string(GetCommandLineA()) + "\t" + cwd + "\n");
    }
    mark(L".started");
    if (auto ms = control_num(L"SLOW_MS", 0)) Sleep(ms);
    if (auto path = control(L"AWAIT")) {
        int tries = 0;
        while (GetFileAttributesW(path->c_str()) == INVALID_FILE_ATTRIBUTES) {
            if (++tries > 3000) fail(dbl::utf8(*path) + " never appeared", 4);
            Sleep(20);
        }
    }
    if (control(L"FAIL")) fail("simulated failure", int(control_num(L"FAIL", 1)));
    if (dbl::env(L"STONEWAKE_TAR_FLOOD")) {
        size_t want = dbl::env_num(L"STONEWAKE_TAR_FLOOD", 0);
        std::string text;
        for (unsigned line = 0; text.size() < want; ++line) {
            char buf[96];
            snprintf(buf, sizeof buf, "%s line %06u: the quick brown fox jumps over the lazy dog\n",
                     line == 0 ? "flood-start" : "flood", line);
            text += buf;
        }
        text.resize(want);
        dbl::write_all(GetStdHandle(STD_ERROR_HANDLE), text.data(), text.size());
        end(2);
    }
    if (dbl::env(L"STONEWAKE_TAR_BADUTF8")) {
        dbl::write_std(STD_ERROR_HANDLE, "tar.exe: bad \xff\xfe utf8 \xc3");
        end(2);
    }
}

uint16_t u16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t u32(const uint8_t* p) { return uint32_t(u16(p)) | uint32_t(u16(p + 2)) << 16; }

std::vector<uint8_t> read_file(const char* path) {
    HANDLE f = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) fail(std::string("Error opening archive: Failed to open '") + path + "'");
    LARGE_INTEGER size{};
    GetFileSizeEx(f, &size);
    std::vector<uint8_t> data(size_t(size.QuadPart));
    DWORD got = 0;
    size_t at = 0;
    while (at < data.size() && ReadFile(f, data.data() + at, DWORD(std::min<size_t>(data.size() - at, 1 << 24)), &got, nullptr) && got)
        at += got;
    CloseHandle(f);
    if (at != data.size()) fail(std::string("Error reading archive '") + path + "'");
    return data;
}

struct Entry {
    std::string raw_name;  // as stored, for messages
    std::wstring name;     // decoded, '/' separated
    uint16_t flags, method, dos_time, dos_date;
    uint32_t crc, csize, usize, local_offset;
};

std::vector<Entry> read_central_directory(const std::vector<uint8_t>& z) {
    if (z.size() < 22) fail("Error opening archive: Unrecognized archive format");
    size_t eocd = SIZE_MAX;
    size_t lowest = z.size() > 22 + 65535 ? z.size() - 22 - 65535 : 0;
    for (size_t i = z.size() - 22 + 1; i-- > lowest;)
        if (u32(&z[i]) == 0x06054b50) { eocd = i; break; }
    if (eocd == SIZE_MAX) fail("Error opening archive: Unrecognized archive format");
    uint16_t count = u16(&z[eocd + 10]);
    uint32_t cd_size = u32(&z[eocd + 12]), cd_offset = u32(&z[eocd + 16]);
    if (count == 0xFFFF || cd_offset == 0xFFFFFFFF) fail("Error opening archive: zip64 archives are not supported");
    if (uint64_t(cd_offset) + cd_size > eocd) fail("Error opening archive: Truncated central directory");

    std::vector<Entry> entries;
    size_t p = cd_offset;
    for (unsigned i = 0; i < count; ++i) {
        if (p + 46 > eocd || u32(&z[p]) != 0x02014b50) fail("Error reading archive: Damaged central directory");
        Entry e;
        e.flags = u16(&z[p + 8]);
        e.method = u16(&z[p + 10]);
        e.dos_time = u16(&z[p + 12]);
        e.dos_date = u16(&z[p + 14]);
        e.crc = u32(&z[p + 16]);
        e.csize = u32(&z[p + 20]);
        e.usize = u32(&z[p + 24]);
        size_t name_len = u16(&z[p + 28]), extra_len = u16(&z[p + 30]), comment_len = u16(&z[p + 32]);
        e.local_offset = u32(&z[p + 42]);
        if (p + 46 + name_len > eocd) fail("Error reading archive: Damaged central directory");
        e.raw_name.assign(reinterpret_cast<const char*>(&z[p + 46]), name_len);
        // Names flagged as UTF-8 are decoded as such; others as the zip's code page 437.
        UINT cp = (e.flags & 0x800) ? CP_UTF8 : 437;
        int n = MultiByteToWideChar(cp, 0, e.raw_name.data(), int(name_len), nullptr, 0);
        e.name.resize(size_t(n));
        MultiByteToWideChar(cp, 0, e.raw_name.data(), int(name_len), e.name.data(), n);
        entries.push_back(e);
        p += 46 + name_len + extra_len + comment_len;
    }
    return entries;
}

// Splits an entry name into folder components, or returns an empty reason
// string and fills `parts`. Refuses anything that could leave the destination.
std::string check_name(const std::wstring& name, std::vector<std::wstring>& parts) {
    if (name.empty()) return "Empty path";
    if (name[0] == L'/' || name[0] == L'\\') return "Path is absolute";
    if (name.find(L':') != std::wstring::npos) return "Path contains a drive letter or stream name";
    std::wstring part;
    for (size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name[i] == L'/' || name[i] == L'\\') {
            // Windows drops trailing dots and spaces, so "..", ". ." and "..." all step upwards.
            bool only_dots = !part.empty() && part.find_first_not_of(L". ") == std::wstring::npos;
            if (only_dots && part != L".") return "Path contains '..'";
            if (!part.empty() && part != L".") parts.push_back(part);
            part.clear();
        } else if (name[i] < 0x20) {
            return "Path contains a control character";
        } else {
            part += name[i];
        }
    }
    if (parts.empty()) return "Empty path";
    return {};
}

bool make_folders(const std::vector<std::wstring>& parts, size_t count) {
    std::wstring path;
    for (size_t i = 0; i < count; ++i) {
        if (i) path += L'\\';
        path += parts[i];
        if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
        if (!(GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY)) return false;
    }
    return true;
}

// The entry's contents, or a reason in `why` when they cannot be had intact.
std::vector<uint8_t> entry_data(const std::vector<uint8_t>& z, const Entry& e, std::string& why) {
    size_t lh = e.local_offset;
    if (lh + 30 > z.size() || u32(&z[lh]) != 0x04034b50) return why = "Damaged local header", std::vector<uint8_t>();
    size_t start = lh + 30 + u16(&z[lh + 26]) + u16(&z[lh + 28]);
    if (start + e.csize > z.size()) return why = "Truncated entry", std::vector<uint8_t>();
    if (e.flags & 1) return why = "Encrypted entries are not supported", std::vector<uint8_t>();

    std::vector<uint8_t> out(e.usize);
    if (e.method == 0) {
        if (e.csize != e.usize) return why = "Stored entry has mismatched sizes", std::vector<uint8_t>();
        if (e.usize) memcpy(out.data(), &z[start], e.usize);
    } else if (e.method == 8) {
        z_stream s{};
        if (inflateInit2(&s, -MAX_WBITS) != Z_OK) return why = "zlib failed to start", std::vector<uint8_t>();
        s.next_in = const_cast<Bytef*>(&z[start]);
        s.avail_in = e.csize;
        uint8_t spare;  // lets inflate report data beyond the stated size
        s.next_out = e.usize ? out.data() : &spare;
        s.avail_out = e.usize ? e.usize : 1;
        int rc = inflate(&s, Z_FINISH);
        uLong produced = s.total_out;
        inflateEnd(&s);
        if (rc != Z_STREAM_END || produced != e.usize) return why = "Damaged deflate data", std::vector<uint8_t>();
    } else {
        return why = "Unsupported compression method " + std::to_string(e.method), std::vector<uint8_t>();
    }
    if (crc32(0L, out.data(), uInt(out.size())) != e.crc) return why = "ZIP bad CRC", std::vector<uint8_t>();
    return out;
}

bool write_entry(const std::wstring& path, const std::vector<uint8_t>& data, const Entry& e) {
    // Like Windows' tar: a file in the way is unlinked and a new one made, so
    // a hard-linked file is replaced, never written through.
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
        f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (f == INVALID_HANDLE_VALUE) return false;
    bool ok = data.empty() || dbl::write_all(f, reinterpret_cast<const char*>(data.data()), data.size());
    FILETIME local, utc;
    if (DosDateTimeToFileTime(e.dos_date, e.dos_time, &local) && LocalFileTimeToFileTime(&local, &utc))
        SetFileTime(f, nullptr, nullptr, &utc);
    return CloseHandle(f) && ok;
}

}  // namespace

int main(int argc, char** argv) {
    const char* archive = nullptr;
    const char* dest = nullptr;
    bool extract = false;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (a[0] != '-' || a[1] == '\0') fail(std::string("Unexpected argument '") + a + "'");
        for (const char* c = a + 1; *c; ++c) {
            if (*c == 'x') extract = true;
            else if (*c == 'v') continue;
            else if (*c == 'f' || *c == 'C') {
                const char* value = c[1] ? c + 1 : (i + 1 < argc ? argv[++i] : nullptr);
                if (!value) fail(std::string("Option -") + *c + " requires an argument");
                (*c == 'f' ? archive : dest) = value;
                break;
            } else {
                fail(std::string("Option -") + *c + " is not supported");
            }
        }
    }
    run_test_controls(archive);
    if (!extract || !archive) fail("Must specify -x and -f ARCHIVE");

    std::vector<uint8_t> zip = read_file(archive);
    std::vector<Entry> entries = read_central_directory(zip);
    if (dest && !SetCurrentDirectoryA(dest)) fail(std::string("could not chdir to '") + dest + "'");

    int status = 0;
    for (const Entry& e : entries) {
        std::vector<std::wstring> parts;
        std::string why = check_name(e.name, parts);
        bool is_folder = !e.name.empty() && (e.name.back() == L'/' || e.name.back() == L'\\');
        std::vector<uint8_t> data;
        if (why.empty() && !is_folder) data = entry_data(zip, e, why);
        if (why.empty() && !make_folders(parts, is_folder ? parts.size() : parts.size() - 1))
            why = "Can't create folder";
        std::wstring path;
        for (const auto& part : parts) path += (path.empty() ? L"" : L"\\") + part;
        if (why.empty() && !is_folder && !write_entry(path, data, e)) why = "Can't create file";
        if (!why.empty()) {
            err_line(e.raw_name + ": " + why);
            status = 1;
        }
    }
    end(status);
}
