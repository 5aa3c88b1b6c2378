// `make`: each part a deterministic zip, its digest and size, the index of
// every part's entries, and the setup list that names them, signed with
// --key; then the release is checked as `check` would.
#include "tool.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

struct part_line {
    unsigned line;
    std::string asset, source, dir, from, to;
    bool store;
};

std::vector<std::string> fields_of(const std::string& line) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) out.push_back(line.substr(start, i - start));
    }
    return out;
}

// The parts file: "<asset> <folder or file below DIR> <dir> <from> <to> [store]"
// a line; blank lines and lines starting with '#' are skipped.
bool read_parts(const std::string& path, std::vector<part_line>& parts) {
    std::string text;
    if (!read_file(path, text)) {
        fprintf(stderr, "stonewake-release: cannot read %s\n", path.c_str());
        return false;
    }
    unsigned number = 0;
    size_t start = 0;
    bool ok = true;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::vector<std::string> f = fields_of(line);
        if (f.empty() || f[0][0] == '#') continue;
        if (f.size() < 5 || f.size() > 6 || (f.size() == 6 && f[5] != "store")) {
            fprintf(stderr, "%s:%u: a part line is <asset> <folder or file> <dir> <from> <to> [store]\n",
                    path.c_str(), number);
            ok = false;
            continue;
        }
        // The asset becomes a file in OUT and the end of an address; the
        // source must stay below DIR.
        if (!list_name_ok(f[0].c_str(), 0)) {
            fprintf(stderr, "%s:%u: the asset name %s is not a plain name (letters, digits, \"._+-\")\n",
                    path.c_str(), number, f[0].c_str());
            ok = false;
        }
        for (const char* own : {kSetupList, kIndex})
            if (windows_key(f[0]) == own) {
                fprintf(stderr, "%s:%u: the asset name %s is the release's own %s\n", path.c_str(), number,
                        f[0].c_str(), own);
                ok = false;
            }
        if (!list_name_ok(f[1].c_str(), 1)) {
            fprintf(stderr, "%s:%u: %s is not a relative path below the Builder folder\n", path.c_str(),
                    number, f[1].c_str());
            ok = false;
        }
        parts.push_back({number, f[0], f[1], f[2], f[3], f[4], f.size() == 6});
    }
    for (size_t i = 0; i < parts.size(); ++i)
        for (size_t k = 0; k < i; ++k)
            if (windows_key(parts[i].asset) == windows_key(parts[k].asset)) {
                fprintf(stderr, "%s:%u: the asset %s is named twice\n", path.c_str(), parts[i].line,
                        parts[i].asset.c_str());
                ok = false;
            }
    if (ok && parts.empty()) {
        fprintf(stderr, "%s: no part lines\n", path.c_str());
        ok = false;
    }
    return ok;
}

std::string escaped(const std::string& name) {
    std::string out;
    for (char c : name) {
        if (c == '+') out += "%2B";  // kept literal by the name rule otherwise
        else out += c;
    }
    return out;
}

}  // namespace

namespace {

// The options of `make`, read and judged; 0, or the exit code after a message.
struct make_request {
    options given;
    unsigned long long serial;
    std::string builder, host, tag, out, run;
};

int make_options(int argc, char** argv, make_request& r) {
    options& o = r.given;
    if (!parse_options(argc, argv, {"builder", "parts", "host", "tag", "out", "run", "key", "serial"}, {"no-check"}, o))
        return 2;
    for (const char* need : {"builder", "parts", "host", "tag", "out"})
        if (!o.get(need)) {
            fprintf(stderr, "stonewake-release make: --%s is needed\n", need);
            return 2;
        }
    if (!o.positional.empty()) {
        fprintf(stderr, "stonewake-release make: unexpected %s\n", o.positional[0].c_str());
        return 2;
    }
    if (o.get("serial") && !o.get("key")) {
        fprintf(stderr, "stonewake-release make: --serial is that of the signature: it needs --key\n");
        return 2;
    }
    if (!serial_option(o, r.serial)) return 2;
    r.builder = o.value("builder");
    r.host = o.value("host");
    r.tag = o.value("tag");
    r.out = o.value("out");
    r.run = o.get("run") ? o.value("run") : kDefaultRun;
    if (r.host.empty() || r.host.find_first_of("/ \t\r\n?#@\\") != std::string::npos) {
        fprintf(stderr, "stonewake-release make: --host is a host name, optionally with :port\n");
        return 2;
    }
    if (!list_name_ok(r.tag.c_str(), 0) || !list_name_ok(r.run.c_str(), 1)) {
        fprintf(stderr, "stonewake-release make: the setup does not accept the tag %s or the run path %s\n",
                r.tag.c_str(), r.run.c_str());
        return 1;
    }
    return 0;
}

// One part's zip in `out`: its line in the list, its section in the index.
bool make_part(const make_request& r, const part_line& p, const std::string& base, std::string& list,
               std::string& index) {
    std::string zip = r.out + "/" + p.asset, sha256, bytes;
    unsigned long long size = 0;
    if (!zip_write(r.builder + "/" + p.source, zip, p.store)) return false;
    if (!file_digest(zip, sha256, size) || !read_file(zip, bytes)) {
        tool_error("cannot read %s", zip.c_str());
        return false;
    }
    list += "part " + sha256 + " " + std::to_string(size) + " " + p.dir + " " + p.from + " " + p.to + " " + base +
            escaped(p.asset) + "\n";
    std::vector<index_entry> entries;
    int indexed;
    {
        fault_scope faults(stderr, "stonewake-release make: cannot index " + zip + ": ");
        indexed = index_zip(bytes, entries);
    }
    if (indexed == ZIP_INDEX_BROKEN) return false;
    if (indexed == ZIP_INDEXED) index += index_section(sha256, entries);
    else tool_error("%s needs zip64, so the index leaves it out: an update downloads it whole", p.asset.c_str());
    return true;
}

// The index and the list (signed with --key) in `out`; false after a message.
bool make_list(const make_request& r, const std::string& base, std::string& list, const std::string& index,
               list_key& public_key) {
    std::string index_path = r.out + "/" + kIndex, index_sha256;
    unsigned long long index_size = 0;
    if (!write_file(index_path, index) || !file_digest(index_path, index_sha256, index_size)) {
        tool_error("cannot write %s", index_path.c_str());
        return false;
    }
    list += "index " + index_sha256 + " " + std::to_string(index_size) + " " + base + kIndex + "\n";
    if (r.given.get("key") && !sign_list_body(std::string(list), r.given.value("key"), r.serial, list, public_key))
        return false;
    std::string list_path = r.out + "/" + kSetupList;
    if (!write_file(list_path, list)) {
        tool_error("cannot write %s", list_path.c_str());
        return false;
    }
    return true;
}

}  // namespace

int cmd_make(int argc, char** argv) {
    make_request r;
    int refused = make_options(argc, argv, r);
    if (refused) return refused;
    std::vector<part_line> parts;
    if (!read_parts(r.given.value("parts"), parts)) return 1;

    // Zip times are DOS local times: fix the zone so they do not depend on the machine.
    setenv("TZ", "UTC", 1);
    tzset();
    fault_scope faults(stderr, "stonewake-release make: ");
    if (!make_folders(r.out)) {
        tool_error("cannot make the folder %s", r.out.c_str());
        return 1;
    }
    const std::string base = "https://" + r.host + "/" + kRepository + "/releases/download/" + escaped(r.tag) + "/";
    std::string list = "tag " + r.tag + "\nrun " + r.run + "\n", index = "tarnwick-index 1\n";
    for (const part_line& p : parts)
        if (!make_part(r, p, base, list, index)) return 1;
    std::vector<list_key> keys(1);  // the signing key's own public key, for the check
    if (!make_list(r, base, list, index, keys[0])) return 1;
    if (r.given.has("no-check")) return 0;
    return check_release(r.out + "/" + kSetupList, r.out, "", "", r.given.get("key") ? &keys : nullptr);
}
