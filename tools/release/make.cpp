// `make`: each part a deterministic zip, its digest and size, the index of
// every part's entries, and the setup list that names them, signed with
// --key; then the release is checked as `check` would.
#include "tool.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

struct PartLine {
    unsigned line;
    std::string asset, source, dir, from, to;
    bool store = false;
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
bool read_parts(const std::string& path, std::vector<PartLine>& parts) {
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

int cmd_make(int argc, char** argv) {
    Options o;
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
    unsigned long long serial = 0;
    if (o.get("serial") && !o.get("key")) {
        fprintf(stderr, "stonewake-release make: --serial is that of the signature: it needs --key\n");
        return 2;
    }
    if (!serial_option(o, serial)) return 2;
    const std::string builder = *o.get("builder"), host = *o.get("host"), tag = *o.get("tag"),
                      out = *o.get("out");
    const std::string run = o.get("run") ? *o.get("run") : kDefaultRun;
    if (host.empty() || host.find_first_of("/ \t\r\n?#@\\") != std::string::npos) {
        fprintf(stderr, "stonewake-release make: --host is a host name, optionally with :port\n");
        return 2;
    }
    if (!list_name_ok(tag.c_str(), 0) || !list_name_ok(run.c_str(), 1)) {
        fprintf(stderr, "stonewake-release make: the setup does not accept the tag %s or the run path %s\n",
                tag.c_str(), run.c_str());
        return 1;
    }
    std::vector<PartLine> parts;
    if (!read_parts(*o.get("parts"), parts)) return 1;

    // Zip times are DOS local times: fix the zone so they do not depend on the machine.
    setenv("TZ", "UTC", 1);
    tzset();
    if (!make_folders(out)) {
        fprintf(stderr, "stonewake-release make: cannot make the folder %s\n", out.c_str());
        return 1;
    }
    const std::string base = "https://" + host + "/" + kRepository + "/releases/download/" + escaped(tag) + "/";
    std::string list = "tag " + tag + "\nrun " + run + "\n", index = "tarnwick-index 1\n";
    for (const PartLine& p : parts) {
        std::string zip = out + "/" + p.asset, error, sha256, bytes;
        unsigned long long size = 0;
        if (!zip_write(builder + "/" + p.source, zip, p.store, error) || !file_digest(zip, sha256, size) ||
            !read_file(zip, bytes)) {
            fprintf(stderr, "stonewake-release make: %s\n", error.empty() ? ("cannot read " + zip).c_str() : error.c_str());
            return 1;
        }
        list += "part " + sha256 + " " + std::to_string(size) + " " + p.dir + " " + p.from + " " + p.to + " " +
                base + escaped(p.asset) + "\n";
        std::vector<index_entry> entries;
        IndexOutcome indexed = index_zip(bytes, entries, error);
        if (indexed == IndexOutcome::broken) {
            fprintf(stderr, "stonewake-release make: cannot index %s: %s\n", zip.c_str(), error.c_str());
            return 1;
        }
        if (indexed == IndexOutcome::ok) index += index_section(sha256, entries);
        else fprintf(stderr, "stonewake-release make: %s needs zip64, so the index leaves it out: an update downloads it whole\n", p.asset.c_str());
    }
    std::string index_path = out + "/" + kIndex, index_sha256;
    unsigned long long index_size = 0;
    if (!write_file(index_path, index) || !file_digest(index_path, index_sha256, index_size)) {
        fprintf(stderr, "stonewake-release make: cannot write %s\n", index_path.c_str());
        return 1;
    }
    list += "index " + index_sha256 + " " + std::to_string(index_size) + " " + base + kIndex + "\n";
    std::vector<ListKey> keys(1);  // the signing key's own public key, for the check
    std::string error;
    if (o.get("key") && !sign_list_body(std::string(list), *o.get("key"), serial, list, keys[0], error)) {
        fprintf(stderr, "stonewake-release make: %s\n", error.c_str());
        return 1;
    }
    std::string list_path = out + "/" + kSetupList;
    if (!write_file(list_path, list)) {
        fprintf(stderr, "stonewake-release make: cannot write %s\n", list_path.c_str());
        return 1;
    }
    if (o.has("no-check")) return 0;
    return check_release(list_path, out, "", "", o.get("key") ? &keys : nullptr);
}
