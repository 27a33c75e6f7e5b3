#include "render/page_layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "memory_font.h"
#include "model/page_model.h"
#include "render/text.h"
#include "tests/test_support.h"

namespace {

constexpr uint32_t kCleared = 0x01020304;  // what the caller cleared the buffer to
constexpr int kGuardRows = 4;              // rows past the buffer's row count
constexpr int kBandUnit = 20;              // buffer rows per digit of a bands string

// Row colours 0..5 as the display shows them (6..15 are green like 2 and 3).
constexpr uint32_t kPalette[] = {0xff626262, 0xff000060, 0xff008100,
                                 0xff008100, 0xff600000, 0xff950b42};

constexpr uint8_t kSmall = rowSize(0, 0), kTall = rowSize(3, 0);

// One row of the given size per colour digit.
std::vector<RowSpec> rowsOf(uint8_t size, std::string_view colours, std::string text = "A") {
    std::vector<RowSpec> rows;
    for (char c : colours)
        rows.push_back({size, static_cast<uint8_t>(c - '0'), text});
    return rows;
}

// Slot s holds only 'A', which is also its default, so every letter draws as s
// columns of ink on glyph rows 0 and 1 with advance s + 1. Its shadow is a
// pillar of one column on glyph rows 2 to 24: taller than a 20-row band, so
// that it shows which band painted over it.
class PageLayoutTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::memset(pagestore, 0, sizeof pagestore);
        std::vector<std::string> pillar(25, "#");
        pillar[0] = pillar[1] = ".";
        for (int s = 1; s < kFontSlotCount; ++s) {
            const uint8_t advance = static_cast<uint8_t>(s + 1);
            buildFont(normal[s], 'A', 'A', 2,
                      {{{std::string(s, '#'), std::string(s, '#')}, 0, advance}});
            buildFont(shadow[s], 'A', 'A', 25, {{pillar, 0, advance}});
            fonts[s] = normal[s].font;
            shadow_fonts[s] = shadow[s].font;
        }
    }
    void TearDown() override {
        clearFontSlots();
        std::memset(pagestore, 0, sizeof pagestore);
        horizalign = 80;
        valign = 1;
    }

    int32_t render(int page, uint32_t rows, int32_t limit, uint8_t fill, uint32_t* first) {
        buf.assign((rows + kGuardRows) * kRenderWidth, kCleared);
        return renderPageBody(page, buf.data(), rows, limit, fill, first, &last);
    }

    MemoryFont normal[kFontSlotCount], shadow[kFontSlotCount];
    std::vector<uint32_t> buf;
    uint32_t last = 0;
};

TEST_F(PageLayoutTest, PagesLayOutAsBandsOfTheirRowColours) {
    struct Case {
        const char* what;
        int32_t start;
        std::vector<PageSetup> pages;  // stored under consecutive numbers from start
        // Colour digit of every 20 buffer rows from row 0, header band first: its
        // length gives the result row, its first and last digit the two colours.
        std::string bands;
        int ink, shadowInk = 0, fill = 1;  // text and shadow pixels in the whole buffer
        int32_t limit = 380;
        uint32_t rows = 380;
    };
    const std::vector<RowSpec> three = rowsOf(kSmall, "111");
    const PageSetup chained = {kMotionChain, rowsOf(kSmall, "1")};
    // Text begins valign rows below its band's top, at pen x horizalign, both
    // read on every call. Row 0's shadow pillar reaches 10 rows into row 1's
    // band, which covers it, while the last row's stays: 13 + 23 pixels.
    horizalign = 100;
    valign = 5;
    // clang-format off
    const Case cases[] = {
        {"page 0, record 0 filled", 0, {{0, three, 7}}, "22", 0},
        {"page 256", 256, {}, "22", 0},
        {"negative page", -5, {}, "22", 0},
        {"lineCount 0", 9, {{0, three, -1, 0}}, "22", 0},
        {"4 tall bands under 380", 5, {{0, rowsOf(kTall, "01455")}}, "000000111144445555", 32},
        {"band ends on the limit", 5, {{0, rowsOf(kTall, "0145")}}, "000000111144445555", 32,
         0, 1, 360},
        {"band 1 past the limit", 5, {{0, rowsOf(kTall, "0145")}}, "00000011114444", 24, 0, 1, 359},
        {"first colour, no row fits", 4, {{0, rowsOf(kTall, "5")}}, "55", 0, 0, 1, 100},
        {"15 rows of height 0", 3, {{0, rowsOf(kSmall, "010101010101010")}},
         "00010101010101010", 30},
        {"two-page chain", 10,
         {{kMotionChain, rowsOf(rowSize(1, 0), "01")}, {0, rowsOf(kSmall, "451")}},
         "000011451", 14},
        {"at most 8 pages", 10, std::vector(11, chained), "1111111111", 16, 0, 1, 2048, 2048},
        {"the chain ends at page 255", 253, std::vector(3, chained), "11111", 6},
        {"fill off: only text changes", 8,
         {{0, {{rowSize(2, 1), 1, "ABC", kRowBorder}, {kSmall, 4}}}},
         "111114", 38, 69, 0},
        {"widths 2, 3 as 0, 1; colour 0x15", 12, {{0, {{rowSize(0, 2), 0x15}, {rowSize(0, 3), 0},
         {rowSize(1, 2), 0}, {rowSize(1, 3), 0}, {rowSize(2, 3), 0}, {rowSize(3, 2), 0}}}},
         "555000000000000", 2 * (1 + 1 + 2 + 5 + 6 + 4)},
        {"64 characters, none of row 1", 14,
         {{0, {{kSmall, 0, std::string(64, 'A')}, {kSmall, 0, "AAAA"}}}}, "0000", 2 * 68},
        {"bands row by row; border shadows", 15, {{0, {{kSmall, 0, "A", kRowBorder},
         {kSmall, 1, "A", kRowReverse | kRowFlash | kRowSeparator}, {kSmall, 4, "A", kRowBorder}}}},
         "00014", 6, 13 + 23},
        {"limit past the buffer", 16, {{0, rowsOf(rowSize(3, 1), "555555555555555", "ABCDEFG")}},
         std::string(62, '5'), 7 * 14, 0, 1, 2048, 100},
    };
    // clang-format on
    for (const Case& c : cases) {
        std::memset(pagestore, 0, sizeof pagestore);
        for (size_t i = 0; i < c.pages.size(); ++i)
            storePage(c.start + static_cast<int>(i), c.pages[i]);
        uint32_t first = 0;
        const int32_t y = render(c.start, c.rows, c.limit, c.fill, &first);
        EXPECT_EQ(y, kBandUnit * static_cast<int>(c.bands.size())) << c.what;
        EXPECT_EQ(first, kPalette[c.bands.front() - '0']) << c.what;
        EXPECT_EQ(last, kPalette[c.bands.back() - '0']) << c.what;
        int ink = 0, shadowInk = 0, wrong = 0;
        for (size_t i = 0; i < buf.size(); ++i) {
            const size_t row = i / kRenderWidth, band = row / kBandUnit;
            const bool painted = c.fill && row < c.rows && band < c.bands.size();
            const uint32_t want = painted ? kPalette[c.bands[band] - '0'] : kCleared;
            ink += buf[i] == kTextColor;
            shadowInk += buf[i] == kShadowColor;
            wrong += buf[i] != want && buf[i] != kTextColor && buf[i] != kShadowColor;
        }
        const auto firstInk = std::find(buf.begin(), buf.end(), kTextColor) - buf.begin();
        EXPECT_TRUE(!c.ink || firstInk == (40 + 5) * kRenderWidth + 100) << c.what;
        EXPECT_EQ(wrong, 0) << c.what;
        EXPECT_EQ(ink, c.ink) << c.what;
        EXPECT_EQ(shadowInk, c.shadowInk) << c.what;
    }
}

}  // namespace
