#include "tools/send/check.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "model/page_model.h"
#include "tests/test_support.h"

namespace {

// A full page: 15 rows, each with text, colour and size.
std::string fullPage(int number) {
    std::string s = R"({"pageData": {"pageNumber": )" + std::to_string(number) +
                    R"(, "lineCount": 15, "rows": [)";
    for (int r = 0; r < kRowCount; ++r)
        s += (r ? ", " : "") + std::string(R"({"textData": "Line )") + std::to_string(r) +
             R"(", "color": )" + std::to_string(r) + R"(, "height": 1, "width": 1})";
    return s + "]}}";
}

// A page of size bytes whose closing brackets lie past 4095 bytes once it is
// framed ("<size>#" in front).
std::string cutPage(int size) {
    std::string s = R"({"pageData": {"pageNumber": 9, "lineCount": 1, "textData": "x", "pad": ")";
    return s + std::string(size - 3 - s.size(), 'p') + "\"}}";
}
const std::string kCut = cutPage(4103);

// Page 3 with one row drawn, and then keys.
std::string page3(const std::string& keys) {
    return R"({"pageData": 1, "pageNumber": 3, "lineCount": 1, )" + keys + "}";
}

struct FindingCase {
    const char* name;
    std::string message;
    std::vector<std::string> findings;  // the kinds of the findings, in order
    std::vector<std::string> says;      // "kind: text": a line of that kind says this
    std::string before = "";            // checked first, on the same model
};

// clang-format off
const FindingCase kCases[] = {
    {"Clean", fullPage(7), {}, {"commit: page 7 is stored with rows 0 to 14"}},
    {"DisplayKeysOnly", R"({"topPage": 3, "bottomSolid": false})", {},
     {"page-keys-off: display keys only",
      "parsed: parses into 5 tokens (the display takes up to 2048)",
      R"(applied: "topPage" 3: the top region shows page 3)",
      R"(applied: "bottomSolid" false: bottomSolid off, solidFlags now 0x04)"}},
    {"CutPastTheBuffer", kCut, {"cut", "parse-error"}, 
     {"cut: the framed message is 4108 bytes; the display reads 4095, so the last 13 bytes"}},
    {"NoObject", R"(["topPage", 3])", {"no-object"}, {"no-object: nothing is decoded"}},
    {"NulEndsTheText", std::string(R"({"topPage": 3})") + '\0' + R"({"ldlPage": 0})", {"nul"},
     {"nul: the 14 bytes after it"}},
    {"DoesNotParse", R"({"topPage": 3)", {"parse-error"}, {"parse-error: not closed"}},
    {"Empty", "{}", {"empty"}, {"empty: nothing to decode"}},
    {"PageKeysWithoutPageData", R"({"pageNumber": 3, "lineCount": 1, "color": 2, "color": 3})",
     {"page-keys-off"},
     {R"(page-keys-off: 4 page keys are ignored: "pageNumber", "lineCount", "color")"}},
    {"UnquotedKey", page3("topPage: 3"), {"unquoted-key"},
     {"unquoted-key: topPage without quotes"}},
    {"RowTextActsAsKey", page3(R"("textData": "warning", "roll": true)"),
     {"acts-as-key", "not-boolean"},
     {R"(acts-as-key: acts as the key "warning", with "roll" as its value)"}},
    {"RejectedColourMovesTheCounter",
     page3(R"("color": 1, "color": 2, "color": 3, "color": 16, "color": 5)"), {"rejected"},
     {R"(rejected: row 3: "color" 16 rejected: above 15; nothing changes (the next "color")"
      R"( still goes to row 4))"}},
    {"NoNumberAndNegative", R"({"topPage": "news", "ldlPage": -1})", {"no-number", "rejected"},
     {R"(no-number: "topPage" "news" holds no number, read as 0: the top region shows no page)",
      R"(rejected: "ldlPage" -1 rejected: negative)"}},
    {"PageNumber255", R"({"pageData": 1, "pageNumber": 255})", {"rejected", "no-commit"},
     {R"(no-commit: no "pageNumber" was accepted)"}},
    {"ValuesTakenOtherwise",
     page3(R"("lineCount": 3, "roll": True, "color": 12.9, "textData": "two\nlines",)"
           R"( "textData": ")" +
           std::string(64, 'a') + R"(tail", "textData": 42)"),
     {"not-boolean", "partial-number", "escape-kept", "text-cut", "text-not-string"},
     {R"(not-boolean: "roll" True is not exactly true: roll off)",
      R"(partial-number: "color" 12.9 is read as 12)", "escape-kept: row 0: escapes other than",
      R"(text-cut: row 1: the text is 68 characters)", R"(text-cut: the last 4 are lost: "tail")",
      R"(text-not-string: row 2: "textData" 42 is not a string)"}},
    {"ValueCut", R"({"topPage": ")" + std::string(130, ' ') + R"(7"})", {"value-cut", "no-number"},
     {"value-cut: first 127 characters"}},
    // Each row key counts its own rows: row 1's flags land in row 1 as row 0 gave them first.
    {"Rows", R"({"pageData": 1, "pageNumber": 5, "lineCount": 2, "rows": [{"textData": "a\\b",
        "color": 3, "height": 2, "width": 1, "border": true, "separator": false, "flash": false},
        {"textData": "x", "seperator": true, "flash": true}]})", {},
     {R"(row: row 0: colour 3, height 2, width 1, border, text "a\b")", "text-collapsed: row 0",
      R"(applied: row 1: "seperator" true: separator on)",
      R"(row: row 1: colour 0, height 0, width 0, flash, separator, text "x")"}},
    {"RowsBeyondLineCount", page3(R"("textData": "a", "textData": "b", "textData": "c")"),
     {"rows-dropped"}, {"rows-dropped: rows 1, 2 of the message have text but lineCount is 1",
                        "rows-kept: page 3 keeps earlier text in row(s) 2, 3"},
     page3(R"("lineCount": 4, "textData": "a", "textData": "", "textData": "c", "textData": "d")")},
    {"AlertOverridesTopPage", R"({"topPage": 9, "pageData": {"pageNumber": 42, "advisory": true}})",
     {"alert-overrides"}, {"alert: advisory is set: page 42 becomes the top page (it was 9)"}},
};
// clang-format on

void PrintTo(const FindingCase& c, std::ostream* os) {
    *os << c.name;
}

class PageCheck : public ::testing::TestWithParam<FindingCase> {};

TEST_P(PageCheck, ReportsWhatTheDisplayDoes) {
    const FindingCase& c = GetParam();
    auto model = std::make_unique<CheckModel>();
    resetCheckModel(*model);
    CheckResult result;
    if (!c.before.empty()) checkMessage(*model, c.before, result);
    checkMessage(*model, c.message, result);
    std::vector<std::string> findings;
    for (const CheckLine& l : result.lines)
        if (l.severity == Severity::Finding) findings.push_back(l.kind);
    EXPECT_EQ(findings, c.findings);
    EXPECT_EQ(result.findings, static_cast<int>(c.findings.size()));
    for (const std::string& line : c.says) {  // a line of that kind that says this
        const size_t colon = line.find(": ");
        bool said = false;
        for (const CheckLine& l : result.lines)
            said |= line.compare(0, colon, l.kind) == 0 &&
                    l.text.find(line.substr(colon + 2)) != std::string::npos;
        EXPECT_TRUE(said) << "no line " << line;
    }
    const PageRecord& stored = model->pages[result.committedPage];  // record 0: no page
    EXPECT_EQ(result.rows.size(), result.committedPage ? stored.lineCount : 0u);
}

INSTANTIATE_TEST_SUITE_P(PageCheck, PageCheck, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Message files in a folder of the test's own, and the real vantrel-send.
TEST(CheckProgram, ExitStatusSaysCleanFindingsOrUnreadable) {
    const TempFolder dir("check");
    const std::string clean = dir.write("clean.json", fullPage(12));
    const std::string faulty =
        dir.write("faulty.json", "{\"pageData\": {\n  \"pageNumber\": 3,\n  \"color\": 99\n}}");
    const std::string missing = (dir.path / "missing.json").string();
    const std::string big = dir.write("big.json", fullPage(12) + std::string(1 << 20, ' '));
    const struct {
        std::string args;
        int status;
        std::vector<std::string> present;  // in the output
        std::string absent;                // not in it (empty: not checked)
    } cases[] = {
        // A clean page says so in one line and nothing else.
        {"--check " + clean, 0, {clean + ": clean\n"}, "note:"},
        {"--check - < " + clean, 0, {"(standard input): clean\n"}, "note:"},
        {"--check --verbose " + clean, 0, {clean + ": note: ", clean + ": clean\n"}, ""},
        // A finding points at the key's first letter, after the quote; notes stay quiet.
        {"--check " + clean + " " + faulty,
         1,
         {faulty + ":3:4: finding: row 0: \"color\" 99 rejected", faulty + ": 1 finding\n"},
         "note:"},
        {"--check " + clean + " " + missing, 2, {"missing.json"}, ""},
        {"--check " + big, 2, {big + ": more than 1048576 bytes\n"}, ": clean"},
        {"--check --json " + clean + " " + faulty,
         1,
         {"[\n{\"file\": \"" + clean + "\"",
          R"({"row": 14, "color": 14, "height": 1, "width": 1, "border": false, "reverse": false, )"
          R"("flash": false, "separator": false, "rowNumber": 0, "text": "Line 14"})",
          "\"committedPage\": 12", "\"kind\": \"rejected\"", "\"severity\": \"note\"", "}\n]\n"},
         ""},
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(runProgram(VANTREL_SEND, c.args, out), c.status) << c.args << "\n" << out;
        for (const std::string& text : c.present)
            EXPECT_NE(out.find(text), std::string::npos) << c.args << ": " << text << "\n" << out;
        if (!c.absent.empty()) {
            EXPECT_EQ(out.find(c.absent), std::string::npos) << c.args;
        }
    }
    // Without --verbose a clean page prints its summary line alone.
    std::string out;
    runProgram(VANTREL_SEND, "--check " + clean, out);
    EXPECT_EQ(out, clean + ": clean\n");
}

}  // namespace
