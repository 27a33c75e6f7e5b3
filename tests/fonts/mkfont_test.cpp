// The default font set that the build makes with vantrel-mkfont, and the font
// maker run as a program.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "fonts/tiga_font.h"
#include "tests/fonts/font_files.h"

using fonttest::captured;
using fonttest::Output;
using fonttest::ScratchDir;

namespace {

// What the preview asks of the fonts: line bands per slot, text drawn one row
// below the band top, lines starting at column 80 of a 768-column row.
constexpr int kLineHeight[kFontSlotCount] = {0, 20, 40, 60, 80, 40, 60, 80};
constexpr int kNormalOf[kFontSlotCount] = {0, 1, 2, 3, 4, 2, 3, 4};
constexpr int kTopGap = 1;
constexpr int kPenX = 80;
constexpr int kRowWidth = 768;
constexpr int kLineChars = 32;

std::string slotPath(const std::string& dir, const char* prefix, int slot) {
    char name[32];
    snprintf(name, sizeof name, "/%s%02d.tiga", prefix, slot);
    return dir + name;
}

int glyphWidth(const TigaFont& f, int g) {
    return f.locations[g + 1] - f.locations[g];
}

bool ink(const TigaFont& f, int g, int column, int row) {
    return f.pattern[row * f.pitch + f.locations[g] + column] != 0;
}

// Lowest ink row and rightmost ink column (right of the pen) of a glyph; -1
// when it has no ink.
void inkCorner(const TigaFont& f, int g, int* bottom, int* right) {
    *bottom = *right = -1;
    for (int r = 0; r < f.height; ++r)
        for (int j = 0; j < glyphWidth(f, g); ++j)
            if (ink(f, g, j, r)) {
                *bottom = std::max(*bottom, r);
                *right = std::max(*right, f.offsets[g] + j);
            }
}

class DefaultFontSet : public ::testing::Test {
protected:
    void SetUp() override {
        Output o = captured([&] {
            for (int s = 1; s < kFontSlotCount; ++s) {
                loadTigaFont(slotPath(VANTREL_FONT_DIR, "FONT", s).c_str(), &regular[s]);
                loadTigaFont(slotPath(VANTREL_FONT_DIR, "SHDT", s).c_str(), &shadow[s]);
            }
        });
        ASSERT_EQ(o.err, "");
        for (int s = 1; s < kFontSlotCount; ++s) {
            ASSERT_EQ(regular[s].loaded, 1) << "FONT" << s;
            ASSERT_EQ(shadow[s].loaded, 1) << "SHDT" << s;
        }
    }
    void TearDown() override {
        for (int s = 1; s < kFontSlotCount; ++s) {
            freeTigaFont(&regular[s]);
            freeTigaFont(&shadow[s]);
        }
    }

    TigaFont regular[kFontSlotCount] = {};
    TigaFont shadow[kFontSlotCount] = {};
};

TEST(DefaultFontSlots, LoadWithoutWarning) {
    bool ok = false;
    Output o = captured([&] { ok = loadFontSlots(VANTREL_FONT_DIR); });
    EXPECT_TRUE(ok);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 14);
    for (int s = 1; s < kFontSlotCount; ++s) {
        EXPECT_EQ(fonts[s].loaded, 1) << s;
        EXPECT_EQ(shadow_fonts[s].loaded, 1) << s;
    }
    releaseFontSlots();
}

TEST_F(DefaultFontSet, CoversLatin1WithQuestionMarkDefault) {
    for (int s = 1; s < kFontSlotCount; ++s)
        for (const TigaFont* f : {&regular[s], &shadow[s]}) {
            EXPECT_EQ(f->firstChar, 0x20) << s;
            EXPECT_EQ(f->lastChar, 0xFF) << s;
            EXPECT_EQ(f->defaultChar, '?') << s;
            for (int c = 0x21; c <= 0x7E; ++c) {
                const int g = c - f->firstChar;
                EXPECT_GT(glyphWidth(*f, g), 0) << s << " " << c;
                EXPECT_GT(f->advances[g], 0) << s << " " << c;
            }
            EXPECT_EQ(glyphWidth(*f, 0), 0) << "space, slot " << s;
            EXPECT_GT(f->advances[0], 0) << "space, slot " << s;
        }
}

TEST_F(DefaultFontSet, EveryGlyphStaysInsideItsBand) {
    for (int s = 1; s < kFontSlotCount; ++s)
        for (const TigaFont* f : {&regular[s], &shadow[s]}) {
            // Rows 0..height-1 land on band rows 1..height.
            EXPECT_LE(f->height + kTopGap, kLineHeight[s]) << s;
            EXPECT_GE(f->height + kTopGap, kLineHeight[s] * 9 / 10) << s << ": band badly used";
            for (int g = 0; g + 1 < f->entryCount; ++g) {
                EXPECT_LE(f->locations[g], f->locations[g + 1]) << s << " " << g;
                EXPECT_LE(f->locations[g + 1], f->pitch) << s << " " << g;
            }
        }
}

TEST_F(DefaultFontSet, SizesZeroAndOneHold32CharactersInLine) {
    for (int s : {1, 2}) {
        const TigaFont& f = regular[s];
        int widest = 0;  // the widest cell any printable ASCII code takes
        for (int c = 0x20; c <= 0x7E; ++c) {
            const int g = c - f.firstChar;
            widest = std::max({widest, int{f.advances[g]}, f.offsets[g] + glyphWidth(f, g)});
        }
        EXPECT_LE(kPenX + kLineChars * widest, kRowWidth) << "slot " << s;
    }
    // A clock line as it is built, measured to its last ink column.
    const TigaFont& f = regular[1];
    const std::string clock = "Wed Sep 28           12:58:58 PM";
    ASSERT_EQ(clock.size(), 32u);
    int pen = kPenX, right = 0;
    for (unsigned char c : clock) {
        const int g = c - f.firstChar;
        right = std::max(right, pen + f.offsets[g] + glyphWidth(f, g));
        pen += f.advances[g];
    }
    EXPECT_LE(std::max(pen, right), kRowWidth);
}

TEST_F(DefaultFontSet, WideFontsAreHalfAgainAsWide) {
    for (int s : {5, 6, 7}) {
        const TigaFont& wide = regular[s];
        const TigaFont& normal = regular[kNormalOf[s]];
        EXPECT_EQ(wide.height, normal.height) << s;
        int wideSum = 0, normalSum = 0;
        for (int c = 0x21; c <= 0x7E; ++c) {
            const int g = c - 0x20;
            EXPECT_GE(wide.advances[g], normal.advances[g]) << s << " " << c;
            wideSum += wide.advances[g];
            normalSum += normal.advances[g];
        }
        const double ratio = static_cast<double>(wideSum) / normalSum;
        EXPECT_GT(ratio, 1.35) << s;
        EXPECT_LT(ratio, 1.65) << s;
    }
}

// Both passes of a line share the pen, so the shadow must advance exactly as
// its text, hold all of its ink, and reach further down and right.
TEST_F(DefaultFontSet, ShadowsCoverTheirGlyphsAndFallDownRight) {
    for (int s = 1; s < kFontSlotCount; ++s) {
        const TigaFont& f = regular[s];
        const TigaFont& sh = shadow[s];
        ASSERT_EQ(sh.height, f.height) << s;
        ASSERT_EQ(sh.entryCount, f.entryCount) << s;
        for (int g = 0; g + 1 < f.entryCount; ++g) {
            ASSERT_EQ(sh.advances[g], f.advances[g]) << s << " " << g;
            int uncovered = 0;
            for (int r = 0; r < f.height; ++r)
                for (int j = 0; j < glyphWidth(f, g); ++j) {
                    if (!ink(f, g, j, r)) continue;
                    const int sj = f.offsets[g] + j - sh.offsets[g];
                    if (sj < 0 || sj >= glyphWidth(sh, g) || !ink(sh, g, sj, r)) ++uncovered;
                }
            EXPECT_EQ(uncovered, 0) << "slot " << s << " code " << g + 0x20;

            int bottom, right, shadowBottom, shadowRight;
            inkCorner(f, g, &bottom, &right);
            inkCorner(sh, g, &shadowBottom, &shadowRight);
            if (bottom < 0) continue;
            EXPECT_GE(shadowBottom - bottom, 1) << s << " " << g;
            EXPECT_LE(shadowBottom - bottom, kLineHeight[s] / 10) << s << " " << g;
            EXPECT_GE(shadowRight - right, 1) << s << " " << g;
            EXPECT_LE(shadowRight - right, kLineHeight[s] / 10) << s << " " << g;
        }
    }
}

// ---- The program ----

struct ToolRun {
    int status;          // exit status, -1 when it did not exit
    std::string output;  // standard output and standard error together
};

ToolRun runMkfont(const std::string& args) {
    const std::string cmd = std::string("'") + VANTREL_MKFONT + "' " + args + " 2>&1";
    ToolRun run{-1, {}};
    FILE* pipe = popen(cmd.c_str(), "r");
    if (!pipe) return run;
    char chunk[512];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        run.output.append(chunk, n);
    const int raw = pclose(pipe);
    if (raw != -1 && WIFEXITED(raw)) run.status = WEXITSTATUS(raw);
    return run;
}

TEST(MkFont, HelpExitsZero) {
    ToolRun r = runMkfont("--help");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("usage: vantrel-mkfont"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("--font PATH"), std::string::npos);
    EXPECT_NE(r.output.find("--out DIR"), std::string::npos);
}

TEST(MkFont, BadArgumentsExitTwo) {
    for (const char* args :
         {"--bogus", "--out", "--chars 0x50-0x40", "--chars 300-310", "--chars x"}) {
        ToolRun r = runMkfont(args);
        EXPECT_EQ(r.status, 2) << args << ": " << r.output;
        EXPECT_NE(r.output.find("vantrel-mkfont: "), std::string::npos) << args;
    }
}

TEST(MkFont, UnreadableFontExitsOne) {
    ScratchDir dir;
    dir.write("not-a-font.ttf", std::vector<uint8_t>(100, 7));
    ToolRun r =
        runMkfont("--font '" + dir.file("not-a-font.ttf") + "' --out '" + dir.file("out") + "'");
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("not-a-font.ttf"), std::string::npos) << r.output;
}

// A code the outline font lacks (0x7F is a control code) is left out of the
// pattern: no columns and no advance.
TEST(MkFont, SmallRangeMakesFourteenLoadableFiles) {
    ScratchDir dir;
    ToolRun r = runMkfont("--chars 0x7E-0x80 --out '" + dir.file("set") + "'");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 14) << r.output;
    for (int s = 1; s < kFontSlotCount; ++s)
        for (const char* prefix : {"FONT", "SHDT"}) {
            TigaFont f = {};
            bool ok = false;
            Output o = captured(
                [&] { ok = loadTigaFont(slotPath(dir.file("set"), prefix, s).c_str(), &f); });
            ASSERT_TRUE(ok) << prefix << s << o.err;
            EXPECT_EQ(f.firstChar, 0x7E);
            EXPECT_EQ(f.lastChar, 0x80);
            EXPECT_EQ(f.defaultChar, '?');  // outside this range: such codes vanish
            EXPECT_GT(glyphWidth(f, 0), 0);
            EXPECT_EQ(glyphWidth(f, 1), 0);
            EXPECT_EQ(f.advances[1], 0);
            freeTigaFont(&f);
        }
}

}  // namespace
