// The release index: what `make` writes for each part's zip, and what `check`
// compares it with. Ranges and fields come from the zip's own directory and
// local headers; each entry's digest comes from reading back, with
// libarchive, a zip assembled from the local records and a central directory
// written by the setup's core, as the setup will assemble the changed ones.
#include "tool.h"

#include <archive.h>
#include <archive_entry.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

unsigned get16(const std::string& z, size_t at) {
    return (unsigned char)z[at] | (unsigned)(unsigned char)z[at + 1] << 8;
}

unsigned long long get32(const std::string& z, size_t at) {
    return get16(z, at) | (unsigned long long)get16(z, at + 2) << 16;
}

unsigned long long get64(const std::string& z, size_t at) { return get32(z, at) | get32(z, at + 4) << 32; }

const unsigned long long kWide = 0xFFFFFFFFull;  // a field that zip64 holds instead

// The central directory: where it starts, how many records it has.
bool find_directory(const std::string& z, size_t& start, unsigned long long& count, bool& wide,
                    std::string& error) {
    if (z.size() < 22) return error = "too short for a zip", false;
    size_t floor = z.size() > 22 + 65535 ? z.size() - 22 - 65535 : 0;
    for (size_t at = z.size() - 22 + 1; at-- > floor;) {
        if (get32(z, at) != 0x06054b50) continue;
        count = get16(z, at + 10);
        unsigned long long offset = get32(z, at + 16);
        if (count == 0xFFFF || offset == kWide) {
            // The zip64 end record, named by the locator just before.
            if (at < 20 || get32(z, at - 20) != 0x07064b50) return error = "a broken zip64 end record", false;
            unsigned long long end64 = get64(z, at - 12);
            if (end64 > z.size() - 56 || get32(z, (size_t)end64) != 0x06064b50)
                return error = "a broken zip64 end record", false;
            count = get64(z, (size_t)end64 + 32);
            offset = get64(z, (size_t)end64 + 48);
            wide = offset >= kWide;
        }
        if (offset > at) return error = "its central directory lies outside it", false;
        start = (size_t)offset;
        return true;
    }
    return error = "no end of central directory", false;
}

std::string sha256_final(EVP_MD_CTX* ctx) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    EVP_DigestFinal_ex(ctx, digest, &n);
    return hex(digest, n);
}

// Reads `entries`' records back from a zip assembled of them, as tar would,
// and sets each entry's digest.
bool digest_entries(const std::string& z, std::vector<index_entry>& entries, std::string& error) {
    std::string small;
    unsigned long long offsets_end = 0;
    for (const index_entry& e : entries) offsets_end += e.length;
    if (offsets_end > INDEX_MAX_VALUE) return error = "its records need zip64", false;
    std::vector<unsigned char> directory(entries.size() * (46 + INDEX_NAME_CAP) + 22);
    zip_directory d;
    zip_directory_begin(&d, directory.data(), directory.size());
    for (const index_entry& e : entries) {
        zip_directory_add(&d, &e, small.size());
        small.append(z, e.offset, e.length);
    }
    size_t n = zip_directory_end(&d, small.size());
    if (!n) return error = "its records do not fit one zip without zip64", false;
    small.append((const char*)directory.data(), n);

    archive* a = archive_read_new();
    archive_read_support_format_zip_seekable(a);
    bool ok = archive_read_open_memory(a, small.data(), small.size()) == ARCHIVE_OK;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    size_t i = 0;
    archive_entry* entry;
    static char buf[1 << 16];
    while (ok && archive_read_next_header(a, &entry) == ARCHIVE_OK) {
        const char* name = archive_entry_pathname_utf8(entry);
        if (i >= entries.size() || !name || strcmp(name, entries[i].name) != 0) {
            error = "its records read back in another order";
            ok = false;
            break;
        }
        EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
        la_ssize_t got;
        while ((got = archive_read_data(a, buf, sizeof buf)) > 0) EVP_DigestUpdate(ctx, buf, (size_t)got);
        if (got < 0) {
            error = std::string("the record of ") + entries[i].name + " does not unpack: " +
                    (archive_error_string(a) ? archive_error_string(a) : "");
            ok = false;
            break;
        }
        snprintf(entries[i].sha256, sizeof entries[i].sha256, "%s", sha256_final(ctx).c_str());
        ++i;
    }
    if (ok && i != entries.size()) {
        error = "its records read back as " + std::to_string(i) + " entries, not " + std::to_string(entries.size());
        ok = false;
    }
    EVP_MD_CTX_free(ctx);
    archive_read_free(a);
    return ok;
}

std::string hex_of(unsigned value, int digits) {
    char text[16];
    snprintf(text, sizeof text, "%0*x", digits, value);
    return text;
}

}  // namespace

IndexOutcome index_zip(const std::string& z, std::vector<index_entry>& entries, std::string& error) {
    entries.clear();
    size_t at = 0;
    unsigned long long count = 0;
    bool wide = false;
    if (!find_directory(z, at, count, wide, error)) return IndexOutcome::broken;
    if (wide) return IndexOutcome::zip64;
    for (unsigned long long k = 0; k < count; ++k) {
        if (at + 46 > z.size() || get32(z, at) != 0x02014b50) return error = "a broken central directory", IndexOutcome::broken;
        index_entry e = {};
        e.flags = get16(z, at + 8);
        e.method = get16(z, at + 10);
        e.time = get16(z, at + 12);
        e.date = get16(z, at + 14);
        e.crc32 = (unsigned)get32(z, at + 16);
        unsigned long long compressed = get32(z, at + 20), size = get32(z, at + 24), offset = get32(z, at + 42);
        size_t name_length = get16(z, at + 28), skip = 46 + name_length + get16(z, at + 30) + get16(z, at + 32);
        if (at + skip > z.size()) return error = "a broken central directory", IndexOutcome::broken;
        if (compressed == kWide || size == kWide || offset == kWide) return IndexOutcome::zip64;
        std::string name = z.substr(at + 46, name_length);
        at += skip;
        if (name_length == 0 || name_length >= INDEX_NAME_CAP)
            return error = "an entry name of " + std::to_string(name_length) + " bytes", IndexOutcome::broken;
        memcpy(e.name, name.data(), name_length);
        e.name_length = name_length;
        e.folder = name.back() == '/';
        e.compressed = (unsigned)compressed;
        e.size = (unsigned)size;
        e.offset = (unsigned)offset;
        // The local record: header, name, extra field, data, data descriptor.
        if (offset + 30 > z.size() || get32(z, offset) != 0x04034b50 || get16(z, offset + 26) != name_length ||
            z.compare(offset + 30, name_length, name) != 0)
            return error = "the local header of " + name + " does not match its directory record", IndexOutcome::broken;
        unsigned long long end = offset + 30 + name_length + get16(z, offset + 28) + compressed;
        if (e.flags & 8) end += end + 4 <= z.size() && get32(z, end) == 0x08074b50 ? 16 : 12;
        if (end > z.size()) return error = "the record of " + name + " runs past the zip's end", IndexOutcome::broken;
        e.length = (unsigned)(end - offset);
        entries.push_back(e);
    }
    std::sort(entries.begin(), entries.end(),
              [](const index_entry& x, const index_entry& y) { return x.offset < y.offset; });
    for (size_t i = 1; i < entries.size(); ++i)
        if (entries[i].offset < (unsigned long long)entries[i - 1].offset + entries[i - 1].length)
            return error = std::string("the records of ") + entries[i - 1].name + " and " + entries[i].name + " overlap",
                   IndexOutcome::broken;
    return digest_entries(z, entries, error) ? IndexOutcome::ok : IndexOutcome::broken;
}

std::string index_entry_line(const index_entry& e) {
    return std::string(e.folder ? "d " : "f ") + std::to_string(e.offset) + " " + std::to_string(e.length) + " " +
           std::to_string(e.method) + " " + hex_of(e.flags, 4) + " " + hex_of(e.crc32, 8) + " " +
           hex_of(e.time, 4) + " " + hex_of(e.date, 4) + " " + std::to_string(e.compressed) + " " +
           std::to_string(e.size) + " " + e.sha256 + " " + std::string(e.name, e.name_length);
}

std::string index_section(const std::string& part_sha256, const std::vector<index_entry>& entries) {
    std::string out = "part " + part_sha256 + " " + std::to_string(entries.size()) + "\n";
    for (const index_entry& e : entries) out += index_entry_line(e) + "\n";
    return out;
}

int index_entries(const std::string& index, const part_record& part, std::vector<index_entry>& entries,
                  size_t& bad_line) {
    entries.clear();
    bad_line = 0;
    auto keep = [](const index_entry* e, void* context) -> int {
        static_cast<std::vector<index_entry>*>(context)->push_back(*e);
        return 0;
    };
    return index_parse(index.data(), index.size(), part.sha256, part.size, keep, &entries, &bad_line);
}
