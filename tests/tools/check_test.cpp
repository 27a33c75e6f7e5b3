#include "tools/send/check.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "feed/listener.h"
#include "model/page_model.h"
#include "model/shared_bytes.h"

extern char** environ;

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

std::vector<std::string> kindsOf(const CheckResult& r, Severity severity) {
    std::vector<std::string> kinds;
    for (const CheckLine& l : r.lines)
        if (l.severity == severity) kinds.push_back(l.kind);
    return kinds;
}

bool hasLine(const CheckResult& r, const std::string& kind, const std::string& part) {
    for (const CheckLine& l : r.lines)
        if (kind == l.kind && l.text.find(part) != std::string::npos) return true;
    return false;
}

class PageCheck : public ::testing::Test {
protected:
    std::unique_ptr<CheckModel> model = std::make_unique<CheckModel>();
    CheckResult result;

    void SetUp() override { resetCheckModel(*model); }
    void check(const std::string& message) { checkMessage(*model, message, result); }
};

// ---------------------------------------------------------------------------
// Findings

struct FindingCase {
    const char* name;
    std::string message;
    std::vector<std::string> findings;  // kinds, in the order they are reported
    std::string kind;                   // and one line of this kind ...
    std::string part;                   // ... that says this
};

const std::string kCutMessage = [] {
    // A page whose tail, the closing brackets included, lies past 4095 bytes.
    std::string s = R"({"pageData": {"pageNumber": 9, "lineCount": 1, "textData": "x", "pad": ")";
    return s + std::string(4100 - s.size(), 'p') + "\"}}";
}();

const FindingCase kFindingCases[] = {
    {"Clean", fullPage(7), {}, "commit", "page 7 is stored with rows 0 to 14"},
    {"DisplayKeysOnlyAreClean",
     R"({"topPage": 3, "bottomSolid": false})",
     {},
     "page-keys-off",
     "display keys only"},
    {"CutPastTheBuffer", kCutMessage, {"cut", "parse-error"}, "cut", "the display reads 4095"},
    {"NoObject", R"(["topPage", 3])", {"no-object"}, "no-object", "nothing is decoded"},
    {"NulEndsTheText",
     std::string(R"({"topPage": 3})") + '\0' + R"({"ldlPage": 0})",
     {"nul"},
     "nul",
     "the 14 bytes after it"},
    {"DoesNotParse", R"({"topPage": 3)", {"parse-error"}, "parse-error", "not closed"},
    {"InvalidCharacter", "{\"topPage\": \"a\\q\"}", {"parse-error"}, "parse-error", "invalid"},
    {"Empty", "{}", {"empty"}, "empty", "nothing to decode"},
    {"PageKeysWithoutPageData",
     R"({"pageNumber": 3, "lineCount": 1, "color": 2, "color": 3, "topPage": 3})",
     {"page-keys-off"},
     "page-keys-off",
     R"(4 page keys are ignored: "pageNumber", "lineCount", "color")"},
    {"UnquotedKey",
     R"({"pageData": 1, "pageNumber": 3, topPage: 3})",
     {"unquoted-key"},
     "unquoted-key",
     "topPage without quotes"},
    {"RowTextActsAsKey",
     R"({"pageData": {"pageNumber": 3, "lineCount": 1, "textData": "warning", "roll": true}})",
     {"acts-as-key", "not-boolean"},
     "acts-as-key",
     R"(acts as the key "warning", with "roll" as its value)"},
    {"RejectedColourMovesTheCounter",
     R"({"pageData": {"pageNumber": 3, "lineCount": 5, "rows": [{"color": 1}, {"color": 2},
        {"color": 3}, {"color": 16}, {"color": 5}]}})",
     {"rejected"},
     "rejected",
     R"(row 3: "color" 16 rejected: above 15; nothing changes (the next "color" still goes to )"
     R"(row 4))"},
    {"NegativeIsRejected",
     R"({"ldlPage": -1})",
     {"rejected"},
     "rejected",
     R"("ldlPage" -1 rejected: negative)"},
    {"PageNumber255",
     R"({"pageData": {"pageNumber": 255, "lineCount": 1}})",
     {"rejected", "no-commit"},
     "no-commit",
     "no \"pageNumber\" was accepted"},
    {"PageNumberZero",
     R"({"pageData": {"pageNumber": 0}})",
     {"no-commit"},
     "no-commit",
     "0 means no page"},
    {"NoPageNumber", R"({"pageData": {"lineCount": 1}})", {"no-commit"}, "no-commit", "accepted"},
    {"NotABoolean",
     R"({"pageData": {"pageNumber": 3, "roll": True}})",
     {"not-boolean"},
     "not-boolean",
     R"("roll" True is not exactly true: roll off)"},
    {"NoNumber",
     R"({"topPage": "news"})",
     {"no-number"},
     "no-number",
     R"("topPage" "news" holds no number, read as 0: the top region shows no page)"},
    {"PartNumber",
     R"({"pageData": {"pageNumber": 3, "lineCount": 1, "color": 12.9}})",
     {"partial-number"},
     "partial-number",
     R"("color" 12.9 is read as 12)"},
    {"ValueCut",
     R"({"topPage": ")" + std::string(130, ' ') + R"(7"})",
     {"value-cut", "no-number"},
     "value-cut",
     "first 127 characters"},
    {"TextCut",
     R"({"pageData": {"pageNumber": 3, "lineCount": 1, "textData": ")" + std::string(64, 'a') +
         R"(tail"}})",
     {"text-cut"},
     "text-cut",
     R"(the last 4 are lost: "tail")"},
    {"EscapeKept",
     R"({"pageData": {"pageNumber": 3, "lineCount": 1, "textData": "two\nlines"}})",
     {"escape-kept"},
     "escape-kept",
     "backslash and letter"},
    {"BackslashesCollapseCleanly",
     R"({"pageData": {"pageNumber": 3, "lineCount": 1, "textData": "C:\\dir"}})",
     {},
     "row",
     R"(text "C:\dir")"},
    {"TextNotAString",
     R"({"pageData": {"pageNumber": 3, "lineCount": 1, "textData": 42}})",
     {"text-not-string"},
     "row",
     R"(text "42")"},
    {"TextWithoutValue",
     R"({"pageData": 1, "pageNumber": 3, "lineCount": 1, "textData"})",
     {"acts-as-key", "no-value"},  // a string without ':' is no object key
     "no-value",
     "the row is empty"},
    {"SixteenthRowWraps",
     [] {
         std::string s = R"({"pageData": 1, "pageNumber": 3, "lineCount": 15)";
         for (int i = 0; i < 16; ++i)
             s += R"(, "border": true)";
         return s + "}";
     }(),
     {"row-reused"},
     "row-reused",
     R"(row 0: this is "border" number 16)"},
    {"RowsBeyondLineCount",
     R"({"pageData": {"pageNumber": 3, "lineCount": 1,
        "rows": [{"textData": "a"}, {"textData": "b"}, {"textData": "c"}]}})",
     {"rows-dropped"},
     "rows-dropped",
     "rows 1, 2 of the message have text but lineCount is 1: not stored"},
    {"AlertOverridesTopPage",
     R"({"topPage": 9, "pageData": {"pageNumber": 42, "advisory": true}})",
     {"alert-overrides"},
     "alert",
     "advisory is set: page 42 becomes the top page (it was 9)"},
};

class FindingTable : public PageCheck, public ::testing::WithParamInterface<FindingCase> {};

TEST_P(FindingTable, ReportsWhatTheDisplayDoes) {
    const FindingCase& c = GetParam();
    check(c.message);
    EXPECT_EQ(kindsOf(result, Severity::Finding), c.findings);
    EXPECT_EQ(result.findings, static_cast<int>(c.findings.size()));
    EXPECT_TRUE(hasLine(result, c.kind, c.part)) << "no " << c.kind << " line with: " << c.part;
}

INSTANTIATE_TEST_SUITE_P(PageCheck, FindingTable, ::testing::ValuesIn(kFindingCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Places, rows and sequences

TEST_F(PageCheck, LinesPointAtTheKeyInTheFile) {
    check("{\"pageData\": {\n  \"pageNumber\": 3,\n  \"color\": 99\n}}");
    const CheckLine* rejected = nullptr;
    for (const CheckLine& l : result.lines)
        if (std::string(l.kind) == "rejected") rejected = &l;
    ASSERT_NE(rejected, nullptr);
    EXPECT_EQ(rejected->line, 3);
    EXPECT_EQ(rejected->column, 4);  // the key's first letter, after the quote
}

// Each row key counts its own rows: row 1's flags land in row 1 only because
// row 0 gave the same keys first.
TEST_F(PageCheck, RowsShowTheStoredAttributesAndText) {
    check(R"({"pageData": {"pageNumber": 5, "lineCount": 2, "rows": [
        {"textData": "a\\b", "color": 3, "height": 2, "width": 1, "border": true,
         "separator": false, "flash": false},
        {"textData": "x", "seperator": true, "flash": true}]}})");
    ASSERT_EQ(result.rows.size(), 2u);
    EXPECT_EQ(result.rows[0].text, "a\\b");
    EXPECT_EQ(result.rows[0].rowColor, 3);
    EXPECT_EQ(result.rows[0].rowSize, 2 << 2 | 1);
    EXPECT_EQ(result.rows[0].rowAttr, kRowBorder);
    EXPECT_EQ(result.rows[1].rowAttr, kRowSeparator | kRowFlash);
    EXPECT_TRUE(
        hasLine(result, "row", R"(row 0: colour 3, height 2, width 1, border, text "a\b")"));
    EXPECT_TRUE(hasLine(result, "applied", R"(row 1: "seperator" true: separator on)"));
    EXPECT_TRUE(hasLine(result, "text-collapsed", "row 0"));
    EXPECT_EQ(result.committedPage, 5);
}

TEST_F(PageCheck, MessagesAreCheckedInOrderOnOneModel) {
    check(R"({"pageData": {"pageNumber": 8, "lineCount": 3,
        "rows": [{"textData": "a"}, {"textData": "b"}, {"textData": "c"}]}})");
    EXPECT_EQ(result.findings, 0);
    check(R"({"pageData": {"pageNumber": 8, "lineCount": 1, "textData": "new"}})");
    EXPECT_EQ(result.findings, 0);
    EXPECT_TRUE(hasLine(result, "rows-kept", "page 8 keeps earlier text in row(s) 1, 2"));
}

TEST_F(PageCheck, TheLiveModelIsNeverTouched) {
    std::memset(pagestore, 0, sizeof pagestore);
    presetPageModel();
    PageRecord before[kPageCount];
    std::memcpy(before, pagestore, sizeof pagestore);
    uint8_t control[kOmcwSize];
    std::memcpy(control, omcw, sizeof omcw);
    page_dirty = 0;

    check(fullPage(3));
    check(
        R"({"topPage": 9, "bottomSolid": false, "pageData": {"pageNumber": 4, "warning": true}})");
    EXPECT_EQ(std::memcmp(before, pagestore, sizeof pagestore), 0);
    EXPECT_EQ(std::memcmp(control, omcw, sizeof omcw), 0);
    EXPECT_EQ(page_dirty, 0);
    EXPECT_EQ(model->omcw[kTopPage], 4);
}

// ---------------------------------------------------------------------------
// The real program

// Files in a folder of the test's own.
class CheckProgram : public ::testing::Test {
protected:
    std::string dir;

    void SetUp() override {
        char pattern[] = "/tmp/vantrel-check-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        for (const std::string& f : files)
            unlink(f.c_str());
        rmdir(dir.c_str());
    }
    std::string write(const std::string& name, const std::string& text) {
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        files.push_back(path);
        return path;
    }
    // Runs vantrel-send with args; returns its exit status and its output.
    int run(const std::string& args, std::string& out) {
        const std::string command = std::string(VANTREL_SEND) + " " + args + " 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) return -1;
        char buf[4096];
        size_t n;
        out.clear();
        while ((n = fread(buf, 1, sizeof buf, pipe)) > 0)
            out.append(buf, n);
        const int status = pclose(pipe);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    std::vector<std::string> files;
};

TEST_F(CheckProgram, ExitStatusSaysCleanFindingsOrUnreadable) {
    const std::string clean = write("clean.json", fullPage(12));
    const std::string faulty = write("faulty.json", R"({"pageNumber": 3, "topPage": 2})");
    std::string out;
    EXPECT_EQ(run("--check " + clean, out), 0) << out;
    EXPECT_NE(out.find(clean + ": clean\n"), std::string::npos) << out;

    EXPECT_EQ(run("--check " + clean + " " + faulty, out), 1) << out;
    EXPECT_NE(out.find(faulty + ":1:3: finding: no \"pageData\""), std::string::npos) << out;
    EXPECT_NE(out.find(faulty + ": 1 finding\n"), std::string::npos) << out;

    EXPECT_EQ(run("--check " + clean + " " + dir + "/missing.json", out), 2) << out;
    EXPECT_EQ(run("--json " + clean, out), 2) << out;  // --json belongs to --check
}

TEST_F(CheckProgram, JsonListsEveryMessageWithItsLines) {
    const std::string a = write("a.json", fullPage(12));
    const std::string b = write("b.json", R"({"pageData": {"pageNumber": 3, "color": 16}})");
    std::string out;
    EXPECT_EQ(run("--check --json " + a + " " + b, out), 1);
    EXPECT_EQ(out.front(), '[');
    EXPECT_EQ(out.substr(out.size() - 2), "]\n");
    EXPECT_NE(out.find("\"file\": \"" + a + "\""), std::string::npos);
    EXPECT_NE(out.find("\"committedPage\": 12"), std::string::npos);
    EXPECT_NE(out.find("\"kind\": \"rejected\""), std::string::npos);
    EXPECT_NE(out.find(R"({"row": 14, "color": 14, "height": 1, "width": 1)"), std::string::npos);
}

TEST_F(CheckProgram, ReadsStandardInput) {
    const std::string page = write("page.json", R"({"topPage": 4})");
    std::string out;
    EXPECT_EQ(run("--check - < " + page, out), 0) << out;
    EXPECT_NE(out.find("(standard input): clean"), std::string::npos) << out;
}

// ---------------------------------------------------------------------------
// The checker and the listener agree

// The same messages go to a listener on a free loopback port, through the real
// vantrel-send, and to the checker; both page models must end byte-identical.
TEST_F(CheckProgram, CheckerAndListenerLeaveTheSameModel) {
    std::memset(pagestore, 0, sizeof pagestore);
    std::memset(omcw, 0, sizeof omcw);
    presetPageModel();
    auto checked = std::make_unique<CheckModel>();
    resetCheckModel(*checked);

    feed_port = 0;
    const int listenSock = openListener();
    const int port = feed_bound_port.load();
    FILE* quiet = std::fopen("/dev/null", "w");
    ASSERT_NE(quiet, nullptr);

    const std::string messages[] = {
        fullPage(20),
        R"({"pageData": {"pageNumber": 20, "lineCount": 2, "warning": true,
            "rows": [{"textData": "a\\\\b", "color": 16}, {"textData": "warning"}]}, "x": 1})",
        R"({"topSolid": true, "topPage": 7, "ldlPage": 0})",
        R"({"pageNumber": 9, "lineCount": 1, "textData": "gated"})",
        std::string(R"({"topPage": 5})") + '\0' + R"({"topPage": 6})",
        kCutMessage,
        R"({"pageData": {"pageNumber": 21, "lineCount": 1, "textData": ")" + std::string(100, 'z') +
            "\"}}",
        R"(no object)",
    };
    int index = 0;
    for (const std::string& message : messages) {
        SCOPED_TRACE(index);
        const std::string path = write("m" + std::to_string(index++) + ".json", message);
        pid_t pid;
        const std::string portArg = std::to_string(port);
        const char* argv[] = {VANTREL_SEND, "--port", portArg.c_str(), path.c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        ASSERT_EQ(posix_spawn(&pid, VANTREL_SEND, &actions, nullptr, const_cast<char* const*>(argv),
                              environ),
                  0);
        posix_spawn_file_actions_destroy(&actions);
        createSock(listenSock, quiet, quiet);
        int status = 0;
        waitpid(pid, &status, 0);

        CheckResult result;
        checkMessage(*checked, message, result);

        PageRecord live[kPageCount];
        for (int n = 0; n < kPageCount; ++n)
            readPage(pagestore, n, live[n]);
        EXPECT_EQ(std::memcmp(live, checked->pages, sizeof live), 0);
        for (int i = 0; i < kOmcwSize; ++i)
            EXPECT_EQ(loadShared(omcw[i]), checked->omcw[i]) << i;
    }
    close(listenSock);
    std::fclose(quiet);
}

}  // namespace
