// The byte-level core: the name rule, the setup-list parser and its checks,
// release-download links, the release API's answer, part folders, and the
// release index with the central directory written for its entries.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "core/index_core.h"
#include "setup.h"
#include "base/base.h"
#include "store/store.h"
#include "release/release.h"

namespace {

const std::string kSha1(64, 'a');
const std::string kSha2 = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const char kBase[] = SETUP_HOST_BASE;

std::string ShaN(int n) {
    std::string s(64, '0');
    s[62] = "0123456789abcdef"[n / 16];
    s[63] = "0123456789abcdef"[n % 16];
    return s;
}

setup_list Parse(std::string body) {
    std::vector<char> copy(body.begin(), body.end());
    copy.push_back(0);
    setup_list list;
    memset(&list, 0x5a, sizeof list);  // the parser must clear what it does not fill
    list_parse(copy.data(), &list);
    return list;
}

int Verdict(const std::string& body) {
    setup_list list = Parse(body);
    return list_validate(&list);
}

std::string Head() { return "tag 2.4.1\nrun StonewakeBuilder/StonewakeBuilder.exe\n"; }

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    size_t at = text.find(from);
    EXPECT_NE(std::string::npos, at) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

std::string PartLine(const std::string& sha, const std::string& rest) {
    return "part " + sha + " " + rest + "\n";
}

// Every parsed field in one text, so that two parses compare at once.
std::string Dump(const setup_list& l) {
    std::string s = std::string(l.tag) + "|" + l.run + "|" + std::to_string(l.part_count);
    for (unsigned i = 0; i < l.part_count && i < LIST_MAX_PARTS; ++i) {
        const part_record& p = l.parts[i];
        s += std::string("|") + p.sha256 + " " + std::to_string(p.size) + " " + p.dir + " " + p.from + " " + p.to +
             " " + p.url;
    }
    return s;
}

}  // namespace

TEST(NameRule, Table) {
    struct Case { const char* name; int separators; int ok; } cases[] = {
        {"StonewakeBuilder.exe", 0, 1}, {"tools/native", 1, 1},   {"tools\\native\\", 1, 1},
        {"tools/native", 0, 0},         {"tools//native", 1, 0},  {"/tools", 1, 0},
        {"\\tools", 1, 0},              {"tools/../bin", 1, 0},   {"tools/./bin", 1, 0},
        {".", 0, 0},                    {"..", 1, 0},             {"...", 0, 0},
        {".config", 0, 1},              {"2.4.1+build_7", 0, 1},  {"C:tools", 1, 0},
        {"my tools", 0, 0},             {"", 0, 0},               {"", 1, 0},
        {"tools\\\\", 1, 0},            {"a*b", 0, 0},            {"a%b", 1, 0},
        {"caf\xc3\xa9", 0, 0},          {"tools/..", 1, 0},       {"a\tb", 0, 0},
        // Names Windows rewrites: a trailing dot (also "..." and "a./b"), and
        // device names with or without an extension, in any letter case.
        {"2.4.", 0, 0},                 {"tools./bin", 1, 0},     {"tools/bin.", 1, 0},
        {"a../b", 1, 0},                {"tools/bin./", 1, 0},    {".../x", 1, 0},
        {"CON", 0, 0},                  {"con", 0, 0},            {"StonewakeBuilder/CON", 1, 0},
        {"nul.txt", 0, 0},              {"Nul.tar.gz", 0, 0},     {"aux/x", 1, 0},
        {"PRN", 0, 0},                  {"COM1", 0, 0},           {"com9.log", 0, 0},
        {"LPT1", 0, 0},                 {"lpt0", 0, 0},           {"COM0", 0, 0},
        {"CONX", 0, 1},                 {"CON_", 0, 1},           {"COM10", 0, 1},
        {"LPT", 0, 1},                  {"COMA", 0, 1},           {"xCON", 0, 1},
        {"NULL", 0, 1},                 {"a.con", 0, 1},          {"CON-1.2", 0, 1},
        {"..a", 0, 1},                  {"a.b", 0, 1},            {"tools/.cache/x", 1, 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.ok, list_name_ok(c.name, c.separators))
            << "\"" << c.name << "\" separators " << c.separators;
}

TEST(ListParse, LineEndsAndBlankLinesReadAlike) {
    const std::string lines[] = {
        "tag 2.4.1", "run StonewakeBuilder/StonewakeBuilder.exe",
        "part " + kSha1 + " 1234 . - - https://localhost:47443/a/StonewakeBuilder-python-3.zip",
        "part " + kSha2 + " 99 runtime/win engine-x engine https://cdn.example/engine.zip"};
    auto join = [&](const std::string& end) {
        std::string s;
        for (const std::string& l : lines) s += l + end;
        return s;
    };
    setup_list lf = Parse(join("\n"));
    EXPECT_EQ("2.4.1|StonewakeBuilder/StonewakeBuilder.exe|2|" + kSha1 +
                  " 1234 . - - https://localhost:47443/a/StonewakeBuilder-python-3.zip|" + kSha2 +
                  " 99 runtime/win engine-x engine https://cdn.example/engine.zip",
              Dump(lf));
    EXPECT_EQ(LIST_OK, list_validate(&lf));
    for (const char* end : {"\r\n", "\r", "\n\n", "\r\n\r\n\n", "\n\r\r"}) {
        EXPECT_EQ(Dump(lf), Dump(Parse(join(end)))) << testing::PrintToString(end);
        EXPECT_EQ(Dump(lf), Dump(Parse("\r\n\n" + join(end)))) << testing::PrintToString(end);
    }
    EXPECT_EQ(Dump(lf), Dump(Parse(join("\n").substr(0, join("\n").size() - 1))));  // no final line end
}

TEST(ListParse, KeysAndRepeats) {
    // A byte-order mark spoils the first line's key.
    setup_list bom = Parse("\xEF\xBB\xBF" "tag 2.4.1\nrun a.exe\n" + PartLine(kSha1, "1 . - - https://h/x"));
    EXPECT_STREQ("", bom.tag);
    EXPECT_EQ(LIST_UNREADABLE, list_validate(&bom));
    // The later tag wins; an empty "tag " line, "Tag", a leading blank and a tab are ignored.
    setup_list rep = Parse("tag 1.0\ntag 2.0\ntag \nTag 3.0\n tag 4.0\ntag\t5.0\nrun a.exe\nrun b.exe\n");
    EXPECT_STREQ("2.0", rep.tag);
    EXPECT_STREQ("b.exe", rep.run);
    EXPECT_EQ(LIST_UNREADABLE, Verdict("Tag 2.4.1\nrun a.exe\n" + PartLine(kSha1, "1 . - - https://h/x")));
    EXPECT_EQ(LIST_UNREADABLE, Verdict("tag 2.4.1\n" + PartLine(kSha1, "1 . - - https://h/x")));
    EXPECT_EQ(LIST_UNREADABLE, Verdict(Head()));
    // A NUL byte ends the body.
    char body[] = "tag 1.0\n\0tag 2.0\n";
    setup_list nul;
    list_parse(body, &nul);
    EXPECT_STREQ("1.0", nul.tag);
}

TEST(ListParse, PartLines) {
    // A five-field line adds nothing and the next line takes the same record;
    // the list is refused whole, wherever that line stands.
    setup_list five = Parse(Head() + PartLine(kSha1, "1 . - -") + PartLine(kSha2, "7 . - - https://h/b"));
    ASSERT_EQ(1u, five.part_count);
    EXPECT_STREQ(kSha2.c_str(), five.parts[0].sha256);
    EXPECT_EQ(7u, five.parts[0].size);
    EXPECT_EQ(LIST_UNREADABLE, list_validate(&five));
    EXPECT_EQ(LIST_UNREADABLE, Verdict(Head() + PartLine(kSha1, "1 . - -")));
    EXPECT_EQ(LIST_UNREADABLE, Verdict(Head() + PartLine(kSha2, "7 . - - https://h/b") + "part \n"));
    EXPECT_EQ(LIST_UNREADABLE, Verdict(Head() + PartLine(kSha2, "7 . - - https://h/b") + PartLine(kSha1, "x . - - https://h/c")));
    // Other keys, and "part" without its blank, stay ignored.
    EXPECT_EQ(LIST_OK, Verdict(Head() + PartLine(kSha2, "7 . - - https://h/b") + "parts 1\npart\nPart x\n"));
    // Seven fields: the first six count.
    setup_list seven = Parse(Head() + PartLine(kSha1, "5 dir from to https://h/a extra"));
    ASSERT_EQ(1u, seven.part_count);
    EXPECT_STREQ("https://h/a", seven.parts[0].url);
    // Sixteen lines are a version; a seventeenth refuses the list (the first
    // sixteen are still the records), also when it is a short one.
    std::string many = Head();
    for (int i = 1; i <= 16; ++i) many += PartLine(ShaN(i), std::to_string(i) + " . - - https://h/p");
    EXPECT_EQ(LIST_OK, Verdict(many));
    setup_list seventeen = Parse(many + PartLine(ShaN(17), "17 . - - https://h/p"));
    ASSERT_EQ(16u, seventeen.part_count);
    EXPECT_STREQ(ShaN(16).c_str(), seventeen.parts[15].sha256);
    EXPECT_EQ(16u, seventeen.parts[15].size);
    EXPECT_EQ(LIST_TOO_MANY, list_validate(&seventeen));
    EXPECT_EQ(LIST_TOO_MANY, Verdict(many + "part x\n"));
}

TEST(ListParse, IndexLine) {
    const std::string url = "https://h/Stonewake/Stonewake/releases/download/2.4.1/tarnwick-index.txt";
    const std::string good = "index " + kSha2 + " 4096 " + url + "\n";
    struct Case { std::string lines; bool held; } cases[] = {
        {good, true},
        {Replace(good, "\n", "\r\n"), true},
        {good + good, false},                            // two: none
        {Replace(good, " 4096 ", "  4096 "), false},
        {Replace(good, " 4096 ", " 40a6 "), false},
        {Replace(good, " 4096 ", " 12345678901234567890 "), false},  // 20 digits
        {Replace(good, "https://", "http://"), false},
        {Replace(good, "https://", "HTTPS://"), false},
        {Replace(good, url, url + " x"), false},
        {Replace(good, url, url + "\t"), false},
        {Replace(good, kSha2, kSha1.substr(1)), false},
        {Replace(good, kSha2, std::string(64, 'A')), false},
        {Replace(good, "index ", "index  "), false},
        {"index\n", false},
    };
    for (const Case& c : cases) {
        setup_list list = Parse(Head() + PartLine(kSha1, "1 . - - https://h/a") + c.lines);
        EXPECT_EQ(LIST_OK, list_validate(&list)) << c.lines;  // never a refused list
        EXPECT_EQ(c.held ? kSha2 + " 4096 " + url : " 0 ",
                  std::string(list.index.sha256) + " " + std::to_string(list.index.size) + " " + list.index.url)
            << c.lines;
    }
}

TEST(ListParse, Sizes) {
    struct Case { const char* text; unsigned long long size; } cases[] = {
        {"0", 0},
        {"18446744073709551615", ULLONG_MAX},
        {"18446744073709551616", ULLONG_MAX},  // one past: must not wrap to 0
        {"99999999999999999999999", ULLONG_MAX},
        {"184467440737095516150", ULLONG_MAX},  // would wrap to a small number
    };
    for (const Case& c : cases) {
        setup_list list = Parse(Head() + PartLine(kSha1, std::string(c.text) + " . - - https://h/a"));
        ASSERT_EQ(1u, list.part_count) << c.text;
        EXPECT_EQ(c.size, list.parts[0].size) << c.text;
        EXPECT_EQ(LIST_OK, list_validate(&list)) << c.text;
    }
    // A sign is no digit: the line adds no record.
    EXPECT_EQ(0u, Parse(PartLine(kSha1, "-1 . - - https://h/a")).part_count);
}

TEST(ListParse, OverlongFieldsAreCutAndSpoilTheRest) {
    setup_list tag = Parse("tag " + std::string(200, 't') + "\n");
    EXPECT_EQ(std::string(127, 't'), tag.tag);
    // A 300-byte dir: 259 bytes stay, 41 become `from`, and the url is "-".
    setup_list dir = Parse(Head() + PartLine(kSha1, "1 " + std::string(300, 'd') + " - - https://h/a"));
    ASSERT_EQ(1u, dir.part_count);
    EXPECT_EQ(std::string(259, 'd'), dir.parts[0].dir);
    EXPECT_EQ(std::string(41, 'd'), dir.parts[0].from);
    EXPECT_STREQ("-", dir.parts[0].url);
    EXPECT_EQ(LIST_REFUSED, list_validate(&dir));
    // A digest with trailing digits: they become the size.
    setup_list sha = Parse(Head() + PartLine(kSha1 + "123456", "10 . - https://h/a"));
    ASSERT_EQ(1u, sha.part_count);
    EXPECT_STREQ(kSha1.c_str(), sha.parts[0].sha256);
    EXPECT_EQ(123456u, sha.parts[0].size);
    EXPECT_STREQ("10", sha.parts[0].dir);
    EXPECT_EQ(LIST_REFUSED, list_validate(&sha));
    // A 1100-byte url is cut to 1023 bytes.
    setup_list url = Parse(Head() + PartLine(kSha1, "1 . - - https://h/" + std::string(1100, 'u')));
    EXPECT_EQ(1023u, strlen(url.parts[0].url));
}

TEST(ListValidate, Values) {
    struct Case { std::string head, part; int verdict; } cases[] = {
        {Head(), "1234 . - - https://h/a", LIST_OK},
        {Head(), "0 . - - https://h/a", LIST_OK},
        {Head(), "1 . - - HTTPS://h/a", LIST_OK},
        {Head(), "1 . - - HtTpS://h/a", LIST_OK},
        {Head(), "1 runtime/win from to https://h/a", LIST_OK},
        {Head(), "1 . - - http://h/a", LIST_REFUSED},
        {Head(), "1 . - - https:/h/a", LIST_REFUSED},
        {Head(), "1 .. - - https://h/a", LIST_REFUSED},
        {Head(), "1 a/../b - - https://h/a", LIST_REFUSED},
        {Head(), "1 /abs - - https://h/a", LIST_REFUSED},
        {Head(), "1 . a/b to https://h/a", LIST_REFUSED},
        {Head(), "1 . from .. https://h/a", LIST_REFUSED},
        {Head(), "1 . C:x - https://h/a", LIST_REFUSED},
        {"tag a/b\nrun a.exe\n", "1 . - - https://h/a", LIST_REFUSED},
        {"tag ..\nrun a.exe\n", "1 . - - https://h/a", LIST_REFUSED},
        {"tag 1\nrun ../a.exe\n", "1 . - - https://h/a", LIST_REFUSED},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.verdict, Verdict(c.head + PartLine(kSha1, c.part))) << c.head << c.part;
    std::string upper(64, 'A');
    EXPECT_EQ(LIST_REFUSED, Verdict(Head() + PartLine(upper, "1 . - - https://h/a")));
    EXPECT_EQ(LIST_REFUSED, Verdict(Head() + PartLine(std::string(63, 'a'), "1 . - - https://h/a")));
    EXPECT_EQ(LIST_REFUSED, Verdict(Head() + PartLine(std::string(63, 'a') + "g", "1 . - - https://h/a")));
    // A refused value in a later part is found too.
    EXPECT_EQ(LIST_REFUSED, Verdict(Head() + PartLine(kSha1, "1 . - - https://h/a") +
                                    PartLine(kSha2, "1 .. - - https://h/b")));
}

TEST(ReleaseLink, Split) {
    const std::string rel = std::string(kBase) + "Stonewake/Stonewake/releases/";
    struct Case { std::string url; int ok; const char* repo; int has_tag; std::string tag, asset; } cases[] = {
        {rel + "latest/download/tarnwick-setup.txt", 1, "Stonewake/Stonewake", 0, "", "tarnwick-setup.txt"},
        {rel + "download/nightly/tarnwick-setup.txt", 1, "Stonewake/Stonewake", 1, "nightly", "tarnwick-setup.txt"},
        {rel + "download//a.zip", 1, "Stonewake/Stonewake", 1, "", "a.zip"},
        {rel + "download/" + std::string(255, 't') + "/a.zip", 1, "Stonewake/Stonewake", 1, std::string(255, 't'), "a.zip"},
        {rel + "download/" + std::string(256, 't') + "/a.zip", 0, "", 0, "", ""},
        {rel + "latest/download/" + std::string(259, 'a'), 1, "Stonewake/Stonewake", 0, "", std::string(259, 'a')},
        {rel + "latest/download/" + std::string(260, 'a'), 0, "", 0, "", ""},
        {rel + "download/nightly", 0, "", 0, "", ""},
        {rel + "latest/download/", 0, "", 0, "", ""},
        {rel + "latest/download/a.zip?x=1", 0, "", 0, "", ""},
        {rel + "latest/download/a.zip#x", 0, "", 0, "", ""},
        {rel + "download/1/sub/a.zip", 0, "", 0, "", ""},
        {std::string(kBase) + "Stonewake/Stonewake/archive/2.4.1.zip", 0, "", 0, "", ""},
        {std::string(kBase) + "Stonewake", 0, "", 0, "", ""},
        {"https://example.com/Stonewake/Stonewake/releases/latest/download/a.zip", 0, "", 0, "", ""},
        {"http://" STONEWAKE_RELEASE_HOST "/Stonewake/Stonewake/releases/latest/download/a", 0, "", 0, "", ""},
        {std::string(kBase) + "o/" + std::string(253, 'r') + "/releases/latest/download/a", 1, nullptr, 0, "", "a"},
        {std::string(kBase) + "o/" + std::string(254, 'r') + "/releases/latest/download/a", 0, "", 0, "", ""},
    };
    for (const Case& c : cases) {
        char repo[256] = "", tag[256] = "x", asset[260] = "";
        int has_tag = -1;
        int ok = release_link_split(kBase, c.url.c_str(), repo, tag, &has_tag, asset);
        EXPECT_EQ(c.ok, ok) << c.url;
        if (!ok || !c.ok) continue;
        if (c.repo) EXPECT_STREQ(c.repo, repo);
        else EXPECT_EQ(255u, strlen(repo));
        EXPECT_EQ(c.has_tag, has_tag) << c.url;
        EXPECT_EQ(c.tag, tag);
        EXPECT_EQ(c.asset, asset);
    }
}

namespace {

struct ScanResult { int ok; std::string out; };

ScanResult Scan(const std::string& answer, const char* asset = "tarnwick-setup.txt",
                size_t len = std::string::npos) {
    std::vector<char> copy(answer.begin(), answer.end());
    copy.push_back(0);
    char out[LIST_URL_CAP];
    memset(out, 'z', sizeof out);
    int ok = api_answer_scan(kBase, copy.data(), len == std::string::npos ? answer.size() : len, asset, out);
    return {ok, ok ? std::string(out) : std::string()};
}

}  // namespace

TEST(ApiAnswer, FindsTheAssetsLink) {
    const std::string link = std::string(kBase) + "Stonewake/Stonewake/releases/download/2.4.1/tarnwick-setup.txt";
    const std::string entry = "{\"name\":\"tarnwick-setup.txt\",\"browser_download_url\":\"" + link + "\"}";
    struct Case { std::string answer; int ok; std::string out; } cases[] = {
        {"[" + entry + "]", 1, link},
        // The release's own name first, then other assets, then blanks around ':'.
        {"{\"name\":\"2.4.1\",\"assets\":[{\"name\":\"tarnwick-setup.txt.sig\",\"browser_download_url\":\"" +
             std::string(kBase) + "sig\"},{\"id\":3,\"name\" \t\r\n:\n \"tarnwick-setup.txt\",\"size\":5,"
             "\"browser_download_url\"  :\t\"" + link + "\"}]}", 1, link},
        // Escaped slashes and quotes are taken literally.
        {"{\"name\":\"tarnwick-setup.txt\",\"browser_download_url\":\"https:\\/\\/" STONEWAKE_RELEASE_HOST
         "\\/a\\\"b\"}", 1, std::string(kBase) + "a\"b"},
        // A name of 600+ bytes is skipped and the search goes on.
        {"{\"name\":\"" + std::string(700, 'n') + "\"}," + entry, 1, link},
        // A "name" key whose value is not a string is passed over.
        {"{\"name\":5},{\"name\":null," + entry.substr(1), 1, link},
        // Another host.
        {"{\"name\":\"tarnwick-setup.txt\",\"browser_download_url\":\"https://example.com/x\"}", 0, ""},
        {"{\"name\":\"tarnwick-setup.txt\",\"browser_download_url\":\"http://" STONEWAKE_RELEASE_HOST "/x\"}", 0, ""},
        // The object closes before any link: 0, though later objects hold links.
        {"[{\"name\":\"tarnwick-setup.txt\"},{\"name\":\"other\",\"browser_download_url\":\"" + link + "\"}]", 0, ""},
        {"[{\"name\":\"tarnwick-setup.txt\"}," + entry + "]", 0, ""},
        // The link is only looked for after the name.
        {"{\"browser_download_url\":\"" + link + "\",\"name\":\"tarnwick-setup.txt\"}", 0, ""},
        // Unclosed values.
        {"{\"name\":\"tarnwick-setup.txt\",\"browser_download_url\":\"" + link, 0, ""},
        {"{\"name\":\"tarnwick-setup.txt", 0, ""},
        {"{\"name\":\"tarnwick-setup.txt\",\"browser_download_url\":\"" + link + "\\", 0, ""},
        // Closed, but the object never closes.
        {"{\"name\":\"tarnwick-setup.txt\",\"browser_download_url\":\"" + link + "\"", 0, ""},
        {"", 0, ""},
        {"\"name\"", 0, ""},
    };
    for (const Case& c : cases) {
        ScanResult r = Scan(c.answer);
        EXPECT_EQ(c.ok, r.ok) << c.answer;
        EXPECT_EQ(c.out, r.out) << c.answer;
    }
}

TEST(ApiAnswer, BoundsAndCuts) {
    const std::string link = std::string(kBase) + "x";
    const std::string entry = "{\"name\":\"tarnwick-setup.txt\",\"browser_download_url\":\"" + link + "\"}";
    // The answer ends at `len`, and at a NUL byte, whatever follows.
    EXPECT_EQ(1, Scan(entry).ok);
    EXPECT_EQ(0, Scan(entry, "tarnwick-setup.txt", entry.size() - 3).ok);
    std::string nul = "{\"name\":\"tarnwick-setup.txt\",\"browser_download_url\":" + std::string(1, '\0') +
                      "\"" + link + "\"}";
    EXPECT_EQ(0, Scan(nul).ok);
    // A link of 1500 bytes is stored as its first 1023.
    std::string longer = link + std::string(1500, 'l');
    ScanResult cut = Scan("{\"name\":\"tarnwick-setup.txt\",\"browser_download_url\":\"" + longer + "\"}");
    EXPECT_EQ(1, cut.ok);
    EXPECT_EQ(longer.substr(0, 1023), cut.out);
    // The asset name must match whole.
    EXPECT_EQ(0, Scan(entry, "tarnwick-setup").ok);
    EXPECT_EQ(0, Scan(entry, "tarnwick-setup.txt2").ok);
}

TEST(Decimal, OneRuleForEveryReader) {
    // Each reader's own limits (digit count, leading zeros, what follows) sit on
    // this rule; their tables show them.
    const unsigned long long top = ~0ULL;
    struct Case { const char* text; size_t length; unsigned long long max; int ok; unsigned long long value; size_t digits; } cases[] = {
        {"", 0, top, 0, 0, 0},                                          // empty
        {"x1", 2, top, 0, 0, 0},                                        // no digit first
        {"18446744073709551615", 20, top, 1, top, 20},                  // the largest
        {"18446744073709551616", 20, top, 0, 0, 20},                    // one more: no wrap
        {"99999999999999999999999", 23, top, 0, 0, 23},                 // far beyond
        {"4294967294", 10, 4294967294u, 1, 4294967294u, 10},            // a lower maximum
        {"4294967295", 10, 4294967294u, 0, 0, 10},                      // one more
        {"9", 1, 8, 0, 0, 1},
        {"00018446744073709551615", 23, top, 1, top, 23},               // leading zeros are digits
        {"12x3", 4, top, 1, 12, 2}, {"12 3", 4, top, 1, 12, 2}, {"7", 2, top, 1, 7, 1},  // stops at the first other byte
        {"123", 2, top, 1, 12, 2},                                      // and at the length
        {"+1", 2, top, 0, 0, 0}, {"-1", 2, top, 0, 0, 0}, {" 1", 2, top, 0, 0, 0},  // no sign, no blank
    };
    for (const Case& c : cases) {
        unsigned long long value = 0;
        size_t digits = 99;
        EXPECT_EQ(c.ok, decimal_read(c.text, c.length, c.max, &value, &digits)) << c.text;
        EXPECT_EQ(c.value, value) << c.text;
        EXPECT_EQ(c.digits, digits) << c.text;
    }
}

TEST(ContentRange, OnlyTheBytesAskedFor) {
    // Asked for bytes 1000 to 4999 (the rest) or 1000 to 1999 of a body of 5000 bytes.
    struct Case { const wchar_t* value; unsigned long long last; int ok; } cases[] = {
        {L"bytes 1000-4999/5000", 4999, 1}, {L"BYTES 1000-4999/5000", 4999, 1},
        {L"bytes 1000-1999/5000", 1999, 1},
        {L"bytes 999-4999/5000", 4999, 0},   // not the byte asked for
        {L"bytes 1000-4998/5000", 4999, 0},  // not up to the end
        {L"bytes 1000-4999/5000", 1999, 0},  // more than asked for
        {L"bytes 1000-1998/5000", 1999, 0},  // less
        {L"bytes 1000-4999/5001", 4999, 0},  // another body's size
        {L"bytes 1000-4999/*", 4999, 0}, {L"bytes */5000", 4999, 0}, {L"bytes 1000-4999/5000 ", 4999, 0},
        {L"bytes", 4999, 0}, {L"", 4999, 0}, {L"items 1000-4999/5000", 4999, 0},
        {L"bytes 00000000000000000001000-4999/5000", 4999, 0},  // more digits than a size has
    };
    for (const Case& c : cases) EXPECT_EQ(c.ok, content_range_ok(c.value, 1000, c.last, 5000)) << c.value;
    EXPECT_EQ(0, content_range_ok(L"bytes 1000-5000/5000", 1000, 5000, 5000));  // past the body
}

TEST(ListSigning, TheTwoLines) {
    const std::string sig = "signature " + std::string(64, '0') + std::string(64, 'f');
    const std::string body = Head() + "serial 17\n";
    // complete: one well-formed serial and signature line, only line ends after it
    struct Case { std::string text; int complete; } cases[] = {
        {body + sig, 1}, {body + sig + "\r\n\r\n", 1}, {"serial 0\r\n" + Head() + sig + "\n", 1},
        {"serial 18446744073709551615\n" + sig, 1},
        {body, 0},                                        // unsigned
        {body + sig + "\n" + sig, 0},                     // two signature lines
        {body + sig + "\n ", 0},                          // more than line ends after it
        {body + sig + "\nserial 17", 0},
        {Head() + sig, 0},                                // no serial
        {body + "serial 18\n" + sig, 0},                  // two serials
        {"serial 18446744073709551616\n" + sig, 0},       // beyond 64 bits
        {"serial 000000000000000000001\n" + sig, 0},      // 21 digits
        {"serial 1x\n" + sig, 0}, {"serial \n" + sig, 0},
        {body + "signature " + std::string(127, 'a'), 0},
        {body + "signature " + std::string(128, 'A'), 0},
        {body + sig + "0", 0},
    };
    for (const Case& c : cases) {
        list_signing s;
        list_signing_scan(c.text.data(), c.text.size(), &s);
        EXPECT_EQ(c.complete, list_signing_complete(&s)) << c.text;
    }
    list_signing s;
    std::string text = body + sig + "\n";
    list_signing_scan(text.data(), text.size(), &s);
    EXPECT_EQ(body.size(), s.signed_length);
    EXPECT_EQ(17u, s.serial);
    EXPECT_EQ(0x00, s.signature[0]);
    EXPECT_EQ(0xff, s.signature[63]);
}

TEST(ListSigning, Keys) {
    const std::string a(128, 'a'), b = std::string(126, '0') + "1f";
    unsigned char key[LIST_KEY_BYTES];
    struct Case { std::string keys; int count; } cases[] = {
        {a, 1}, {a + "," + b, 2}, {"", 0}, {a + ",", 1}, {std::string(128, 'A'), 0},
        {a.substr(1), 0}, {a + "0", 0}, {a + ",," + b, 1},
    };
    for (const Case& c : cases) {
        const char* cursor = c.keys.c_str();
        int count = 0;
        while (list_key_next(&cursor, key)) ++count;
        EXPECT_EQ(c.count, count) << c.keys;
    }
    const char* cursor = b.c_str();
    ASSERT_TRUE(list_key_next(&cursor, key));
    EXPECT_EQ(0x1f, key[63]);
}

TEST(PartFolder, Mapping) {
    struct Case { const char* dir; const char* to; std::string url; int ok; const wchar_t* folder; } cases[] = {
        {".", "-", "https://h/r/StonewakeBuilder-emsdk-3.1.50.zip", 1, L"StonewakeBuilder\\tools\\emsdk"},
        {".", "x", "https://h/StonewakeBuilder-python-3.12.zip", 1, L"StonewakeBuilder\\tools\\python"},
        {".", "-", "https://h/StonewakeBuilder-cpm-0.40.zip", 1, L"StonewakeBuilder\\tools\\cpm"},
        {".", "-", "https://h/StonewakeBuilder-third_party-1.zip", 1, L"StonewakeBuilder\\tools\\third_party"},
        {".", "-", "https://h/StonewakeBuilder-wgpu-native-22.zip", 1, L"StonewakeBuilder\\tools\\wgpu-native"},
        // The first matching tool in order wins.
        {".", "-", "https://h/StonewakeBuilder-python-emsdk-1.zip", 1, L"StonewakeBuilder\\tools\\python"},
        {".", "-", "https://h/stonewakebuilder-emsdk-1.zip", 0, nullptr},
        {".", "-", "https://h/StonewakeBuilder-EMSDK-1.zip", 0, nullptr},
        {".", "-", "https://h/StonewakeBuilder-emsdk.zip", 0, nullptr},
        {".", "-", "https://h/StonewakeBuilder-python-x/other.zip", 0, nullptr},
        {".", "-", "StonewakeBuilder-python-1.zip", 1, L"StonewakeBuilder\\tools\\python"},
        {".", "-", "", 0, nullptr},
        // `to` "-" makes a tool part whatever its dir.
        {"runtime/win", "-", "https://h/StonewakeBuilder-cpm-1.zip", 1, L"StonewakeBuilder\\tools\\cpm"},
        {"runtime/win", "-", "https://h/engine.zip", 0, nullptr},
        {"runtime/win", "engine", "https://h/StonewakeBuilder-cpm-1.zip", 1, L"runtime\\win\\engine"},
        {"a\\b/c/", "d", "https://h/e.zip", 1, L"a\\b\\c\\d"},  // one separator, as for "a\b/c"
    };
    for (const Case& c : cases) {
        part_record part = {};
        strcpy(part.dir, c.dir);
        strcpy(part.to, c.to);
        strcpy(part.url, c.url.c_str());
        wchar_t out[PATH_CAP] = L"unchanged";
        EXPECT_EQ(c.ok, part_folder(&part, out)) << c.dir << " " << c.to << " " << c.url;
        if (c.ok) {
            EXPECT_STREQ(c.folder, out);
        }
    }
}

TEST(PartFolder, TooLongIsNoFolder) {
    // dir, '\' and to: 259 bytes fit, 260 do not, and no shortened folder is given.
    struct Case { size_t dir, to; int ok; } cases[] = {{200, 58, 1}, {200, 59, 0}, {258, 200, 0}, {1, 257, 1}};
    for (const Case& c : cases) {
        part_record part = {};
        strcpy(part.dir, std::string(c.dir, 'd').c_str());
        strcpy(part.to, std::string(c.to, 't').c_str());
        strcpy(part.url, "https://h/a.zip");
        wchar_t out[PATH_CAP];
        char bytes[LIST_NAME_CAP];
        int ok = part_folder(&part, out);
        EXPECT_EQ(c.ok, ok) << c.dir << "+" << c.to;
        EXPECT_EQ(ok, part_folder_bytes(&part, bytes));
        if (ok) {
            EXPECT_EQ(c.dir + 1 + c.to, wcslen(out));
        }
    }
}

namespace {

const std::string kNothing = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// An index of one part (kSha1) of three entries, as the release tool writes it.
std::string Index() {
    return "tarnwick-index 1\n"
           "part " + kSha1 + " 3\n"
           "d 0 56 0 0000 00000000 0000 2821 0 0 " + kNothing + " a/\n"
           "f 56 85 8 0008 363a3020 0000 2821 8 6 " + kSha2 + " a/x.txt\n"
           "f 141 77 0 0808 00000000 0000 2821 0 0 " + kNothing + " a/caf\xc3\xa9 1.txt\n";
}

struct Parsed { int verdict; size_t bad_line; std::vector<std::string> names; };

Parsed ParseIndex(const std::string& text, const std::string& part = kSha1, unsigned long long size = 218,
                  size_t stop_after = 0) {
    struct Context { Parsed* out; size_t stop_after; } context;
    Parsed out = {-1, 0, {}};
    context = {&out, stop_after};
    auto keep = [](const index_entry* e, void* c) -> int {
        Context* ctx = static_cast<Context*>(c);
        ctx->out->names.push_back(std::string(e->name, e->name_length) + (e->folder ? " d" : " f") + " " +
                                  std::to_string(e->offset) + "+" + std::to_string(e->length));
        return ctx->stop_after && ctx->out->names.size() == ctx->stop_after;
    };
    std::vector<char> exact(text.begin(), text.end());  // not terminated: the length bounds the parse
    out.verdict = index_parse(exact.data(), exact.size(), part.c_str(), size, keep, &context, &out.bad_line);
    return out;
}

}  // namespace

TEST(Index, EntryNames) {
    struct Case { std::string name; int verdict; } cases[] = {
        {"a/b.txt", ENTRY_NAME_OK}, {"a/./b", ENTRY_NAME_OK}, {"a//b", ENTRY_NAME_OK}, {"..a/b..", ENTRY_NAME_OK},
        {"a/ b", ENTRY_NAME_OK}, {"caf\xc3\xa9", ENTRY_NAME_OK}, {"a/", ENTRY_NAME_OK},
        {"", ENTRY_NAME_EMPTY}, {"/a", ENTRY_NAME_ROOTED}, {"\\a", ENTRY_NAME_ROOTED},
        {"C:a", ENTRY_NAME_DRIVE}, {"a/b:stream", ENTRY_NAME_DRIVE},
        {"..", ENTRY_NAME_UPWARD}, {"a/../b", ENTRY_NAME_UPWARD}, {"a\\..\\..\\b", ENTRY_NAME_UPWARD},
        {"a/.../b", ENTRY_NAME_UPWARD}, {"a/. ./b", ENTRY_NAME_UPWARD}, {"a/.. ", ENTRY_NAME_UPWARD},
        {"a/ ", ENTRY_NAME_UPWARD},  // a blank alone: Windows drops it, as the dots
        {"a\tb", ENTRY_NAME_CONTROL}, {"a\nb", ENTRY_NAME_CONTROL}, {std::string("a\0b", 3), ENTRY_NAME_CONTROL},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.verdict, entry_name_verdict(c.name.data(), c.name.size())) << testing::PrintToString(c.name);
}

TEST(Index, Parse) {
    const std::string good = Index();
    const std::vector<std::string> all = {"a/ d 0+56", "a/x.txt f 56+85", "a/caf\xc3\xa9 1.txt f 141+77"};
    auto long_name = [&](size_t n) {  // in another part, an empty file
        return good + "part " + kSha2 + " 1\nf 0 " + std::to_string(46 + n) + " 0 0008 00000000 0000 2821 0 0 " +
               kNothing + " " + std::string(n, 'n') + "\n";
    };
    const std::string other = "part " + kSha2 + " 1\nd 0 56 0 0000 00000000 0000 2821 0 0 " + kNothing + " b/\n";
    struct Case { std::string text; int verdict; size_t bad_line; } cases[] = {
        {good, INDEX_OK, 0},
        {good + other, INDEX_OK, 0},                       // another part after it
        {Replace(good, "part ", other + "part "), INDEX_OK, 0},
        {"tarnwick-index 1\n" + other, INDEX_NO_PART, 0},
        {"tarnwick-index 1\n", INDEX_NO_PART, 0},
        {"", INDEX_MALFORMED, 1},
        {Replace(good, "index 1", "index 2"), INDEX_MALFORMED, 1},
        {good.substr(0, good.size() - 1), INDEX_MALFORMED, 5},  // the last line unended
        {Replace(good, "\n", "\r\n"), INDEX_MALFORMED, 1},
        {Replace(good, " 3\n", " 4\n"), INDEX_MALFORMED, 6},  // the section runs past the end
        {Replace(good, " 3\n", " 2\n"), INDEX_MALFORMED, 5},  // an entry where a part line is due
        {Replace(good, " 3\n", " 0\n"), INDEX_MALFORMED, 2},
        {good + good.substr(17), INDEX_MALFORMED, 6},         // the part twice
        {Replace(good, " 56 85 ", " 056 85 "), INDEX_MALFORMED, 4},
        {Replace(good, " 56 85 ", " 55 85 "), INDEX_MALFORMED, 4},   // overlaps the record before
        {Replace(good, "d 0 56 ", "d 4294967295 56 "), INDEX_MALFORMED, 3},
        {Replace(good, " 56 85 8 ", " 56 85 9 "), INDEX_MALFORMED, 4},
        {Replace(good, " 0008 363a3020", " 0009 363a3020"), INDEX_MALFORMED, 4},  // encrypted
        {Replace(good, "363a3020", "363A3020"), INDEX_MALFORMED, 4},
        {Replace(good, " 8 6 ", " 8  6 "), INDEX_MALFORMED, 4},
        {Replace(good, " 56 85 ", " 56 44 "), INDEX_MALFORMED, 4},  // shorter than header, name and data
        {Replace(good, " 141 77 0 0808 00000000 0000 2821 0 0 ", " 141 77 0 0808 00000000 0000 2821 1 0 "),
         INDEX_MALFORMED, 5},  // stored, yet two sizes
        {Replace(good, " a/x.txt", " a/x.txt/"), INDEX_MALFORMED, 4},  // a file named as a folder
        {Replace(good, " a/\n", " a\n"), INDEX_MALFORMED, 3},
        {Replace(good, " a/x.txt", " a/../../x.txt"), INDEX_MALFORMED, 4},
        {Replace(good, " a/x.txt", " C:x.txt"), INDEX_MALFORMED, 4},
        {Replace(good, " a/x.txt", " /x.txt"), INDEX_MALFORMED, 4},
        {Replace(good, " a/x.txt", " a/x\x01.txt"), INDEX_MALFORMED, 4},
        {long_name(1023), INDEX_OK, 0},
        {long_name(1024), INDEX_MALFORMED, 7},
    };
    for (const Case& c : cases) {
        Parsed p = ParseIndex(c.text);
        EXPECT_EQ(c.verdict, p.verdict) << c.text;
        EXPECT_EQ(c.bad_line, p.bad_line) << c.text;
        EXPECT_EQ(c.verdict == INDEX_OK ? all : std::vector<std::string>(), p.names) << c.text;
    }
    // Every record lies inside the part: 218 bytes.
    EXPECT_EQ(INDEX_MALFORMED, ParseIndex(good, kSha1, 217).verdict);
    EXPECT_EQ(5u, ParseIndex(good, kSha1, 217).bad_line);
    EXPECT_EQ(INDEX_OK, ParseIndex(good + other, kSha2, 56).verdict);  // other parts' sizes are not known
    EXPECT_EQ(INDEX_NO_PART, ParseIndex(good, std::string(64, 'f')).verdict);
    Parsed stopped = ParseIndex(good, kSha1, 218, 2);
    EXPECT_EQ(INDEX_STOPPED, stopped.verdict);
    EXPECT_EQ(2u, stopped.names.size());
}

TEST(Index, CentralDirectory) {
    index_entry x = {}, y = {};
    x.method = 8; x.flags = 0x0808; x.crc32 = 0x363a3020; x.time = 0x1234; x.date = 0x2821;
    x.compressed = 8; x.size = 6; x.length = 85;
    strcpy(x.name, "a/x.txt"); x.name_length = 7;
    y.folder = 1; y.length = 56;
    strcpy(y.name, "b/"); y.name_length = 2;
    const size_t need = 46 + 7 + 46 + 2 + 22;
    struct Case { unsigned long long x_at, y_at, directory_at; size_t cap; size_t written; } cases[] = {
        {0, 85, 141, need, need},
        {10, 200, 300, need, need},                     // gaps between records
        {0, 84, 141, need, 0},                          // y overlaps x
        {0, 85, 140, need, 0},                          // the directory overlaps y
        {0, 85, 141, need - 1, 0},                      // the end record does not fit
        {0, 85, 141, 46 + 7 + 45, 0},                   // y's record does not fit
        {0, 0xFFFFFFFEull - 56, 0xFFFFFFFEull, need, 0},  // so would the directory
        {0, 0xFFFFFFFFull - 56, 0xFFFFFFFFull, need, 0},   // y's record would need zip64
        {0, 0x100000000ull, 0x100000040ull, need, 0},
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> out(need + 8, 0xA5);
        zip_directory z;
        zip_directory_begin(&z, out.data(), c.cap);
        zip_directory_add(&z, &x, c.x_at);
        zip_directory_add(&z, &y, c.y_at);
        EXPECT_EQ(c.written, zip_directory_end(&z, c.directory_at)) << c.y_at << " " << c.directory_at;
        EXPECT_EQ(0xA5, out[c.cap]) << "written past the buffer";
        if (!c.written) continue;
        auto u16 = [&](size_t at) { return unsigned(out[at] | out[at + 1] << 8); };
        auto u32 = [&](size_t at) { return unsigned(u16(at) | u16(at + 2) << 16); };
        // x: signature, Unix made-by, version 2.0, its fields, a file's mode, its offset, its name.
        EXPECT_EQ(0x02014b50u, u32(0));
        EXPECT_EQ(std::vector<unsigned>({0x0314, 20, 0x0808, 8, 0x1234, 0x2821}),
                  std::vector<unsigned>({u16(4), u16(6), u16(8), u16(10), u16(12), u16(14)}));
        EXPECT_EQ(std::vector<unsigned>({0x363a3020u, 8, 6, 7, 0100644u << 16, unsigned(c.x_at)}),
                  std::vector<unsigned>({u32(16), u32(20), u32(24), u16(28), u32(38), u32(42)}));
        EXPECT_EQ("a/x.txt", std::string(out.begin() + 46, out.begin() + 53));
        // y: stored, a folder's mode.
        EXPECT_EQ(10u, u16(53 + 6));
        EXPECT_EQ(040755u << 16, u32(53 + 38));
        EXPECT_EQ(unsigned(c.y_at), u32(53 + 42));
        // The end record: two entries, the directory's size and offset.
        EXPECT_EQ(std::vector<unsigned>({0x06054b50u, 2, 2, 46 + 7 + 46 + 2, unsigned(c.directory_at), 0}),
                  std::vector<unsigned>({u32(101), u16(109), u16(111), u32(113), u32(117), u16(121)}));
    }
}

// The local header formed from the index: the fields the central directory
// record holds too, no extra field, the name; and which records are that
// header and their data alone (the only ones the delta road takes).
TEST(Index, LocalHeader) {
    index_entry e = {};
    e.method = 8; e.flags = 0x0800; e.crc32 = 0x363a3020; e.time = 0x1234; e.date = 0x2821;
    e.compressed = 8; e.size = 6; e.length = 30 + 7 + 8;
    strcpy(e.name, "a/x.txt"); e.name_length = 7;
    const std::vector<unsigned char> header = {
        'P', 'K', 3, 4, 20, 0, 0x00, 0x08, 8, 0, 0x34, 0x12, 0x21, 0x28, 0x20, 0x30, 0x3a, 0x36,
        8, 0, 0, 0, 6, 0, 0, 0, 7, 0, 0, 0, 'a', '/', 'x', '.', 't', 'x', 't'};
    struct Case { const char* what; void (*bend)(index_entry*); size_t cap; size_t formed; int plain; } cases[] = {
        {"as the tool writes it", [](index_entry*) {}, 37, 37, 1},
        {"a buffer one byte short", [](index_entry*) {}, 36, 0, 1},
        {"a data descriptor after the data", [](index_entry* x) { x->flags |= 8; x->length += 16; }, 64, 37, 0},
        {"an extra field", [](index_entry* x) { x->length += 24; }, 64, 37, 0},
        {"a record shorter than its data", [](index_entry* x) { x->length -= 1; }, 64, 37, 0},
    };
    for (const Case& c : cases) {
        index_entry x = e;
        c.bend(&x);
        std::vector<unsigned char> out(c.cap + 1, 0xA5);
        EXPECT_EQ(c.formed, zip_local_header(&x, out.data(), c.cap)) << c.what;
        EXPECT_EQ(0xA5, out[c.cap]) << c.what << ": written past the buffer";
        if (c.formed && !(x.flags & 8)) {
            EXPECT_EQ(header, std::vector<unsigned char>(out.begin(), out.begin() + 37)) << c.what;
        }
        EXPECT_EQ(c.plain, zip_record_plain(&x)) << c.what;
    }
}

TEST(Index, Places) {
    part_record renamed = {}, tool = {};
    strcpy(renamed.dir, "."); strcpy(renamed.from, "StonewakeBuilder-win-x64"); strcpy(renamed.to, "StonewakeBuilder");
    strcpy(tool.dir, "StonewakeBuilder/tools/"); strcpy(tool.from, "-"); strcpy(tool.to, "-");
    struct Case { const part_record* part; std::string name; int renamed; std::string place; } cases[] = {
        {&renamed, "StonewakeBuilder-win-x64/a.dll", 1, "StonewakeBuilder\\a.dll"},
        {&renamed, "StonewakeBuilder-win-x64/a.dll", 0, "StonewakeBuilder-win-x64\\a.dll"},
        {&renamed, "stonewakebuilder-WIN-x64/", 1, "StonewakeBuilder"},     // the top folder, in any case
        {&renamed, "./StonewakeBuilder-win-x64//x/./y", 1, "StonewakeBuilder\\x\\y"},
        {&renamed, "x/StonewakeBuilder-win-x64/y", 1, "x\\StonewakeBuilder-win-x64\\y"},  // only the top
        {&renamed, "StonewakeBuilder-win-x64x/y", 1, "StonewakeBuilder-win-x64x\\y"},
        {&tool, "python\\bin/python.exe", 1, "StonewakeBuilder\\tools\\python\\bin\\python.exe"},
        {&tool, "./", 1, ""},                                                // the dir itself
        {&renamed, ".", 1, ""},
        {&tool, std::string(300, 'n'), 1, ""},                               // does not fit
    };
    for (const Case& c : cases) {
        char out[280];
        memset(out, 0x5a, sizeof out);
        size_t n = entry_place(out, sizeof out, c.part, c.name.data(), c.name.size(), c.renamed);
        EXPECT_EQ(c.place, n ? std::string(out) : std::string()) << c.name;
        EXPECT_EQ(c.place.size(), n) << c.name;
    }
}

TEST(Index, RangePlan) {
    // Records as {offset, length}; a gap of 64 KiB is fetched, one byte more opens a range.
    struct Case { std::vector<std::pair<unsigned long long, unsigned long long>> records; unsigned ranges;
                  unsigned long long bytes; int worth; } cases[] = {
        {{}, 0, 0, 1},
        {{{100, 50}}, 1, 50, 1},
        {{{0, 10}, {10, 10}}, 1, 20, 1},
        {{{0, 10}, {10 + 65536, 10}}, 1, 65556, 1},
        {{{0, 10}, {10 + 65537, 10}}, 2, 20, 1},
        {{{0, 100001}}, 1, 100001, 0},                    // over half of the 200000-byte part
        {{{0, 100000}}, 1, 100000, 1},
    };
    for (const Case& c : cases) {
        range_plan plan = {};
        unsigned opened = 0;
        for (auto& r : c.records) opened += range_plan_add(&plan, r.first, r.second);
        EXPECT_EQ(c.ranges, plan.ranges);
        EXPECT_EQ(c.ranges, opened);
        EXPECT_EQ(c.bytes, plan.bytes);
        EXPECT_EQ(c.worth, range_plan_worth(&plan, 200000));
    }
    range_plan many = {};
    for (unsigned i = 0; i < 64; ++i) range_plan_add(&many, i * 70000ull, 10);
    EXPECT_EQ(1, range_plan_worth(&many, 1ull << 40));
    range_plan_add(&many, 64 * 70000ull, 10);
    EXPECT_EQ(0, range_plan_worth(&many, 1ull << 40));  // more ranges than a part is fetched in
}
