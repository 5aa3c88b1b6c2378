// A version folder as the setup would assemble it from the parts: what tar
// unpacks where, then the rename of the top entry, then the completeness rule.
#include "tool.h"

namespace {

std::string join(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + "\\" + name;
}

struct probe_state {
    const std::map<std::string, bool>* files;
    std::string missing;
};

}  // namespace

std::string windows_key(const std::string& path) {
    std::string out;
    bool separator = true;  // drops leading, doubled and trailing separators
    for (char c : path) {
        if (c == '/' || c == '\\') {
            if (!separator) out += '\\';
            separator = true;
            continue;
        }
        separator = false;
        out += (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    }
    if (!out.empty() && out.back() == '\\') out.pop_back();
    return out;
}

void version_layout::put(const std::string& key, bool folder, unsigned long long size) {
    for (size_t slash = key.find('\\'); slash != std::string::npos; slash = key.find('\\', slash + 1))
        nodes_[key.substr(0, slash)] = node{true, 0};
    nodes_[key] = node{folder, size};
}

namespace {

std::string dest_of(const part_record& part) { return std::string(part.dir) == "." ? "" : windows_key(part.dir); }

// An entry's path below its part's dir; "." components unpack in place.
std::string kept_of(const std::string& entry_name) {
    std::string name = windows_key(entry_name), kept, component;
    for (size_t i = 0; i <= name.size(); ++i) {
        if (i < name.size() && name[i] != '\\') {
            component += name[i];
            continue;
        }
        if (!component.empty() && component != ".") kept = join(kept, component);
        component.clear();
    }
    return kept;
}

}  // namespace

std::string version_key(const part_record& part, const std::string& entry_name) {
    std::string kept = kept_of(entry_name), from = part.from, to = part.to;
    if (from != "-" && to != "-") {
        std::string top = kept.substr(0, kept.find('\\'));
        if (top == windows_key(from)) kept = windows_key(to) + kept.substr(top.size());
    }
    return kept.empty() ? "" : join(dest_of(part), kept);
}

void version_layout::unpack(const part_record& part, const std::vector<zip_entry>& entries) {
    std::string dest = dest_of(part);
    if (!dest.empty()) put(dest, true, 0);
    for (const zip_entry& entry : entries) {
        if (!entry_escape(entry).empty()) continue;
        std::string kept = kept_of(entry.name);
        if (!kept.empty()) put(join(dest, kept), entry.folder, entry.size);
    }
    std::string from = part.from, to = part.to;
    if (from == "-" || to == "-") return;
    std::string source = join(dest, windows_key(from)), target = join(dest, windows_key(to));
    if (has(target) || !has(source)) return;
    std::map<std::string, node> moved;
    for (auto it = nodes_.begin(); it != nodes_.end();) {
        const std::string& key = it->first;
        if (key == source || key.compare(0, source.size() + 1, source + "\\") == 0) {
            moved[target + key.substr(source.size())] = it->second;
            it = nodes_.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& kv : moved) put(kv.first, kv.second.folder, kv.second.size);
}

bool version_layout::has(const std::string& path) const { return nodes_.count(windows_key(path)) != 0; }

bool version_layout::builder_ready(const std::string& run, std::string& missing) const {
    std::map<std::string, bool> files;  // non-empty files
    for (auto& kv : nodes_)
        if (!kv.second.folder && kv.second.size > 0) files[kv.first] = true;
    std::wstring exe = L"\\";
    for (char c : run) exe += (c == '/') ? L'\\' : (wchar_t)(unsigned char)c;
    probe_state probe{&files, ""};
    auto present = [](const wchar_t* path, void* context) -> int {
        probe_state* p = static_cast<probe_state*>(context);
        std::string narrow;
        for (const wchar_t* c = path + 1; *c; ++c) narrow += (char)*c;
        if (p->files->count(windows_key(narrow))) return 1;
        for (char& c : narrow)
            if (c == '\\') c = '/';
        p->missing = narrow;
        return 0;
    };
    int ready = builder_ready_with(exe.c_str(), present, &probe);
    missing = probe.missing;
    return ready != 0;
}
