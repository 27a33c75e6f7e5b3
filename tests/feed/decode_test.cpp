#include "feed/decode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace {

using namespace std::string_literals;

std::string rowString(const uint8_t* row) {
    const char* text = reinterpret_cast<const char*>(row);
    return std::string(text, strnlen(text, kRowTextSize));
}

// A page model of its own in the start-up state, so that every case starts
// from the same bytes and the live store is left alone.
class PageDecode : public ::testing::Test {
protected:
    std::unique_ptr<PrivateModel> m;

    void SetUp() override { m = std::make_unique<PrivateModel>(); }
    void decode(const std::string& text) { decodeMessageInto(m->view(), text.c_str(), nullptr); }

    // The model in one line, only what differs from start-up: control bytes
    // and flags, then each changed record and its rows that hold anything,
    // with attributes (a), colour (c), row number (n), size (s) and text.
    std::string state() {
        std::string s;
        field(s, " solid %02x", m->omcw[kSolidFlags], kBottomSolid | kRegionSeparator);
        field(s, " top %d", m->omcw[kTopPage], 1);
        field(s, " ldl %d", m->omcw[kLdlPage], 1);
        if (m->solidDirty) s += " solid_dirty";
        if (m->pageDirty) s += " page_dirty";
        for (int n = 0; n < kPageCount; ++n) {
            const PageRecord& p = m->pages[n];
            PageRecord fresh{};  // as start-up leaves it: row colour 2, except in record 0
            for (int r = 0; r < kRowCount && n > 0; ++r)
                fresh.style[r].rowColor = 2;
            if (std::memcmp(&p, &fresh, sizeof p) == 0) continue;
            s += " | page " + std::to_string(n) + " lines " + std::to_string(p.lineCount);
            field(s, " number %d", p.pageNumber, n);
            field(s, " alert %x", p.alertFlags);
            field(s, " motion %x", p.motionFlags);
            for (int r = 0; r < kRowCount; ++r) {
                std::string row;
                field(row, " a%x", p.style[r].rowAttr);
                field(row, " c%d", p.style[r].rowColor);
                field(row, " n%d", p.shape[r].rowNumber);
                field(row, " s%x", p.shape[r].rowSize);
                const std::string text = rowString(p.rowText[r]);
                if (!text.empty()) row += " \"" + text + "\"";
                if (!row.empty()) s += " r" + std::to_string(r) + row;
            }
        }
        return s.empty() ? s : s.substr(1);
    }
    static void field(std::string& s, const char* format, int value, int start = 0) {
        char buf[32];
        snprintf(buf, sizeof buf, format, value);
        if (value != start) s += buf;
    }
};

std::string repeated(const std::string& unit, int times) {
    std::string s;
    for (int i = 0; i < times; ++i)
        s += unit;
    return s;
}

struct DecodeCase {
    std::vector<std::string> messages;  // decoded in order on a fresh model
    std::string state;                  // state() afterwards, then what was printed
};

// Every per-row key on all 15 rows: 294 tokens, past a 256-token array.
DecodeCase fullPage() {
    DecodeCase c{{R"({"pageData": 1, "pageNumber": 77, "lineCount": 15, "rows": [)"},
                 "page_dirty | page 77 lines 15"};
    for (int r = 0; r < kRowCount; ++r) {
        const std::string n = std::to_string(r);
        c.messages[0] += (r ? ", {" : "{") + R"("textData": "Row )"s + n + R"(", "color": )" + n +
                         R"(, "rowNumber": )" + n +
                         R"(, "height": 1, "width": 2, "border": true,)"
                         R"( "flash": false, "reverse": false, "separator": true})";
        c.state += " r" + n + " a9" + (r ? " c" + n + " n" + n : "") + " s6 \"Row " + n + "\"";
    }
    c.messages[0] += "]}";
    return c;
}

// clang-format off
const DecodeCase kCases[] = {
    // A message that does not parse changes nothing: cut short, an unclosed
    // string, a key without its value, nesting that never closes.
    {{R"({"topPage":9,"pageData":1,"pageNumber":)", R"({"topPage":"9)", R"({"topPage")",
      R"({"topPage":9,"a":)" + std::string(2000, '[')},
     ""},
    // Display keys act at once, without "pageData"; the page keys need it.
    {{R"({"topPage": 3, "pageNumber": 9, "lineCount": 1})"}, "top 3"},
    {{R"({"bottomSolid": false, "topSolid": true})"}, "solid 06 solid_dirty"},
    // Only exactly "true" sets: not with a blank after it, not True, not 1.
    {{R"({"regionSeparator": "true ", "topSolid": True, "bottomSolid": 1})"},
     "solid 00 solid_dirty"},
    // The later key wins; out of range (255, -1, ldl 4) or past any int type: ignored, not wrapped.
    {{R"({"topPage": 9, "topPage": 254, "topPage": 255, "topPage": -1,
         "ldlPage": 3, "ldlPage": 4})"},
     "top 254 ldl 3"},
    {{R"({"topPage": 99999999999999, "topPage": 4294967298,
         "topPage": 1000000000000000000000002})"},
     ""},
    // Numbers are read as "%d" reads them (blanks, sign, digits); no number reads 0.
    {{R"({"topPage": 12.9, "ldlPage": " +2x"})"}, "top 12 ldl 2"},
    {{R"({"topPage": "- 9", "ldlPage": true})"}, "top 0 ldl 0"},
    // Keys match exactly, case-sensitively, and only as quoted strings.
    {{R"({"TopPage": 5, "topPage ": 6, topPage: 7})"}, ""},
    // A string value that spells a key acts as one, with the next token as its value.
    {{R"(["topPage", 8])"}, "top 8"},
    // A text with more tokens than any 4095-byte text changes nothing; 2041 tokens (near the 2048 of the densest 4095 bytes) still decode.
    {{R"({"topPage": 9, "pageData": 1, "pageNumber": 3, "pad": [)" + repeated("0,", 2100) + "0]}"},
     ""},
    {{R"({"topPage": 9, "pad": [)" + repeated("0,", 2035) + "0]}"}, "top 9"},
    // A value is cut to its first 127 characters: a digit at 127 is read, one at 128 is not.
    {{R"({"topPage": ")" + std::string(126, ' ') + "7\"}"}, "top 7"},
    {{R"({"topPage": ")" + std::string(127, ' ') + R"(8", "ldlPage": "2)" +
      std::string(3000, 'x') + "\"}"}, "top 0 ldl 2"},
    // Display keys apply even when the page is not committed.
    {{R"({"pageData": {"pageNumber": 0, "lineCount": 1}, "ldlPage": 0, "topSolid": true})"},
     "solid 07 ldl 0 solid_dirty"},

    // "pageData" anywhere, even inside a row text, opens the page keys.
    {{R"({"pageNumber": 5, "lineCount": 1, "textData": "see pageData"})"},
     "page_dirty | page 5 lines 1 r0 \"see pageData\""},
    fullPage(),
    // Without a usable page number (absent, 255, negative, 0) nothing is committed.
    {{R"({"pageData": 1, "lineCount": 1, "warning": true, "textData": "x"})",
      R"({"pageData": 1, "pageNumber": 255, "pageNumber": -4, "lineCount": 1, "textData": "x"})",
      R"({"pageData": 1, "pageNumber": 9, "pageNumber": 0, "warning": true, "lineCount": 1})"}, ""},
    // Header bits; the preset colours are replaced.
    {{R"({"pageData": 1, "pageNumber": 3, "lineCount": 15, "freeze": true, "flip": true,
         "roll": "true", "chain": true, "advisory": false, "color": 4})"},
     "page_dirty | page 3 lines 15 alert 4 motion 7 r0 c4"},
    // The whole header is replaced: what a message does not give is 0 (lineCount 16 is rejected).
    {{R"({"pageData": 1, "pageNumber": 3, "lineCount": 15, "freeze": true, "chain": true,
         "color": 4})",
      R"({"pageData": 1, "pageNumber": 3, "roll": True, "lineCount": 16})"},
     "page_dirty | page 3 lines 0"},
    // An alert page becomes the top page and says so, over a "topPage" in the same message.
    {{R"({"pageData": {"pageNumber": 42, "warning": true}, "topPage": 9})"},
     "top 42 page_dirty | page 42 lines 0 alert 1 "
     "says advisory/warning page 42: switching display\n"},
    // Freeze alone, or a warning undone, does not switch; advisory does.
    {{R"({"pageData": {"pageNumber": 44, "freeze": true}, "topPage": 9})",
      R"({"pageData": {"pageNumber": 45, "warning": true, "warning": false}})",
      R"({"pageData": {"pageNumber": 43, "advisory": "true"}})"},
     "top 43 page_dirty | page 43 lines 0 alert 2 | page 44 lines 0 alert 4 | page 45 lines 0 "
     "says advisory/warning page 43: switching display\n"},
    // Row keys fill rows in order; a rejected colour (16) still moves its counter.
    {{R"({"pageData": 1, "pageNumber": 8, "lineCount": 5, "rows": [{"textData": "zero", "color": 1},
         {"textData": "one", "color": 2}, {"textData": "two", "color": 3}, {"color": 16},
         {"color": 5}]})"},
     "page_dirty | page 8 lines 5 r0 c1 \"zero\" r1 c2 \"one\" r2 c3 \"two\" r4 c5"},
    // "separator" and "seperator" share a counter; out-of-range height and rowNumber skip a row.
    {{R"({"pageData": 1, "pageNumber": 4, "lineCount": 3,
         "separator": true, "seperator": true, "separator": false, "flash": true, "flash": false,
         "flash": true, "reverse": "true", "border": 1, "border": true, "height": 2, "width": 3,
         "width": 1, "height": 1, "height": 4, "rowNumber": 15, "rowNumber": 16, "rowNumber": 0})"},
     "page_dirty | page 4 lines 3 r0 ae n15 sb r1 a9 s5 r2 a4"},
    // Row = occurrence mod 15: the 16th key writes row 0 again; height is OR-ed, never removed.
    {{R"({"pageData": 1, "pageNumber": 6, "lineCount": 2, "height": 1)" +
      repeated(R"(, "height": 0)", 15) + R"(, "height": 2, "textData": "t0")" +
      repeated(R"(, "textData": "mid")", 14) + R"(, "textData": "t15"})"},
     "page_dirty | page 6 lines 2 r0 s4 \"t15\" r1 s8 \"mid\""},
    // Rows at or past lineCount keep their earlier text; lineCount 0 copies no row.
    {{R"({"pageData": 1, "pageNumber": 9, "lineCount": 3, "textData": "old 0", "textData": "old 1",
         "textData": "old 2"})",
      R"({"pageData": 1, "pageNumber": 9, "lineCount": 2, "textData": "new 0", "textData": "new 1",
         "textData": "new 2"})",
      R"({"pageData": 1, "pageNumber": 9, "lineCount": 0, "textData": "none"})"},
     "page_dirty | page 9 lines 0 r0 \"new 0\" r1 \"new 1\" r2 \"old 2\""},
    // A row within lineCount that gets no text becomes empty.
    {{R"({"pageData": 1, "pageNumber": 9, "lineCount": 2, "textData": "old 0",
         "textData": "old 1"})",
      R"({"pageData": 1, "pageNumber": 9, "lineCount": 2, "textData": "only"})"},
     "page_dirty | page 9 lines 2 r0 \"only\""},
    // A row text that spells a key acts as it: warning takes the key "roll" as value (not true).
    {{R"({"pageData": 1, "pageNumber": 12, "warning": true, "lineCount": 1, "textData": "warning",
         "roll": true})"},
     "page_dirty | page 12 lines 1 motion 2 r0 \"warning\""},
    // "textData": \\ collapses to \, other escapes stay, 64 characters fill the row, the tail is
    // cut; any token is its text as written; a last-token key gets an empty row.
    {{R"({"pageData": 1, "pageNumber": 2, "lineCount": 7, "textData": "a\\b", "textData": "\\\\",
         "textData": "line\nbreak \"q\"", "textData": ")" + std::string(64, 'b') + R"(ccc",
         "textData": 12, "textData": {"a": 1}, "textData"})"},
     "page_dirty | page 2 lines 7 r0 \"a\\b\" r1 \"\\\\\" r2 \"line\\nbreak \\\"q\\\"\" r3 \"" +
     std::string(64, 'b') + "\" r4 \"12\" r5 \"{\"a\": 1}\""},
};
// clang-format on

TEST_F(PageDecode, MessagesChangeTheModelAsTheirKeysSay) {
    for (const DecodeCase& c : kCases) {
        SetUp();
        testing::internal::CaptureStdout();  // the alert switch line
        for (const std::string& m : c.messages)
            decode(m);
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(state() + (printed.empty() ? "" : " says " + printed), c.state)
            << c.messages.back();
    }
}

}  // namespace
