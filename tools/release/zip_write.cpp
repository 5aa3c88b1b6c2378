// Deterministic zips for `make`: the same files always give the same bytes,
// so an unchanged part keeps its digest from release to release and the setup
// takes it over instead of downloading it again. Each record is written as
// the setup's core forms it (the CRC-32 and sizes in the local header, no
// data descriptor, no extra field), so the delta road can check every
// record's header against the index before tar sees it. Only a part too
// large for 32-bit offsets is written by libarchive, with zip64, and left
// out of the index.
#include "tool.h"

#include <archive.h>
#include <archive_entry.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

namespace {

// 2000-01-01 00:00:00 UTC; `make` runs in UTC so the zip's DOS times are fixed too.
const time_t kFixedTime = 946684800;
const unsigned kDosTime = 0;
const unsigned kDosDate = (2000 - 1980) << 9 | 1 << 5 | 1;

struct zip_item {
    std::string name;  // entry name; folders end in '/'
    std::string path;  // on disk
    bool folder;
    unsigned long long size;
};

bool collect(const std::string& path, const std::string& name, std::vector<zip_item>& items) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        tool_error("cannot read %s", path.c_str());
        return false;
    }
    if (S_ISREG(st.st_mode)) {
        items.push_back({name, path, false, (unsigned long long)st.st_size});
        return true;
    }
    if (!S_ISDIR(st.st_mode)) {
        tool_error("%s is neither a file nor a folder (links are not put into a release)", path.c_str());
        return false;
    }
    items.push_back({name + "/", path, true, 0});
    DIR* dir = opendir(path.c_str());
    if (!dir) {
        tool_error("cannot read the folder %s", path.c_str());
        return false;
    }
    std::vector<std::string> children;
    while (dirent* d = readdir(dir)) {
        std::string child = d->d_name;
        if (child != "." && child != "..") children.push_back(child);
    }
    closedir(dir);
    for (auto& child : children)
        if (!collect(path + "/" + child, name + "/" + child, items)) return false;
    return true;
}

bool add(archive* a, const zip_item& item) {
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname_utf8(entry, item.name.c_str());
    archive_entry_set_filetype(entry, item.folder ? AE_IFDIR : AE_IFREG);
    archive_entry_set_perm(entry, item.folder ? 0755 : 0644);
    archive_entry_set_size(entry, (la_int64_t)item.size);
    archive_entry_set_mtime(entry, kFixedTime, 0);
    archive_entry_set_uid(entry, 0);
    archive_entry_set_gid(entry, 0);
    bool ok = archive_write_header(a, entry) == ARCHIVE_OK;
    archive_entry_free(entry);
    if (ok && !item.folder) {
        FILE* f = fopen(item.path.c_str(), "rb");
        ok = f != nullptr;
        static char buf[1 << 16];
        unsigned long long written = 0;
        size_t n;
        while (ok && (n = fread(buf, 1, sizeof buf, f)) > 0) {
            ok = archive_write_data(a, buf, n) == (la_ssize_t)n;
            written += n;
        }
        if (f) {
            ok = ok && !ferror(f) && written == item.size;
            fclose(f);
        }
    }
    if (!ok)
        tool_error("cannot put %s into the zip: %s", item.path.c_str(),
                   archive_error_string(a) ? archive_error_string(a) : "read error");
    return ok;
}

bool read_whole(const std::string& path, unsigned long long size, std::string& out) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    out.resize((size_t)size);
    bool ok = fread(&out[0], 1, out.size(), f) == out.size() && fgetc(f) == EOF && !ferror(f);
    fclose(f);
    return ok;
}

// Raw deflate at level 6, as zip's method 8 holds it.
bool deflated(const std::string& in, std::string& out) {
    z_stream z = {};
    if (deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
    out.resize(deflateBound(&z, (uLong)in.size()));
    z.next_in = (Bytef*)in.data();
    z.avail_in = (uInt)in.size();
    z.next_out = (Bytef*)&out[0];
    z.avail_out = (uInt)out.size();
    bool ok = deflate(&z, Z_FINISH) == Z_STREAM_END;
    out.resize(z.total_out);
    deflateEnd(&z);
    return ok;
}

// One record: the core's local header, then the data.
bool record_add(const zip_item& item, bool store, std::string& zip, std::vector<index_entry>& entries) {
    index_entry e = {};
    e.folder = item.folder;
    e.name_length = item.name.size();
    if (e.name_length >= INDEX_NAME_CAP) {
        tool_error("the entry name %s is too long", item.name.c_str());
        return false;
    }
    memcpy(e.name, item.name.data(), e.name_length);
    for (unsigned char c : item.name)
        if (c >= 0x80) e.flags = ZIP_UTF8_FLAG;
    e.time = kDosTime;
    e.date = kDosDate;
    std::string data, packed;
    if (!item.folder) {
        if (!read_whole(item.path, item.size, data)) {
            tool_error("cannot read %s", item.path.c_str());
            return false;
        }
        e.crc32 = (unsigned)crc32(crc32(0, nullptr, 0), (const Bytef*)data.data(), (uInt)data.size());
        e.method = store ? 0 : 8;
        if (!store && !deflated(data, packed)) {
            tool_error("cannot deflate %s", item.path.c_str());
            return false;
        }
    }
    const std::string& body = e.method == 8 ? packed : data;
    e.size = (unsigned)data.size();
    e.compressed = (unsigned)body.size();
    e.offset = (unsigned)zip.size();
    unsigned char header[ZIP_LOCAL_HEADER + INDEX_NAME_CAP];
    size_t n = zip_local_header(&e, header, sizeof header);
    e.length = (unsigned)(n + body.size());
    zip.append((const char*)header, n);
    zip += body;
    entries.push_back(e);
    return true;
}

// The whole zip in memory: the records, then the core's central directory.
bool zip_own(const std::vector<zip_item>& items, bool store, std::string& zip) {
    std::vector<index_entry> entries;
    for (const zip_item& item : items)
        if (!record_add(item, store, zip, entries)) return false;
    std::vector<unsigned long long> offsets;
    for (const index_entry& e : entries) offsets.push_back(e.offset);
    return directory_append(entries, offsets, zip, "its records need zip64");
}

// A zip too large for 32-bit offsets, by libarchive (with zip64).
bool zip_libarchive(const std::vector<zip_item>& items, bool store, const std::string& temp) {
    archive* a = archive_write_new();
    archive_write_set_format_zip(a);
    const char* options = store ? "zip:compression=store,zip:hdrcharset=UTF-8"
                                : "zip:compression=deflate,zip:compression-level=6,zip:hdrcharset=UTF-8";
    bool ok = archive_write_set_options(a, options) == ARCHIVE_OK &&
              archive_write_open_filename(a, temp.c_str()) == ARCHIVE_OK;
    if (!ok) tool_error("cannot write %s: %s", temp.c_str(), archive_error_string(a) ? archive_error_string(a) : "");
    for (size_t i = 0; ok && i < items.size(); ++i) ok = add(a, items[i]);
    if (archive_write_close(a) != ARCHIVE_OK && ok) {
        tool_error("cannot finish %s", temp.c_str());
        ok = false;
    }
    archive_write_free(a);
    return ok;
}

}  // namespace

bool zip_write(const std::string& source, const std::string& zip_path, bool store) {
    std::string top = source;
    while (top.size() > 1 && top.back() == '/') top.pop_back();
    size_t slash = top.rfind('/');
    std::string name = slash == std::string::npos ? top : top.substr(slash + 1);
    std::vector<zip_item> items;
    if (!collect(top, name, items)) return false;
    std::sort(items.begin(), items.end(), [](const zip_item& x, const zip_item& y) { return x.name < y.name; });

    // Stored, the zip is larger than what it holds by its headers alone;
    // deflated, by a little more at worst.
    unsigned long long bound = ZIP_END_RECORD;
    for (const zip_item& item : items)
        bound += ZIP_LOCAL_HEADER + ZIP_CENTRAL_HEADER + 2 * item.name.size() + item.size + item.size / 1000 + 64;
    if (bound <= INDEX_MAX_VALUE) {
        std::string zip;
        if (!zip_own(items, store, zip)) return false;
        if (write_file(zip_path, zip)) return true;
        tool_error("cannot write %s", zip_path.c_str());
        return false;
    }
    std::string temp = zip_path + ".writing";
    bool ok = zip_libarchive(items, store, temp);
    if (ok && rename(temp.c_str(), zip_path.c_str()) != 0) {
        tool_error("cannot write %s", zip_path.c_str());
        ok = false;
    }
    if (!ok) remove(temp.c_str());
    return ok;
}

bool directory_append(const std::vector<index_entry>& entries, const std::vector<unsigned long long>& offsets,
                      std::string& zip, const char* refusal) {
    std::vector<unsigned char> directory(entries.size() * (ZIP_CENTRAL_HEADER + INDEX_NAME_CAP) + ZIP_END_RECORD);
    zip_directory d;
    zip_directory_begin(&d, directory.data(), directory.size());
    for (size_t i = 0; i < entries.size(); ++i) zip_directory_add(&d, &entries[i], offsets[i]);
    size_t n = zip_directory_end(&d, zip.size());
    if (!n) {
        tool_error(refusal);
        return false;
    }
    zip.append((const char*)directory.data(), n);
    return true;
}
