// vantrel-send --check run as a program, on message files in a folder of the
// test's own. What the checker says of each message is the message cases' part
// (tests/feed/messages_test.cpp); here: files, output forms and exit status.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/test_support.h"

namespace {

// text as it stands inside a JSON string: a Windows path's backslashes doubled.
std::string jsonText(std::string text) {
    for (size_t at = 0; (at = text.find('\\', at)) != std::string::npos; at += 2)
        text.insert(at, 1, '\\');
    return text;
}

TEST(CheckProgram, ExitStatusSaysCleanFindingsOrUnreadable) {
    const TempFolder dir("check");
    const std::string page =
        R"({"pageData": 1, "pageNumber": 12, "lineCount": 2, "textData": "Line 0", "color": 4,)"
        R"( "height": 1, "width": 1, "textData": "Line 1", "border": false, "border": true})";
    const std::string clean = dir.write("clean.json", page);
    const std::string faulty =
        dir.write("faulty.json", "{\"pageData\": {\n  \"pageNumber\": 3,\n  \"color\": 99\n}}");
    const std::string big = dir.write("big.json", page + std::string(1 << 20, ' '));
    const std::string empty = dir.write("empty.json", "");
    const std::string folder = dir.path.generic_string();
    const struct {
        std::string args;
        int status;
        std::vector<std::string> present;  // in the output
        std::string absent = "";           // not in it (empty: not checked)
        bool terminal = false;             // standard input is a terminal
    } cases[] = {
        // A clean page says so in one line and nothing else.
        {"--check " + clean, 0, {clean + ": clean\n"}, "note:"},
        {"--check - < " + clean, 0, {"(standard input): clean\n"}, "note:"},
        // A finding points at the key's first letter, after the quote; notes stay quiet.
        {"--check " + clean + " " + faulty,
         1,
         {faulty + ":3:4: finding: row 0: \"color\" 99 rejected", faulty + ": 1 finding\n"},
         "note:"},
        {"--check " + clean + " " + (dir.path / "missing.json").string(), 2, {"missing.json"}},
        {"--check " + big, 2, {big + ": more than 1048576 bytes\n"}, ": clean"},
        {"--retry 3600001 --check " + clean, 2, {"--retry wants a whole number from 0 to 3600000"}},
        {"--check --json " + clean + " " + faulty,
         1,
         {"[\n{\"file\": \"" + jsonText(clean) + "\"",
          R"({"row": 0, "color": 4, "height": 1, "width": 1, "border": false, "reverse": false, )"
          R"("flash": false, "separator": false, "rowNumber": 0, "text": "Line 0"})",
          R"("border": true, "reverse": false, "flash": false, "separator": false, "rowNumber": 0, )"
          R"("text": "Line 1"})",
          "\"committedPage\": 12", "\"kind\": \"rejected\"", "\"severity\": \"note\"", "}\n]\n"}},
        // The help, as users of either platform ask for it.
        {"-h", 0, {"usage: vantrel-send"}},
        {"/?", 0, {"usage: vantrel-send"}},
        // A wildcard gives its files in sorted order, here clean.json and faulty.json (the
        // shell expands it on POSIX, the program itself on Windows); one that matches nothing
        // is named.
        {"--check " + folder + "/*a*.json",
         1,
         {folder + "/clean.json: clean\n" + folder + "/faulty.json:3:4: finding"},
         "big.json"},
        {"--check " + folder + "/*.none", 2, {folder + "/*.none: "}},
        // An empty message is not sent (nothing listens on port 1).
        {"--port 1 - < " + empty,
         2,
         {"vantrel-send: standard input is empty; nothing sent\n"},
         "connect"},
#ifndef _WIN32
        // A user at a terminal is told what the sender waits for.
        {"--port 1", 2, {"reading a message from standard input; Ctrl+D ends it"}, "connect", true},
#endif
    };
    for (const auto& c : cases) {
        std::string out;
        // script gives the sender a terminal for its standard input that reads an end at once.
        const int status =
            c.terminal
                ? runProgram("script",
                             "-qec \"'" VANTREL_SEND "' " + c.args + "\" /dev/null < /dev/null",
                             out)
                : runProgram(VANTREL_SEND, c.args, out);
        EXPECT_EQ(status, c.status) << c.args << "\n" << out;
        for (const std::string& text : c.present)
            EXPECT_NE(out.find(text), std::string::npos) << c.args << ": " << text << "\n" << out;
        if (!c.absent.empty()) {
            EXPECT_EQ(out.find(c.absent), std::string::npos) << c.args;
        }
    }
}

}  // namespace
