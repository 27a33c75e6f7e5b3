#include "app/canvas.h"

#include <gtest/gtest.h>

#include <vector>

#include "frame_fixture.h"

namespace {

using namespace apptest;

// imageBoxFilledRGB on a 6 x 4 image: which pixels a box paints.
struct BoxCase {
    const char* name;
    int x0, y0, x1, y1;
    int paintedX0, paintedY0, paintedX1, paintedY1;  // inclusive; x0 > x1 = nothing
};

TEST(ImageBox, FillsInclusiveBoundsClippedToTheImage) {
    const BoxCase cases[] = {
        {"inside", 1, 1, 3, 2, 1, 1, 3, 2},
        {"single pixel", 2, 2, 2, 2, 2, 2, 2, 2},
        {"last bounds beyond the image", 4, 2, 10, 9, 4, 2, 5, 3},
        {"first bounds negative", -3, -1, 1, 0, 0, 0, 1, 0},
        {"whole image and more", -5, -5, 50, 50, 0, 0, 5, 3},
        {"first beyond last", 3, 1, 2, 2, 1, 0, 0, 0},
        {"first column beyond the clipped last", 7, 0, 9, 3, 1, 0, 0, 0},
        {"rows beyond the image", 0, 4, 5, 6, 1, 0, 0, 0},
    };
    for (const BoxCase& c : cases) {
        std::vector<uint32_t> pixels(6 * 4, 0x11111111);
        Image image = {pixels.data(), 6, 4};
        imageBoxFilledRGB(&image, c.x0, c.y0, c.x1, c.y1, 0xff00ff00);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 6; ++x) {
                const bool inside =
                    x >= c.paintedX0 && x <= c.paintedX1 && y >= c.paintedY0 && y <= c.paintedY1;
                EXPECT_EQ(pixels[y * 6 + x], inside ? 0xff00ff00u : 0x11111111u)
                    << c.name << " at " << x << "," << y;
            }
    }
}

TEST(ImageBox, ImageWithoutPixelsIsLeftAlone) {
    Image image = {nullptr, 720, 480};
    imageBoxFilledRGB(&image, 0, 0, 720, 480, vesk_white);
    imageBoxFilledRGB(nullptr, 0, 0, 720, 480, vesk_white);
}

// What repaintSolids paints for solidFlags, with row 0's rowColor of the top page.
struct SolidsCase {
    const char* name;
    uint8_t flags;
    int topPage;
    int rowColor;  // -1: leave the start-up preset
    uint32_t top, separator, bottom;
};

TEST_F(FrameTest, RepaintSolidsPaintsTheRegionsOfSolidFlags) {
    const SolidsCase cases[] = {
        {"start-up flags", 0x05, 1, -1, 0, vesk_white, vesk_purple},
        {"all three", 0x07, 1, -1, vesk_green, vesk_white, vesk_purple},
        {"none", 0x00, 1, -1, 0, 0, 0},
        {"separator alone", 0x04, 1, -1, 0, vesk_white, 0},
        {"bottom alone", 0x01, 1, -1, 0, vesk_purple, vesk_purple},
        {"top, never-stored page 1..255 is preset green", 0x02, 200, -1, vesk_green, 0, 0},
        {"top, page 0 has rowColor 0: grey", 0x02, 0, -1, vesk_gray, 0, 0},
        {"top, rowColor 5: purple", 0x02, 3, 5, vesk_purple, 0, 0},
        {"top, rowColor 0: grey", 0x02, 3, 0, vesk_gray, 0, 0},
        {"top, rowColor 1 (red row) still green", 0x02, 3, 1, vesk_green, 0, 0},
        {"top, rowColor 4 (blue row) still green", 0x02, 3, 4, vesk_green, 0, 0},
        {"top, whole byte counts: 21 is not 5", 0x02, 3, 21, vesk_green, 0, 0},
        {"top, page 255 preset", 0x02, 255, -1, vesk_green, 0, 0},
    };
    for (const SolidsCase& c : cases) {
        presetPageModel();
        if (c.rowColor >= 0) pagestore[c.topPage].style[0].rowColor = uint8_t(c.rowColor);
        omcw[kTopPage] = uint8_t(c.topPage);
        setSolids(c.flags);
        std::fill(solid.pixels, solid.pixels + kFramePixels, 0x12345678u);  // every pixel rewritten
        repaintSolids();
        EXPECT_EQ(solid_dirty, 0) << c.name;
        EXPECT_TRUE(rowsAre(solid.pixels, 0, 380, c.top)) << c.name;
        EXPECT_TRUE(rowsAre(solid.pixels, 380, 382, c.separator)) << c.name;
        EXPECT_TRUE(rowsAre(solid.pixels, 382, 480, c.bottom)) << c.name;
    }
}

TEST_F(FrameTest, FirstFrameWithoutClientsIsBlackOverWhiteSeparatorOverPurple) {
    // No fonts loaded: the clock line draws nothing, so the LDL region is bare canvas.
    frame();
    EXPECT_TRUE(rowsAre(win_present_buf, 0, 380, 0x00000000));
    EXPECT_TRUE(rowsAre(win_present_buf, 380, 382, apptest::kPresentWhite));
    EXPECT_TRUE(rowsAre(win_present_buf, 382, 480, apptest::kPresentPurple));
}

TEST_F(FrameTest, TopPageZeroWithTopSolidIsGreenAllTheWayDown) {
    omcw[kTopPage] = 0;
    setSolids(0x07);
    frame();
    EXPECT_TRUE(rowsAre(over.pixels, 0, 380, 0xff008100));
    EXPECT_TRUE(rowsAre(win_present_buf, 0, 380, 0x00008100));
}

TEST_F(FrameTest, SolidFlagsZeroShowsTransparentCompositeAsBlack) {
    setSolids(0x00);
    frame();
    EXPECT_TRUE(rowsAre(win_present_buf, 0, 480, 0x00000000));
}

}  // namespace
