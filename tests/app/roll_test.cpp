#include "app/roll.h"

#include <gtest/gtest.h>

#include "frame_fixture.h"

namespace {

using namespace apptest;

constexpr uint32_t kPurple = 0xff950b42;  // bg_palette[5]: the first row's band
constexpr uint32_t kRed = 0xff000060;     // bg_palette[1]: the last row's band

// Page 1, fifteen rows of text size 3 (80 rows each), first row purple, the
// rest red: 40 + 15 * 80 = 1240 content rows without the chain bit.
void storeTallPage(uint8_t motion) {
    storePage(1,
              {{3, 5, "a"},
               {3, 1, "b"},
               {3, 1, "c"},
               {3, 1, "d"},
               {3, 1, "e"},
               {3, 1, "f"},
               {3, 1, "g"},
               {3, 1, "h"},
               {3, 1, "i"},
               {3, 1, "j"},
               {3, 1, "k"},
               {3, 1, "l"},
               {3, 1, "m"},
               {3, 1, "n"},
               {3, 1, "o"}},
              motion);
}

class RollTest : public FrameTest {
protected:
    void SetUp() override {
        FrameTest::SetUp();
        setSolids(0x07);
    }
};

// The top region of `over` in the frame at scroll position y, from the rule:
// content row 0 stands at output row 380 - y, pre colour above, post below.
void expectTopRegionAt(int y) {
    const int top = 380 - y;
    for (int row = 0; row < 380; ++row) {
        const int content = row - top;
        const uint32_t* got = overRow(row);
        if (content < 0) {
            ASSERT_TRUE(rowsAre(got, 0, 1, roll_pre_bg)) << "row " << row << " y " << y;
        } else if (content >= contentHeight) {
            ASSERT_TRUE(rowsAre(got, 0, 1, roll_post_bg)) << "row " << row << " y " << y;
        } else {
            ASSERT_TRUE(rowEquals(got, scrollRow(content)))
                << "row " << row << " content " << content << " y " << y;
        }
    }
}

TEST_F(RollTest, FifteenTallRowsRollThroughA1620FrameCycle) {
    storeTallPage(kMotionRoll);
    frame();
    ASSERT_TRUE(lastRoll);
    EXPECT_EQ(contentHeight, 1240);
    EXPECT_EQ(roll_pre_bg, kPurple);
    EXPECT_EQ(roll_post_bg, kRed);
    // First frame after the render: rows 0..378 pre colour, content row 0 at row 379.
    EXPECT_EQ(scroll_y, 1);
    EXPECT_TRUE(rowsAre(over.pixels, 0, 379, kPurple));
    EXPECT_TRUE(rowEquals(overRow(379), scrollRow(0)));
    expectTopRegionAt(1);

    frame(379);  // scroll_y 380: content row 0 reaches output row 0
    EXPECT_EQ(scroll_y, 380);
    EXPECT_TRUE(rowEquals(overRow(0), scrollRow(0)));
    expectTopRegionAt(380);

    frame(1619 - 380);  // scroll_y 1619 = contentHeight + 379: only the last content row
    EXPECT_EQ(scroll_y, 1619);
    EXPECT_TRUE(rowEquals(overRow(0), scrollRow(1239)));
    EXPECT_TRUE(rowsAre(over.pixels, 1, 380, kRed));

    frame();  // frame 1620 wraps: the whole region is the pre colour
    EXPECT_EQ(scroll_y, 0);
    EXPECT_TRUE(rowsAre(over.pixels, 0, 380, kPurple));
    frame();
    EXPECT_EQ(scroll_y, 1);  // and the cycle starts again without a new layout
    expectTopRegionAt(1);
}

TEST_F(RollTest, ChainBitStopsTheContentAtFourRowsAnd740Frames) {
    storeTallPage(kMotionRoll | kMotionChain);
    frame();
    EXPECT_EQ(contentHeight, 360);  // 40 + 4 * 80: a fifth row would end at 440 > 380
    frame(738);
    EXPECT_EQ(scroll_y, 739);
    EXPECT_TRUE(rowEquals(overRow(0), scrollRow(359)));
    frame();
    EXPECT_EQ(scroll_y, 0);
}

TEST_F(RollTest, EveryScrollPositionShowsItsWindowOfContent) {
    storePage(1, {{1, 5, "x"}, {0, 1, "y"}}, kMotionRoll);  // 40 + 40 + 20 = 100 rows
    frame();
    ASSERT_EQ(contentHeight, 100);
    for (int y = 1; y < 480; ++y) {
        expectTopRegionAt(y);
        frame();
    }
    EXPECT_EQ(scroll_y, 0);  // 480 frames = one cycle of 100 + 380
}

TEST_F(RollTest, TopSolidOffLeavesRowsAboveAndBelowTransparent) {
    setSolids(0x05);
    storePage(1, {{1, 5, "x"}}, kMotionRoll);
    frame(200);
    EXPECT_EQ(roll_pre_bg, 0u);
    EXPECT_EQ(roll_post_bg, 0u);
    expectTopRegionAt(200);
    EXPECT_TRUE(rowsAre(over.pixels, 0, 180, 0));
}

TEST_F(RollTest, StoringAnyPageRestartsTheRoll) {
    storeTallPage(kMotionRoll);
    frame(100);
    ASSERT_EQ(scroll_y, 100);
    storePage(9, {{0, 2, "elsewhere"}});
    frame();
    EXPECT_EQ(scroll_y, 1);
    EXPECT_EQ(page_dirty, 0);
}

TEST_F(RollTest, ModeFollowsTheRollBitOfTheTopPage) {
    storeTallPage(kMotionRoll);
    frame(50);
    ASSERT_TRUE(lastRoll);
    storeTallPage(0);  // the same page again, without the roll bit
    frame();
    EXPECT_FALSE(lastRoll);
    EXPECT_TRUE(rowEquals(overRow(0), top_buf));  // the still top region
    EXPECT_EQ(scroll_y, 0);
    storeTallPage(kMotionRoll);
    frame();
    EXPECT_TRUE(lastRoll);
    EXPECT_EQ(scroll_y, 1);  // from the bottom again
}

TEST_F(RollTest, OnlyStoredPagesOneTo255Roll) {
    pagestore[0].motionFlags = kMotionRoll;  // record 0 is never a page
    EXPECT_FALSE(isRollPage(0));
    pagestore[4].motionFlags = kMotionRoll;  // not stored: pageNumber 0
    EXPECT_FALSE(isRollPage(4));
    pagestore[255].pageNumber = 255;
    pagestore[255].motionFlags = kMotionRoll | kMotionFlip;
    EXPECT_TRUE(isRollPage(255));
    EXPECT_FALSE(isRollPage(256));
    EXPECT_FALSE(isRollPage(-1));
}

TEST_F(RollTest, EmptyLayoutStillRollsFortyRows) {
    // A roll page whose rows cannot be laid out (lineCount 0).
    storePage(1, {}, kMotionRoll);
    pagestore[1].lineCount = 0;
    frame();
    EXPECT_TRUE(lastRoll);
    EXPECT_EQ(contentHeight, 40);
    EXPECT_TRUE(rowsAre(over.pixels, 0, 379, 0xff008100));  // invalid start page: default green
}

}  // namespace
