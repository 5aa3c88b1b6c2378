// The release lookup outside the network: the memory sink, the outcome
// classes of a failed request, the requested tag, the nightly rule and the
// setup list's address.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <cstring>
#include <string>

#include "setup.h"
#include "base/base.h"
#include "release/release.h"

TEST(MemSink, GrowsByDoublingAndStaysTerminated) {
    mem_buf buffer = {};
    ASSERT_EQ(1, mem_sink(&buffer, "0123456789", 10));
    ASSERT_NE(nullptr, buffer.data);
    EXPECT_EQ(22u, buffer.cap);
    EXPECT_EQ(10u, buffer.len);
    EXPECT_EQ(0, buffer.data[10]);
    EXPECT_STREQ("0123456789", buffer.data);

    char* before = buffer.data;
    ASSERT_EQ(1, mem_sink(&buffer, "A", 1));  // needs 12 of 22: no new block
    EXPECT_EQ(before, buffer.data);
    EXPECT_EQ(22u, buffer.cap);
    EXPECT_EQ(11u, buffer.len);
    EXPECT_STREQ("0123456789A", buffer.data);

    ASSERT_EQ(1, mem_sink(&buffer, "bcdefghijkl", 11));  // needs 23: grows to 46
    EXPECT_EQ(46u, buffer.cap);
    EXPECT_EQ(22u, buffer.len);
    EXPECT_STREQ("0123456789Abcdefghijkl", buffer.data);

    mem_free(&buffer);
    EXPECT_EQ(nullptr, buffer.data);
    EXPECT_EQ(0u, buffer.len);
    EXPECT_EQ(0u, buffer.cap);
}

TEST(HttpOutcome, RetryableClasses) {
    struct Case { DWORD status; int retryable; } cases[] = {
        {0, 1},   {200, 1}, {403, 1}, {408, 1}, {429, 1}, {500, 1}, {502, 1}, {503, 1}, {599, 1},
        {301, 0}, {302, 0}, {304, 0}, {400, 0}, {401, 0}, {404, 0}, {410, 0}, {499, 0}, {100, 0},
        {204, 0}, {1, 0},   {407, 0}, {409, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(c.retryable, http_retryable(c.status) ? 1 : 0) << c.status;
}

namespace {

const std::string kReleases = SETUP_HOST_BASE "Stonewake/Stonewake/releases/";
const std::string kLatest = kReleases + "latest/download/tarnwick-setup.txt";

std::string Tagged(const std::string& tag) { return kReleases + "download/" + tag + "/tarnwick-setup.txt"; }

void SetList(const char* value) {
    std::string assignment = std::string("TARNWICK_SETUP_LIST=") + (value ? value : "");
    ASSERT_EQ(0, _putenv(assignment.c_str()));
}

// Each test sets the command line and the environment it needs and leaves
// both as it found them: empty command line, no TARNWICK_SETUP_LIST.
class Address : public testing::Test {
protected:
    void SetUp() override {
        SetList(nullptr);
        g_cmdline[0] = 0;
    }
    void TearDown() override {
        SetList(nullptr);
        g_cmdline[0] = 0;
    }
    static void Line(const std::wstring& line) {
        ASSERT_LT(line.size(), (size_t)CMDLINE_CAP);
        wcscpy(g_cmdline, line.c_str());
    }
    static std::string Tag() {
        char out[LIST_TAG_CAP];
        memset(out, 'x', sizeof out);
        requested_tag(out);
        return out;
    }
};

}  // namespace

TEST_F(Address, RequestedTag) {
    const std::wstring valid200(200, L'v');
    const std::wstring cut_bad = std::wstring(126, L'v') + L"/";
    // refused: the value is refused, and `shown` is what the message names.
    struct Case { std::wstring line; std::string tag; bool refused; std::wstring shown; } cases[] = {
        {L"", "", false, L""},
        {L"--tag 2.4.1", "2.4.1", false, L""},
        {L"--tag \"2.4.1\"", "2.4.1", false, L""},
        {L"--tag  2.4.1", "2.4.1", false, L""},
        {L"--tag \" \"2.4.1", "2.4.1", false, L""},
        {L"--cli --tag v2_0-RC.1 --repair", "v2_0-RC.1", false, L""},
        {L"--tag 2.4.1\"rest", "2.4.1", false, L""},
        {L"\"x --tag 7\"", "7", false, L""},  // found inside a quoted argument too
        {L"--tag 2.4.1+build_7", "2.4.1+build_7", false, L""},
        {L"--tag=2.4.1", "", false, L""},
        {L"--cli --tag", "", false, L""},
        {L"--TAG 2.4.1", "", false, L""},
        {L"--tag ", "", true, L""},
        {L"--tag \"\"", "", true, L""},
        {L"--tag 2.4/1", "", true, L"2.4/1"},
        {L"--tag 2.4\\1", "", true, L"2.4\\1"},
        {L"--tag 2.4.\u00e9 --cli", "", true, L"2.4.\u00e9"},
        {L"--tag 2.4\t1", "", true, L"2.4\t1"},
        {L"--tag 2/4 --tag 3.0", "", true, L"2/4"},  // only the first occurrence counts
        {L"--tag " + valid200, std::string(127, 'v'), false, L""},
        {L"--tag " + std::wstring(127, L'v') + L"/", std::string(127, 'v'), false, L""},
        {L"--tag " + cut_bad, "", true, cut_bad},
        {L"--tag " + valid200 + L"/", std::string(127, 'v'), false, L""},
    };
    for (const Case& c : cases) {
        Line(c.line);
        EXPECT_EQ(c.tag, Tag()) << testing::PrintToString(c.line);
        wchar_t shown[LIST_TAG_CAP];
        wmemset(shown, L'#', LIST_TAG_CAP);
        EXPECT_EQ(c.refused, requested_tag_refused(shown) != 0) << testing::PrintToString(c.line);
        EXPECT_EQ(c.shown, std::wstring(shown)) << testing::PrintToString(c.line);
    }
}

TEST_F(Address, NightlyRuleAndTaggedAddresses) {
    struct Case { std::wstring line; std::string url; } cases[] = {
        {L"", kLatest},
        {L"--tag 2.4.1", Tagged("2.4.1")},
        {L"--tag \"2.4.1\"", Tagged("2.4.1")},
        {L"--tag 2.4.1-14-g1a2b3c4", Tagged("nightly")},
        {L"--tag 2.4.1-14-g1a2b3c4-dirty", Tagged("nightly")},
        {L"--tag -5-gabc", Tagged("nightly")},
        {L"--tag 2.4.1-dirty", Tagged("2.4.1-dirty")},
        {L"--tag 14-g1a2b3c4", Tagged("14-g1a2b3c4")},
        {L"--tag 2.4.1-14-g1A2B", Tagged("2.4.1-14-g1A2B")},
        {L"--tag 1a2b3c4", Tagged("1a2b3c4")},
        {L"--tag 2.4/1", kLatest},
        {L"--tag=2.4.1", kLatest},
        {L"--tag -dirty", Tagged("-dirty")},
        {L"--tag 2.4.1-14-g", Tagged("2.4.1-14-g")},
        {L"--tag 2.4.1--g1a", Tagged("2.4.1--g1a")},
        {L"--tag 2.4.1-14-1a", Tagged("2.4.1-14-1a")},
        {L"--tag 2.4.1-x14-gabc", Tagged("2.4.1-x14-gabc")},
        {L"--tag 2.4.1-14-g1a-DIRTY", Tagged("2.4.1-14-g1a-DIRTY")},
        {L"--tag 1-2-gabc-dirty-dirty", Tagged("1-2-gabc-dirty-dirty")},
        {L"--tag -1-g0-dirty", Tagged("nightly")},
        {L"--tag " + std::wstring(127, L'7'), Tagged(std::string(127, '7'))},
    };
    for (const Case& c : cases) {
        Line(c.line);
        EXPECT_EQ(c.url, manifest_url()) << testing::PrintToString(c.line);
    }
}

TEST_F(Address, ExplicitListAddress) {
    Line(L"--tag 2.4.1");
    // Set: used verbatim, whatever the scheme, and --tag does not count.
    SetList("http://127.0.0.1:8080/any/list.txt?x=1");
    EXPECT_STREQ("http://127.0.0.1:8080/any/list.txt?x=1", manifest_url());
    Line(L"");
    // An overlong value is cut to 1023 bytes; 1023 bytes stay whole.
    std::string longer = "https://localhost/" + std::string(1500, 'p');
    SetList(longer.c_str());
    EXPECT_EQ(longer.substr(0, 1023), manifest_url());
    std::string exact = longer.substr(0, 1023);
    SetList(exact.c_str());
    EXPECT_EQ(exact, manifest_url());
    // Read afresh on every call.
    SetList(nullptr);
    EXPECT_EQ(kLatest, manifest_url());
}
