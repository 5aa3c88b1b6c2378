// Every path an install forms from an accepted setup list, as Windows reads
// it. The list is parsed and validated by the product's own code, and the
// paths below the Builder home are formed with the product's own helpers
// (layout_relative, part_folder_bytes); Windows' name rules are modelled
// here, independently of the name rule the setup applies:
//   - '/' and '\' separate; repeated separators count as one;
//   - "." stays, ".." steps up;
//   - trailing dots and blanks of a name are dropped;
//   - a name with ':' is a stream; CON, PRN, AUX, NUL, COM0-9, LPT0-9 (also
//     with an extension or blanks before it) and CONIN$, CONOUT$, CLOCK$ are
//     devices; control characters and <>"|?* cannot be in a name;
//   - letter case does not tell names apart.
// The property: each path names, below the home, exactly the folder or file
// it spells (Windows rewrites none of its names), it lies below what it must
// lie below, and two part folders that Windows takes for one are the same
// part folder to the setup too.
#include <stdint.h>

#include <string>
#include <vector>

#include "fuzz_check.h"
#include "core/core.h"

namespace {

struct Resolved {
    bool ok = true;                  // no stream, device or invalid name, no escape
    bool rewritten = false;          // Windows reads another name than the one spelt
    std::vector<std::string> names;  // the names below the home, as Windows keeps them
    const char* why = "";
};

std::string upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    return s;
}

bool device(const std::string& name) {
    std::string base = name.substr(0, name.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    base = upper(base);
    static const char* const fixed[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
    for (const char* d : fixed)
        if (base == d) return true;
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
           base[3] >= '0' && base[3] <= '9';
}

Resolved resolve(const std::string& path) {
    Resolved r;
    size_t i = 0;
    while (i <= path.size()) {
        size_t end = path.find_first_of("/\\", i);
        if (end == std::string::npos) end = path.size();
        std::string name = path.substr(i, end - i);
        i = end + 1;
        if (name.empty() || name == ".") {
            if (name == ".") r.rewritten = true;
            continue;
        }
        if (name == "..") {
            r.rewritten = true;
            if (r.names.empty()) return r.ok = false, r.why = "climbs out of the home", r;
            r.names.pop_back();
            continue;
        }
        for (unsigned char c : name)
            if (c < 0x20 || strchr("<>\"|?*", c)) return r.ok = false, r.why = "invalid character", r;
        if (name.find(':') != std::string::npos) return r.ok = false, r.why = "stream", r;
        std::string kept = name;
        while (!kept.empty() && (kept.back() == '.' || kept.back() == ' ')) kept.pop_back();
        if (kept != name) r.rewritten = true;
        if (kept.empty()) {  // "..." and the like: the name is gone, the folder above is meant
            if (r.names.empty()) return r.ok = false, r.why = "names the home itself", r;
            continue;
        }
        if (device(kept)) return r.ok = false, r.why = "device", r;
        r.names.push_back(kept);
    }
    return r;
}

std::string folded(const std::vector<std::string>& names) {
    std::string s;
    for (const std::string& n : names) s += upper(n) + "\\";
    return s;
}

// `path` must name exactly what it spells, and lie strictly below `base`
// (or, with `may_equal`, be `base` itself).
std::vector<std::string> check_path(const char* what, const std::string& path,
                                    const std::vector<std::string>& base, bool may_equal) {
    Resolved r = resolve(path);
    FUZZ_CHECK(r.ok, "%s %s: %s", what, path.c_str(), r.why);
    FUZZ_CHECK(!r.rewritten, "%s %s is not the name Windows reads", what, path.c_str());
    FUZZ_CHECK(r.names.size() >= base.size() + (may_equal ? 0 : 1), "%s %s is not below its folder", what,
               path.c_str());
    for (size_t k = 0; k < base.size(); ++k)
        FUZZ_CHECK(upper(r.names[k]) == upper(base[k]), "%s %s left its folder", what, path.c_str());
    return r.names;
}

std::string joined(const std::string& folder, const char* relative) {
    char tail[LIST_NAME_CAP];
    size_t n = layout_relative(tail, relative);
    FUZZ_CHECK(n == strlen(tail) && n < LIST_NAME_CAP, "layout_relative length %zu", n);
    return n ? folder + "\\" + tail : folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char* body = nul_copy(data, size);
    static setup_list list;
    list_parse(body, &list);
    free(body);
    if (list_validate(&list) != LIST_OK) return 0;

    const std::string versions = "versions";
    const std::vector<std::string> versions_names = {versions};
    std::string version = versions + "\\" + list.tag;
    std::string staging = version + ".part";
    std::vector<std::string> version_names = check_path("version folder", version, versions_names, false);
    FUZZ_CHECK(version_names.size() == 2, "version folder %s is not directly in versions", version.c_str());
    std::vector<std::string> staging_names = check_path("staging folder", staging, versions_names, false);
    FUZZ_CHECK(staging_names.size() == 2, "staging folder %s is not directly in versions", staging.c_str());
    FUZZ_CHECK(upper(version_names[1]) != upper(staging_names[1]), "staging is the version folder");
    check_path("Builder", joined(version, list.run), version_names, false);
    check_path("staged Builder", joined(staging, list.run), staging_names, false);

    std::vector<std::string> folders(list.part_count);
    std::vector<std::string> windows_folders(list.part_count);
    for (unsigned i = 0; i < list.part_count; ++i) {
        const part_record* part = &list.parts[i];
        char folder[LIST_NAME_CAP];
        if (part_folder_bytes(part, folder)) {
            folders[i] = folder;
            windows_folders[i] =
                folded(check_path("part folder", version + "\\" + folder, version_names, false));
            check_path("staged part folder", staging + "\\" + folder, staging_names, false);
        }
        std::string destination = joined(staging, part->dir);
        std::vector<std::string> destination_names =
            check_path("unpack destination", destination, staging_names, true);
        if (strcmp(part->from, "-") != 0 && strcmp(part->to, "-") != 0) {
            check_path("renamed entry", destination + "\\" + part->from, destination_names, false);
            check_path("its new name", destination + "\\" + part->to, destination_names, false);
        }
    }
    for (unsigned i = 0; i < list.part_count; ++i)
        for (unsigned j = i + 1; j < list.part_count; ++j)
            if (!folders[i].empty() && !folders[j].empty() && windows_folders[i] == windows_folders[j])
                FUZZ_CHECK(upper(folders[i]) == upper(folders[j]),
                           "parts %u and %u: %s and %s are one folder to Windows", i + 1, j + 1,
                           folders[i].c_str(), folders[j].c_str());
    return 0;
}
