// The Windows side of installing, against real files in a fresh temporary
// folder per test: the completeness check, the record files, the copy of a
// part's tree, a part put in place, the delta road's plan, and tar's command
// line.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "install/changes.h"
#include "setup.h"
#include "temp_dir.h"
#include "base/base.h"
#include "install/install.h"

using namespace testutil;

namespace {

const wchar_t* const kRequired[] = {
    L"StonewakeBuilder.dll",       L"StonewakeBuilder.deps.json", L"StonewakeBuilder.runtimeconfig.json",
    L"hostfxr.dll",                L"hostpolicy.dll",             L"coreclr.dll",
    L"System.Private.CoreLib.dll", L"WindowsBase.dll",            L"PresentationCore.dll",
    L"PresentationFramework.dll",  L"PresentationNative_cor3.dll", L"wpfgfx_cor3.dll"};

class TempFolder : public testing::Test {
protected:
    TempDir temp;
    const std::wstring root = temp.path();

    // A new folder below the test's folder whose path is exactly `length` long.
    std::wstring Deep(const std::wstring& label, size_t length) {
        std::wstring path = path_of_length(root + L"\\" + label, length);
        make_dirs(path);
        EXPECT_TRUE(is_folder(path));
        return path;
    }
    static void Builder(const std::wstring& folder, const std::wstring& exe) {
        ASSERT_TRUE(write_file(folder + L"\\" + exe, "MZ"));
        for (const wchar_t* name : kRequired) ASSERT_TRUE(write_file(folder + L"\\" + name, "x"));
    }
};

typedef TempFolder BuilderReady;

}  // namespace

TEST_F(BuilderReady, EachFileMustBeANonEmptyFile) {
    Builder(root, L"StonewakeBuilder.exe");
    const std::wstring exe = root + L"\\StonewakeBuilder.exe";
    ASSERT_EQ(1, builder_ready(exe.c_str()));
    std::vector<std::wstring> names(kRequired, kRequired + 12);
    names.push_back(L"StonewakeBuilder.exe");
    for (const std::wstring& name : names) {
        const std::wstring path = root + L"\\" + name;
        SCOPED_TRACE(testing::PrintToString(name));
        ASSERT_TRUE(DeleteFileW(path.c_str()));
        EXPECT_EQ(0, builder_ready(exe.c_str())) << "missing";
        ASSERT_TRUE(write_file(path, ""));
        EXPECT_EQ(0, builder_ready(exe.c_str())) << "empty";
        ASSERT_TRUE(DeleteFileW(path.c_str()));
        ASSERT_TRUE(CreateDirectoryW(path.c_str(), 0));
        EXPECT_EQ(0, builder_ready(exe.c_str())) << "folder";
        ASSERT_TRUE(RemoveDirectoryW(path.c_str()));
        ASSERT_TRUE(write_file(path, "y"));
        EXPECT_EQ(1, builder_ready(exe.c_str())) << "restored";
    }
}

TEST_F(BuilderReady, PathForms) {
    Builder(root, L"StonewakeBuilder.exe");
    // Without any '\': 0, even with the file in the current folder.
    wchar_t before[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, before);
    ASSERT_TRUE(SetCurrentDirectoryW(root.c_str()));
    EXPECT_EQ(0, builder_ready(L"StonewakeBuilder.exe"));
    std::wstring slashed = root + L"\\StonewakeBuilder.exe";
    for (wchar_t& c : slashed)
        if (c == L'\\') c = L'/';
    EXPECT_EQ(0, builder_ready(slashed.c_str()));
    SetCurrentDirectoryW(before);
    // The folder part with its '\' and the longest companion name, 35
    // characters, must come to at most 259, even when every file exists.
    for (size_t folder_part : {224u, 225u}) {
        std::wstring folder = Deep(L"f" + std::to_wstring(folder_part), folder_part - 1);
        Builder(folder, L"B.exe");
        EXPECT_EQ(folder_part == 224 ? 1 : 0, builder_ready((folder + L"\\B.exe").c_str())) << folder_part;
    }
    // An executable path of 260 characters or more.
    for (size_t length : {260u, 300u}) {
        std::wstring exe = Deep(L"e" + std::to_wstring(length), length - 6) + L"\\B.exe";
        ASSERT_TRUE(write_file(exe, "MZ"));
        EXPECT_EQ(0, builder_ready(exe.c_str())) << length;
    }
}

// A part record with the digest `digit` repeated.
static part_record Part(char digit, const char* dir, const char* from, const char* to, const char* url = "") {
    part_record p = {};
    memset(p.sha256, digit, 64);
    strcpy(p.dir, dir);
    strcpy(p.from, from);
    strcpy(p.to, to);
    strcpy(p.url, url);
    return p;
}

typedef TempFolder Records;

TEST_F(Records, WritePartsListsPartsWithAFolder) {
    part_record parts[] = {
        Part('a', "runtime/win", "", "engine", "https://h/engine.zip"),
        Part('b', ".", "", "-", "https://h/unknown-tool.zip"),  // no folder: no line
        Part('c', ".", "", "-", "https://h/StonewakeBuilder-python-3.12.zip"),
        Part('1', "lib", "", "-", "https://h/StonewakeBuilder-cpm-0.40.zip"),
    };
    const std::wstring txt = root + L"\\parts.txt";
    ASSERT_TRUE(write_file(txt, std::string(500, '#')));
    write_parts(root.c_str(), parts, 4);
    EXPECT_EQ(std::string(64, 'a') + "\n" + std::string(64, 'c') + "\n" + std::string(64, '1') + "\n",
              file_text(txt));
    // None with a folder, or none at all: an empty file.
    write_parts(root.c_str(), parts + 1, 1);
    EXPECT_EQ("", file_text(txt));
    ASSERT_TRUE(write_file(txt, "x"));
    write_parts(root.c_str(), parts, 0);
    EXPECT_EQ("", file_text(txt));

    part_record sixteen[16];
    std::string expected;
    for (int i = 0; i < 16; ++i) {
        sixteen[i] = Part("0123456789abcdef"[i], "d", "", "t", "https://h/x.zip");
        expected += std::string(64, "0123456789abcdef"[i]) + "\n";
    }
    write_parts(root.c_str(), sixteen, 16);
    EXPECT_EQ(1040u, file_text(txt).size());
    EXPECT_EQ(expected, file_text(txt));

    // "<version>\parts.txt" of 260 characters: nothing written, not even
    // through a shortened name.
    std::wstring version = Deep(L"v", 250);
    write_parts(version.c_str(), parts, 1);
    EXPECT_FALSE(exists(version + L"\\parts.txt"));
    EXPECT_FALSE(exists(version + L"\\parts.tx"));
}

TEST_F(Records, FirstLineRead) {
    struct Case { std::string content, line; } cases[] = {
        {"2.4.1", "2.4.1"},
        {"2.4.1\r\nmore\r\n", "2.4.1"},
        {"2.4.1\nmore", "2.4.1"},
        {"2.4.1\rmore", "2.4.1"},
        {"\r\n2.4.1", ""},
        {"", ""},
        {std::string(200, 'a'), std::string(127, 'a')},
        {std::string(127, 'b') + "\r\n", std::string(127, 'b')},
    };
    const std::wstring path = root + L"\\current.txt";
    char text[LIST_TAG_CAP];
    for (const Case& c : cases) {
        ASSERT_TRUE(write_file(path, c.content));
        memset(text, 'z', sizeof text);
        EXPECT_EQ(1, first_line_read(path.c_str(), text));
        EXPECT_EQ(c.line, text) << testing::PrintToString(c.content);
    }
    memset(text, 'z', sizeof text);
    EXPECT_EQ(0, first_line_read((root + L"\\missing.txt").c_str(), text));
    EXPECT_STREQ("", text);
    // A record write replaces the whole file; one that cannot be made is silent.
    ASSERT_TRUE(write_file(path, "a much longer old tag\r\nand a second line"));
    record_write(path.c_str(), "2.4.1", 5);
    EXPECT_EQ("2.4.1", file_text(path));
    EXPECT_FALSE(exists(root + L"\\current.new"));  // written beside it, then renamed over it
    record_write((root + L"\\no\\such.txt").c_str(), "x", 1);
    EXPECT_FALSE(exists(root + L"\\no"));
}

typedef TempFolder CopyTree;

TEST_F(CopyTree, CopiesFilesAndFolders) {
    const std::wstring src = root + L"\\src";
    const std::wstring dst = root + L"\\dst";
    const std::string binary("b\0i\0n\xff", 6);
    ASSERT_TRUE(write_file(src + L"\\a.txt", "alpha"));
    ASSERT_TRUE(write_file(src + L"\\empty.txt", ""));
    ASSERT_TRUE(write_file(src + L"\\sub\\b.bin", binary));
    make_dirs(src + L"\\sub\\deeper");
    ASSERT_EQ(1, copy_part_tree(src.c_str(), dst.c_str()));
    EXPECT_EQ("alpha", file_text(dst + L"\\a.txt"));
    EXPECT_EQ("", file_text(dst + L"\\empty.txt"));
    EXPECT_EQ(binary, file_text(dst + L"\\sub\\b.bin"));
    EXPECT_TRUE(is_folder(dst + L"\\sub\\deeper"));
    EXPECT_EQ("alpha", file_text(src + L"\\a.txt"));  // the source stays
    // Files are hard links where the volume allows them: no data is copied.
    auto links = [](const std::wstring& path) {
        HANDLE f = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               0, OPEN_EXISTING, 0, 0);
        BY_HANDLE_FILE_INFORMATION info = {};
        GetFileInformationByHandle(f, &info);
        CloseHandle(f);
        return info.nNumberOfLinks;
    };
    EXPECT_EQ(2u, links(dst + L"\\sub\\b.bin"));
    // An empty folder, and a single file.
    EXPECT_EQ(1, copy_part_tree((src + L"\\sub\\deeper").c_str(), (root + L"\\empty").c_str()));
    EXPECT_TRUE(is_folder(root + L"\\empty"));
    EXPECT_EQ(1, copy_part_tree((src + L"\\a.txt").c_str(), (root + L"\\one.txt").c_str()));
    EXPECT_EQ("alpha", file_text(root + L"\\one.txt"));
    // What exists already is never overwritten; a missing source copies nothing.
    ASSERT_TRUE(write_file(root + L"\\taken.txt", "old"));
    EXPECT_EQ(0, copy_part_tree((src + L"\\a.txt").c_str(), (root + L"\\taken.txt").c_str()));
    EXPECT_EQ("old", file_text(root + L"\\taken.txt"));
    make_dirs(root + L"\\there");
    EXPECT_EQ(0, copy_part_tree(src.c_str(), (root + L"\\there").c_str()));
    EXPECT_FALSE(exists(root + L"\\there\\a.txt"));
    EXPECT_EQ(0, copy_part_tree((root + L"\\missing").c_str(), (root + L"\\dst2").c_str()));
    EXPECT_FALSE(exists(root + L"\\dst2"));
}

TEST_F(CopyTree, PathLimits) {
    // A source folder of 258 characters or more cannot be searched.
    for (size_t length : {257u, 258u}) {
        std::wstring src = Deep(L"s" + std::to_wstring(length), length);
        EXPECT_EQ(length == 257 ? 1 : 0, copy_part_tree(src.c_str(), (root + L"\\d" + std::to_wstring(length)).c_str()))
            << length;
    }
    // A child whose source or destination path would pass 259 characters
    // (0 stands for a short path).
    struct Case { size_t src, dst, name; int ok; } cases[] = {
        {250, 0, 8, 1}, {250, 0, 9, 0}, {0, 250, 8, 1}, {0, 250, 9, 0}};
    int i = 0;
    for (const Case& c : cases) {
        std::wstring label = L"c" + std::to_wstring(i++);
        std::wstring src = c.src ? Deep(label + L"s", c.src) : Deep(label + L"s", root.size() + 4);
        std::wstring dst = c.dst ? Deep(label + L"t", c.dst - 2) + L"\\x" : root + L"\\" + label + L"x";
        const std::wstring name(c.name, L'n');
        ASSERT_TRUE(write_file(src + L"\\" + name, "child"));
        EXPECT_EQ(c.ok, copy_part_tree(src.c_str(), dst.c_str())) << c.src << " " << c.dst << " " << c.name;
        if (c.ok) {
            EXPECT_EQ("child", file_text(dst + L"\\" + name));
        }
    }
}

namespace {

// A tree written as text: blank-separated items, "a/" a folder, "a/b=text" a
// file (its folders made with it); "!" after the text makes the file
// read-only, "#" gives its record a data descriptor in an index.
std::vector<std::string> Items(const std::string& spec) {
    std::vector<std::string> out;
    for (size_t at = 0; at < spec.size();) {
        size_t end = spec.find(' ', at);
        if (end == std::string::npos) end = spec.size();
        if (end > at) out.push_back(spec.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

std::wstring Below(const std::wstring& folder, std::string name) {
    if (!name.empty() && name.back() == '/') name.pop_back();
    std::wstring path = folder;
    for (char ch : "\\" + name) path += ch == '/' ? L'\\' : (wchar_t)ch;
    return path;
}

void Build(const std::wstring& folder, const std::string& spec) {
    for (const std::string& item : Items(spec)) {
        size_t eq = item.find('=');
        const std::wstring path = Below(folder, item.substr(0, eq));
        if (eq == std::string::npos) {
            make_dirs(path);
            continue;
        }
        std::string text = item.substr(eq + 1);
        const bool read_only = !text.empty() && text.back() == '!';
        if (read_only) text.pop_back();
        ASSERT_TRUE(write_file(path, text)) << item;
        if (read_only) SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY);
    }
}

void Collect(const std::wstring& folder, const std::string& below, std::set<std::string>* out) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const std::string name = below + narrow(found.cFileName);
        if (name == below + "." || name == below + "..") continue;
        const std::wstring path = folder + L"\\" + found.cFileName;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            out->insert(name + "/");
            Collect(path, name + "/", out);
        } else {
            out->insert(name + "=" + file_text(path));
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// The tree below `folder` in the same form, sorted.
std::string Tree(const std::wstring& folder) {
    std::set<std::string> items;
    Collect(folder, "", &items);
    std::string out;
    for (const std::string& item : items) out += (out.empty() ? "" : " ") + item;
    return out;
}


typedef TempFolder Place;

}  // namespace

// A part's own folder merged into what the parts before it left: one tar
// after the other would give the same tree, the later part's entry winning
// whatever the earlier one was.
TEST_F(Place, TheLaterPartsEntryWins) {
    struct Row { const char* what; const char* earlier; const char* later; const char* after; } rows[] = {
        {"a file over a folder", "bin/ bin/old=1 bin/deep/x=2 keep=k", "bin=new", "bin=new keep=k"},
        {"a folder over a file", "bin=old", "bin/x=new", "bin/ bin/x=new"},
        {"a folder over a read-only file", "bin=old!", "bin/", "bin/"},
        {"a file over a folder holding a read-only file", "bin/x=1!", "bin=new", "bin=new"},
        {"nested, both ways, beside what stays", "a/b/c=1 a/d=2 a/e/f=3 a/k=k", "a/b=new a/d/x=4 a/e/f/",
         "a/ a/b=new a/d/ a/d/x=4 a/e/ a/e/f/ a/k=k"},
        {"the same file twice", "a/x=old a/y=y", "a/x=new", "a/ a/x=new a/y=y"},
        {"a read-only file over a read-only file", "x=old!", "x=new!", "x=new"},
    };
    const unsigned char headless = g_headless;
    g_headless = 1;  // a fault ends the test program with its message
    setup_list list = {};
    list.part_count = 2;
    list.parts[0] = Part('a', ".", "-", "-");
    list.parts[1] = Part('b', ".", "-", "-");
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::wstring staging = root + L"\\s" + std::to_wstring(n++);
        wchar_t own[PATH_CAP];
        part_own_folder(staging.c_str(), &list, 1, own);
        Build(staging, row.earlier);
        Build(own, row.later);
        make_dirs(own);
        part_place(&list, 1, staging.c_str());
        EXPECT_EQ(row.after, Tree(staging));  // the part's own folder is gone
    }
    g_headless = headless;
}

// The part's own folder, emptied by the moves, that another program holds
// (an antivirus scanning it): tried again as a held file is, and then the
// run ends naming it, so that it is never published inside the version.
TEST_F(Place, AHeldUnpackingFolderEndsTheRun) {
    setup_list list = {};
    list.part_count = 2;
    list.parts[0] = Part('a', ".", "-", "-");
    list.parts[1] = Part('c', ".", "-", "-");
    // Not below the test's own folder: the run ends in a child process, whose
    // folder would be left behind; this one is the same in both.
    wchar_t temp[MAX_PATH + 1];
    const std::wstring staging = std::wstring(temp, GetTempPathW(MAX_PATH + 1, temp)) + L"sw-held-unpacking";
    remove_tree(staging);
    wchar_t own[PATH_CAP];
    part_own_folder(staging.c_str(), &list, 1, own);
    Build(own, "x=1");
    EXPECT_EXIT(
        {
            g_headless = 1;
            HANDLE held = CreateFileW(own, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, 0);
            if (held == INVALID_HANDLE_VALUE) ExitProcess(2);
            part_place(&list, 1, staging.c_str());
            ExitProcess(0);  // counted as removed
        },
        ::testing::ExitedWithCode(1),
        ::testing::ContainsRegex("^error Could not set up part 2 of 2 \\(renaming " + std::string(16, 'c') +
                                 "~2\\.unpacking, Windows error \\d+\\)\\. Another program is holding the "
                                 "files just unpacked"));
    EXPECT_EQ(std::string(16, 'c') + "~2.unpacking/ x=1", Tree(staging));  // moved, not removed
    remove_tree(staging);
}

namespace {

std::string Sha(const std::string& bytes) {
    unsigned char sum[32];
    sha256_of(bytes.data(), bytes.size(), sum);
    std::string hex;
    for (unsigned char b : sum) hex += "0123456789abcdef"[b >> 4], hex += "0123456789abcdef"[b & 15];
    return hex;
}

// An index of the part's entries, records one after another from offset 0,
// each the plain record the release tool writes (or one with a descriptor).
std::string IndexOf(const part_record& part, const std::string& spec) {
    std::string lines;
    unsigned long long offset = 0;
    const std::vector<std::string> items = Items(spec);
    for (const std::string& item : items) {
        size_t eq = item.find('=');
        const std::string name = item.substr(0, eq);
        std::string text = eq == std::string::npos ? "" : item.substr(eq + 1);
        const bool descriptor = !text.empty() && text.back() == '#';
        if (descriptor) text.pop_back();
        const unsigned long long length = ZIP_LOCAL_HEADER + name.size() + text.size() + (descriptor ? 16 : 0);
        lines += std::string(eq == std::string::npos ? "d " : "f ") + std::to_string(offset) + " " +
                 std::to_string(length) + " 0 " + (descriptor ? "0008" : "0000") + " 00000000 0000 2821 " +
                 std::to_string(text.size()) + " " + std::to_string(text.size()) + " " + Sha(text) + " " + name +
                 "\n";
        offset += length;
    }
    return "tarnwick-index 1\npart " + std::string(part.sha256) + " " + std::to_string(items.size()) + "\n" + lines;
}

typedef TempFolder DeltaPlan;

}  // namespace

// Which entries of the new index an update fetches: those the installed
// version lacks at their place with the same kind, size and SHA-256. The
// others are linked into the staging folder; what only the installed
// version holds is left out.
TEST_F(DeltaPlan, OnlyWhatDiffersIsFetched) {
    struct Row {
        const char* what;
        const char* dir;
        const char* from;
        const char* to;
        const char* installed;  // the installed version's tree
        const char* entries;    // the new index's entries of the part
        int worth;
        const char* fetched;
        const char* staged;
    } rows[] = {
        {"kept, changed, added and dropped", ".", "-", "-", "a/ a/same=1 a/changed=old gone=x",
         "a/ a/same=1 a/changed=new a/added=2", 1, "a/changed a/added", "a/ a/same=1"},
        {"the same size with other bytes", ".", "-", "-", "f=abc g=abc", "f=abd g=abc", 1, "f", "g=abc"},
        {"a file where a folder was and a folder where a file was", ".", "-", "-", "x/ x/in=1 y=1 k=k",
         "x=1 y/ k=k", 1, "x y/", "k=k"},
        {"a renamed top folder below a dir", "lib", "eng-2", "eng", "lib/eng/k=1 lib/eng/n=old lib/eng-2/n=2",
         "eng-2/ eng-2/k=1 eng-2/n=2", 1, "eng-2/n", "lib/ lib/eng-2/ lib/eng-2/k=1"},
        {"nothing differs", ".", "-", "-", "a/ a/x=1 b=2", "a/ a/x=1 b=2", 1, "", "a/ a/x=1 b=2"},
        {"a kept record with a data descriptor", ".", "-", "-", "a=1 b=2", "a=1# b=3", 1, "b", "a=1"},
        {"a wanted record with a data descriptor", ".", "-", "-", "a=1 b=2", "a=1 b=3#", 0, "", ""},
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::wstring label = std::to_wstring(n++);
        const std::wstring installed = root + L"\\v" + label;
        Build(installed, row.installed);
        const std::string before = Tree(installed);
        install_paths paths = {};
        wcscpy(paths.staging, (root + L"\\s" + label).c_str());
        make_dirs(paths.staging);
        setup_list list = {};
        list.part_count = 1;
        list.parts[0] = Part('d', row.dir, row.from, row.to);
        list.parts[0].size = 1 << 20;
        const std::string index = IndexOf(list.parts[0], row.entries);
        mem_buf body = {};
        ASSERT_TRUE(mem_sink(&body, index.data(), (DWORD)index.size()));
        part_changes* c = changes_of(0);
        ASSERT_EQ(1, changes_load(c, &list, 0, &paths, &body));
        wcscpy(c->installed, installed.c_str());
        EXPECT_EQ(row.worth, changes_plan(c, 0));
        if (row.worth) {
            std::string fetched;
            unsigned long long records = 0;
            for (size_t i = 0; i < c->count; ++i) {
                const kept_entry* k = kept(c, i);
                if (!k->wanted) continue;
                fetched += (fetched.empty() ? "" : " ") + std::string(c->names.data + k->name_at, k->name_length);
                records += k->length;
            }
            EXPECT_EQ(row.fetched, fetched);
            EXPECT_EQ(records, c->records);
            c->live = 1;
            EXPECT_EQ(1, part_changes_place(0));
        }
        EXPECT_EQ(row.staged, Tree(paths.staging));
        EXPECT_EQ(before, Tree(installed)) << "only ever read";
        changes_free(c);
        mem_free(&body);
    }
}

// Every job runs once, on up to four threads side by side; a job that fails
// makes the result 0.
TEST(Spread, EveryJobOnceAndAFailureStopsTheRest) {
    struct Counts {
        std::vector<LONG> runs;
        size_t failing;
        static int Job(void* context, size_t i) {
            Counts* c = (Counts*)context;
            InterlockedIncrement(&c->runs[i]);
            return i != c->failing;
        }
    };
    for (size_t count : {0u, 1u, 5000u}) {
        Counts c{std::vector<LONG>(count), (size_t)-1};
        EXPECT_EQ(1, spread(count, Counts::Job, &c)) << count;
        for (size_t i = 0; i < count; ++i) ASSERT_EQ(1, c.runs[i]) << count << " " << i;
    }
    Counts c{std::vector<LONG>(5000), 10};
    EXPECT_EQ(0, spread(5000, Counts::Job, &c));
    for (size_t i = 0; i <= 10; ++i) EXPECT_EQ(1, c.runs[i]) << i;
    for (LONG r : c.runs) ASSERT_LE(r, 1);
    EXPECT_GE(spread_width(), 1u);
    EXPECT_LE(spread_width(), 4u);
}

namespace {

const std::wstring kSystem = L"C:\\windows\\system32";
const std::wstring kSha(64, L'e');

std::wstring Command(const std::wstring& archive, const std::wstring& destination) {
    return L"\"" + kSystem + L"\\tar.exe\" -xf \"" + archive + L"\" -C \"" + destination + L"\"";
}

// Whether the text passes through the ANSI code page and back unchanged.
bool AnsiHolds(const std::wstring& text) {
    char narrow[1024];
    wchar_t back[1024];
    return WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, narrow, sizeof narrow, 0, 0) > 0 &&
           MultiByteToWideChar(CP_ACP, 0, narrow, -1, back, 1024) > 0 && text == back;
}

std::wstring TarLine(const std::wstring& archive, const std::wstring& destination, size_t cap, int* ok) {
    std::vector<wchar_t> out(cap + 1, L'#');
    *ok = tar_command_line(out.data(), cap, kSystem.c_str(), archive.c_str(), destination.c_str());
    return out.data();
}

}  // namespace

TEST(TarCommandLine, AsciiPathsAreGivenWhole) {
    const std::wstring home = L"C:\\users\\ann\\AppData\\Local\\StonewakeBuilder";
    const std::wstring archive = home + L"\\downloads\\" + kSha + L".zip";
    const std::wstring destination = home + L"\\versions\\2.4.1.part\\runtime\\win";
    int ok = 0;
    EXPECT_EQ(L"\"C:\\windows\\system32\\tar.exe\" -xf \"" + archive + L"\" -C \"" + destination + L"\"",
              TarLine(archive, destination, 584, &ok));
    EXPECT_EQ(1, ok);
    // The bound: a line of exactly cap - 1 characters fits, one more does not.
    const std::wstring line = Command(archive, destination);
    EXPECT_EQ(line, TarLine(archive, destination, line.size() + 1, &ok));
    EXPECT_EQ(1, ok);
    TarLine(archive, destination, line.size(), &ok);
    EXPECT_EQ(0, ok);
}

TEST(TarCommandLine, HomesTheAnsiCodePageCannotHold) {
    RecordProperty("ansi_code_page", (int)GetACP());
    const std::wstring homes[] = {
        L"C:\\users\\\u5c71\u7530\\AppData\\Local\\StonewakeBuilder",  // CJK
        L"C:\\users\\Mi\u0142osz\\AppData\\Local\\StonewakeBuilder",   // Polish l with stroke
        L"C:\\users\\\u0141\u00f3d\u017a\\StonewakeBuilder",
    };
    struct Dest { const wchar_t* below; const wchar_t* archive; } dests[] = {
        {L"", L"..\\..\\downloads\\"},
        {L"\\runtime", L"..\\..\\..\\downloads\\"},
        {L"\\runtime\\win", L"..\\..\\..\\..\\downloads\\"},
    };
    int relative_seen = 0;
    for (const std::wstring& home : homes) {
        const std::wstring archive = home + L"\\downloads\\" + kSha + L".zip";
        const bool holds = AnsiHolds(home);
        relative_seen += !holds;
        for (const Dest& d : dests) {
            const std::wstring destination = home + L"\\versions\\2.4.1.part" + d.below;
            int ok = 0;
            std::wstring line = TarLine(archive, destination, 584, &ok);
            EXPECT_EQ(1, ok);
            if (holds)
                EXPECT_EQ(Command(archive, destination), line);
            else
                EXPECT_EQ(Command(d.archive + kSha + L".zip", L"."), line)
                    << "code page " << GetACP() << ", " << testing::PrintToString(home);
        }
        // A relative form that does not fit gives no command line at all.
        std::wstring deep = home;
        for (int i = 0; i < 120; ++i) deep += L"\\v";
        int ok = -1;
        TarLine(archive, deep, 584, &ok);
        EXPECT_EQ(holds ? 1 : 0, ok);
    }
    std::cout << "[ note ] ANSI code page " << GetACP() << "; homes it cannot hold: " << relative_seen << "\n";
}
