// Start-up: the command-line tail, the options found in it, the launcher
// name, and the one message of a start without a Builder home.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "base/system_dll.h"
#include "setup.h"
#include "temp_dir.h"
#include "ui/ui.h"
#include "home/home.h"
#include "app/app.h"

namespace {

using testutil::narrow;

class CmdlineTest : public ::testing::Test {
protected:
    void TearDown() override {
        memset(g_cmdline, 0, sizeof g_cmdline);
        g_headless = 0;
    }
};

TEST_F(CmdlineTest, TakeRemovesOnlyALeadingPortableOption) {
    struct Row {
        std::wstring tail;
        int portable;
        std::wstring after;
    } rows[] = {
        {L"", 0, L""},
        {L"--portable", 1, L""},
        {L"\"--portable\"", 1, L""},
        {L"--portable --cli", 1, L"--cli"},
        {L"\"--portable\" --cli x", 1, L"--cli x"},
        {L"  \t--portable \t more text ", 1, L"more text "},
        {L"--portable\tmore\ttext", 1, L"more\ttext"},
        {L"--portable --portable", 1, L"--portable"},
        {L"--portable   ", 1, L""},
        {L"--portablex", 0, L"--portablex"},
        {L"--portable-x --cli", 0, L"--portable-x --cli"},
        {L"\"--portable\"x", 0, L"\"--portable\"x"},
        {L"\"--portable", 0, L"\"--portable"},
        {L"--PORTABLE", 0, L"--PORTABLE"},
        {L"--cli --portable", 0, L"--cli --portable"},
        {L"x --portable", 0, L"x --portable"},
        {L"  --cli", 0, L"  --cli"},  // without the option nothing is removed, blanks included
        {L"\t\"C:\\Spiele \u00fc\\\u5bb6\"", 0, L"\t\"C:\\Spiele \u00fc\\\u5bb6\""},
        {L"--portable \"C:\\\u5bb6 x\"", 1, L"\"C:\\\u5bb6 x\""},
    };
    for (const Row& row : rows) {
        memset(g_cmdline, 0x41, sizeof g_cmdline);
        EXPECT_EQ(row.portable, cmdline_take(row.tail.c_str())) << narrow(row.tail);
        EXPECT_EQ(row.after, std::wstring(g_cmdline)) << narrow(row.tail);
    }
    memset(g_cmdline, 0x41, sizeof g_cmdline);
    EXPECT_EQ(0, cmdline_take(0));
    EXPECT_EQ(std::wstring(), std::wstring(g_cmdline));
}

TEST_F(CmdlineTest, TakeCutsTheTailAt2047Characters) {
    const std::wstring body(2047, L'a');
    struct Row {
        std::wstring tail;
        int portable;
        std::wstring after;
    } rows[] = {
        {body, 0, body},
        {body + L"b", 0, body},
        {body + L" --cli", 0, body},  // an option beyond the cut is not seen
        {std::wstring(3000, L'z'), 0, std::wstring(2047, L'z')},
        {L"--portable " + std::wstring(3000, L'z'), 1, std::wstring(2047 - 11, L'z')},
        {std::wstring(2037, L' ') + L"--portable", 1, L""},
        {std::wstring(2038, L' ') + L"--portable", 0, std::wstring(2038, L' ') + L"--portabl"},
    };
    for (const Row& row : rows) {
        memset(g_cmdline, 0x41, sizeof g_cmdline);
        EXPECT_EQ(row.portable, cmdline_take(row.tail.c_str())) << row.tail.size();
        EXPECT_EQ(row.after, std::wstring(g_cmdline)) << row.tail.size();
        EXPECT_EQ(0, g_cmdline[CMDLINE_CAP - 1]);
    }
}

TEST_F(CmdlineTest, StartsWithNeedsTheWholeOptionAfterLeadingSpaces) {
    struct Row {
        const wchar_t* tail;  // through cmdline_take, as start-up does
        const wchar_t* option;
        int expected;
    } rows[] = {
        {L"--cli", L"--cli", 1},
        {L"--cli --tag v1", L"--cli", 1},
        {L"   --cli", L"--cli", 1},
        {L"--portable --cli", L"--cli", 1},
        {L"\t--portable\t--cli", L"--cli", 1},
        {L"--cli --portable", L"--cli", 1},
        {L"--cli2", L"--cli", 0},
        {L"--clipboard", L"--cli", 0},
        {L"--cli\tx", L"--cli", 0},  // a tab does not end the option
        {L"\t--cli", L"--cli", 0},   // and is not skipped before it
        {L"x --cli", L"--cli", 0},
        {L"\"--cli\"", L"--cli", 0},
        {L"--CLI", L"--cli", 0},
        {L"", L"--cli", 0},
        {L"--play", L"--play", 1},
        {L"--play C:\\Games\\Demo", L"--play", 1},
        {L"  --play  \"C:\\My Game\"", L"--play", 1},
        {L"--portable --play x", L"--play", 1},
        {L"--playground", L"--play", 0},
        {L"--play\tx", L"--play", 0},
        {L"--cli --play x", L"--play", 0},
        {L"--play --cli", L"--cli", 0},
    };
    for (const Row& row : rows) {
        cmdline_take(row.tail);
        EXPECT_EQ(row.expected, cmdline_starts_with(row.option))
            << narrow(row.tail) << " / " << narrow(row.option);
    }
}

TEST_F(CmdlineTest, LauncherNameIsTheFileNameInAnyCase) {
    struct Row {
        const wchar_t* path;
        int expected;
    } rows[] = {
        {L"C:\\Games\\Demo\\stonewake.exe", 1},
        {L"C:\\Games\\Demo\\STONEWAKE.EXE", 1},
        {L"C:\\Spiele\\\u5bb6\\StoneWake.Exe", 1},
        {L"stonewake.exe", 1},
        {L"C:\\Games\\Demo\\stonewake.exe.bak", 0},
        {L"C:\\Games\\Demo\\xstonewake.exe", 0},
        {L"C:\\Games\\Demo\\stonewake", 0},
        {L"C:\\stonewake.exe\\setup.exe", 0},
        {L"C:\\Games\\Demo\\", 0},
        {L"", 0},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.expected, launcher_named(row.path)) << narrow(row.path);
}

// A CLI start whose home cannot be settled ends with one line on standard
// error and exit code 1, never a message box (which would block this test).
TEST_F(CmdlineTest, CliStartWithoutAHomeReportsOnStandardError) {
    wchar_t saved[PATH_CAP];
    DWORD had = GetEnvironmentVariableW(L"TARNWICK_SETUP_BASE", saved, PATH_CAP);
    const wchar_t* tails[] = {L"--cli", L"--portable --cli", L"--cli --launch x"};
    for (const wchar_t* tail : tails) {
        SetEnvironmentVariableW(L"TARNWICK_SETUP_BASE", L"relative\\home");
        g_headless = 0;
        int code;
        std::string text;
        {
            testutil::StderrCapture capture;
            ASSERT_TRUE(capture.ok());
            code = setup_main(GetModuleHandleW(0), tail, SW_SHOWNORMAL);
            text = capture.text();
        }
        EXPECT_EQ(1, code) << narrow(tail);
        EXPECT_EQ(1, g_headless) << narrow(tail);
        EXPECT_EQ(0, g_home_ok) << narrow(tail);
        EXPECT_EQ(
            "error The Builder home is unavailable or its portable marker is invalid. For a new "
            "portable install, put this setup in a writable folder and start it with --portable.\n",
            text)
            << narrow(tail);
    }
    SetEnvironmentVariableW(L"TARNWICK_SETUP_BASE", had && had < PATH_CAP ? saved : 0);
    g_main_thread = 0;
}

TEST(SystemDllTest, LoadsFromTheSystemFolderOrSaysWhatIsMissing) {
    struct Row {
        const wchar_t* file;
        const char* names[3];
        int loaded;
        DWORD error;
        const char* missing;
    } rows[] = {
        {L"kernel32.dll", {"GetTickCount", "GetTickCount64", 0}, 1, 0, 0},
        {L"kernel32.dll", {"GetTickCount", "NoSuchFunctionOfKernel32", 0}, 0, ERROR_PROC_NOT_FOUND,
         "NoSuchFunctionOfKernel32"},
        {L"stonewake-no-such.dll", {"GetTickCount", 0, 0}, 0, ERROR_MOD_NOT_FOUND, 0},
    };
    for (const Row& row : rows) {
        FARPROC slots[2] = {};
        system_dll dll = {row.file, row.names, slots, INIT_ONCE_STATIC_INIT, 0, 0};
        EXPECT_EQ(row.loaded, system_dll_load(&dll)) << narrow(row.file);
        EXPECT_EQ(row.error, dll.error) << narrow(row.file);
        EXPECT_STREQ(row.missing, dll.missing) << narrow(row.file);
        if (row.loaded) {
            HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
            EXPECT_EQ(GetProcAddress(kernel, "GetTickCount"), slots[0]);
            EXPECT_EQ(GetProcAddress(kernel, "GetTickCount64"), slots[1]);
            EXPECT_EQ(1, system_dll_load(&dll));  // once loaded, it stays loaded
        }
    }
}

}  // namespace
