// The Builder home: bounded path helpers, the portable marker and the choice
// of the home among explicit, walked-up, sibling, pointer and default folders.
#include <gtest/gtest.h>

#include <string.h>
#include <wctype.h>

#include <string>
#include <vector>

#include "setup.h"
#include "temp_dir.h"
#include "home/home.h"

using testutil::TempDir;
using testutil::exists;
using testutil::file_text;
using testutil::path_of_length;
using testutil::write_file;

namespace {

using testutil::narrow;

const char kMarker[] = "Stonewake Builder portable home v1";  // without its line end
const std::string kMarkerFile = std::string(kMarker) + "\n";

class HomeTest : public ::testing::Test {
protected:
    void SetUp() override { memset(&g_home, 0, sizeof g_home); }
    void TearDown() override { memset(&g_home, 0, sizeof g_home); }
};

// ---- qb_home_full -----------------------------------------------------------

TEST_F(HomeTest, FullFormAcceptsDriveAndSharePathsAndDropsTrailingSeparators) {
    const std::wstring a256(256, L'a');
    struct Row {
        std::wstring in, out;
    } rows[] = {
        {L"C:\\Games\\", L"C:\\Games"},
        {L"C:\\Games\\\\", L"C:\\Games"},
        {L"C:\\Games/", L"C:\\Games"},
        {L"C:\\", L"C:\\"},
        {L"C:/", L"C:\\"},
        {L"C:\\..\\Games", L"C:\\Games"},
        {L"C:\\Games\\.\\Demo\\..", L"C:\\Games"},
        {L"\\\\server\\share\\", L"\\\\server\\share"},
        {L"\\\\server\\share", L"\\\\server\\share"},
        {L"//server/share/Dir/", L"\\\\server\\share\\Dir"},
        {L"C:\\Spiele-\u00fc\\\u5bb6\\", L"C:\\Spiele-\u00fc\\\u5bb6"},
        // the full form is what must fit, not the input
        {L"C:\\" + a256, L"C:\\" + a256},
        {L"C:\\x\\..\\" + a256, L"C:\\" + a256},
    };
    for (const Row& row : rows) {
        wchar_t out[PATH_CAP];
        EXPECT_EQ(1, qb_home_full(out, row.in.c_str())) << narrow(row.in);
        EXPECT_EQ(row.out, std::wstring(out)) << narrow(row.in);
    }
}

TEST_F(HomeTest, FullFormKeepsBackslashesOnlyForAForwardSlashDrivePath) {
    wchar_t out[PATH_CAP];
    ASSERT_EQ(1, qb_home_full(out, L"c:/Games/Demo/"));
    // The drive letter's case is the platform's business; the rest is fixed.
    EXPECT_EQ(L'C', towupper(out[0]));
    EXPECT_EQ(std::wstring(L":\\Games\\Demo"), std::wstring(out + 1));
}

TEST_F(HomeTest, FullFormRefusesRelativeDeviceAndOverlongPaths) {
    const wchar_t* refused[] = {
        L"",          L"\\\\server",    L"\\\\server\\", L"\\\\\\share",  L"\\\\server\\\\share",
        L"\\\\?\\C:\\x", L"//?/C:/x",   L"\\\\.\\C:",    L"\\\\.\\pipe\\x", L"Games",
        L"\\Games",   L"/Games",        L"C:Games",      L"C:",           L"1:\\x",
        L"..\\Games",
        // Device names: the full form would be \\.\CON, no folder at all.
        L"C:\\Games\\CON", L"C:\\Games\\nul.txt", L"C:/Games/com1",
    };
    for (const wchar_t* in : refused) {
        wchar_t out[PATH_CAP] = L"untouched";
        EXPECT_EQ(0, qb_home_full(out, in)) << narrow(in);
    }
    wchar_t out[PATH_CAP];
    EXPECT_EQ(0, qb_home_full(out, 0));
    EXPECT_EQ(0, qb_home_full(out, (L"C:\\" + std::wstring(257, L'a')).c_str()));
    EXPECT_EQ(0, qb_home_full(out, (L"\\\\server\\share\\" + std::wstring(250, L'a')).c_str()));
}

// ---- qb_home_join, qb_home_parent --------------------------------------------

TEST_F(HomeTest, JoinFitsExactlyOrLeavesTheOutputAlone) {
    const std::wstring folder(200, L'f');
    struct Row {
        std::wstring folder, name;
        size_t capacity;
        int result;
        std::wstring out;
    } rows[] = {
        {folder, std::wstring(58, L'n'), 260, 1, folder + L"\\" + std::wstring(58, L'n')},
        {folder, std::wstring(59, L'n'), 260, 0, L"sentinel"},
        {L"ab", L"c", 5, 1, L"ab\\c"},
        {L"ab", L"c", 4, 0, L"sentinel"},
        {L"C:\\", L"x", 260, 1, L"C:\\\\x"},  // nothing is normalised
        {L"C:\\G\u00fc", L"\u5bb6", 260, 1, L"C:\\G\u00fc\\\u5bb6"},
    };
    for (const Row& row : rows) {
        wchar_t out[PATH_CAP] = L"sentinel";
        EXPECT_EQ(row.result, qb_home_join(out, row.capacity, row.folder.c_str(), row.name.c_str()))
            << row.folder.size() << "+" << row.name.size() << " cap " << row.capacity;
        EXPECT_EQ(row.out, std::wstring(out));
    }
}

TEST_F(HomeTest, ParentStepsUpToTheRootAndStopsThere) {
    struct Row {
        const wchar_t* start;
        std::vector<std::wstring> steps;  // each successful result; then a refusal
    } rows[] = {
        {L"C:\\Games\\Demo", {L"C:\\Games", L"C:\\"}},
        {L"C:\\", {}},
        {L"\\\\server\\share\\Games\\Demo", {L"\\\\server\\share\\Games", L"\\\\server\\share"}},
        {L"\\\\server\\share", {}},
        {L"Games", {}},
    };
    for (const Row& row : rows) {
        wchar_t path[PATH_CAP];
        wcscpy(path, row.start);
        for (const std::wstring& step : row.steps) {
            ASSERT_EQ(1, qb_home_parent(path)) << narrow(row.start);
            EXPECT_EQ(step, std::wstring(path));
        }
        std::wstring before = path;
        EXPECT_EQ(0, qb_home_parent(path)) << narrow(before);
        EXPECT_EQ(before, std::wstring(path));
    }
}

// ---- qb_home_bytes ------------------------------------------------------------

TEST_F(HomeTest, BytesTellsMissingFromUnreadable) {
    TempDir t(L"bytes");
    write_file(t / L"empty", "");
    write_file(t / L"ten", "0123456789");
    write_file(t / L"locked", "x");
    CreateDirectoryW((t / L"folder").c_str(), 0);
    testutil::FileLock lock(t / L"locked");
    ASSERT_TRUE(lock.held());

    struct Row {
        std::wstring name;
        DWORD capacity;
        int result;
        DWORD count;  // 12345: not stored
        std::string bytes;
    } rows[] = {
        {L"no-folder\\no-file", 8, 0, 12345, ""},
        {L"no-file", 8, 0, 12345, ""},
        {L"empty", 8, 1, 0, ""},
        {L"ten", 4, 1, 4, "0123"},
        {L"ten", 10, 1, 10, "0123456789"},
        {L"ten", 64, 1, 10, "0123456789"},
        {L"folder", 8, -1, 12345, ""},
        {L"locked", 8, -1, 12345, ""},
    };
    for (const Row& row : rows) {
        char buffer[64];
        DWORD count = 12345;
        EXPECT_EQ(row.result, qb_home_bytes((t / row.name).c_str(), buffer, row.capacity, &count))
            << narrow(row.name);
        EXPECT_EQ(row.count, count) << narrow(row.name);
        if (row.result == 1) {
            EXPECT_EQ(row.bytes, std::string(buffer, count));
        }
    }
}

// ---- home_path ------------------------------------------------------------------

TEST_F(HomeTest, HomePathBoundIsTheSameInEveryHome) {
    const std::wstring fits = L"C:\\" + std::wstring(256, L'p');  // 259
    const std::wstring over = fits + L"q";                        // 260
    for (int portable : {0, 1}) {
        g_home.portable = portable;
        wchar_t out[PATH_CAP];
        EXPECT_EQ(259, home_path(out, L"%ls", fits.c_str())) << "portable " << portable;
        EXPECT_EQ(fits, std::wstring(out));
        EXPECT_EQ(13, home_path(out, L"%ls\\%ls", L"C:\\H", L"versions"));
        EXPECT_EQ(std::wstring(L"C:\\H\\versions"), std::wstring(out));
    }
    g_home.portable = 0;
    wchar_t out[PATH_CAP + 8];
    out[PATH_CAP] = L'#';
    EXPECT_LT(home_path(out, L"%ls", over.c_str()), 0);
    EXPECT_LT(wcslen(out), (size_t)PATH_CAP);  // still terminated inside the buffer
    EXPECT_EQ(L'#', out[PATH_CAP]);
}

TEST_F(HomeTest, HomePathTooLongInAPortableHomeEndsTheRun) {
    const std::wstring over = L"C:\\" + std::wstring(257, L'p');
    EXPECT_EXIT(
        {
            g_headless = 1;
            g_home.portable = 1;
            wchar_t out[PATH_CAP];
            home_path(out, L"%ls", over.c_str());
        },
        ::testing::ExitedWithCode(1),
        ::testing::Eq(std::string("error A path in this portable installation is too long for "
                                  "the Windows setup. Use a shorter Builder home.\n")));
}

// ---- the portable marker ----------------------------------------------------------

TEST_F(HomeTest, MarkerContentDecidesTheAnswer) {
    const std::string m = kMarker;
    struct Row {
        std::string content;
        int answer;
    } rows[] = {
        {m + "\n", 1},
        {m + "\r\n", 1},
        {m, 1},
        {m + "\n\r", 1},
        {m + "\r\r", 1},
        {m + "\n\n\n", -1},
        {m + "\r\n\r\n", -1},
        {"stonewake builder portable home v1\n", -1},
        {" " + m + "\n", -1},
        {m + " \n", -1},
        {m + "\t", -1},
        {m + std::string(1, '\0'), -1},
        {"\xEF\xBB\xBF" + m, -1},
        {"Stonewake Builder portable home v2\n", -1},
        {m.substr(0, 33) + "\n", -1},
        {"", -1},
        {"\n\n", -1},
        {"\r\n", -1},
    };
    TempDir t(L"marker-\u00fc\u5bb6");
    const std::wstring marker = t / L".tarnwick-portable";
    EXPECT_EQ(0, qb_home_marked(t.path().c_str())) << "no marker yet";
    for (const Row& row : rows) {
        ASSERT_TRUE(write_file(marker, row.content));
        EXPECT_EQ(row.answer, qb_home_marked(t.path().c_str())) << "content [" << row.content << "]";
    }
}

TEST_F(HomeTest, MarkerPlaceAndLengthOfTheFolder) {
    TempDir t(L"place");
    // A folder in the marker's place, and a marker that another program holds.
    testutil::make_dirs(t / L"dir\\.tarnwick-portable");
    EXPECT_EQ(-1, qb_home_marked((t / L"dir").c_str()));
    write_file(t / L"held\\.tarnwick-portable", kMarkerFile);
    {
        testutil::FileLock lock(t / L"held\\.tarnwick-portable");
        ASSERT_TRUE(lock.held());
        EXPECT_EQ(-1, qb_home_marked((t / L"held").c_str()));
    }
    EXPECT_EQ(1, qb_home_marked((t / L"held").c_str()));
    EXPECT_EQ(0, qb_home_marked((t / L"missing\\folder").c_str()));

    // 240 characters is the longest folder; 241 is refused with or without a marker.
    const std::wstring f240 = path_of_length(t.path(), 240);
    const std::wstring f241 = path_of_length(t.path(), 241);
    testutil::make_dirs(f240);
    testutil::make_dirs(f241);
    EXPECT_EQ(0, qb_home_marked(f240.c_str()));
    EXPECT_EQ(-1, qb_home_marked(f241.c_str()));
    ASSERT_TRUE(write_file(f240 + L"\\.tarnwick-portable", kMarkerFile));
    EXPECT_EQ(1, qb_home_marked(f240.c_str()));
    EXPECT_EQ(-1, qb_home_marked((f240 + L"x").c_str()));
}

TEST_F(HomeTest, MarkerInADriveRootIsNeverValid) {
    const std::wstring root_marker = L"C:\\.tarnwick-portable";
    if (exists(root_marker)) GTEST_SKIP() << "C:\\.tarnwick-portable exists already; left alone";
    struct Cleanup {
        std::wstring path;
        ~Cleanup() { testutil::remove_tree(path); }
    } cleanup{root_marker};
    EXPECT_EQ(0, qb_home_marked(L"C:\\"));  // content first: nothing there is 0
    ASSERT_TRUE(write_file(root_marker, kMarkerFile));
    EXPECT_EQ(-1, qb_home_marked(L"C:\\"));
    EXPECT_EQ(0, qb_home_make_marker(L"C:\\"));
    EXPECT_EQ(kMarkerFile, file_text(root_marker));
}

TEST_F(HomeTest, MakeMarkerWritesTheTextOnceAndKeepsWhatIsThere) {
    TempDir t(L"make-\u00fc");
    struct Row {
        const char* name;
        const char* existing;  // 0: no marker file
        int result;
        std::string after;  // the marker file afterwards
    } rows[] = {
        {"fresh", 0, 1, kMarkerFile},
        {"valid CRLF stays", "Stonewake Builder portable home v1\r\n", 1,
         "Stonewake Builder portable home v1\r\n"},
        {"damaged stays", "garbage", 0, "garbage"},
        {"empty stays", "", 0, ""},
    };
    int i = 0;
    for (const Row& row : rows) {
        const std::wstring folder = t / (L"h" + std::to_wstring(++i));
        testutil::make_dirs(folder);
        if (row.existing) write_file(folder + L"\\.tarnwick-portable", row.existing);
        EXPECT_EQ(row.result, qb_home_make_marker(folder.c_str())) << row.name;
        EXPECT_EQ(row.after, file_text(folder + L"\\.tarnwick-portable")) << row.name;
    }
    EXPECT_EQ(35u, file_text(t / L"h1\\.tarnwick-portable").size());
    EXPECT_EQ(1, qb_home_marked((t / L"h1").c_str()));

    // A folder that does not exist, or is too long for a marker: nothing is created.
    EXPECT_EQ(0, qb_home_make_marker((t / L"missing").c_str()));
    EXPECT_FALSE(exists(t / L"missing"));
    const std::wstring f240 = path_of_length(t / L"long", 240);
    const std::wstring f241 = f240 + L"e";
    testutil::make_dirs(f240);
    testutil::make_dirs(f241);
    EXPECT_EQ(0, qb_home_make_marker(f241.c_str()));
    EXPECT_FALSE(exists(f241 + L"\\.tarnwick-portable"));
    EXPECT_EQ(1, qb_home_make_marker(f240.c_str()));
    EXPECT_EQ(kMarkerFile, file_text(f240 + L"\\.tarnwick-portable"));
}

TEST_F(HomeTest, MakeMarkerInAnUnwritableFolderLeavesNoFile) {
    // Wine runs as the Unix user, often root, so no folder of our own can be
    // made unwritable; the kernel's sysfs refuses new files even to root.
    const std::wstring folder = L"Z:\\sys";
    const std::wstring probe = folder + L"\\sw-unit-probe";
    HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, 0, CREATE_NEW, 0, 0);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        DeleteFileW(probe.c_str());
        GTEST_SKIP() << "no unwritable folder is at hand here";
    }
    if (!testutil::is_folder(folder)) GTEST_SKIP() << "Z:\\sys is not a folder here";
    EXPECT_EQ(0, qb_home_make_marker(folder.c_str()));
    EXPECT_FALSE(exists(folder + L"\\.tarnwick-portable"));
}

// ---- qb_home_discover ----------------------------------------------------------

// A tree of files below a temporary folder. Content kDir makes a folder.
const char kDir[] = "<dir>";
const char kBad[] = "not a marker\n";
struct Entry {
    std::wstring path;
    std::string content;
};

struct Scenario {
    const char* name;
    std::vector<Entry> tree;
    std::wstring explicit_home;  // relative to the tree; "=" in front: taken as written
    std::wstring setup;          // the setup's path, relative to the tree
    int launcher;
    int result;
    std::wstring home;  // relative to the tree; "*": the default home
    int portable;
};

const std::wstring kMark = L"\\.tarnwick-portable";
const std::wstring kPointer = L"games\\G\\.tarnwick_builder_home";
const std::wstring kVersion = L"games\\G\\tarnwick_version.txt";
const std::wstring kLauncher = L"games\\G\\stonewake.exe";

void run_scenarios(const std::vector<Scenario>& scenarios) {
    for (const Scenario& s : scenarios) {
        TempDir t(L"disc-\u00fc\u5bb6");
        for (const Entry& e : s.tree) {
            if (e.content == kDir) testutil::make_dirs(t / e.path);
            else ASSERT_TRUE(write_file(t / e.path, e.content)) << s.name;
        }
        const std::wstring default_home = t / L"Local\\StonewakeBuilder";
        std::wstring explicit_home;
        if (!s.explicit_home.empty())
            explicit_home = s.explicit_home[0] == L'=' ? s.explicit_home.substr(1)
                                                       : t / s.explicit_home;
        qb_home home;
        memset(&home, 0x5a, sizeof home);
        int result = qb_home_discover(&home, explicit_home.c_str(), (t / s.setup).c_str(),
                                      default_home.c_str(), s.launcher);
        EXPECT_EQ(s.result, result) << s.name;
        if (s.result == 1) {
            EXPECT_EQ(s.home == L"*" ? default_home : t / s.home, std::wstring(home.path)) << s.name;
            EXPECT_EQ(s.portable, home.portable) << s.name;
        } else {
            EXPECT_EQ(0, home.path[0]) << s.name << ": the record is left zero";
            EXPECT_EQ(0, home.portable) << s.name;
        }
    }
}

TEST_F(HomeTest, DiscoverExplicitHomeDecidesAlone) {
    run_scenarios({
        {"marked", {{L"H" + kMark, kMarkerFile}}, L"H", L"S\\setup.exe", 0, 1, L"H", 1},
        {"trailing separator", {{L"H" + kMark, kMarkerFile}}, L"H\\", L"S\\setup.exe", 0, 1, L"H", 1},
        {"unmarked", {{L"H", kDir}}, L"H", L"S\\setup.exe", 0, 1, L"H", 0},
        {"not there yet", {}, L"H", L"S\\setup.exe", 0, 1, L"H", 0},
        {"damaged", {{L"H" + kMark, kBad}}, L"H", L"S\\setup.exe", 0, 0, L"", 0},
        {"relative", {}, L"=relative\\H", L"S\\setup.exe", 0, 0, L"", 0},
        {"setup in a marked folder is not consulted",
         {{L"H", kDir}, {L"M" + kMark, kMarkerFile}}, L"H", L"M\\setup.exe", 0, 1, L"H", 0},
        {"a damaged marker beside the setup is not consulted",
         {{L"H", kDir}, {L"M" + kMark, kBad}}, L"H", L"M\\setup.exe", 0, 1, L"H", 0},
    });
}

TEST_F(HomeTest, DiscoverWalksUpThreeFoldersAndStopsAtADamagedMarker) {
    const Entry marked = {L"M" + kMark, kMarkerFile};
    run_scenarios({
        {"in the marked folder", {marked}, L"", L"M\\setup.exe", 0, 1, L"M", 1},
        {"one below", {marked}, L"", L"M\\a\\setup.exe", 0, 1, L"M", 1},
        {"three below", {marked}, L"", L"M\\a\\b\\c\\setup.exe", 0, 1, L"M", 1},
        {"four below", {marked}, L"", L"M\\a\\b\\c\\d\\setup.exe", 0, 1, L"*", 0},
        {"damaged four above is not reached", {{L"M" + kMark, kBad}}, L"",
         L"M\\a\\b\\c\\d\\setup.exe", 0, 1, L"*", 0},
        {"nearest marker wins", {marked, {L"M\\a" + kMark, kMarkerFile}}, L"",
         L"M\\a\\b\\setup.exe", 0, 1, L"M\\a", 1},
        {"damaged on the way", {marked, {L"M\\a" + kMark, kBad}}, L"", L"M\\a\\b\\setup.exe", 0, 0,
         L"", 0},
        {"damaged in the setup folder", {{L"S" + kMark, kBad}}, L"", L"S\\setup.exe", 0, 0, L"", 0},
        {"non-ASCII names", {{L"Spiele-\u00fc\\\u5bb6" + kMark, kMarkerFile}}, L"",
         L"Spiele-\u00fc\\\u5bb6\\\u30c4\u30fc\u30eb\\setup.exe", 0, 1, L"Spiele-\u00fc\\\u5bb6", 1},
    });
}

TEST_F(HomeTest, DiscoverSiblingAndDefault) {
    const Entry sibling = {L"T\\StonewakeBuilder" + kMark, kMarkerFile};
    run_scenarios({
        {"marked sibling", {sibling}, L"", L"T\\setup.exe", 0, 1, L"T\\StonewakeBuilder", 1},
        {"not for a launcher", {sibling}, L"", L"T\\stonewake.exe", 1, 1, L"*", 0},
        {"damaged sibling", {{L"T\\StonewakeBuilder" + kMark, kBad}}, L"", L"T\\setup.exe", 0, 0,
         L"", 0},
        {"unmarked sibling", {{L"T\\StonewakeBuilder", kDir}}, L"", L"T\\setup.exe", 0, 1, L"*", 0},
        {"the walk comes first", {sibling, {L"T" + kMark, kMarkerFile}}, L"", L"T\\setup.exe", 0, 1,
         L"T", 1},
        {"nothing anywhere", {}, L"", L"T\\setup.exe", 0, 1, L"*", 0},
    });
    TempDir t(L"default");
    qb_home home;
    EXPECT_EQ(0, qb_home_discover(&home, 0, (t / L"setup.exe").c_str(), L"", 0));
    EXPECT_EQ(0, qb_home_discover(&home, 0, (t / L"setup.exe").c_str(), L"Local\\Home", 0));
    EXPECT_EQ(0, qb_home_discover(&home, 0, L"setup.exe", (t / L"Local").c_str(), 0));
    EXPECT_EQ(1, qb_home_discover(&home, 0, (t / L"setup.exe").c_str(), (t / L"L\\H\\").c_str(), 0));
    EXPECT_EQ(t / L"L\\H", std::wstring(home.path));
}

TEST_F(HomeTest, DiscoverLongSetupFolders) {
    TempDir t(L"long");
    qb_home home;
    const std::wstring def = t / L"Local\\StonewakeBuilder";
    // Ordinary setup: its folder's marker test refuses above 240 characters.
    // (223 is the longest folder whose StonewakeBuilder sibling can hold a
    // marker; see the test below for 224 to 240.)
    const std::wstring f223 = path_of_length(t / L"a", 223);
    const std::wstring f241 = path_of_length(t / L"b", 241);
    testutil::make_dirs(f223);
    testutil::make_dirs(f241);
    EXPECT_EQ(1, qb_home_discover(&home, 0, (f223 + L"\\setup.exe").c_str(), def.c_str(), 0));
    EXPECT_EQ(def, std::wstring(home.path));
    EXPECT_EQ(0, qb_home_discover(&home, 0, (f241 + L"\\setup.exe").c_str(), def.c_str(), 0));
    // A launcher's game folder may have at most 236 characters.
    const std::wstring g236 = path_of_length(t / L"c", 236);
    const std::wstring g237 = path_of_length(t / L"d", 237);
    testutil::make_dirs(g236);
    testutil::make_dirs(g237);
    EXPECT_EQ(1, qb_home_discover(&home, 0, (g236 + L"\\stonewake.exe").c_str(), def.c_str(), 1));
    EXPECT_EQ(0, qb_home_discover(&home, 0, (g237 + L"\\stonewake.exe").c_str(), def.c_str(), 1));
}

// A setup in a folder of 224 to 240 characters still settles a home: its
// sibling (folder + "\StonewakeBuilder", 241 characters and more) is too long
// to hold a marker, so it is passed over instead of answering "damaged".
TEST_F(HomeTest, DiscoverSetupFolderTooLongForASiblingMarker) {
    TempDir t(L"long-sibling");
    const std::wstring def = t / L"Local\\StonewakeBuilder";
    for (size_t length : {224u, 230u, 240u}) {
        const std::wstring folder = path_of_length(t / std::to_wstring(length), length);
        testutil::make_dirs(folder);
        qb_home home;
        EXPECT_EQ(1, qb_home_discover(&home, 0, (folder + L"\\setup.exe").c_str(), def.c_str(), 0))
            << length;
        EXPECT_EQ(def, std::wstring(home.path)) << length;
    }
}

TEST_F(HomeTest, DiscoverLauncherPointerFile) {
    const Entry home = {L"StonewakeBuilder" + kMark, kMarkerFile};
    const std::string target = "..\\..\\StonewakeBuilder";
    auto pointer = [](const std::string& text) { return Entry{kPointer, text}; };
    run_scenarios({
        {"CRLF to a marked folder", {home, pointer(target + "\r\n")}, L"", kLauncher, 1, 1,
         L"StonewakeBuilder", 1},
        {"bare", {home, pointer(target)}, L"", kLauncher, 1, 1, L"StonewakeBuilder", 1},
        {"forward slashes", {home, pointer("../../StonewakeBuilder/\n")}, L"", kLauncher, 1, 1,
         L"StonewakeBuilder", 1},
        {"780 bytes", {home, pointer(target + std::string(780 - target.size(), '\n'))}, L"",
         kLauncher, 1, 1, L"StonewakeBuilder", 1},
        {"non-ASCII target",
         {{L"B\u00fchne-\u5bb6" + kMark, kMarkerFile},
          pointer("..\\..\\B\xC3\xBChne-\xE5\xAE\xB6\r\n")},
         L"", kLauncher, 1, 1, L"B\u00fchne-\u5bb6", 1},
        {"unmarked target", {{L"StonewakeBuilder", kDir}, pointer(target + "\r\n")}, L"", kLauncher,
         1, 0, L"", 0},
        {"missing target", {pointer(target)}, L"", kLauncher, 1, 0, L"", 0},
        {"damaged target", {{L"StonewakeBuilder" + kMark, kBad}, pointer(target)}, L"", kLauncher,
         1, 0, L"", 0},
        {"colon", {home, pointer("C:\\Homes\\B")}, L"", kLauncher, 1, 0, L"", 0},
        {"781 bytes", {home, pointer(target + std::string(781 - target.size(), '\n'))}, L"",
         kLauncher, 1, 0, L"", 0},
        {"invalid UTF-8", {home, pointer("..\\..\\Stonewake\xFF" "Builder")}, L"", kLauncher, 1, 0,
         L"", 0},
        {"leading backslash", {home, pointer("\\StonewakeBuilder")}, L"", kLauncher, 1, 0, L"", 0},
        {"leading slash", {home, pointer("/StonewakeBuilder")}, L"", kLauncher, 1, 0, L"", 0},
        {"NUL inside", {home, pointer(target + std::string(1, '\0') + "x")}, L"", kLauncher, 1, 0,
         L"", 0},
        {"CR inside", {home, pointer("..\\..\\Stonewake\rBuilder")}, L"", kLauncher, 1, 0, L"", 0},
        {"empty", {home, pointer("")}, L"", kLauncher, 1, 0, L"", 0},
        {"only line ends", {home, pointer("\r\n\n")}, L"", kLauncher, 1, 0, L"", 0},
        {"a folder in its place", {home, {kPointer, kDir}}, L"", kLauncher, 1, 0, L"", 0},
        {"a bad pointer is not passed over for a marked game folder",
         {{L"games\\G" + kMark, kMarkerFile}, pointer("C:\\x")}, L"", kLauncher, 1, 0, L"", 0},
        {"no pointer: the game folder's own marker",
         {{L"games\\G" + kMark, kMarkerFile}}, L"", kLauncher, 1, 1, L"games\\G", 1},
        {"no pointer, no marker: the default", {{L"games\\G", kDir}}, L"", kLauncher, 1, 1, L"*",
         0},
    });
}

TEST_F(HomeTest, DiscoverLauncherGameVersionFile) {
    auto version = [](const std::string& text) { return Entry{kVersion, text}; };
    const Entry marked_game = {L"games\\G" + kMark, kMarkerFile};
    run_scenarios({
        {"alone", {version("builder_local=1")}, L"", kLauncher, 1, 0, L"", 0},
        {"with CR", {version("builder_local=1\r")}, L"", kLauncher, 1, 0, L"", 0},
        {"later line, CRLF", {version("name=Demo\r\nbuilder_local=1\r\nx=2\r\n")}, L"", kLauncher, 1,
         0, L"", 0},
        {"even with a marked game folder", {marked_game, version("builder_local=1\n")}, L"",
         kLauncher, 1, 0, L"", 0},
        {"a folder in its place", {{kVersion, kDir}}, L"", kLauncher, 1, 0, L"", 0},
        {"builder_local=10", {version("builder_local=10\n")}, L"", kLauncher, 1, 1, L"*", 0},
        {"leading space", {version(" builder_local=1\n")}, L"", kLauncher, 1, 1, L"*", 0},
        {"inside a line", {version("x builder_local=1\n")}, L"", kLauncher, 1, 1, L"*", 0},
        {"builder_local=0", {marked_game, version("builder_local=0\n")}, L"", kLauncher, 1, 1,
         L"games\\G", 1},
        {"beyond the first 2047 bytes",
         {version(std::string(2047, '#') + "\nbuilder_local=1\n")}, L"", kLauncher, 1, 1, L"*", 0},
        {"only read for a launcher", {version("builder_local=1\n")}, L"", L"games\\G\\setup.exe", 0,
         1, L"*", 0},
    });
}

}  // namespace
