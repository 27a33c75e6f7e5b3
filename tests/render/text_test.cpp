#include "render/text.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "memory_font.h"

namespace {

constexpr uint32_t kBlank = 0x00abcdef;  // what the buffer holds before drawing
constexpr int kGuardRows = 2;            // rows past the row count that must stay blank

// Pixels as characters: '.' untouched, '#' text colour, 's' shadow colour, '?' other.
char pixelChar(uint32_t p) {
    if (p == kBlank) return '.';
    if (p == kTextColor) return '#';
    if (p == kShadowColor) return 's';
    return '?';
}

class TextTest : public ::testing::Test {
protected:
    void SetUp() override {
        clearFontSlots();
        // Codes 'A'..'D'; 'B' is the default. 'C' is an empty glyph, like a space.
        buildFont(letters, 'A', 'D', 'B', 3,
                  {{'A', {"##", "#.", "##"}, 0, 3},
                   {'B', {"#", "#", "#"}, 1, 3},
                   {'C', {}, 0, 2},
                   {'D', {"###", "...", "###"}, 0, 4}});
        reset(8);
    }
    void TearDown() override { clearFontSlots(); }

    void reset(uint32_t rows) {
        rowCount = rows;
        buf.assign((rows + kGuardRows) * kRenderWidth, kBlank);
    }

    void draw(int32_t x, int32_t y, std::string_view text, const TigaFont& font) {
        drawTigaString(buf.data(), rowCount, x, y, text, font, kTextColor);
    }

    // Rows y0..y0+h-1, columns x0..x0+w-1 of the buffer (guard rows included).
    std::vector<std::string> picture(int x0, int y0, int w, int h) const {
        std::vector<std::string> out;
        for (int r = y0; r < y0 + h; ++r) {
            std::string line;
            for (int c = x0; c < x0 + w; ++c)
                line += pixelChar(buf[r * kRenderWidth + c]);
            out.push_back(line);
        }
        return out;
    }

    // Number of pixels that are no longer blank, guard rows included.
    int changedPixels() const {
        int n = 0;
        for (uint32_t p : buf)
            n += p != kBlank;
        return n;
    }

    MemoryFont letters;
    uint32_t rowCount = 0;
    std::vector<uint32_t> buf;
};

TEST_F(TextTest, GlyphsLandAtPenPlusOffsetAndAdvance) {
    // A at 1..2; pen 4; B one right of the pen at 5; pen 7; C empty; pen 9; D at 9..11.
    draw(1, 1, "ABCD", letters.font);
    EXPECT_EQ(picture(0, 0, 13, 5), (std::vector<std::string>{
                                        ".............",
                                        ".##..#...###.",
                                        ".#...#.......",
                                        ".##..#...###.",
                                        ".............",
                                    }));
}

TEST_F(TextTest, InkReplacesTheWholeWordAndBlankPatternKeepsTheBuffer) {
    draw(0, 0, "A", letters.font);
    EXPECT_EQ(buf[0], kTextColor);             // alpha included, nothing blended
    EXPECT_EQ(buf[kRenderWidth + 1], kBlank);  // the blank pixel of "#."
    EXPECT_EQ(changedPixels(), 5);
}

TEST_F(TextTest, CodeOutsideTheFontDrawsTheDefaultCharacterWithItsAdvance) {
    // 'z' and 0xff lie outside 'A'..'D': drawn as 'B' (offset 1, advance 3).
    draw(0, 0,
         "Az\xff"
         "A",
         letters.font);
    EXPECT_EQ(picture(0, 0, 12, 3), (std::vector<std::string>{
                                        "##..#..#.##.",
                                        "#...#..#.#..",
                                        "##..#..#.##.",
                                    }));
}

TEST_F(TextTest, DefaultOutsideTheFontDropsTheCharacterAndKeepsThePen) {
    letters.font.defaultChar = 'Z';
    draw(0, 0, "AzzA", letters.font);
    EXPECT_EQ(picture(0, 0, 6, 3), (std::vector<std::string>{
                                       "##.##.",
                                       "#..#..",
                                       "##.##.",
                                   }));
}

TEST_F(TextTest, EmptyGlyphPaintsNothingButAdvances) {
    draw(0, 0, "CCA", letters.font);  // two advances of 2
    EXPECT_EQ(picture(0, 0, 7, 1), (std::vector<std::string>{"....##."}));
    EXPECT_EQ(changedPixels(), 5);
}

TEST_F(TextTest, TextEndsAtItsFirstNul) {
    draw(0, 0, std::string_view("A\0D", 3), letters.font);
    EXPECT_EQ(changedPixels(), 5);
    reset(8);
    draw(0, 0, "", letters.font);
    EXPECT_EQ(changedPixels(), 0);
}

TEST_F(TextTest, StringIsCutAtColumn767WithoutWrappingIntoTheNextRow) {
    draw(766, 1, "D", letters.font);  // columns 766, 767, and 768 cut off
    EXPECT_EQ(picture(764, 0, 4, 5), (std::vector<std::string>{
                                         "....",
                                         "..##",
                                         "....",
                                         "..##",
                                         "....",
                                     }));
    // Column 768 of a row would be column 0 of the row below.
    EXPECT_EQ(picture(0, 0, 2, 5), (std::vector<std::string>(5, "..")));
    EXPECT_EQ(changedPixels(), 4);
}

TEST_F(TextTest, NegativePenShowsOnlyColumnsFromZeroAndKeepsTheAdvances) {
    // A covers -1..0; its advance still counts, so D lands at 2..4.
    draw(-1, 0, "AD", letters.font);
    EXPECT_EQ(picture(0, 0, 6, 3), (std::vector<std::string>{
                                       "#.###.",
                                       "......",
                                       "#.###.",
                                   }));
    reset(8);
    // A and B wholly left of the buffer: D at -6 + 3 + 3 = 0.
    draw(-6, 0, "ABD", letters.font);
    EXPECT_EQ(picture(0, 0, 4, 1), (std::vector<std::string>{"###."}));
    EXPECT_EQ(changedPixels(), 6);
}

TEST_F(TextTest, PenFarOutsideTheBufferPaintsNothing) {
    const std::string longText(5000, 'D');
    for (int32_t x : {INT32_MIN, INT32_MAX - 2, 768, -100000}) {
        draw(x, 0, longText, letters.font);
        draw(x, INT32_MIN, "D", letters.font);
        draw(x, INT32_MAX, "D", letters.font);
    }
    // From far left, pen INT32_MIN + 4k never reaches 0 within 5000 characters.
    EXPECT_EQ(changedPixels(), 0);
}

struct RowCase {
    int32_t y;
    std::vector<std::string> rows;  // buffer rows 0..5 (rows 4 and 5 are guard rows)
};

TEST_F(TextTest, OnlyGlyphRowsInsideTheBufferArePainted) {
    const RowCase cases[] = {
        {-2, {"##", "..", "..", "..", "..", ".."}},  // only glyph row 2 shows, at row 0
        {-1, {"#.", "##", "..", "..", "..", ".."}},
        {-3, {"..", "..", "..", "..", "..", ".."}},  // wholly above
        {2, {"..", "..", "##", "#.", "..", ".."}},   // glyph row 2 would be row 4
        {3, {"..", "..", "..", "##", "..", ".."}},
        {4, {"..", "..", "..", "..", "..", ".."}},  // wholly below
    };
    for (const RowCase& c : cases) {
        reset(4);
        draw(0, c.y, "A", letters.font);
        EXPECT_EQ(picture(0, 0, 2, 6), c.rows) << "top row " << c.y;
    }
}

TEST_F(TextTest, GlyphColumnsAtOrPastThePitchAreSkipped) {
    // A font whose location table says 'B' spans columns 2..5 of a 3-column
    // pattern: column 3 would be row 1's column 0, and in the last row the
    // columns past 2 would lie beyond the pattern.
    buildFont(letters, 'A', 'C', 'A', 3,
              {{'A', {"##", "#.", "##"}, 0, 3}, {'B', {"#", ".", "#"}, 0, 5}});
    letters.locations[2] = 6;  // B's end, past the pitch of 3
    letters.locations[3] = 9;  // C wholly past the pitch
    letters.font.advances[2] = 2;
    draw(0, 0, "BCA", letters.font);
    EXPECT_EQ(picture(0, 0, 9, 3), (std::vector<std::string>{
                                       "#......##",
                                       ".......#.",
                                       "#......##",
                                   }));
}

TEST_F(TextTest, UnloadedOrEmptyFontPaintsNothing) {
    TigaFont unloaded = letters.font;
    unloaded.loaded = 0;
    draw(0, 0, "ABD", unloaded);
    TigaFont noGlyphs = letters.font;
    noGlyphs.entryCount = 1;
    draw(0, 0, "ABD", noGlyphs);
    drawTigaString(nullptr, rowCount, 0, 0, "ABD", letters.font, kTextColor);
    drawTigaString(buf.data(), 0, 0, 0, "ABD", letters.font, kTextColor);
    EXPECT_EQ(changedPixels(), 0);
}

TEST(FontTable, SlotsAndLineHeightsBySizeAndWidth) {
    const int expected[] = {1, 20, 1, 20, 2, 40, 5, 40, 3, 60, 6, 60, 4, 80, 7, 80};
    int i = 0;
    for (int size = 0; size < kTextSizes; ++size)
        for (int width = 0; width < kWidthVariants; ++width) {
            EXPECT_EQ(font_table[size][width].slot, expected[i++]) << size << "/" << width;
            EXPECT_EQ(font_table[size][width].lineHeight, expected[i++]) << size << "/" << width;
        }
}

// drawTextLine with one font per slot that shows which slot drew: the text
// glyph of slot s is s pixels wide on row 0; the shadow glyph of slot s is
// s + 1 pixels wide on rows 0 and 1, so the text pass can be seen to win.
class TextLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        clearFontSlots();
        for (int s = 1; s < kFontSlotCount; ++s) {
            const std::string ink(s, '#'), shadowInk(s + 1, '#');
            buildFont(normal[s], 'A', 'A', 'A', 2, {{'A', {ink, std::string(s, '.')}, 0, 9}});
            buildFont(shadow[s], 'A', 'A', 'A', 2, {{'A', {shadowInk, shadowInk}, 0, 9}});
        }
    }
    void TearDown() override { clearFontSlots(); }

    void load(std::initializer_list<int> normalSlots, std::initializer_list<int> shadowSlots) {
        clearFontSlots();
        for (int s : normalSlots)
            fonts[s] = normal[s].font;
        for (int s : shadowSlots)
            shadow_fonts[s] = shadow[s].font;
    }

    MemoryFont normal[kFontSlotCount];
    MemoryFont shadow[kFontSlotCount];
};

struct LineCase {
    const char* what;
    int size, width;
    uint8_t shadow;
    std::initializer_list<int> normalSlots, shadowSlots;
    int textSlot, shadowSlot;  // 0 = that pass paints nothing
};

TEST_F(TextLineTest, FontChoiceFallbackAndPasses) {
    const std::initializer_list<int> all = {1, 2, 3, 4, 5, 6, 7};
    const LineCase cases[] = {
        {"size 0 normal", 0, 0, 1, all, all, 1, 1},
        {"size 0 has no wide font", 0, 1, 1, all, all, 1, 1},
        {"size 1 normal", 1, 0, 1, all, all, 2, 2},
        {"size 1 wide", 1, 1, 1, all, all, 5, 5},
        {"width 2 acts as 0", 1, 2, 1, all, all, 2, 2},
        {"width 3 acts as 1", 1, 3, 1, all, all, 5, 5},
        {"size 2 wide", 2, 1, 1, all, all, 6, 6},
        {"size 3 normal", 3, 0, 1, all, all, 4, 4},
        {"size 3 wide", 3, 3, 1, all, all, 7, 7},
        {"shadow off", 3, 1, 0, all, all, 7, 0},
        {"missing wide font falls back with its shadow", 1, 1, 1, {1, 2, 3, 4, 6, 7}, all, 2, 2},
        {"shadow without its normal font", 2, 0, 1, {1, 2, 4}, all, 0, 3},
        {"no fallback past the normal font", 2, 1, 1, {1, 2, 4}, {1, 2, 4}, 0, 0},
        {"missing shadow font", 1, 0, 1, all, {1, 3}, 2, 0},
        {"size out of range", 4, 0, 1, all, all, 0, 0},
    };
    for (const LineCase& c : cases) {
        load(c.normalSlots, c.shadowSlots);
        std::vector<uint32_t> buf(4 * kRenderWidth, kBlank);
        drawTextLine(buf.data(), 4, 2, 1, "A", c.size, c.width, c.shadow);
        const int shadowWidth = c.shadowSlot ? c.shadowSlot + 1 : 0;
        for (int r = 0; r < 4; ++r)
            for (int col = 0; col < 12; ++col) {
                const int gx = col - 2, gy = r - 1;
                char want = '.';
                if (gy == 1 && gx >= 0 && gx < shadowWidth) want = 's';
                if (gy == 0 && gx >= 0 && gx < shadowWidth) want = 's';
                if (gy == 0 && gx >= 0 && gx < c.textSlot) want = '#';
                EXPECT_EQ(pixelChar(buf[r * kRenderWidth + col]), want)
                    << c.what << " at row " << r << " column " << col;
            }
    }
}

}  // namespace
