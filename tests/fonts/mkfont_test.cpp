// The default font set that the build makes with vantrel-mkfont, and the font
// maker run as a program.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "fonts/tiga_font.h"
#include "tests/test_support.h"

namespace {

// What the preview asks of the fonts: a line band per slot, text drawn one
// row below the band top, lines starting at column 80 of a 768-column row.
constexpr int kBand[kFontSlotCount] = {0, 20, 40, 60, 80, 40, 60, 80};
constexpr int kPenX = 80;
constexpr int kRowWidth = 768;

int glyphWidth(const TigaFont& f, int g) {
    return f.locations[g + 1] - f.locations[g];
}

// The fourteen files the build made all load into the slots.
class DefaultFontSet : public ::testing::Test {
protected:
    void SetUp() override {
        ::testing::internal::CaptureStdout();  // the summary lines
        loadFontSlots(VANTREL_FONT_DIR);
        ::testing::internal::GetCapturedStdout();
        for (int s = 1; s < kFontSlotCount; ++s)
            ASSERT_TRUE(fonts[s].loaded && shadow_fonts[s].loaded) << "slot " << s;
    }
    void TearDown() override { releaseFontSlots(); }
};

// Latin-1 with '?' for the rest, a code the outline font lacks (0x7F) without
// columns or advance; rows 0..height-1 land on band rows 1..height; in sizes
// 0 and 1, 32 of the widest printable cells fit right of the pen.
TEST_F(DefaultFontSet, EveryGlyphFitsItsBandAndLine) {
    for (int s = 1; s < kFontSlotCount; ++s)
        for (const TigaFont* f : {&fonts[s], &shadow_fonts[s]}) {
            SCOPED_TRACE(f->faceName);
            EXPECT_EQ(f->firstChar, 0x20);
            EXPECT_EQ(f->lastChar, 0xFF);
            EXPECT_EQ(f->defaultChar, '?');
            EXPECT_LE(f->height + 1, kBand[s]);
            EXPECT_GE(f->height + 1, kBand[s] * 9 / 10) << "band badly used";
            EXPECT_EQ(glyphWidth(*f, 0x7F - 0x20) + f->advances[0x7F - 0x20], 0);
            int widest = 0;
            for (int g = 0; g + 1 < f->entryCount; ++g) {
                EXPECT_LE(f->locations[g], f->locations[g + 1]) << g;
                EXPECT_LE(f->locations[g + 1], f->pitch) << g;
                if (g + 0x20 > 0x7E) continue;  // printable ASCII: ink, but for the space
                EXPECT_GT(f->advances[g], 0) << g;
                EXPECT_EQ(glyphWidth(*f, g) > 0, g > 0) << g;
                widest = std::max({widest, int{f->advances[g]}, f->offsets[g] + glyphWidth(*f, g)});
            }
            EXPECT_TRUE(s > 2 || f != &fonts[s] || kPenX + 32 * widest <= kRowWidth) << widest;
        }
}

// The maker's exit status and what it says, standard error included. A file
// that is no font (the maker itself) ends it with status 1, bad options with 2.
TEST(MkFont, CommandLinesAndExitStatus) {
    const std::string notAFont = VANTREL_MKFONT;
    const struct {
        std::string args;
        int status;
        std::string says;
    } cases[] = {
        {"--help", 0, "usage: vantrel-mkfont [--font PATH] [--out DIR]"},
        {"--out", 2, "vantrel-mkfont: unknown or incomplete option '--out'"},
        {"--chars 0x50-0x40", 2, "vantrel-mkfont: bad --chars"},
        {"--font '" + notAFont + "' --out '" + ::testing::TempDir() + "'", 1,
         "vantrel-mkfont: " + notAFont + ": not an outline font"},
    };
    for (const auto& c : cases) {
        std::string output;
        EXPECT_EQ(runProgram(notAFont, c.args, output), c.status) << c.args;
        EXPECT_NE(output.find(c.says), std::string::npos) << c.args << ": " << output;
    }
}

}  // namespace
