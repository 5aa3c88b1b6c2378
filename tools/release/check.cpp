// `check`: everything the setup would refuse or fail on in a release, found
// before the release is published.
#include "tool.h"

#include <cstdio>
#include <memory>
#include <set>

namespace {

struct Report {
    unsigned problems = 0;
    void say(const std::string& where, const std::string& text) {
        printf("%s: %s\n", where.c_str(), text.c_str());
        ++problems;
    }
};

std::string part_label(unsigned index, unsigned count, const part_record& part) {
    return "part " + std::to_string(index + 1) + " of " + std::to_string(count) + " (" + archive_name(part) + ")";
}

std::string folder_of(const part_record& part) {
    char folder[LIST_NAME_CAP];
    return part_folder_bytes(&part, folder) ? windows_key(folder) : "";
}

// Fetches or finds a part's archive; returns its path ("" after a report).
std::string archive_path(const part_record& part, const std::string& label, const std::string& parts_dir,
                         const std::string& cacert, std::unique_ptr<TempFile>& temp, Report& report) {
    if (!parts_dir.empty()) {
        std::string name = archive_name(part);
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
            report.say(label, "its address does not end in a file name");
            return "";
        }
        std::string path = parts_dir + "/" + name;
        FILE* f = fopen(path.c_str(), "rb");
        if (!f) {
            report.say(label, "missing: " + path + " cannot be read");
            return "";
        }
        fclose(f);
        return path;
    }
    std::string error;
    temp.reset(new TempFile);
    if (temp->path.empty() || !fetch_to_file(part.url, cacert, temp->path, error)) {
        report.say(label, "cannot be downloaded from " + std::string(part.url) + ": " +
                                (error.empty() ? "no temporary file" : error));
        return "";
    }
    return temp->path;
}

// One part: digest, size, entries, the `from` entry; its entries go into the layout.
bool check_part(const part_record& part, const std::string& label, const std::string& path, Layout& layout,
                Report& report) {
    std::string sha256, error;
    unsigned long long size = 0;
    if (!file_digest(path, sha256, size)) {
        report.say(label, "cannot read " + path);
        return false;
    }
    if (size != part.size)
        report.say(label, "is " + std::to_string(size) + " bytes, the list says " + std::to_string(part.size));
    if (sha256 != part.sha256) report.say(label, "has the SHA-256 " + sha256 + ", the list says " + part.sha256);
    std::vector<ZipEntry> entries;
    if (!zip_list(path, entries, error)) {
        report.say(label, error);
        return false;
    }
    std::set<std::string> tops;
    unsigned escaping = 0;
    for (const ZipEntry& entry : entries) {
        std::string why = entry_escape(entry);
        if (!why.empty()) {
            if (++escaping <= 5) report.say(label, "the entry \"" + entry.name + "\" " + why);
            continue;
        }
        std::string key = windows_key(entry.name);
        size_t slash = key.find('\\');
        tops.insert(slash == std::string::npos ? key : key.substr(0, slash));
    }
    if (escaping > 5) report.say(label, std::to_string(escaping - 5) + " more entries would leave its folder");
    std::string from = part.from, to = part.to;
    if (from != "-" && to != "-" && !tops.count(windows_key(from)))
        report.say(label, "the \"from\" entry " + from + " is not at the top of its zip, so it cannot become " + to);
    layout.unpack(part, entries);
    return true;
}

// The tag in a tagged download address of the setup list (decoded), or "".
std::string address_tag(const std::string& url) {
    size_t host_end = url.find('/', 8);
    if (url.compare(0, 8, "https://") != 0 || host_end == std::string::npos) return "";
    std::string base = url.substr(0, host_end + 1);
    char repo[256], tag[256], asset[260];
    int has_tag = 0;
    if (!release_link_split(base.c_str(), url.c_str(), repo, tag, &has_tag, asset) || !has_tag) return "";
    part_record named = {};  // archive_name decodes the last component of a url
    snprintf(named.url, sizeof named.url, "%s", tag);
    return archive_name(named);
}

// What an update from `old` to `now` would take over from the installed version.
void print_reuse(const setup_list& old, const setup_list& now) {
    std::set<std::string> listed, folders;  // the old version's parts.txt, and its part folders
    for (unsigned i = 0; i < old.part_count; ++i) {
        std::string folder = folder_of(old.parts[i]);
        if (folder.empty()) continue;
        listed.insert(old.parts[i].sha256);
        folders.insert(folder);
    }
    bool same = std::string(old.tag) == now.tag;
    unsigned reused = 0;
    for (unsigned i = 0; i < now.part_count; ++i) {
        const part_record& part = now.parts[i];
        std::string folder = folder_of(part);
        const char* why = nullptr;
        if (same) why = "downloaded (the same tag is reinstalled)";
        else if (folder.empty()) why = "downloaded (no part folder)";
        else if (!listed.count(part.sha256)) why = "downloaded (changed)";
        else if (!folders.count(folder)) why = "downloaded (its folder is not in the installed version)";
        if (!why) ++reused;
        printf("%s: %s\n", part_label(i, now.part_count, part).c_str(),
               why ? why : ("reused from " + std::string(old.tag)).c_str());
    }
    printf("an update from %s reuses %u of %u parts\n", old.tag, reused, now.part_count);
}

}  // namespace

int check_release(const std::string& where, const std::string& parts_dir, const std::string& previous,
                  const std::string& cacert) {
    Report report;
    std::string body, error;
    if (!load_text(where, cacert, body, error)) {
        report.say(where, error);
        return 1;
    }
    std::unique_ptr<setup_list> list(new setup_list);
    std::vector<ListFinding> findings;
    int verdict = judge_list(body, *list, findings);
    for (const ListFinding& f : findings)
        report.say(f.line ? where + ":" + std::to_string(f.line) : where, f.text);
    if (verdict != LIST_OK) {
        printf("refused: the setup does not accept %s\n", where.c_str());
        return 1;
    }

    // A setup started with --tag compares the list's own tag with the one it asked for.
    std::string asked = address_tag(where);
    if (!asked.empty() && asked != "nightly" && asked != list->tag)
        report.say(where, "the list served for " + asked + " says tag " + list->tag +
                              ": a setup started with --tag " + asked + " refuses it");

    Layout layout;
    bool all_read = true;
    unsigned long long total = 0;
    for (unsigned i = 0; i < list->part_count; ++i) {
        const part_record& part = list->parts[i];
        std::string label = part_label(i, list->part_count, part);
        std::unique_ptr<TempFile> temp;  // only for a part that is downloaded
        std::string path = archive_path(part, label, parts_dir, cacert, temp, report);
        all_read = !path.empty() && check_part(part, label, path, layout, report) && all_read;
        total += part.size;
    }
    for (unsigned i = 0; i < list->part_count; ++i) {
        char folder[LIST_NAME_CAP];
        if (!part_folder_bytes(&list->parts[i], folder)) continue;
        for (unsigned k = 0; k < i; ++k)
            if (windows_key(folder) == folder_of(list->parts[k])) {
                report.say(part_label(i, list->part_count, list->parts[i]),
                           std::string("maps to the part folder ") + folder + " of part " + std::to_string(k + 1) +
                               ": an update cannot take both over");
                break;
            }
    }
    std::string missing;
    if (all_read && !layout.builder_ready(list->run, missing))
        report.say(where, missing.empty() ? std::string("the Builder's path ") + list->run + " is too long"
                                          : "the Builder is incomplete once the parts are laid out: " + missing +
                                                " is missing or empty");

    if (!previous.empty()) {
        std::string old_body;
        std::unique_ptr<setup_list> old(new setup_list);
        std::vector<ListFinding> ignored;
        if (!load_text(previous, cacert, old_body, error)) report.say(previous, error);
        else if (judge_list(old_body, *old, ignored) != LIST_OK)
            report.say(previous, "the setup does not accept this list, so nothing can be reused from it");
        else
            print_reuse(*old, *list);
    }
    if (report.problems) {
        printf("refused: %u problem%s in %s\n", report.problems, report.problems == 1 ? "" : "s", where.c_str());
        return 1;
    }
    printf("ok: %s: release %s, %u part%s, %llu bytes; the setup accepts it\n", where.c_str(), list->tag,
           list->part_count, list->part_count == 1 ? "" : "s", total);
    return 0;
}

int cmd_check(int argc, char** argv) {
    Options o;
    if (!parse_options(argc, argv, {"parts", "previous", "cacert"}, {}, o)) return 2;
    if (o.positional.size() != 1) {
        fprintf(stderr, "usage: stonewake-release check LIST [--parts DIR] [--previous OLDLIST] [--cacert FILE]\n");
        return 2;
    }
    auto value = [&](const char* name) { return o.get(name) ? *o.get(name) : std::string(); };
    return check_release(o.positional[0], value("parts"), value("previous"), value("cacert"));
}
