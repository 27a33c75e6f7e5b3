#include "feed/decode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "feed/decode_report.h"
#include "model/shared_bytes.h"

namespace {

// A page model of its own, in the live model's start-up state, so that every
// case starts from the same bytes and the live store is left alone.
class PageDecode : public ::testing::Test {
protected:
    PageRecord pages[kPageCount];
    uint8_t control[kOmcwSize];
    uint8_t solidDirty;
    uint8_t pageDirty;
    PageModel model{pages, control, &solidDirty, &pageDirty};
    DecodeReport report;

    void SetUp() override {
        std::memset(pages, 0, sizeof pages);
        for (int n = 1; n < kPageCount; ++n)
            for (int r = 0; r < kRowCount; ++r)
                pages[n].style[r].rowColor = 2;
        control[0] = 0;
        control[kSolidFlags] = kBottomSolid | kRegionSeparator;
        control[kTopPage] = 1;
        control[kLdlPage] = 1;
        solidDirty = 0;
        pageDirty = 0;
    }

    void decode(const std::string& text) { decodeMessageInto(model, text.c_str(), nullptr); }
    void decodeReported(const std::string& text) {
        decodeMessageInto(model, text.c_str(), &report);
    }
    std::string rowText(int page, int row) {
        const char* t = reinterpret_cast<const char*>(pages[page].rowText[row]);
        return std::string(t, strnlen(t, kRowTextSize));
    }
    void setRowText(int page, int row, const char* text) {
        std::memset(pages[page].rowText[row], 0, kRowTextSize);
        std::memcpy(pages[page].rowText[row], text, std::strlen(text));
    }
};

// ---------------------------------------------------------------------------
// Display keys

struct DisplayCase {
    const char* text;
    uint8_t solidFlags;  // expected after the message (start 0x05)
    uint8_t topPage;     // start 1
    uint8_t ldlPage;     // start 1
    bool solidDirty;
};

const DisplayCase kDisplayCases[] = {
    // The page keys need "pageData"; the display key works without it.
    {R"({"topPage": 3, "pageNumber": 9, "lineCount": 1})", 0x05, 3, 1, false},
    {R"({"bottomSolid": false})", 0x04, 1, 1, true},
    {R"({"topSolid": true})", 0x07, 1, 1, true},
    // Setting a bit that is already set still raises the flag.
    {R"({"regionSeparator": true})", 0x05, 1, 1, true},
    {R"({"topSolid": "true"})", 0x07, 1, 1, true},       // a JSON string counts
    {R"({"regionSeparator": True})", 0x01, 1, 1, true},  // only exactly "true" sets
    {R"({"regionSeparator": "true "})", 0x01, 1, 1, true},
    {R"({"regionSeparator": 1})", 0x01, 1, 1, true},
    {R"({"x": 1, "bottomSolid"})", 0x04, 1, 1, true},  // last token: empty value
    {R"({"topPage": 200, "ldlPage": 3})", 0x05, 200, 3, false},
    {R"({"topPage": 254})", 0x05, 254, 1, false},
    {R"({"topPage": 255})", 0x05, 1, 1, false},             // above the range: ignored
    {R"({"topPage": -1})", 0x05, 1, 1, false},              // negative: ignored
    {R"({"topPage": 99999999999999})", 0x05, 1, 1, false},  // huge: ignored, not wrapped
    {R"({"topPage": 4294967298})", 0x05, 1, 1, false},
    {R"({"topPage": 1000000000000000000000002})", 0x05, 1, 1,
     false},  // past 64 bits      // would wrap to 2 as an int
    {R"({"ldlPage": 4})", 0x05, 1, 1, false},
    {R"({"topPage": 12.9})", 0x05, 12, 1, false},  // digits up to the '.'
    {R"({"topPage": "7"})", 0x05, 7, 1, false},
    {R"({"topPage": " +9x"})", 0x05, 9, 1, false},  // blanks, sign, digits
    {R"({"topPage": "- 9"})", 0x05, 0, 1, false},   // no number: 0
    {R"({"topPage": "-0"})", 0x05, 0, 1, false},
    {R"({"topPage": true})", 0x05, 0, 1, false},
    {R"({"topPage": "news"})", 0x05, 0, 1, false},
    {R"({"topPage": {"a": 5}})", 0x05, 0, 1, false},         // an object's text has no number
    {R"({"a": 1, "topPage"})", 0x05, 0, 1, false},           // last token: reads 0
    {R"({"topPage": 4, "topPage": 9})", 0x05, 9, 1, false},  // the later one wins
    {R"({"topPage": 4, "topPage": 300})", 0x05, 4, 1, false},
    {R"({topPage: 5})", 0x05, 1, 1, false},                   // unquoted: never a key
    {R"({"TopPage": 5, "topPage ": 6})", 0x05, 1, 1, false},  // exact, case-sensitive
    {R"({"topPage": 5)", 0x05, 1, 1, false},                  // does not parse: nothing
    {R"({})", 0x05, 1, 1, false},
    {R"("topPage")", 0x05, 1, 1, false},  // a single token: nothing
    {"", 0x05, 1, 1, false},
    // A string value that spells a key acts as one, with the next token as value.
    {R"({"note": "topPage", "x": 8})", 0x05, 0, 1, false},
    {R"(["topPage", 8])", 0x05, 8, 1, false},
};

TEST_F(PageDecode, DisplayKeysChangeControlBytesAtOnce) {
    for (const DisplayCase& c : kDisplayCases) {
        SetUp();
        decode(c.text);
        SCOPED_TRACE(c.text);
        EXPECT_EQ(control[kSolidFlags], c.solidFlags);
        EXPECT_EQ(control[kTopPage], c.topPage);
        EXPECT_EQ(control[kLdlPage], c.ldlPage);
        EXPECT_EQ(solidDirty != 0, c.solidDirty);
        EXPECT_EQ(pageDirty, 0);  // no page in any of these
        EXPECT_EQ(control[0], 0);
    }
}

TEST_F(PageDecode, DisplayKeysApplyEvenWhenThePageIsNotCommitted) {
    decode(R"({"pageData": {"pageNumber": 0, "lineCount": 1}, "ldlPage": 0, "topSolid": true})");
    EXPECT_EQ(control[kLdlPage], 0);
    EXPECT_EQ(control[kSolidFlags], 0x07);
    EXPECT_EQ(pageDirty, 0);
}

// ---------------------------------------------------------------------------
// Commit

TEST_F(PageDecode, PageKeysNeedPageDataSomewhereInTheText) {
    decode(R"({"pageNumber": 5, "lineCount": 1, "textData": "hello"})");
    EXPECT_EQ(pages[5].pageNumber, 0);
    EXPECT_EQ(pageDirty, 0);

    // Inside a row text is enough.
    decode(R"({"pageNumber": 5, "lineCount": 1, "textData": "see pageData"})");
    EXPECT_EQ(pages[5].pageNumber, 5);
    EXPECT_EQ(rowText(5, 0), "see pageData");
    EXPECT_EQ(pageDirty, 1);
}

TEST_F(PageDecode, NothingIsCommittedWithoutAUsablePageNumber) {
    const char* const texts[] = {
        R"({"pageData": {"lineCount": 1, "warning": true, "textData": "x"}})",
        R"({"pageData": {"pageNumber": 0, "lineCount": 1, "textData": "x"}})",
        R"({"pageData": {"pageNumber": 255, "lineCount": 1, "textData": "x"}})",
        R"({"pageData": {"pageNumber": -4, "lineCount": 1, "textData": "x"}})",
        R"({"pageData": {"pageNumber": 9, "pageNumber": 0, "lineCount": 1}})",
    };
    for (const char* text : texts) {
        SetUp();
        PageRecord before[kPageCount];
        std::memcpy(before, pages, sizeof pages);
        decode(text);
        SCOPED_TRACE(text);
        EXPECT_EQ(std::memcmp(before, pages, sizeof pages), 0);
        EXPECT_EQ(pageDirty, 0);
        EXPECT_EQ(control[kTopPage], 1);
    }
}

TEST_F(PageDecode, Page200IsStoredUnderItsNumberAndEveryPageRaisesPageDirty) {
    decode(R"({"pageData": {"pageNumber": 200, "lineCount": 1, "textData": "two hundred"}})");
    EXPECT_EQ(pages[200].pageNumber, 200);
    EXPECT_EQ(rowText(200, 0), "two hundred");
    EXPECT_EQ(control[kTopPage], 1);  // not the top page, still announced
    EXPECT_EQ(pageDirty, 1);
}

TEST_F(PageDecode, CommitReplacesTheWholeHeader) {
    std::memset(&pages[7], 0xAB, kHeaderSize);  // an earlier page with every bit set
    decode(R"({"pageData": {"pageNumber": 7, "roll": true}})");
    PageRecord expected{};
    expected.pageNumber = 7;
    expected.motionFlags = kMotionRoll;
    // Header bytes the message did not give are 0, even the preset colours.
    EXPECT_EQ(std::memcmp(&pages[7], &expected, kHeaderSize), 0);
}

TEST_F(PageDecode, HeaderFieldsTakeTheirBits) {
    decode(R"({"pageData": {"pageNumber": 3, "lineCount": 15, "freeze": true, "flip": true,
               "roll": "true", "chain": true, "advisory": false}})");
    EXPECT_EQ(pages[3].lineCount, 15);
    EXPECT_EQ(pages[3].alertFlags, kAlertFreeze);
    EXPECT_EQ(pages[3].motionFlags, kMotionFlip | kMotionRoll | kMotionChain);
    EXPECT_EQ(control[kTopPage], 1);  // freeze alone does not switch

    decode(R"({"pageData": {"pageNumber": 3, "roll": True, "lineCount": 16}})");
    EXPECT_EQ(pages[3].motionFlags, 0);
    EXPECT_EQ(pages[3].lineCount, 0);  // 16 rejected, so 0 as the header is replaced
}

TEST_F(PageDecode, AnAlertPageBecomesTheTopPageAndSaysSo) {
    struct Case {
        const char* text;
        uint8_t topPage;
        const char* line;
    };
    const Case cases[] = {
        {R"({"pageData": {"pageNumber": 42, "warning": true}, "topPage": 9})", 42,
         "advisory/warning page 42: switching display\n"},
        {R"({"pageData": {"pageNumber": 43, "advisory": "true"}})", 43,
         "advisory/warning page 43: switching display\n"},
        {R"({"pageData": {"pageNumber": 44, "freeze": true}, "topPage": 9})", 9, ""},
        {R"({"pageData": {"pageNumber": 45, "warning": true, "warning": false}})", 1, ""},
        {R"({"pageData": {"pageNumber": 0, "warning": true}})", 1, ""},
    };
    for (const Case& c : cases) {
        SetUp();
        testing::internal::CaptureStdout();
        decode(c.text);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line) << c.text;
        EXPECT_EQ(control[kTopPage], c.topPage) << c.text;
    }
}

TEST_F(PageDecode, RowKeysFillRowsInOrderAndARejectedValueStillMovesItsCounter) {
    decode(R"({"pageData": {"pageNumber": 8, "lineCount": 5, "rows": [
        {"textData": "zero", "color": 1},
        {"textData": "one", "color": 2},
        {"textData": "two", "color": 3},
        {"color": 16},
        {"color": 5}]}})");
    EXPECT_EQ(rowText(8, 0), "zero");
    EXPECT_EQ(rowText(8, 1), "one");
    EXPECT_EQ(rowText(8, 2), "two");
    EXPECT_EQ(pages[8].style[0].rowColor, 1);
    EXPECT_EQ(pages[8].style[1].rowColor, 2);
    EXPECT_EQ(pages[8].style[2].rowColor, 3);
    EXPECT_EQ(pages[8].style[3].rowColor, 0);  // 16 was rejected
    EXPECT_EQ(pages[8].style[4].rowColor, 5);  // and still counted
}

TEST_F(PageDecode, RowAttributesSizesAndTheSharedSeparatorCounter) {
    decode(R"({"pageData": {"pageNumber": 4, "lineCount": 3,
        "separator": true, "seperator": true, "separator": false,
        "flash": true, "flash": false, "flash": true,
        "reverse": "true", "border": 1, "border": true,
        "height": 2, "width": 3, "width": 1, "height": 1, "height": 4,
        "rowNumber": 15, "rowNumber": 16, "rowNumber": 0}})");
    EXPECT_EQ(pages[4].style[0].rowAttr, kRowSeparator | kRowFlash | kRowReverse);
    EXPECT_EQ(pages[4].style[1].rowAttr, kRowSeparator | kRowBorder);
    EXPECT_EQ(pages[4].style[2].rowAttr, kRowFlash);
    EXPECT_EQ(pages[4].shape[0].rowSize, 2 << 2 | 3);
    EXPECT_EQ(pages[4].shape[1].rowSize, 1 << 2 | 1);
    EXPECT_EQ(pages[4].shape[2].rowSize, 0);  // height 4 is out of range
    EXPECT_EQ(pages[4].shape[0].rowNumber, 15);
    EXPECT_EQ(pages[4].shape[1].rowNumber, 0);
}

TEST_F(PageDecode, HeightAndWidthAddBitsToARowAndNeverRemoveThem) {
    std::string text = R"({"pageData": 1, "pageNumber": 6, "height": 1)";
    for (int i = 0; i < kRowCount; ++i)
        text += R"(, "height": 0)";
    text += R"(, "height": 2})";  // the 17th height lands on row 1, the 16th on row 0
    decode(text);
    EXPECT_EQ(pages[6].shape[0].rowSize, 1 << 2);
    EXPECT_EQ(pages[6].shape[1].rowSize, 2 << 2);
}

TEST_F(PageDecode, TheSixteenthRowKeyWritesRowZeroAgain) {
    std::string text = R"({"pageData": 1, "pageNumber": 6, "lineCount": 15)";
    for (int i = 0; i < 16; ++i)
        text += R"(, "textData": "row )" + std::to_string(i) + "\"";
    text += "}";
    decode(text);
    EXPECT_EQ(rowText(6, 0), "row 15");
    EXPECT_EQ(rowText(6, 1), "row 1");
    EXPECT_EQ(rowText(6, 14), "row 14");
}

TEST_F(PageDecode, RowsBeyondLineCountKeepTheirEarlierText) {
    setRowText(9, 0, "old 0");
    setRowText(9, 1, "old 1");
    setRowText(9, 2, "old 2");
    decode(R"({"pageData": {"pageNumber": 9, "lineCount": 2,
        "rows": [{"textData": "new 0"}, {"textData": "new 1"}, {"textData": "new 2"}]}})");
    EXPECT_EQ(rowText(9, 0), "new 0");
    EXPECT_EQ(rowText(9, 1), "new 1");
    EXPECT_EQ(rowText(9, 2), "old 2");

    decode(R"({"pageData": {"pageNumber": 9, "lineCount": 0, "textData": "new"}})");
    EXPECT_EQ(rowText(9, 0), "new 0");  // lineCount 0 copies no row
    EXPECT_EQ(pages[9].pageNumber, 9);

    // A row given no text within lineCount becomes empty.
    decode(R"({"pageData": {"pageNumber": 9, "lineCount": 2, "textData": "only"}})");
    EXPECT_EQ(rowText(9, 0), "only");
    EXPECT_EQ(rowText(9, 1), "");
}

TEST_F(PageDecode, ARowTextThatSpellsAKeyActsAsThatKey) {
    // The row text warning acts as the warning key; its value is the next
    // token, the key "roll", which is not true: the page's warning is undone.
    decode(R"({"pageData": {"pageNumber": 12, "warning": true, "lineCount": 1,
        "textData": "warning", "roll": true}})");
    EXPECT_EQ(rowText(12, 0), "warning");
    EXPECT_EQ(pages[12].alertFlags, 0);
    EXPECT_EQ(pages[12].motionFlags, kMotionRoll);
    EXPECT_EQ(control[kTopPage], 1);

    // A row text topPage reads the next key's name as its number: 0.
    decode(R"({"pageData": {"pageNumber": 13, "lineCount": 1,
        "textData": "topPage", "color": 3}})");
    EXPECT_EQ(rowText(13, 0), "topPage");
    EXPECT_EQ(control[kTopPage], 0);
    EXPECT_EQ(pages[13].style[0].rowColor, 3);
}

// ---------------------------------------------------------------------------
// "textData" and value bounds

struct TextCase {
    std::string json;      // the value as written between the quotes
    std::string expected;  // the row's 64 bytes, NULs included
};

std::string padded(std::string s) {
    s.resize(kRowTextSize, '\0');
    return s;
}

TEST_F(PageDecode, TextDataCollapsesEscapedBackslashesWithinItsSource) {
    const std::string b64(64, 'b');
    const std::string pairs32 = [] {
        std::string s;
        for (int i = 0; i < 32; ++i)
            s += "\\\\";
        return s;
    }();
    const TextCase cases[] = {
        {R"(a\\b)", padded(R"(a\b)")},
        {R"(\\\\)", padded(R"(\\)")},
        {R"(line\nbreak \"q\")", padded(R"(line\nbreak \"q\")")},  // other escapes stay
        {R"(\\\n)", padded(R"(\\n)")},
        {"", padded("")},
        {b64, b64},          // exactly 64: no terminator
        {b64 + "ccc", b64},  // the tail past 64 is cut
        // 64 source characters collapse to 32; the rest of the row is NUL,
        // not characters read from beyond the source.
        {pairs32 + "after", padded(std::string(32, '\\'))},
        // A pair split by the 64-character cut is not collapsed.
        {std::string(63, 'a') + "\\\\", std::string(63, 'a') + "\\"},
        {"x" + pairs32, padded("x" + std::string(31, '\\') + "\\")},
    };
    for (const TextCase& c : cases) {
        SetUp();
        decode(R"({"pageData": 1, "pageNumber": 2, "lineCount": 1, "textData": ")" + c.json +
               "\"}");
        SCOPED_TRACE(c.json);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(pages[2].rowText[0]), kRowTextSize),
                  c.expected);
    }
}

// The row scan written out plainly, character by character, as the row rule
// states it: the decoder's row must match it bit for bit, however it gets there.
std::string referenceRow(const std::string& value) {
    char src[kRowTextSize] = {};
    std::memcpy(src, value.data(), std::min<size_t>(value.size(), kRowTextSize));
    std::string row(kRowTextSize, '\0');
    int skip = 0;
    for (int o = 0; o < kRowTextSize; ++o) {
        int r = o + skip;
        if (r + 1 < kRowTextSize && src[r] == '\\' && src[r + 1] == '\\') {
            ++skip;
            ++r;
        }
        row[o] = r < kRowTextSize ? src[r] : '\0';
    }
    return row;
}

TEST_F(PageDecode, TextDataRowsMatchThePlainScanBitForBit) {
    // Values built from letters, escaped backslashes and other escapes, of
    // every length around the 64-character source; a fixed seed keeps it stable.
    const char* const units[] = {"a", "b", R"(\\)", R"(\n)", R"(\")", " "};
    std::mt19937 rng(2024);
    for (int c = 0; c < 4000; ++c) {
        std::string value;
        const size_t target = rng() % 90;
        const int backslashShare = static_cast<int>(rng() % 4);  // 0: none at all
        while (value.size() < target) {
            const unsigned u = rng() % 6;
            if (backslashShare == 0 && (u == 2 || u == 3 || u == 4)) continue;
            value += units[u];
        }
        SetUp();
        decode(R"({"pageData": 1, "pageNumber": 2, "lineCount": 1, "textData": ")" + value + "\"}");
        ASSERT_EQ(std::string(reinterpret_cast<const char*>(pages[2].rowText[0]), kRowTextSize),
                  referenceRow(value))
            << value;
    }
}

TEST_F(PageDecode, TextDataOfAnyTokenTypeIsItsTextAsWritten) {
    decode(R"({"pageData": 1, "pageNumber": 2, "lineCount": 3,
        "textData": 12, "textData": {"a": 1}, "textData"})");
    EXPECT_EQ(rowText(2, 0), "12");
    EXPECT_EQ(rowText(2, 1), R"({"a": 1})");
    EXPECT_EQ(rowText(2, 2), "");  // last token: empty value
}

TEST_F(PageDecode, AValueIsCutToItsFirst127Characters) {
    // 126 blanks and a digit: the digit is character 127 and is read.
    decode(R"({"topPage": ")" + std::string(126, ' ') + "7\"}");
    EXPECT_EQ(control[kTopPage], 7);
    // One more blank pushes the digit to character 128, past the cut.
    decode(R"({"topPage": ")" + std::string(127, ' ') + "8\"}");
    EXPECT_EQ(control[kTopPage], 0);
    // A very long value stays bounded and is still read from its start.
    decode(R"({"ldlPage": "2)" + std::string(3000, 'x') + "\"}");
    EXPECT_EQ(control[kLdlPage], 2);
}

// ---------------------------------------------------------------------------
// Token array

// One row object with every per-row key: 19 tokens a row, 298 tokens in all.
std::string fullPage(int number) {
    std::string s = R"({"pageData": {"pageNumber": )" + std::to_string(number) +
                    R"(, "lineCount": 15, "chain": false, "roll": false, "rows": [)";
    for (int r = 0; r < kRowCount; ++r) {
        if (r > 0) s += ", ";
        s += R"({"textData": "Row )" + std::to_string(r) + R"( of the page", "color": )" +
             std::to_string(r) + R"(, "rowNumber": )" + std::to_string(r) +
             R"(, "height": 1, "width": 2, "border": true, "flash": false, "reverse": false,)"
             R"( "separator": true})";
    }
    return s + "]}}";
}

TEST_F(PageDecode, AFullPageWithEveryRowKeyOnAllRowsCommits) {
    const std::string text = fullPage(77);
    ASSERT_LT(text.size(), 4095u);
    decodeReported(text);
    EXPECT_EQ(report.parseResult, 298);  // beyond a 256-token array
    EXPECT_EQ(report.commit, CommitOutcome::Committed);
    ASSERT_EQ(pages[77].pageNumber, 77);
    EXPECT_EQ(pages[77].lineCount, 15);
    for (int r = 0; r < kRowCount; ++r) {
        SCOPED_TRACE(r);
        EXPECT_EQ(rowText(77, r), "Row " + std::to_string(r) + " of the page");
        EXPECT_EQ(pages[77].style[r].rowColor, r);
        EXPECT_EQ(pages[77].style[r].rowAttr, kRowBorder | kRowSeparator);
        EXPECT_EQ(pages[77].shape[r].rowNumber, r);
        EXPECT_EQ(pages[77].shape[r].rowSize, 1 << 2 | 2);
    }
    EXPECT_EQ(pageDirty, 1);
}

TEST_F(PageDecode, AnyTextThatFitsTheMessageBufferTokenizes) {
    // Two characters per token is the densest jsmn allows; a 4095-byte text
    // of empty strings and a last one-character primitive has 2048 tokens.
    std::string densest;
    for (int i = 0; i < 2047; ++i)
        densest += "\"\"";
    densest += "1";
    ASSERT_EQ(densest.size(), 4095u);
    decodeReported(densest);
    EXPECT_EQ(report.parseResult, 2048);

    // A page message of nearly 2000 tokens still applies its keys.
    std::string busy = R"({"topPage": 9, "pad": [)";
    while (busy.size() < 4080)
        busy += "0,";
    busy += "0]}";
    decodeReported(busy);
    EXPECT_GT(report.parseResult, 1900);
    EXPECT_EQ(control[kTopPage], 9);
}

TEST_F(PageDecode, ATextWithTooManyTokensChangesNothing) {
    std::string text = R"({"topPage": 9, "pageData": {"pageNumber": 3}, "pad": [)";
    for (int i = 0; i < 2100; ++i)
        text += "0,";
    text += "0]}";
    decodeReported(text);
    EXPECT_EQ(report.parseResult, JSMN_ERROR_NOMEM);
    EXPECT_EQ(control[kTopPage], 1);
    EXPECT_EQ(pages[3].pageNumber, 0);
    EXPECT_EQ(pageDirty, 0);
}

// ---------------------------------------------------------------------------
// Report

TEST_F(PageDecode, TheReportDoesNotChangeWhatIsDecoded) {
    const std::string texts[] = {
        fullPage(5),
        R"({"pageData": {"pageNumber": 5, "warning": true, "lineCount": 2,
            "textData": "a", "textData": "topPage", "x": 30, "color": 99}, "topSolid": false})",
    };
    for (const std::string& text : texts) {
        SetUp();
        testing::internal::CaptureStdout();  // the alert line of the second text
        decode(text);
        testing::internal::GetCapturedStdout();
        PageRecord plainPages[kPageCount];
        std::memcpy(plainPages, pages, sizeof pages);
        uint8_t plainControl[kOmcwSize];
        std::memcpy(plainControl, control, sizeof control);
        const uint8_t plainDirty[2] = {solidDirty, pageDirty};

        SetUp();
        decodeReported(text);
        EXPECT_EQ(std::memcmp(plainPages, pages, sizeof pages), 0);
        EXPECT_EQ(std::memcmp(plainControl, control, sizeof control), 0);
        EXPECT_EQ(plainDirty[0], solidDirty);
        EXPECT_EQ(plainDirty[1], pageDirty);
    }
}

TEST_F(PageDecode, ReportRecordsEachKeyWithItsRowAndOutcome) {
    setRowText(5, 3, "kept");
    decodeReported(R"({"pageData": {"pageNumber": 5, "lineCount": 2, "rows": [
        {"textData": "a", "color": 99},
        {"textData": "warning", "x": false},
        {"textData": "dropped"}]}, topPage: 3})");
    ASSERT_EQ(report.commit, CommitOutcome::Committed);
    EXPECT_EQ(report.commitPage, 5);
    EXPECT_TRUE(report.pageDataOpen);

    struct Expect {
        DecodeKey key;
        KeyOutcome outcome;
        int row;
        uint16_t flags;
    };
    const Expect expected[] = {
        {DecodeKey::PageNumber, KeyOutcome::Applied, 0, 0},
        {DecodeKey::LineCount, KeyOutcome::Applied, 0, 0},
        {DecodeKey::TextData, KeyOutcome::Applied, 0, 0},
        {DecodeKey::Color, KeyOutcome::Rejected, 0, 0},
        {DecodeKey::TextData, KeyOutcome::Applied, 1, 0},
        {DecodeKey::Warning, KeyOutcome::Applied, 0, kEventFromValue | kEventNotBoolean},
        {DecodeKey::TextData, KeyOutcome::Applied, 2, 0},
        {DecodeKey::TopPage, KeyOutcome::Unquoted, 0, 0},
    };
    ASSERT_EQ(report.eventCount, static_cast<int>(std::size(expected)));
    for (int e = 0; e < report.eventCount; ++e) {
        SCOPED_TRACE(e);
        EXPECT_EQ(report.events[e].key, expected[e].key);
        EXPECT_EQ(report.events[e].outcome, expected[e].outcome);
        EXPECT_EQ(report.events[e].row, expected[e].row);
        EXPECT_EQ(report.events[e].flags, expected[e].flags);
    }
    EXPECT_EQ(report.events[3].number, 99);
    EXPECT_EQ(report.rowsCopied, 0x3);
    EXPECT_EQ(report.rowsDropped, 0x4);
    EXPECT_EQ(report.rowsKept, 0x8);
    EXPECT_FALSE(report.alertSwitch);  // warning was cleared by "x"'s value, false
}

TEST_F(PageDecode, ReportListsPageKeysTheGateTurnedAway) {
    decodeReported(R"({"pageNumber": 5, "topPage": 2, "color": 3})");
    EXPECT_FALSE(report.pageDataOpen);
    EXPECT_EQ(report.commit, CommitOutcome::GateClosed);
    ASSERT_EQ(report.eventCount, 3);
    EXPECT_EQ(report.events[0].outcome, KeyOutcome::Gated);
    EXPECT_EQ(report.events[1].outcome, KeyOutcome::Applied);
    EXPECT_EQ(report.events[2].outcome, KeyOutcome::Gated);
    EXPECT_EQ(control[kTopPage], 2);
}

// ---------------------------------------------------------------------------
// Live model

TEST(PageDecodeLive, DecodeMessageWritesTheLiveModelOnly) {
    std::memset(pagestore, 0, sizeof pagestore);
    presetPageModel();
    page_dirty = 0;
    decodeMessage(R"(   {"pageData": {"pageNumber": 31, "lineCount": 1, "textData": "live"}})");
    EXPECT_EQ(pagestore[31].pageNumber, 31);
    EXPECT_STREQ(reinterpret_cast<const char*>(pagestore[31].rowText[0]), "live");
    EXPECT_EQ(page_dirty, 1);
}

// The decoder commits pages into the live store while a reader follows the
// flag protocol. Whatever mixture a reader sees during a commit, the flag the
// last commit leaves makes it read the final page whole. Under ThreadSanitizer
// this also shows the decoder's writes race with nothing.
TEST(PageDecodeLive, ConcurrentDecodesAreFollowedByAReadOfTheFinalPage) {
    std::memset(pagestore, 0, sizeof pagestore);
    presetPageModel();
    page_dirty = 0;
    constexpr int kMessages = 1500;
    constexpr int kPage = 21;
    std::atomic<bool> done{false};

    std::thread listener([&] {
        for (int m = 0; m < kMessages; ++m) {
            const std::string gen = std::to_string(m);
            std::string text = R"({"pageData": {"pageNumber": 21, "lineCount": 15, "rows": [)";
            for (int r = 0; r < kRowCount; ++r)
                text += (r ? "," : "") + std::string(R"({"textData": "gen )") + gen +
                        R"(", "color": )" + std::to_string(m % 16) + "}";
            decodeMessage((text + "]}}").c_str());
        }
        done.store(true);
    });

    PageRecord seen{};
    for (;;) {
        const bool finished = done.load();
        if (takeFlag(page_dirty)) {
            readPage(pagestore, kPage, seen);
        } else if (finished) {
            break;
        }
    }
    listener.join();

    const std::string last = "gen " + std::to_string(kMessages - 1);
    EXPECT_EQ(seen.pageNumber, kPage);
    for (int r = 0; r < kRowCount; ++r) {
        EXPECT_STREQ(reinterpret_cast<const char*>(seen.rowText[r]), last.c_str()) << r;
        EXPECT_EQ(seen.style[r].rowColor, (kMessages - 1) % 16) << r;
    }
}

}  // namespace
