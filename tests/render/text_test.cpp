#include "render/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "memory_font.h"

namespace {

using namespace std::literals;

constexpr uint32_t kBlank = 0x00abcdef;  // what the buffer holds before drawing
constexpr uint32_t kRows = 4;            // rows handed to the drawing; 2 guard rows follow
constexpr int kAllSlots = 0xfe;          // slots 1..7 as bits

class TextTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Codes 'A'..'E' with 'B' the default; 'C' is empty, like a space. 'E'
        // is patched to end 2 columns past the pitch: read as given, those
        // columns would come from the next pattern row, or from beyond the
        // pattern in its last row.
        // clang-format off
        buildFont(abcde, 'A', 'B', 3, {{{"##", "#.", "##"}, 0, 3}, {{"#", "#", "#"}, 1, 3},
                                       {{}, 0, 2}, {{"###", "...", "###"}, 0, 4},
                                       {{"#", ".", "#"}, 0, 4}});
        // clang-format on
        abcde.locations[5] += 2;
        noDefault = abcde.font;
        noDefault.defaultChar = 'Z';
        // Slot s shows which slot drew: its text glyph is s columns on row 0, its
        // shadow glyph s + 1 columns on rows 0 and 1.
        for (int s = 1; s < kFontSlotCount; ++s) {
            const std::string ink(s, '#'), shade(s + 1, '#');
            buildFont(normal[s], 'A', 'A', 2, {{{ink, std::string(s, '.')}, 0, 9}});
            buildFont(shadow[s], 'A', 'A', 2, {{{shade, shade}, 0, 9}});
        }
    }
    void TearDown() override { clearFontSlots(); }

    MemoryFont abcde, normal[kFontSlotCount], shadow[kFontSlotCount];
    TigaFont noDefault{};
};

TEST_F(TextTest, StringsAndLinesLandWhereTheyShould) {
    struct Case {
        const char* what;
        const TigaFont* font;  // drawTigaString with this font; null: drawTextLine
        int32_t x, y;
        std::string_view text;
        int x0;  // first column shown
        // Buffer rows from row 0, '|' between rows: '.' untouched, '#' text
        // colour, 's' shadow colour. Every pixel not shown must stay untouched.
        const char* picture;
        int size = 0, width = 0, shadow = 1, normals = kAllSlots, shadows = kAllSlots;
    };
    const TigaFont* f = &abcde.font;
    // clang-format off
    const Case cases[] = {
        {"pen + offset, advances, empty C", f, 1, 1, "ABCD", 0,
         ".............|.##..#...###.|.#...#.......|.##..#...###."},
        {"codes below and above the font: the default", f, 0, 0, "A!\xff" "A", 0,
         "##..#..#.##.|#...#..#.#..|##..#..#.##."},
        {"default outside: dropped, pen stays", &noDefault, 0, 0, "AzzA", 0,
         "##.##.|#..#..|##.##."},
        {"columns past the pitch skipped", f, 0, 0, "EA", 0, "#...##|....#.|#...##"},
        {"text ends at its first NUL", f, 0, 0, "A\0D"sv, 0, "##|#.|##"},
        {"cut at column 767, nothing wraps", f, 766, 1, "D", 764, "....|..##|....|..##"},
        {"negative pen: columns from 0", f, -1, 0, "AD", 0, "#.###.|......|#.###."},
        {"pen near INT32_MAX", f, INT32_MAX - 2, 0, "DDDD", 0, ""},
        {"top row -1", f, 0, -1, "A", 0, "#.|##"},
        {"low top row: only glyph row 0 fits", f, 0, 3, "A", 0, "..|..|..|##"},
        {"top row INT32_MAX", f, 0, INT32_MAX, "A", 0, ""},
        // Text slot s paints s columns '#', shadow slot s paints s + 1 columns 's'.
        {"size 0 wide is slot 1 too", nullptr, 0, 0, "A", 0, "#s|ss", 0, 1},
        {"width 2 acts as 0", nullptr, 0, 0, "A", 0, "##s|sss", 1, 2},
        {"width 3 acts as 1", nullptr, 0, 0, "A", 0, "######s|sssssss", 2, 3},
        {"size 3 wide, shadow off", nullptr, 0, 0, "A", 0, "#######|.......", 3, 1, 0},
        {"wide missing: normal font, its shadow", nullptr, 0, 0, "A", 0, "##s|sss", 1, 1, 1,
         kAllSlots & ~(1 << 5)},
        {"no fallback past the normal font", nullptr, 0, 0, "A", 0, "ssss|ssss", 2, 1, 1,
         kAllSlots & ~(1 << 3 | 1 << 6)},
        {"shadow font missing", nullptr, 0, 0, "A", 0, "##|..", 1, 0, 1, kAllSlots,
         kAllSlots & ~(1 << 2)},
        {"size out of range", nullptr, 0, 0, "A", 0, "", 4},
    };
    // clang-format on
    const uint32_t shown[] = {kBlank, kTextColor, kShadowColor};
    std::vector<uint32_t> buf;
    for (const Case& c : cases) {
        for (int s = 1; s < kFontSlotCount; ++s) {
            fonts[s] = c.normals >> s & 1 ? normal[s].font : TigaFont{};
            shadow_fonts[s] = c.shadows >> s & 1 ? shadow[s].font : TigaFont{};
        }
        buf.assign((kRows + 2) * kRenderWidth, kBlank);
        if (c.font)
            drawTigaString(buf.data(), kRows, c.x, c.y, c.text, *c.font, kTextColor);
        else
            drawTextLine(buf.data(), kRows, c.x, c.y, c.text, c.size, c.width, c.shadow);
        const std::string want = c.picture;
        const size_t width = std::min(want.find('|'), want.size());
        const auto height = std::count(want.begin(), want.end(), '|') + 1;
        std::string got;
        for (long r = 0; r < height; ++r, got += '|')
            for (size_t col = c.x0; col < c.x0 + width; ++col)
                got += ".#s?"[std::find(shown, shown + 3, buf[r * kRenderWidth + col]) - shown];
        EXPECT_EQ(got, want + '|') << c.what;
        EXPECT_EQ(
            std::count_if(buf.begin(), buf.end(), [](uint32_t p) { return p != kBlank; }),
            std::count_if(want.begin(), want.end(), [](char p) { return p == '#' || p == 's'; }))
            << c.what;
    }
}

}  // namespace
