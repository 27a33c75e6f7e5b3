#include "render/page_layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "memory_font.h"
#include "model/page_model.h"
#include "model/shared_bytes.h"
#include "render/text.h"

namespace {

constexpr uint32_t kCleared = 0x01020304;  // what the caller cleared the buffer to
constexpr uint32_t kGrey = 0xff626262, kRed = 0xff000060, kGreen = 0xff008100;
constexpr uint32_t kBlue = 0xff600000, kPurple = 0xff950b42;
constexpr int kGuardRows = 4;
constexpr int kPenX = 80;

// rowSize: height index << 2 | width.
constexpr uint8_t rowSize(int height, int width) {
    return static_cast<uint8_t>(height << 2 | width);
}

struct RowSpec {
    uint8_t size;
    uint8_t color;
    std::string text;
    uint8_t attr = 0;
};

// Fonts: every letter of slot s is s columns of ink on glyph rows 0 and 1,
// advance s + 1; the shadow letter is one pixel on glyph row 2.
class PageLayoutTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::memset(pagestore, 0, sizeof pagestore);
        clearFontSlots();
        for (int s = 1; s < kFontSlotCount; ++s) {
            std::vector<GlyphSpec> letters, shadows;
            for (int c = 'A'; c <= 'Z'; ++c) {
                letters.push_back({c,
                                   {std::string(s, '#'), std::string(s, '#')},
                                   0,
                                   static_cast<uint8_t>(s + 1)});
                shadows.push_back({c, {".", ".", "#"}, 0, static_cast<uint8_t>(s + 1)});
            }
            buildFont(normal[s], 'A', 'Z', 'A', 2, letters);
            buildFont(shadow[s], 'A', 'Z', 'A', 3, shadows);
            fonts[s] = normal[s].font;
            shadow_fonts[s] = shadow[s].font;
        }
        horizalign = 80;
        valign = 1;
        reset(380);
    }
    void TearDown() override {
        clearFontSlots();
        std::memset(pagestore, 0, sizeof pagestore);
    }

    void reset(uint32_t rows) {
        rowCount = rows;
        buf.assign((rows + kGuardRows) * kRenderWidth, kCleared);
    }

    static void storePage(int n, const std::vector<RowSpec>& rows, uint8_t motion = 0) {
        PageRecord& p = pagestore[n];
        std::memset(&p, 0, sizeof p);
        p.pageNumber = static_cast<uint8_t>(n);
        p.lineCount = static_cast<uint8_t>(rows.size());
        p.motionFlags = motion;
        for (size_t i = 0; i < rows.size(); ++i) {
            p.style[i].rowAttr = rows[i].attr;
            p.style[i].rowColor = rows[i].color;
            p.shape[i].rowSize = rows[i].size;
            std::memcpy(p.rowText[i], rows[i].text.data(),
                        std::min<size_t>(rows[i].text.size(), 64));
        }
    }

    int32_t render(int page, int32_t limit, uint8_t fill) {
        return renderPageBody(page, buf.data(), rowCount, limit, fill, &first, &last);
    }

    uint32_t at(int row, int col) const { return buf[row * kRenderWidth + col]; }

    // True when every pixel of rows from..to-1 (all columns) holds value.
    bool rowsAre(int from, int to, uint32_t value) const {
        for (int r = from; r < to; ++r)
            for (int c = 0; c < kRenderWidth; ++c)
                if (at(r, c) != value) return false;
        return true;
    }

    // Columns of row r, from the pen on, that hold the text colour.
    int inkColumns(int r) const {
        int n = 0;
        for (int c = 0; c < kRenderWidth; ++c)
            n += at(r, c) == kTextColor;
        return n;
    }

    MemoryFont normal[kFontSlotCount];
    MemoryFont shadow[kFontSlotCount];
    uint32_t rowCount = 0;
    std::vector<uint32_t> buf;
    uint32_t first = 0, last = 0;
};

TEST_F(PageLayoutTest, InvalidStartPageGivesTheEmptyLayout) {
    struct Case {
        const char* what;
        int page;
        uint8_t pageNumber, lineCount;  // record contents, when the page is in the store
    };
    const Case cases[] = {
        {"page 0, even with record 0 filled", 0, 7, 3},
        {"page 256", 256, 0, 0},
        {"page 1000", 1000, 0, 0},
        {"negative page", -5, 0, 0},
        {"empty record with rows", 9, 0, 3},
        {"lineCount 0", 9, 9, 0},
        {"lineCount 16", 9, 9, 16},
        {"lineCount 255", 9, 9, 255},
    };
    for (const Case& c : cases) {
        for (uint8_t fill : {0, 1}) {
            std::memset(pagestore, 0, sizeof pagestore);
            const int slot = (c.page >= 0 && c.page < kPageCount) ? c.page : 9;
            storePage(
                slot,
                {{rowSize(0, 0), 1, "AB"}, {rowSize(0, 0), 1, "AB"}, {rowSize(0, 0), 1, "AB"}});
            pagestore[slot].pageNumber = c.pageNumber;
            pagestore[slot].lineCount = c.lineCount;
            reset(380);
            EXPECT_EQ(render(c.page, 380, fill), 40) << c.what;
            EXPECT_EQ(first, kGreen) << c.what;
            EXPECT_EQ(last, kGreen) << c.what;
            EXPECT_TRUE(rowsAre(0, 40, fill ? kGreen : kCleared)) << c.what;
            EXPECT_TRUE(rowsAre(40, 380 + kGuardRows, kCleared)) << c.what;
        }
    }
}

TEST_F(PageLayoutTest, FourTallBandsUnder380GiveRow360) {
    const uint8_t tall = rowSize(3, 0);
    storePage(5, {{tall, 0, "A"}, {tall, 1, "A"}, {tall, 4, "A"}, {tall, 5, "A"}, {tall, 6, "A"}});
    EXPECT_EQ(render(5, 380, 1), 360);
    EXPECT_TRUE(rowsAre(0, 40, kGrey));  // header band in the first row's colour
    EXPECT_EQ(at(40, 0), kGrey);
    EXPECT_EQ(at(119, 0), kGrey);
    EXPECT_EQ(at(120, 0), kRed);
    EXPECT_EQ(at(200, 0), kBlue);
    EXPECT_EQ(at(280, 0), kPurple);
    EXPECT_EQ(at(359, 767), kPurple);
    EXPECT_TRUE(rowsAre(360, 380 + kGuardRows, kCleared));  // the fifth row is left out
    EXPECT_EQ(first, kGrey);
    EXPECT_EQ(last, kPurple);
}

TEST_F(PageLayoutTest, BandEndingExactlyOnTheLimitIsLaidOut) {
    const uint8_t tall = rowSize(3, 0);
    storePage(5, {{tall, 0, "A"}, {tall, 1, "A"}, {tall, 4, "A"}, {tall, 5, "A"}});
    EXPECT_EQ(render(5, 360, 1), 360);
    EXPECT_EQ(last, kPurple);
    reset(380);
    EXPECT_EQ(render(5, 359, 1), 280);
    EXPECT_EQ(last, kBlue);
    EXPECT_TRUE(rowsAre(280, 380, kCleared));
}

TEST_F(PageLayoutTest, FifteenSmallRowsFillRows40To339) {
    std::vector<RowSpec> rows;
    for (int i = 0; i < kRowCount; ++i)
        rows.push_back({rowSize(0, 0), static_cast<uint8_t>(i % 2), "A"});
    storePage(3, rows);
    EXPECT_EQ(render(3, 380, 1), 340);
    for (int i = 0; i < kRowCount; ++i) {
        const uint32_t want = i % 2 ? kRed : kGrey;
        EXPECT_EQ(at(40 + 20 * i, 0), want) << "row " << i;
        EXPECT_EQ(at(59 + 20 * i, 767), want) << "row " << i;
    }
    EXPECT_TRUE(rowsAre(340, 380, kCleared));
    EXPECT_EQ(last, kGrey);
}

TEST_F(PageLayoutTest, ChainedPageFollowsWithoutAGap) {
    storePage(10, {{rowSize(1, 0), 0, "A"}, {rowSize(1, 0), 1, "A"}}, kMotionChain);
    storePage(11, {{rowSize(0, 0), 4, "A"}, {rowSize(0, 0), 5, "A"}, {rowSize(0, 0), 1, "A"}});
    EXPECT_EQ(render(10, 380, 1), 180);
    EXPECT_EQ(at(119, 0), kRed);   // page 10's last band ends at 119
    EXPECT_EQ(at(120, 0), kBlue);  // page 11's first band
    EXPECT_EQ(at(140, 0), kPurple);
    EXPECT_EQ(at(179, 0), kRed);
    EXPECT_EQ(first, kGrey);
    EXPECT_EQ(last, kRed);
}

TEST_F(PageLayoutTest, PageWithoutTheChainBitEndsTheLayout) {
    storePage(10, {{rowSize(0, 0), 0, "A"}});
    storePage(11, {{rowSize(0, 0), 1, "A"}});
    EXPECT_EQ(render(10, 380, 1), 60);
}

TEST_F(PageLayoutTest, ChainLaysOutAtMostEightPages) {
    for (int n = 10; n <= 20; ++n)
        storePage(n, {{rowSize(0, 0), static_cast<uint8_t>(n % 2), "A"}}, kMotionChain);
    reset(2048);
    EXPECT_EQ(render(10, 2048, 1), 40 + 8 * 20);  // pages 10..17
    EXPECT_EQ(last, kRed);                        // page 17's colour
    EXPECT_TRUE(rowsAre(200, 2048, kCleared));
}

TEST_F(PageLayoutTest, ChainEndsAtAnInvalidPageOrAfterPage255) {
    // Record 255 is never stored by the feed, so a chain that reaches it ends.
    storePage(253, {{rowSize(0, 0), 1, "A"}}, kMotionChain);
    storePage(254, {{rowSize(0, 0), 4, "A"}}, kMotionChain);
    EXPECT_EQ(render(253, 380, 1), 80);
    EXPECT_EQ(last, kBlue);

    // Should record 255 hold a chained page after all, it is the last one: there is no page 256.
    storePage(255, {{rowSize(0, 0), 5, "A"}}, kMotionChain);
    reset(380);
    EXPECT_EQ(render(253, 380, 1), 100);
    EXPECT_EQ(last, kPurple);

    // A chained page with lineCount 0 ends the chain.
    storePage(30, {{rowSize(0, 0), 1, "A"}}, kMotionChain);
    storePage(31, {{rowSize(0, 0), 4, "A"}});
    pagestore[31].lineCount = 0;
    reset(380);
    EXPECT_EQ(render(30, 380, 1), 60);
    EXPECT_EQ(last, kRed);
}

TEST_F(PageLayoutTest, FirstColourIsTheStartRowsEvenWhenItDoesNotFit) {
    storePage(4, {{rowSize(3, 0), 5, "A"}});
    EXPECT_EQ(render(4, 100, 1), 40);
    EXPECT_EQ(first, kPurple);
    EXPECT_EQ(last, kPurple);
    EXPECT_TRUE(rowsAre(0, 40, kPurple));
    EXPECT_TRUE(rowsAre(40, 380, kCleared));
    // The static top region passes no place for the first colour.
    EXPECT_EQ(renderPageBody(4, buf.data(), rowCount, 380, 1, nullptr, &last), 120);
}

TEST_F(PageLayoutTest, TextStartsAtThePenOneRowBelowTheBandTop) {
    // Row 1 carries reverse, flash and separator, none of which draws a shadow.
    storePage(6, {{rowSize(0, 0), 0, "AB", kRowBorder},
                  {rowSize(0, 0), 0, "A", kRowReverse | kRowFlash | kRowSeparator}});
    EXPECT_EQ(render(6, 380, 1), 80);
    EXPECT_EQ(at(40, kPenX), kGrey);
    EXPECT_EQ(at(41, kPenX), kTextColor);
    EXPECT_EQ(at(42, kPenX), kTextColor);
    EXPECT_EQ(at(41, kPenX - 1), kGrey);
    EXPECT_EQ(at(41, kPenX + 2), kTextColor);  // B after an advance of 2
    EXPECT_EQ(at(43, kPenX), kShadowColor);    // border row: shadow glyph row 2
    EXPECT_EQ(at(61, kPenX), kTextColor);
    EXPECT_EQ(at(63, kPenX), kGrey);  // no border on row 1
    EXPECT_EQ(inkColumns(41), 2);

    // The alignment globals are read on every call.
    horizalign = 100;
    valign = 5;
    reset(380);
    render(6, 380, 1);
    EXPECT_EQ(at(45, 100), kTextColor);
    EXPECT_EQ(at(41, kPenX), kGrey);
}

TEST_F(PageLayoutTest, FillOffChangesOnlyTextPixels) {
    storePage(8, {{rowSize(2, 1), 1, "ABC", kRowBorder}, {rowSize(0, 0), 4, "A"}});
    EXPECT_EQ(render(8, 380, 0), 120);
    EXPECT_EQ(first, kRed);
    EXPECT_EQ(last, kBlue);
    int text = 0, shadowInk = 0;
    for (uint32_t p : buf) {
        text += p == kTextColor;
        shadowInk += p == kShadowColor;
        EXPECT_TRUE(p == kCleared || p == kTextColor || p == kShadowColor);
    }
    EXPECT_EQ(text, 3 * 6 * 2 + 1 * 2);  // size 2 wide is slot 6: 6 columns x 2 rows per letter
    EXPECT_EQ(shadowInk, 3);
}

TEST_F(PageLayoutTest, Width2And3LayOutLikeWidth0And1) {
    struct Case {
        uint8_t size;
        int lineHeight, slot;
    };
    const Case cases[] = {
        {rowSize(0, 2), 20, 1}, {rowSize(0, 3), 20, 1}, {rowSize(1, 2), 40, 2},
        {rowSize(1, 3), 40, 5}, {rowSize(2, 3), 60, 6}, {rowSize(3, 2), 80, 4},
    };
    for (const Case& c : cases) {
        storePage(12, {{c.size, 0, "A"}});
        reset(380);
        EXPECT_EQ(render(12, 380, 1), 40 + c.lineHeight) << int(c.size);
        EXPECT_EQ(inkColumns(41), c.slot) << int(c.size);
    }
}

TEST_F(PageLayoutTest, RowsFromLineCountOnAreNeverDrawn) {
    storePage(13, {{rowSize(0, 0), 0, "A"}, {rowSize(3, 0), 1, "AAAA"}});
    pagestore[13].lineCount = 1;
    EXPECT_EQ(render(13, 380, 1), 60);
    EXPECT_TRUE(rowsAre(60, 380, kCleared));
}

TEST_F(PageLayoutTest, RowTextOfSixtyFourCharactersStopsAtItsRow) {
    // Row 0 is full with no terminator; row 1's text directly follows it in
    // the record and must not be drawn as a 65th character.
    storePage(14, {{rowSize(0, 0), 0, std::string(64, 'A')}, {rowSize(0, 0), 0, "AAAA"}});
    EXPECT_EQ(render(14, 380, 1), 80);
    EXPECT_EQ(inkColumns(41), 64);
    EXPECT_EQ(at(41, kPenX + 2 * 63), kTextColor);
    EXPECT_EQ(at(41, kPenX + 2 * 64), kGrey);
    EXPECT_EQ(inkColumns(61), 4);
}

TEST_F(PageLayoutTest, NextBandCoversGlyphPixelsBelowTheirBand) {
    // A 25-row glyph in a 20-row band reaches 6 rows into the band below.
    MemoryFont tall;
    buildFont(tall, 'A', 'A', 'A', 25, {{'A', std::vector<std::string>(25, "#"), 0, 2}});
    fonts[1] = tall.font;
    storePage(15, {{rowSize(0, 0), 0, "A"}, {rowSize(0, 0), 1, "A"}});
    EXPECT_EQ(render(15, 380, 1), 80);
    EXPECT_EQ(at(59, kPenX), kTextColor);
    EXPECT_EQ(at(60, kPenX), kRed);        // painted over by row 1's band
    EXPECT_EQ(at(61, kPenX), kTextColor);  // row 1's own text
    EXPECT_EQ(at(85, kPenX), kTextColor);  // the last row's overhang stays
    EXPECT_EQ(at(86, kPenX), kCleared);
    fonts[1] = normal[1].font;
}

TEST_F(PageLayoutTest, BandsStayInsideTheBufferWhenTheLimitIsPastIt) {
    std::vector<RowSpec> rows(kRowCount, {rowSize(3, 1), 5, "ABCDEFG"});
    storePage(16, rows);
    reset(100);
    EXPECT_EQ(render(16, 2048, 1), 40 + 15 * 80);
    EXPECT_EQ(at(99, 0), kPurple);
    EXPECT_TRUE(rowsAre(100, 100 + kGuardRows, kCleared));
}

TEST_F(PageLayoutTest, LayoutFromARecordBeingRewrittenStaysInBounds) {
    // The listener rewrites a page while the frame loop lays it out. Each
    // layout works from a copy, so whatever mixture it sees, its result is a
    // whole number of bands and nothing outside the buffer is touched.
    PageRecord a{}, b{};
    a.pageNumber = b.pageNumber = 7;
    a.lineCount = 3;
    b.lineCount = 15;
    for (int i = 0; i < kRowCount; ++i) {
        a.shape[i].rowSize = rowSize(0, 0);
        b.shape[i].rowSize = rowSize(3, 1);
        std::memset(a.rowText[i], 'A', 64);
        std::memset(b.rowText[i], 'Z', 10);
    }
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int n = 0; n < 20000 && !stop.load(); ++n) {
            const PageRecord& src = n % 2 ? a : b;
            writeShared(reinterpret_cast<uint8_t*>(&pagestore[7]),
                        reinterpret_cast<const uint8_t*>(&src), sizeof src);
        }
    });
    for (int i = 0; i < 200; ++i) {
        const int32_t y = render(7, 380, 1);
        EXPECT_GE(y, 40);
        EXPECT_LE(y, 380);
        EXPECT_EQ((y - 40) % 20, 0);
    }
    stop = true;
    writer.join();
    EXPECT_TRUE(rowsAre(380, 380 + kGuardRows, kCleared));
}

}  // namespace
