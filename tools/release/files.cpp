// Files, digests and addresses for the release tool.
#include "tool.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

bool read_file(const std::string& path, std::string& out) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    out.clear();
    char buf[1 << 16];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

bool write_file(const std::string& path, const std::string& data) {
    std::string temp = path + ".writing";
    FILE* f = fopen(temp.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
    ok = (fclose(f) == 0) && ok;
    if (ok) ok = rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) remove(temp.c_str());
    return ok;
}

bool make_folders(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
    struct stat st;
    return mkdir(path.c_str(), 0755) == 0 || (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
}

std::string hex(const unsigned char* digest, unsigned length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < length; ++i) {
        out += digits[digest[i] >> 4];
        out += digits[digest[i] & 15];
    }
    return out;
}

std::string sha256_hex(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
    return hex(digest, length);
}

bool file_digest(const std::string& path, std::string& sha256, unsigned long long& size) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
    static char buf[1 << 20];
    size = 0;
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
        EVP_DigestUpdate(ctx, buf, n);
        size += n;
    }
    bool ok = !ferror(f);
    fclose(f);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_DigestFinal_ex(ctx, digest, &length);
    EVP_MD_CTX_free(ctx);
    sha256 = hex(digest, length);
    return ok;
}

bool is_url(const std::string& text) { return text.compare(0, 8, "https://") == 0 || text.compare(0, 7, "http://") == 0; }

temp_file::temp_file() {
    const char* dir = getenv("TMPDIR");
    std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/stonewake-release-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back(0);
    int fd = mkstemp(name.data());
    if (fd >= 0) {
        close(fd);
        path = name.data();
    }
}

temp_file::~temp_file() {
    if (!path.empty()) unlink(path.c_str());
}

bool load_text(const std::string& where, const std::string& cacert, std::string& out) {
    if (!is_url(where)) {
        if (read_file(where, out)) return true;
        tool_error("cannot be read");
        return false;
    }
    temp_file temp;
    if (temp.path.empty()) {
        tool_error("cannot make a temporary file");
        return false;
    }
    if (!fetch_to_file(where, cacert, temp.path)) return false;
    if (read_file(temp.path, out)) return true;
    tool_error("cannot read what was fetched");
    return false;
}

std::string archive_name(const part_record& part) {
    std::string url = part.url;
    size_t slash = url.rfind('/');
    std::string name = slash == std::string::npos ? url : url.substr(slash + 1);
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        auto digit = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        if (name[i] == '%' && i + 2 < name.size() && digit(name[i + 1]) >= 0 && digit(name[i + 2]) >= 0) {
            out += char(digit(name[i + 1]) * 16 + digit(name[i + 2]));
            i += 2;
        } else {
            out += name[i];
        }
    }
    return out;
}
