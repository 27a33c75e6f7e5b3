#include "app/ldl.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "frame_fixture.h"

namespace {

using namespace apptest;

struct tm brokenDown(int wday, int mon, int mday, int hour, int min, int sec) {
    struct tm t = {};
    t.tm_wday = wday;
    t.tm_mon = mon;
    t.tm_mday = mday;
    t.tm_hour = hour;
    t.tm_min = min;
    t.tm_sec = sec;
    return t;
}

const std::string kGap(11, ' ');  // between the date and the time

struct ClockCase {
    struct tm time;
    std::string line;
};

TEST(ClockLine, TwelveHourTimeWithPaddedHourAndDay) {
    const ClockCase cases[] = {
        // Sunday 5 January 09:05:07: one-digit hour and day get a leading space.
        {brokenDown(0, 0, 5, 9, 5, 7), "Sun Jan  5" + kGap + " 9:05:07 AM"},
        {brokenDown(0, 0, 5, 0, 0, 0), "Sun Jan  5" + kGap + "12:00:00 AM"},
        {brokenDown(0, 0, 5, 12, 0, 0), "Sun Jan  5" + kGap + "12:00:00 PM"},
        {brokenDown(0, 0, 5, 13, 30, 0), "Sun Jan  5" + kGap + " 1:30:00 PM"},
        {brokenDown(0, 0, 5, 23, 59, 59), "Sun Jan  5" + kGap + "11:59:59 PM"},
        {brokenDown(0, 0, 5, 11, 0, 9), "Sun Jan  5" + kGap + "11:00:09 AM"},
        {brokenDown(0, 0, 5, 21, 1, 0), "Sun Jan  5" + kGap + " 9:01:00 PM"},
        {brokenDown(1, 1, 3, 10, 0, 0), "Mon Feb  3" + kGap + "10:00:00 AM"},
        {brokenDown(3, 11, 31, 22, 45, 30), "Wed Dec 31" + kGap + "10:45:30 PM"},
        {brokenDown(6, 6, 10, 1, 2, 3), "Sat Jul 10" + kGap + " 1:02:03 AM"},
        {brokenDown(6, 6, 10, 1, 2, 60), "Sat Jul 10" + kGap + " 1:02:60 AM"},  // leap second
    };
    for (const ClockCase& c : cases) {
        buildClockLine(c.time);
        EXPECT_EQ(std::string(clockLine), c.line);
        EXPECT_EQ(std::strlen(clockLine), 32u);
    }
}

TEST(ClockLine, OutOfRangeFieldsStayInsideTheBuffers) {
    // localtime never gives these; the line must still be bounded and indexed safely.
    buildClockLine(brokenDown(-1, 12, 123456, 99, -5, 1000));
    EXPECT_LT(std::strlen(clockLine), sizeof clockLine);
    EXPECT_EQ(std::string(clockLine, 3), "Sat");
    EXPECT_EQ(std::string(clockLine + 4, 3), "Jan");
}

TEST_F(FrameTest, LdlKeyHoldsLdlPageLineAndClock) {
    frame();
    EXPECT_EQ(std::string(ldlKey), "1|1|Sun Jan  5" + kGap + " 9:05:07 AM");
    EXPECT_STREQ(lastLdlKey, ldlKey);
}

// The frames (counted from 1) in which the LDL region was redrawn with a new line.
std::vector<std::pair<int, int>> lineChanges(int frames) {
    std::vector<std::pair<int, int>> changes;
    int shown = 0;
    for (int f = 1; f <= frames; ++f) {
        frame();
        int page = 0, line = 0;
        EXPECT_EQ(std::sscanf(lastLdlKey, "%d|%d|", &page, &line), 2);
        if (line != shown) changes.emplace_back(f, line);
        shown = line;
    }
    return changes;
}

TEST_F(FrameTest, ThreeLinesOfPage50RotateEvery120Frames) {
    storePage(50, {{1, 2, "one"}, {1, 2, "two"}, {1, 2, "three"}});
    const auto changes = lineChanges(400);
    const std::vector<std::pair<int, int>> expected = {
        {1, 1}, {40, 2}, {160, 3}, {280, 1}, {400, 2}};
    EXPECT_EQ(changes, expected);
}

TEST_F(FrameTest, Page50WithoutLinesStaysOnLineOne) {
    const auto changes = lineChanges(300);
    const std::vector<std::pair<int, int>> expected = {{1, 1}};
    EXPECT_EQ(changes, expected);
    storePage(50, {{1, 2, "only"}});
    EXPECT_EQ(lineChanges(300), expected);
}

TEST_F(FrameTest, FewerLinesShowTheStoredRowUntilTheNextRotation) {
    storePage(50, {{1, 2, "one"}, {1, 2, "two"}, {1, 2, "three"}});
    frame(160);
    ASSERT_EQ(ldlLine, 3);
    storePage(50, {{1, 2, "new one"}});  // lineCount 1; row 2 still holds "three"
    frame();
    EXPECT_EQ(ldlLine, 3);
    frame(118);  // frame 279 is the next rotation step
    EXPECT_EQ(ldlLine, 1);
}

TEST_F(FrameWithFontsTest, LdlPageZeroLeavesTheRegionTransparent) {
    omcw[kLdlPage] = 0;
    frame();
    EXPECT_TRUE(rowsAre(bot_buf, 0, 100, 0));
    EXPECT_TRUE(rowsAre(win_present_buf, 380, 382, kPresentWhite));
    EXPECT_TRUE(rowsAre(win_present_buf, 382, 480, kPresentPurple));
}

TEST_F(FrameWithFontsTest, ClockAndLineAreDrawnWhereTheyBelong) {
    storePage(50, {{1, 2, "Line one"}, {1, 2, "Line two"}});
    frame();
    // Clock text from row 383, the line from row 405; nothing above 380 is touched.
    auto inkInRows = [](int first, int end) {
        return !rowsAre(win_present_buf, first, end, kPresentPurple);
    };
    EXPECT_TRUE(inkInRows(383, 403));
    EXPECT_TRUE(inkInRows(405, 445));
    EXPECT_FALSE(inkInRows(450, 480));
    EXPECT_TRUE(rowsAre(win_present_buf, 0, 380, 0));
}

TEST_F(FrameWithFontsTest, NextLineIsDrawnFromFrame40) {
    storePage(50, {{1, 2, "Line one"}, {1, 2, "Line two"}});
    std::vector<uint32_t> before;
    frame(39);
    before.assign(bot_buf, bot_buf + kFrameWidth * kLdlRows);
    frame();  // frame 40
    const std::vector<uint32_t> after(bot_buf, bot_buf + kFrameWidth * kLdlRows);
    EXPECT_NE(before, after);
    // The clock rows are the same picture; the change is in the line's rows.
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + 22 * kFrameWidth, after.begin()));
}

TEST_F(FrameWithFontsTest, UnchangedKeyKeepsThePicture) {
    frame();
    bot_buf[0] = 0x12345678;  // a redraw would overwrite it
    frame(5);
    EXPECT_EQ(bot_buf[0], 0x12345678u);
    omcw[kLdlPage] = 2;  // 1, 2 and 3 look the same, but the key changes
    frame();
    EXPECT_NE(bot_buf[0], 0x12345678u);
}

}  // namespace
