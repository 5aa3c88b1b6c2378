// The setup's verdict on a setup list, with the lines to blame. The verdict is
// the core's own (list_parse and list_validate); to name a line, each line is
// judged alone, set among known-good lines, by the same two functions.
#include "tool.h"

#include <cstring>
#include <memory>

namespace {

// A list the setup accepts, to which one line of the list under test is added.
const char kContext[] =
    "tag context\n"
    "run context/StonewakeBuilder.exe\n"
    "part 0000000000000000000000000000000000000000000000000000000000000000 1 . - - "
    "https://context/part.zip\n";

int verdict_of(const std::string& body, setup_list& list) {
    std::string copy = body;  // the parser writes line ends in place
    list_parse(&copy[0], &list);
    return list_validate(&list);
}

}  // namespace

std::vector<text_line> text_lines(const std::string& body) {
    std::vector<text_line> lines;
    unsigned number = 1;
    size_t start = 0;
    for (size_t i = 0; i <= body.size(); ++i) {
        if (i < body.size() && body[i] != '\r' && body[i] != '\n') continue;
        lines.push_back({number++, body.substr(start, i - start)});
        if (i + 1 < body.size() && body[i] == '\r' && body[i + 1] == '\n') ++i;
        start = i + 1;
    }
    return lines;
}

std::string shown(const std::string& text) {
    std::string out = text.size() > 100 ? text.substr(0, 100) + "..." : text;
    for (char& c : out)
        if ((unsigned char)c < 0x20 || (unsigned char)c == 0x7f) c = '?';
    return out;
}

int judge_list(const std::string& whole, setup_list& list, std::vector<list_finding>& findings) {
    // A NUL byte ends the file for the setup.
    std::string body = whole.substr(0, strlen(whole.c_str()));
    size_t start = findings.size();
    int verdict = verdict_of(body, list);

    std::unique_ptr<setup_list> alone(new setup_list);
    std::unique_ptr<setup_list> judged(new setup_list);
    unsigned tag_line = 0, run_line = 0, parts = 0;
    std::vector<text_line> refused;
    for (const text_line& line : text_lines(body)) {
        verdict_of(line.text, *alone);
        if (alone->tag[0]) tag_line = line.number;
        if (alone->run[0]) run_line = line.number;
        if (alone->part_count == 1 && ++parts == LIST_MAX_PARTS + 1)
            findings.push_back({line.number, "part " + std::to_string(parts) + " of the list: the setup takes at most " +
                                                 std::to_string(LIST_MAX_PARTS) + " parts"});
        if (verdict_of(kContext + line.text + "\n", *judged) != LIST_OK) refused.push_back(line);
    }
    if (verdict == LIST_UNREADABLE) {
        if (!list.tag[0]) findings.push_back({0, "the setup cannot read this list: no \"tag\" line with a value"});
        if (!list.run[0]) findings.push_back({0, "the setup cannot read this list: no \"run\" line with a value"});
        if (list.part_count == 0)
            findings.push_back({0, "the setup cannot read this list: no \"part\" line with all six fields"});
    }
    if (verdict == LIST_OK) return verdict;
    for (const text_line& line : refused) {
        // An earlier tag or run line is replaced by the last one; only that counts.
        verdict_of(line.text, *alone);
        if ((alone->tag[0] && line.number != tag_line) || (alone->run[0] && line.number != run_line)) continue;
        findings.push_back({line.number, "the setup refuses this line: " + shown(line.text)});
    }
    if (verdict == LIST_REFUSED && findings.size() == start)
        findings.push_back({0, "the setup refuses this list (a name, digest or address it does not accept)"});
    return verdict;
}
