// Reading a part's zip the way tar.exe will meet it: every entry's name,
// kind and size, and its data read through so that damage shows.
#include "tool.h"

#include <archive.h>
#include <archive_entry.h>

bool zip_list(const std::string& zip_path, std::vector<zip_entry>& entries) {
    entries.clear();
    archive* a = archive_read_new();
    archive_read_support_format_zip_seekable(a);
    bool ok = archive_read_open_filename(a, zip_path.c_str(), 1 << 16) == ARCHIVE_OK;
    archive_entry* entry;
    int rc = ARCHIVE_OK;
    while (ok && (rc = archive_read_next_header(a, &entry)) == ARCHIVE_OK) {
        zip_entry e = {};
        const char* name = archive_entry_pathname_utf8(entry);
        if (!name) name = archive_entry_pathname(entry);
        e.name = name ? name : "";
        e.folder = archive_entry_filetype(entry) == AE_IFDIR;
        e.link = archive_entry_filetype(entry) == AE_IFLNK || archive_entry_hardlink(entry) != nullptr;
        e.size = archive_entry_size_is_set(entry) ? (unsigned long long)archive_entry_size(entry) : 0;
        static char buf[1 << 16];
        la_ssize_t n;
        while ((n = archive_read_data(a, buf, sizeof buf)) > 0) {
        }
        if (n < 0) {
            ok = false;
            break;
        }
        entries.push_back(e);
    }
    if (ok && rc != ARCHIVE_EOF) ok = false;
    if (!ok) {
        const char* why = archive_error_string(a);
        tool_error("not a zip that unpacks whole%s%s", why ? ": " : "", why ? why : "");
    }
    archive_read_free(a);
    return ok;
}

std::string entry_escape(const zip_entry& entry) {
    if (entry.link) return "is a link";
    switch (entry_name_verdict(entry.name.data(), entry.name.size())) {
    case ENTRY_NAME_OK: return "";
    case ENTRY_NAME_EMPTY: return "has an empty name";
    case ENTRY_NAME_ROOTED: return "is rooted";
    case ENTRY_NAME_DRIVE: return "names a drive or a stream (':')";
    case ENTRY_NAME_UPWARD: return "steps out of its folder ('..')";
    default: return "holds a control character";
    }
}
