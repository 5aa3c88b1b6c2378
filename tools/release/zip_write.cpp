// Deterministic zips for `make`: the same files always give the same bytes,
// so an unchanged part keeps its digest from release to release and the setup
// takes it over instead of downloading it again.
#include "tool.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <sys/stat.h>

namespace {

// 2000-01-01 00:00:00 UTC; `make` runs in UTC so the zip's DOS times are fixed too.
const time_t kFixedTime = 946684800;

struct Item {
    std::string name;  // entry name; folders end in '/'
    std::string path;  // on disk
    bool folder;
    unsigned long long size;
};

bool collect(const std::string& path, const std::string& name, std::vector<Item>& items,
             std::string& error) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        error = "cannot read " + path;
        return false;
    }
    if (S_ISREG(st.st_mode)) {
        items.push_back({name, path, false, (unsigned long long)st.st_size});
        return true;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = path + " is neither a file nor a folder (links are not put into a release)";
        return false;
    }
    items.push_back({name + "/", path, true, 0});
    DIR* dir = opendir(path.c_str());
    if (!dir) {
        error = "cannot read the folder " + path;
        return false;
    }
    std::vector<std::string> children;
    while (dirent* d = readdir(dir)) {
        std::string child = d->d_name;
        if (child != "." && child != "..") children.push_back(child);
    }
    closedir(dir);
    for (auto& child : children)
        if (!collect(path + "/" + child, name + "/" + child, items, error)) return false;
    return true;
}

bool add(archive* a, const Item& item, std::string& error) {
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
    if (!ok) error = "cannot put " + item.path + " into the zip: " + (archive_error_string(a) ? archive_error_string(a) : "read error");
    return ok;
}

}  // namespace

bool zip_write(const std::string& source, const std::string& zip_path, bool store, std::string& error) {
    std::string top = source;
    while (top.size() > 1 && top.back() == '/') top.pop_back();
    size_t slash = top.rfind('/');
    std::string name = slash == std::string::npos ? top : top.substr(slash + 1);
    std::vector<Item> items;
    if (!collect(top, name, items, error)) return false;
    std::sort(items.begin(), items.end(), [](const Item& x, const Item& y) { return x.name < y.name; });

    std::string temp = zip_path + ".writing";
    archive* a = archive_write_new();
    archive_write_set_format_zip(a);
    const char* options = store ? "zip:compression=store,zip:hdrcharset=UTF-8"
                                : "zip:compression=deflate,zip:compression-level=6,zip:hdrcharset=UTF-8";
    bool ok = archive_write_set_options(a, options) == ARCHIVE_OK &&
              archive_write_open_filename(a, temp.c_str()) == ARCHIVE_OK;
    if (!ok) error = std::string("cannot write ") + temp + ": " + (archive_error_string(a) ? archive_error_string(a) : "");
    for (size_t i = 0; ok && i < items.size(); ++i) ok = add(a, items[i], error);
    if (archive_write_close(a) != ARCHIVE_OK && ok) {
        error = "cannot finish " + temp;
        ok = false;
    }
    archive_write_free(a);
    if (ok && rename(temp.c_str(), zip_path.c_str()) != 0) {
        error = "cannot write " + zip_path;
        ok = false;
    }
    if (!ok) remove(temp.c_str());
    return ok;
}
