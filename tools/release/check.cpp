// `check`: everything the setup would refuse or fail on in a release, found
// before the release is published.
#include "tool.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>

namespace {

// The problems of a release: each told as "<where>: <text>" on stdout.
struct check_report {
    unsigned problems;
    void say(const std::string& where, const std::string& text) {
        printf("%s: %s\n", where.c_str(), text.c_str());
        ++problems;
    }
};

// While it lives, a fault found below is a problem of the release at `where`.
class problems_at : public fault_scope {
  public:
    problems_at(check_report& report, const std::string& where) : fault_scope(stdout, where + ": "), report_(report) {}
    ~problems_at() { report_.problems += told(); }

  private:
    check_report& report_;
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
                         const std::string& cacert, std::unique_ptr<temp_file>& temp, check_report& report) {
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
    temp.reset(new temp_file);
    std::string from = label + ": cannot be downloaded from " + part.url;
    if (temp->path.empty()) {
        report.say(from, "no temporary file");
        return "";
    }
    problems_at faults(report, from);
    return fetch_to_file(part.url, cacert, temp->path) ? temp->path : "";
}

// One part: digest, size, entries, the `from` entry; its entries go into the layout.
bool check_part(const part_record& part, const std::string& label, const std::string& path,
                version_layout& layout, check_report& report) {
    std::string sha256;
    unsigned long long size = 0;
    if (!file_digest(path, sha256, size)) {
        report.say(label, "cannot read " + path);
        return false;
    }
    if (size != part.size)
        report.say(label, "is " + std::to_string(size) + " bytes, the list says " + std::to_string(part.size));
    if (sha256 != part.sha256) report.say(label, "has the SHA-256 " + sha256 + ", the list says " + part.sha256);
    std::vector<zip_entry> entries;
    problems_at faults(report, label);
    if (!zip_list(path, entries)) return false;
    std::set<std::string> tops;
    unsigned escaping = 0;
    for (const zip_entry& entry : entries) {
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

// The list's "index <sha256> <size> <https address>" line, as a part_record
// (sha256, size, url); line 0 when the list has none. A malformed or second
// index line is reported.
struct index_line_found {
    unsigned line;
    part_record where;
};

bool index_line_form(const std::string& text, part_record& out) {
    return text.find('\0') == std::string::npos && index_line_read(text.c_str(), &out);
}

index_line_found index_line_of(const std::string& body, const std::string& where, check_report& report) {
    index_line_found found = {};
    for (const text_line& line : text_lines(body.substr(0, strlen(body.c_str())))) {
        if (line.text.compare(0, 6, "index ") != 0) continue;
        std::string at = where + ":" + std::to_string(line.number);
        if (found.line) report.say(at, "a second index line (the first is on line " + std::to_string(found.line) + ")");
        else if (!index_line_form(line.text, found.where))
            report.say(at, "not an index line (index <sha256> <size> <https address>): " + shown(line.text));
        else found.line = line.number;
    }
    return found;
}

// The index that `line` names, with its digest and size checked; false after a report.
bool load_index(const part_record& line, const std::string& label, const std::string& parts_dir,
                const std::string& cacert, std::string& index, check_report& report) {
    std::unique_ptr<temp_file> temp;
    std::string path = archive_path(line, label, parts_dir, cacert, temp, report), sha256;
    unsigned long long size = 0;
    if (path.empty()) return false;
    if (!file_digest(path, sha256, size) || !read_file(path, index)) {
        report.say(label, "cannot read " + path);
        return false;
    }
    if (size != line.size)
        report.say(label, "is " + std::to_string(size) + " bytes, the list says " + std::to_string(line.size));
    if (sha256 != line.sha256) report.say(label, "has the SHA-256 " + sha256 + ", the list says " + line.sha256);
    return size == line.size && sha256 == line.sha256;
}

// Why the setup refuses line `number` of the index, when its entry's name tells.
std::string refused_line(const std::string& index, size_t number) {
    size_t start = 0;
    for (size_t n = 1; n < number && start != std::string::npos; ++n) {
        start = index.find('\n', start);
        if (start != std::string::npos) ++start;
    }
    if (start == std::string::npos) return "";
    std::string line = index.substr(start, index.find('\n', start) - start);
    size_t name = 0;
    for (int blanks = 0; blanks < 11 && name != std::string::npos; ++blanks) {
        name = line.find(' ', name);
        if (name != std::string::npos) ++name;
    }
    zip_entry entry = {};
    if (name != std::string::npos && (line[0] == 'f' || line[0] == 'd')) entry.name = line.substr(name);
    std::string why = entry.name.empty() ? "" : entry_escape(entry);
    return why.empty() ? ": " + shown(line) : ": the entry \"" + shown(entry.name) + "\" " + why;
}

std::string differences(const index_entry& listed, const index_entry& real) {
    std::string out;
    auto note = [&](bool same, const char* what) {
        if (!same) out += (out.empty() ? "" : ", ") + std::string(what);
    };
    note(listed.name_length == real.name_length && memcmp(listed.name, real.name, real.name_length) == 0, "name");
    note(listed.folder == real.folder, "kind");
    note(listed.offset == real.offset && listed.length == real.length, "range");
    note(listed.method == real.method && listed.flags == real.flags, "method or flags");
    note(listed.crc32 == real.crc32, "CRC-32");
    note(listed.time == real.time && listed.date == real.date, "time");
    note(listed.compressed == real.compressed && listed.size == real.size, "sizes");
    note(strcmp(listed.sha256, real.sha256) == 0, "SHA-256");
    return out;
}

// The part's index entries against its zip's real bytes.
void check_part_index(const part_record& part, const std::string& label, const std::string& path,
                      const std::string& index, const std::string& index_label, std::set<size_t>& refused,
                      check_report& report) {
    std::string zip;
    std::vector<index_entry> real, listed;
    size_t bad_line = 0;
    int verdict = index_entries(index, part, listed, bad_line);
    if (verdict == INDEX_MALFORMED) {
        if (refused.insert(bad_line).second)
            report.say(index_label + ":" + std::to_string(bad_line),
                       "the setup refuses this line of the index" + refused_line(index, bad_line));
        return;
    }
    if (!read_file(path, zip)) return report.say(label, "cannot read " + path);
    int outcome;
    if (verdict == INDEX_NO_PART) {
        fault_scope quiet(nullptr, "");  // only a part the index lists is judged by it
        if (index_zip(zip, real) != ZIP_INDEX_WIDE) report.say(label, "is not in the index");
        return;
    }
    {
        problems_at faults(report, label + ": cannot be indexed");
        outcome = index_zip(zip, real);
    }
    if (outcome == ZIP_INDEX_WIDE) return report.say(label, "cannot be indexed: it needs zip64");
    if (outcome != ZIP_INDEXED) return;
    if (listed.size() != real.size())
        report.say(label, "the index lists " + std::to_string(listed.size()) + " entries, its zip holds " +
                              std::to_string(real.size()));
    unsigned wrong = 0;
    for (size_t i = 0; i < listed.size() && i < real.size(); ++i) {
        std::string what = differences(listed[i], real[i]);
        if (!what.empty() && ++wrong <= 5)
            report.say(label, "the index entry \"" + shown(std::string(listed[i].name, listed[i].name_length)) +
                                  "\" differs from its zip: " + what);
    }
    if (wrong > 5) report.say(label, std::to_string(wrong - 5) + " more index entries differ from its zip");
}

// What the delta road fetches of a part: the records of the entries that the
// installed version lacks, planned as the setup plans them.
struct delta_fetch {
    bool known;
    range_plan plan;
};

std::vector<delta_fetch> deltas_of(const setup_list& old, const std::string& old_index, const setup_list& now,
                             const std::string& index) {
    std::map<std::string, std::string> installed;  // the version's files (SHA-256 and size) and folders ("/")
    std::vector<index_entry> entries;
    size_t bad = 0;
    auto what = [](const index_entry& e) {
        return e.folder ? std::string("/") : std::string(e.sha256) + " " + std::to_string(e.size);
    };
    for (unsigned i = 0; i < old.part_count; ++i)
        if (index_entries(old_index, old.parts[i], entries, bad) == INDEX_OK)
            for (const index_entry& e : entries)
                installed[version_key(old.parts[i], std::string(e.name, e.name_length))] = what(e);
    std::vector<delta_fetch> out(now.part_count, delta_fetch());
    for (unsigned i = 0; i < now.part_count; ++i) {
        if (index_entries(index, now.parts[i], entries, bad) != INDEX_OK) continue;
        delta_fetch& d = out[i];
        d.known = true;
        for (const index_entry& e : entries) {
            auto have = installed.find(version_key(now.parts[i], std::string(e.name, e.name_length)));
            if (have == installed.end() || have->second != what(e)) range_plan_add(&d.plan, e.offset, e.length);
        }
    }
    return out;
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
// With `deltas`, also what the delta road fetches for each part downloaded.
void print_reuse(const setup_list& old, const setup_list& now, const std::vector<delta_fetch>* deltas) {
    std::set<std::string> listed, folders;  // the old version's parts.txt, and its part folders
    for (unsigned i = 0; i < old.part_count; ++i) {
        std::string folder = folder_of(old.parts[i]);
        if (folder.empty()) continue;
        listed.insert(old.parts[i].sha256);
        folders.insert(folder);
    }
    bool same = std::string(old.tag) == now.tag;
    unsigned reused = 0;
    unsigned long long fetched = 0, downloaded = 0;
    for (unsigned i = 0; i < now.part_count; ++i) {
        const part_record& part = now.parts[i];
        std::string folder = folder_of(part);
        const char* why = nullptr;
        if (same) why = "downloaded (the same tag is reinstalled)";
        else if (folder.empty()) why = "downloaded (no part folder)";
        else if (!listed.count(part.sha256)) why = "downloaded (changed)";
        else if (!folders.count(folder)) why = "downloaded (its folder is not in the installed version)";
        if (!why) ++reused;
        std::string road;
        if (why && deltas) {
            const delta_fetch& d = (*deltas)[i];
            const range_plan& plan = d.plan;
            std::string ranges = std::to_string(plan.ranges) + (plan.ranges == 1 ? " range" : " ranges");
            std::string size = std::to_string(part.size);
            if (!d.known) road = ": the whole part, " + size + " bytes (not in the index)";
            else if (plan.ranges > DELTA_MAX_RANGES)
                road = ": the whole part, " + size + " bytes (the delta road would need " + ranges + ", more than " +
                       std::to_string(DELTA_MAX_RANGES) + ")";
            else if (!range_plan_worth(&plan, part.size))
                road = ": the whole part, " + size + " bytes (the delta road would fetch " +
                       std::to_string(plan.bytes) + " bytes in " + ranges + ", over half of it)";
            else road = ": the delta road fetches " + std::to_string(plan.bytes) + " of " + size + " bytes in " + ranges;
            fetched += d.known && range_plan_worth(&plan, part.size) ? plan.bytes : part.size;
            downloaded += part.size;
        }
        printf("%s: %s%s\n", part_label(i, now.part_count, part).c_str(),
               why ? why : ("reused from " + std::string(old.tag)).c_str(), road.c_str());
    }
    printf("an update from %s reuses %u of %u parts\n", old.tag, reused, now.part_count);
    if (deltas)
        printf("an update from %s fetches %llu bytes, %llu without the delta road\n", old.tag, fetched, downloaded);
}

// One release under check: what it is given and what it finds.
struct release_check {
    std::string where, parts_dir, cacert;
    const std::vector<list_key>* keys;
    check_report report;
    std::string body;
    std::unique_ptr<setup_list> list;
    unsigned long long serial;
    unsigned key_number;
    std::string index_label, index;  // the list's index, when `indexed`
    bool indexed;
};

// The list, loaded and judged as the setup judges it; false when refused.
bool list_accepted(release_check& c) {
    {
        problems_at faults(c.report, c.where);
        if (!load_text(c.where, c.cacert, c.body)) return false;
    }
    c.list.reset(new setup_list);
    std::vector<list_finding> findings;
    int verdict = judge_list(c.body, *c.list, findings);
    for (const list_finding& f : findings)
        c.report.say(f.line ? c.where + ":" + std::to_string(f.line) : c.where, f.text);
    if (verdict != LIST_OK) {
        printf("refused: the setup does not accept %s\n", c.where.c_str());
        return false;
    }
    // The setup with keys judges the signature after the list, before its tag.
    if (c.keys)
        for (const std::string& finding : list_signature_findings(c.body, *c.keys, c.serial, c.key_number))
            c.report.say(c.where, finding);

    // A setup started with --tag compares the list's own tag with the one it asked for.
    std::string asked = address_tag(c.where);
    if (!asked.empty() && asked != "nightly" && asked != c.list->tag)
        c.report.say(c.where, "the list served for " + asked + " says tag " + c.list->tag +
                                  ": a setup started with --tag " + asked + " refuses it");

    // The index, when the list names one; a list without it is checked as before.
    index_line_found index_line = index_line_of(c.body, c.where, c.report);
    c.index_label = "index (" + archive_name(index_line.where) + ")";
    c.indexed = index_line.line &&
                load_index(index_line.where, c.index_label, c.parts_dir, c.cacert, c.index, c.report);
    return true;
}

// Every part, its entries against the index, and the version they make.
void check_parts(release_check& c, unsigned long long& total) {
    const setup_list& list = *c.list;
    version_layout layout;
    std::set<size_t> refused_lines;
    bool all_read = true;
    for (unsigned i = 0; i < list.part_count; ++i) {
        const part_record& part = list.parts[i];
        std::string label = part_label(i, list.part_count, part);
        std::unique_ptr<temp_file> temp;  // only for a part that is downloaded
        std::string path = archive_path(part, label, c.parts_dir, c.cacert, temp, c.report);
        bool read = !path.empty() && check_part(part, label, path, layout, c.report);
        if (read && c.indexed) check_part_index(part, label, path, c.index, c.index_label, refused_lines, c.report);
        all_read = read && all_read;
        total += part.size;
    }
    for (unsigned i = 0; i < list.part_count; ++i) {
        char folder[LIST_NAME_CAP];
        if (!part_folder_bytes(&list.parts[i], folder)) continue;
        for (unsigned k = 0; k < i; ++k)
            if (windows_key(folder) == folder_of(list.parts[k])) {
                c.report.say(part_label(i, list.part_count, list.parts[i]),
                             std::string("maps to the part folder ") + folder + " of part " + std::to_string(k + 1) +
                                 ": an update cannot take both over");
                break;
            }
    }
    std::string missing;
    if (all_read && !layout.builder_ready(list.run, missing))
        c.report.say(c.where, missing.empty() ? std::string("the Builder's path ") + list.run + " is too long"
                                              : "the Builder is incomplete once the parts are laid out: " +
                                                    missing + " is missing or empty");
}

// What an update from the list at `previous` takes over, and, with both
// indexes, what the delta road fetches.
void check_previous(release_check& c, const std::string& previous) {
    std::string old_body;
    std::unique_ptr<setup_list> old(new setup_list);
    std::vector<list_finding> ignored;
    {
        problems_at faults(c.report, previous);
        if (!load_text(previous, c.cacert, old_body)) return;
    }
    if (judge_list(old_body, *old, ignored) != LIST_OK)
        return c.report.say(previous, "the setup does not accept this list, so nothing can be reused from it");
    if (!c.indexed) return print_reuse(*old, *c.list, nullptr);
    // The old release's index lies beside its list, or at its address.
    check_report old_report = {};
    index_line_found old_line = index_line_of(old_body, previous, old_report);
    size_t slash = previous.rfind('/');
    std::string old_index, beside = is_url(previous)             ? ""
                                     : slash == std::string::npos ? "."
                                                                  : previous.substr(0, slash + 1);
    bool have = old_line.line && !old_report.problems &&
                load_index(old_line.where, previous + ": its index", beside, c.cacert, old_index, c.report);
    if (!old_line.line || old_report.problems)
        printf("%s has no index: what the delta road would fetch is not known\n", previous.c_str());
    std::vector<delta_fetch> deltas;
    if (have) deltas = deltas_of(*old, old_index, *c.list, c.index);
    print_reuse(*old, *c.list, have ? &deltas : nullptr);
}

}  // namespace

int check_release(const std::string& where, const std::string& parts_dir, const std::string& previous,
                  const std::string& cacert, const std::vector<list_key>* keys) {
    release_check c;
    c.where = where;
    c.parts_dir = parts_dir;
    c.cacert = cacert;
    c.keys = keys;
    c.report = {};
    c.serial = 0;
    c.key_number = 0;
    c.indexed = false;
    if (!list_accepted(c)) return 1;
    unsigned long long total = 0;
    check_parts(c, total);
    if (!previous.empty()) check_previous(c, previous);
    const setup_list& list = *c.list;
    unsigned problems = c.report.problems;
    if (problems) {
        printf("refused: %u problem%s in %s\n", problems, problems == 1 ? "" : "s", where.c_str());
        return 1;
    }
    std::string signing = keys ? ", serial " + std::to_string(c.serial) + " signed by key " +
                                     std::to_string(c.key_number) + " of " + std::to_string(keys->size())
                               : "";
    printf("ok: %s: release %s, %u part%s, %llu bytes%s; the setup accepts it\n", where.c_str(), list.tag,
           list.part_count, list.part_count == 1 ? "" : "s", total, signing.c_str());
    return 0;
}

int cmd_check(int argc, char** argv) {
    options o;
    if (!parse_options(argc, argv, {"parts", "previous", "cacert", "keys"}, {}, o)) return 2;
    if (o.positional.size() != 1) {
        fprintf(stderr, "usage: stonewake-release check LIST [--parts DIR] [--previous OLDLIST] [--cacert FILE] "
                        "[--keys KEYS]\n");
        return 2;
    }
    std::vector<list_key> keys;
    if (o.get("keys") && !read_list_keys(*o.get("keys"), keys)) return 2;
    return check_release(o.positional[0], o.value("parts"), o.value("previous"), o.value("cacert"),
                         o.get("keys") ? &keys : nullptr);
}
