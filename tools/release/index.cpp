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

const unsigned char* at_byte(const std::string& z, size_t at) {
    return reinterpret_cast<const unsigned char*>(z.data()) + at;
}

unsigned get16(const std::string& z, size_t at) { return zip_get16(at_byte(z, at)); }
unsigned long long get32(const std::string& z, size_t at) { return zip_get32(at_byte(z, at)); }
unsigned long long get64(const std::string& z, size_t at) { return zip_get64(at_byte(z, at)); }

// The zip64 end record that the locator before the end record at `end` names:
// it lies whole before the locator. The directory's offset and count.
bool zip64_directory(const std::string& z, size_t end, unsigned long long& offset, unsigned long long& count) {
    size_t locator = end >= ZIP64_LOCATOR ? end - ZIP64_LOCATOR : 0;
    if (end < ZIP64_LOCATOR || get32(z, locator) != ZIP64_LOCATOR_SIGNATURE) {
        tool_error("a broken zip64 end record");
        return false;
    }
    unsigned long long end64 = get64(z, locator + ZIP64_LOCATOR_END);
    if (locator < ZIP64_END_RECORD || end64 > locator - ZIP64_END_RECORD ||
        get32(z, (size_t)end64) != ZIP64_END_SIGNATURE) {
        tool_error("a broken zip64 end record");
        return false;
    }
    count = get64(z, (size_t)end64 + ZIP64_END_ENTRIES);
    offset = get64(z, (size_t)end64 + ZIP64_END_DIRECTORY_OFFSET);
    return true;
}

// The central directory: where it starts, how many records it has; `wide`
// when it lies beyond 32-bit offsets.
bool find_directory(const std::string& z, size_t& start, unsigned long long& count, bool& wide) {
    if (z.size() < ZIP_END_RECORD) {
        tool_error("too short for a zip");
        return false;
    }
    size_t last = z.size() - ZIP_END_RECORD;
    size_t floor = last > ZIP_FIELD_MAX ? last - ZIP_FIELD_MAX : 0;  // the comment's longest
    for (size_t at = last + 1; at-- > floor;) {
        if (get32(z, at) != ZIP_END_SIGNATURE) continue;
        count = get16(z, at + ZIP_END_ENTRIES);
        unsigned long long offset = get32(z, at + ZIP_END_DIRECTORY_OFFSET);
        if (count == ZIP_WIDE_COUNT || offset == ZIP_WIDE) {
            if (!zip64_directory(z, at, offset, count)) return false;
            wide = offset >= ZIP_WIDE;
        }
        if (offset > at) {
            tool_error("its central directory lies outside it");
            return false;
        }
        start = (size_t)offset;
        return true;
    }
    tool_error("no end of central directory");
    return false;
}

std::string sha256_final(EVP_MD_CTX* ctx) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    EVP_DigestFinal_ex(ctx, digest, &n);
    return hex(digest, n);
}

// A zip of `entries`' records one after another, with the core's directory.
bool assembled(const std::string& z, const std::vector<index_entry>& entries, std::string& small) {
    unsigned long long offsets_end = 0;
    for (const index_entry& e : entries) offsets_end += e.length;
    if (offsets_end > INDEX_MAX_VALUE) {
        tool_error("its records need zip64");
        return false;
    }
    std::vector<unsigned long long> offsets;
    for (const index_entry& e : entries) {
        offsets.push_back(small.size());
        small.append(z, e.offset, e.length);
    }
    return directory_append(entries, offsets, small, "its records do not fit one zip without zip64");
}

// The SHA-256 of the data of the entry `a` has just read the header of.
bool data_digest(archive* a, const index_entry& e, char* sha256) {
    static char buf[1 << 16];
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
    la_ssize_t got;
    while ((got = archive_read_data(a, buf, sizeof buf)) > 0) EVP_DigestUpdate(ctx, buf, (size_t)got);
    if (got >= 0) snprintf(sha256, sizeof e.sha256, "%s", sha256_final(ctx).c_str());
    else tool_error("the record of %s does not unpack: %s", e.name, archive_error_string(a) ? archive_error_string(a) : "");
    EVP_MD_CTX_free(ctx);
    return got >= 0;
}

// Reads `entries`' records back from a zip assembled of them, as tar would,
// and sets each entry's digest.
bool digest_entries(const std::string& z, std::vector<index_entry>& entries) {
    std::string small;
    if (!assembled(z, entries, small)) return false;
    archive* a = archive_read_new();
    archive_read_support_format_zip_seekable(a);
    bool ok = archive_read_open_memory(a, small.data(), small.size()) == ARCHIVE_OK;
    size_t i = 0;
    archive_entry* entry;
    while (ok && archive_read_next_header(a, &entry) == ARCHIVE_OK) {
        const char* name = archive_entry_pathname_utf8(entry);
        if (i >= entries.size() || !name || strcmp(name, entries[i].name) != 0) {
            tool_error("its records read back in another order");
            ok = false;
            break;
        }
        ok = data_digest(a, entries[i], entries[i].sha256);
        if (ok) ++i;
    }
    if (ok && i != entries.size()) {
        tool_error("its records read back as %zu entries, not %zu", i, entries.size());
        ok = false;
    }
    archive_read_free(a);
    return ok;
}

// The entry's local record: header, name, extra field, data, data
// descriptor; sets its length.
bool local_record(const std::string& z, index_entry& e) {
    unsigned long long offset = e.offset;
    size_t name_length = e.name_length;
    if (offset + ZIP_LOCAL_HEADER > z.size() || get32(z, offset) != ZIP_LOCAL_SIGNATURE ||
        get16(z, offset + ZIP_LOCAL_NAME_LENGTH) != name_length ||
        z.compare(offset + ZIP_LOCAL_HEADER, name_length, e.name, name_length) != 0) {
        tool_error("the local header of %s does not match its directory record", e.name);
        return false;
    }
    unsigned long long end =
        offset + ZIP_LOCAL_HEADER + name_length + get16(z, offset + ZIP_LOCAL_EXTRA_LENGTH) + e.compressed;
    if (e.flags & ZIP_DESCRIPTOR_FLAG)
        end += end + 4 <= z.size() && get32(z, end) == ZIP_DESCRIPTOR_SIGNATURE ? ZIP_DESCRIPTOR_SIGNED : ZIP_DESCRIPTOR;
    if (end > z.size()) {
        tool_error("the record of %s runs past the zip's end", e.name);
        return false;
    }
    e.length = (unsigned)(end - offset);
    return true;
}

std::string hex_of(unsigned value, int digits) {
    char text[16];
    snprintf(text, sizeof text, "%0*x", digits, value);
    return text;
}

}  // namespace

namespace {

// The entry of the central record at `at` and its local record; `at` moves
// past the central record. ZIP_INDEX_WIDE when a field needs zip64.
int directory_record(const std::string& z, size_t& at, index_entry& e) {
    if (at + ZIP_CENTRAL_HEADER > z.size() || get32(z, at) != ZIP_CENTRAL_SIGNATURE) {
        tool_error("a broken central directory");
        return ZIP_INDEX_BROKEN;
    }
    e = {};
    e.flags = get16(z, at + ZIP_CENTRAL_FLAGS);
    e.method = get16(z, at + ZIP_CENTRAL_METHOD);
    e.time = get16(z, at + ZIP_CENTRAL_TIME);
    e.date = get16(z, at + ZIP_CENTRAL_DATE);
    e.crc32 = (unsigned)get32(z, at + ZIP_CENTRAL_CRC32);
    unsigned long long compressed = get32(z, at + ZIP_CENTRAL_COMPRESSED), size = get32(z, at + ZIP_CENTRAL_SIZE),
                       offset = get32(z, at + ZIP_CENTRAL_OFFSET);
    size_t name_length = get16(z, at + ZIP_CENTRAL_NAME_LENGTH);
    size_t skip = ZIP_CENTRAL_HEADER + name_length + get16(z, at + ZIP_CENTRAL_EXTRA_LENGTH) +
                  get16(z, at + ZIP_CENTRAL_COMMENT_LENGTH);
    if (at + skip > z.size()) {
        tool_error("a broken central directory");
        return ZIP_INDEX_BROKEN;
    }
    if (compressed == ZIP_WIDE || size == ZIP_WIDE || offset == ZIP_WIDE) return ZIP_INDEX_WIDE;
    std::string name = z.substr(at + ZIP_CENTRAL_HEADER, name_length);
    at += skip;
    if (name_length == 0 || name_length >= INDEX_NAME_CAP) {
        tool_error("an entry name of %zu bytes", name_length);
        return ZIP_INDEX_BROKEN;
    }
    memcpy(e.name, name.data(), name_length);
    e.name_length = name_length;
    e.folder = name.back() == '/';
    e.compressed = (unsigned)compressed;
    e.size = (unsigned)size;
    e.offset = (unsigned)offset;
    return local_record(z, e) ? ZIP_INDEXED : ZIP_INDEX_BROKEN;
}

}  // namespace

int index_zip(const std::string& z, std::vector<index_entry>& entries) {
    entries.clear();
    size_t at = 0;
    unsigned long long count = 0;
    bool wide = false;
    if (!find_directory(z, at, count, wide)) return ZIP_INDEX_BROKEN;
    if (wide) return ZIP_INDEX_WIDE;
    for (unsigned long long k = 0; k < count; ++k) {
        index_entry e;
        int verdict = directory_record(z, at, e);
        if (verdict != ZIP_INDEXED) return verdict;
        entries.push_back(e);
    }
    std::sort(entries.begin(), entries.end(),
              [](const index_entry& x, const index_entry& y) { return x.offset < y.offset; });
    for (size_t i = 1; i < entries.size(); ++i)
        if (entries[i].offset < (unsigned long long)entries[i - 1].offset + entries[i - 1].length) {
            tool_error("the records of %s and %s overlap", entries[i - 1].name, entries[i].name);
            return ZIP_INDEX_BROKEN;
        }
    return digest_entries(z, entries) ? ZIP_INDEXED : ZIP_INDEX_BROKEN;
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
