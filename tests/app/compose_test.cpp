// Headless composition: the canvas, the frame's render rule and picture, roll
// scrolling and the lower display line, run through composeFrame as the
// preview runs it, on the real buffers.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "app/buffers.h"
#include "app/canvas.h"
#include "app/frame.h"
#include "app/ldl.h"
#include "app/roll.h"
#include "feed/decode.h"
#include "fonts/tiga_font.h"
#include "model/shared_bytes.h"
#include "render/resample.h"
#include "tests/test_support.h"

namespace {

constexpr uint32_t kPurple = 0xff950b42, kRed = 0xff000060, kGreen = 0xff008100;
// 0x00RRGGBB words of the present buffer.
constexpr uint32_t kShownPurple = 0x00420b95, kShownWhite = 0x00d7d7d7, kShownRed = 0x00600000;
constexpr uint32_t kMarker = 0x5a5a5a5a;  // planted to see whether something was rewritten

using Rows = std::vector<RowSpec>;
constexpr uint8_t k40 = rowSize(1, 0), k80 = rowSize(3, 0);  // text sizes by row height
const Rows kTwoBands = {{k40, 5, ""}, {k40, 1, ""}};         // 40 rows purple, 40 rows red
const Rows kTall = {{k80, 5, "a"}, {k80, 1, "b"}, {k80, 1, "c"}, {k80, 1, "d"}, {k80, 1, "e"},
                    {k80, 1, "f"}, {k80, 1, "g"}, {k80, 1, "h"}, {k80, 1, "i"}, {k80, 1, "j"},
                    {k80, 1, "k"}, {k80, 1, "l"}, {k80, 1, "m"}, {k80, 1, "n"}, {k80, 1, "o"}};

struct tm clockAt(int wday, int mon, int mday, int hour, int min, int sec) {
    struct tm t = {};
    t.tm_wday = wday, t.tm_mon = mon, t.tm_mday = mday, t.tm_hour = hour, t.tm_min = min;
    t.tm_sec = sec;
    return t;
}

void setSolids(int flags) {
    if (flags < 0) return;  // not sent
    omcw[kSolidFlags] = uint8_t(flags);
    raiseFlag(solid_dirty);
}

// Composes count frames at Sunday 5 January 09:05:07.
void frame(int count = 1) {
    for (int i = 0; i < count; ++i)
        composeFrame(clockAt(0, 0, 5, 9, 5, 7));
}

// Whether every pixel of rows first..end-1 of a 720-wide buffer is value.
bool rowsAre(const uint32_t* pixels, int first, int end, uint32_t value) {
    return std::all_of(pixels + first * kFrameWidth, pixels + end * kFrameWidth,
                       [value](uint32_t p) { return p == value; });
}

// Start-up state before the first frame: fresh buffers, the preset page model
// and the first canvas repaint. No fonts unless a test loads them.
class Compose : public ::testing::Test {
protected:
    void SetUp() override {
        buildHtaps();
        std::memset(pagestore, 0, sizeof pagestore);
        presetPageModel();
        solid_dirty = 1, page_dirty = 0;
        releaseBuffers();
        ASSERT_TRUE(allocateRenderBuffers() && allocateImages());
        resetFrameState();
        repaintSolids();
    }
    void TearDown() override { releaseFontSlots(), releaseBuffers(); }
};

// What the solid flags and the top page show in the first frame: the top
// page's bands where it has them (an unstored page lays out green), else the
// canvas. With topSolid on, bands cover the whole top region, so the canvas
// colour under them never shows (whatever it is, no picture changes).
TEST_F(Compose, CanvasAndFirstFrameFollowSolidFlagsAndTheTopPage) {
    const struct {
        uint8_t flags, topPage;
        bool twoBands;                                       // kTwoBands stored as the top page
        uint32_t rows0to79, rows80to379, separator, bottom;  // shown words
    } cases[] = {
        {0x05, 1, false, 0, 0, kShownWhite, kShownPurple},  // start-up flags
        {0x00, 1, false, 0, 0, 0, 0},                       // every transparent pixel shows black
        {0x07, 1, false, 0x008100, 0x008100, kShownWhite, kShownPurple},
        {0x04, 1, false, 0, 0, kShownWhite, 0},              // separator alone
        {0x01, 1, false, 0, 0, kShownPurple, kShownPurple},  // bottom alone: rows 380..479
        {0x02, 255, false, 0x008100, 0x008100, 0, 0},        // a never-stored page is preset green
        {0x05, 3, true, 0, 0, kShownWhite, kShownPurple},    // topSolid off: text only, no bands
        {0x07, 3, true, kShownPurple, kShownRed, kShownWhite, kShownPurple},  // the last band fills
    };
    for (const auto& c : cases) {
        SetUp();
        if (c.twoBands) storePage(c.topPage, {0, kTwoBands});
        omcw[kTopPage] = c.topPage;
        setSolids(c.flags);
        std::fill(over.pixels, over.pixels + kFramePixels, kMarker);  // every frame rewrites it
        frame();
        EXPECT_EQ(solid_dirty, 0);
        EXPECT_TRUE(rowsAre(win_present_buf, 0, 80, c.rows0to79) &&
                    rowsAre(win_present_buf, 80, 380, c.rows80to379) &&
                    rowsAre(win_present_buf, 380, 382, c.separator) &&
                    rowsAre(win_present_buf, 382, 480, c.bottom))
            << "case " << &c - cases;
    }
}

TEST_F(Compose, TopRegionRendersOnTheFirstFrameAndThenOnlyWhenSomethingItWatchesChanged) {
    const struct {
        int store;  // page stored between the frames; -1: none
        uint8_t topPage, ldlPage;
        int solids;  // -1: not sent
        bool renders, repaints;
    } cases[] = {
        {-1, 1, 1, -1, false, false},   // nothing changed
        {1, 1, 1, -1, true, false},     // the top page stored
        {7, 1, 1, -1, true, false},     // another page stored
        {-1, 3, 1, -1, true, false},    // topPage changed
        {-1, 1, 1, 0x07, true, true},   // topSolid switched on
        {-1, 1, 1, 0x05, false, true},  // the same topSolid value sent again
        {-1, 1, 1, 0x04, false, true},  // bottomSolid switched off
        {-1, 1, 0, -1, false, false},   // ldlPage changed
    };
    for (const auto& c : cases) {
        SetUp();
        uint32_t* const last = top_buf + kTopRows * kFrameWidth - 1;
        for (int f = 0; f < 2; ++f) {
            *top_buf = *last = solid.pixels[0] = kMarker;
            frame();
            EXPECT_EQ(*top_buf != kMarker && *last != kMarker, f == 0 || c.renders)
                << "case " << &c - cases << ", frame " << f + 1;
            EXPECT_EQ(page_dirty + solid_dirty, 0);
            if (c.store >= 0) storePage(c.store, {0, {{0, 2, "x"}}});
            omcw[kTopPage] = c.topPage, omcw[kLdlPage] = c.ldlPage;
            setSolids(c.solids);
        }
        EXPECT_EQ(solid.pixels[0] != kMarker, c.repaints) << "case " << &c - cases;
    }
}

TEST_F(Compose, AStrayFrameAfterReleaseTouchesNoBuffer) {
    releaseBuffers();
    frame();
    repaintSolids();
}

// The top region at scroll position y: content row 0 at output row 380 - y,
// the pre colour above the content and the post colour below it.
void expectTopRegionAt(int y) {
    for (int row = 0, content = y - 380; row < 380; ++row, ++content) {
        const uint32_t* got = over.pixels + row * kFrameWidth;
        if (content < 0 || content >= contentHeight)
            ASSERT_TRUE(rowsAre(got, 0, 1, content < 0 ? roll_pre_bg : roll_post_bg))
                << row << " at " << y;
        else
            ASSERT_TRUE(std::equal(got, got + kFrameWidth, scroll_buf + content * kFrameWidth))
                << row << " at " << y;
    }
}

TEST_F(Compose, RollMovesTheContentUpOneRowPerFrameThroughItsCycle) {
    const struct {
        Rows rows;
        uint8_t motion, solids;
        int32_t height;  // content rows; the cycle is height + 380 frames
        uint32_t pre, post;
    } cases[] = {
        {kTall, kMotionRoll, 0x07, 1240, kPurple, kRed},                // 40 + 15 * 80
        {kTall, kMotionRoll | kMotionChain, 0x07, 360, kPurple, kRed},  // chained: 4 rows fit 380
        {{{k40, 5, "x"}, {0, 1, "y"}}, kMotionRoll, 0x07, 100, kPurple, kRed},
        {{{k40, 5, "x"}}, kMotionRoll, 0x05, 80, 0, 0},  // topSolid off: transparent around
        {{}, kMotionRoll, 0x07, 40, kGreen, kGreen},     // nothing laid out: still 40 rows
    };
    for (const auto& c : cases) {
        SetUp();
        setSolids(c.solids);
        storePage(1, {c.motion, c.rows});
        frame();  // the render, and the first frame after it
        ASSERT_TRUE(lastRoll);
        EXPECT_EQ(contentHeight, c.height);
        const bool banded = (c.solids & kTopSolid) != 0;  // else clear: no fonts are loaded
        EXPECT_EQ(std::any_of(scroll_buf, scroll_buf + c.height * kFrameWidth,
                              [](uint32_t p) { return p != 0; }),
                  banded)
            << "the bands were never resampled into the content";
        EXPECT_EQ(roll_pre_bg, c.pre) << c.height;
        EXPECT_EQ(roll_post_bg, c.post) << c.height;
        const int cycle = c.height + 380;
        for (int f = 1; f <= cycle + 1; ++f, frame()) {  // up to the wrap frame and one more
            ASSERT_EQ(scroll_y, f % cycle) << c.height << ", frame " << f;
            if (f < 3 || f % 29 == 0 || f > cycle - 3) expectTopRegionAt(scroll_y);
        }
    }
}

TEST_F(Compose, StoringAPageRestartsTheRollAndTheRollBitPicksTheMode) {
    setSolids(0x07);
    storePage(1, {kMotionRoll, kTall});
    frame(100);
    storePage(9, {0, kTwoBands});
    frame();
    EXPECT_EQ(scroll_y, 1);
    storePage(1, {0, kTall});  // the same page without the roll bit: still again
    frame();
    EXPECT_FALSE(lastRoll);
    EXPECT_TRUE(std::equal(over.pixels, over.pixels + kTopRows * kFrameWidth, top_buf));
    storePage(1, {kMotionRoll, kTall});
    frame();
    EXPECT_EQ(scroll_y, 1);
}

TEST(ClockLine, TwelveHourClockWithPaddedHourAndDay) {
    const std::string gap(11, ' ');
    const std::pair<struct tm, std::string> cases[] = {
        {clockAt(0, 0, 5, 0, 0, 0), "Sun Jan  5" + gap + "12:00:00 AM"},
        {clockAt(0, 0, 5, 9, 5, 7), "Sun Jan  5" + gap + " 9:05:07 AM"},
        {clockAt(0, 0, 5, 12, 0, 0), "Sun Jan  5" + gap + "12:00:00 PM"},
        {clockAt(0, 0, 5, 13, 30, 0), "Sun Jan  5" + gap + " 1:30:00 PM"},
        {clockAt(0, 0, 5, 23, 59, 59), "Sun Jan  5" + gap + "11:59:59 PM"},
        {clockAt(3, 11, 31, 22, 45, 30), "Wed Dec 31" + gap + "10:45:30 PM"},
        {clockAt(6, 6, 10, 11, 2, 60), "Sat Jul 10" + gap + "11:02:60 AM"},  // leap second
    };
    for (const auto& [time, line] : cases) {
        buildClockLine(time);
        EXPECT_EQ(std::string(clockLine), line);
    }
}

TEST_F(Compose, LdlRegionShowsTheClockAndPage50sLinesInTurnAndRedrawsOnlyWhenItsKeyChanges) {
    ASSERT_TRUE(loadFontSlots(VANTREL_TEST_FONT_DIR));
    storePage(50, {0, {{k40, 2, "Line one"}, {k40, 2, "Line two"}, {k40, 2, "Line three"}}});
    frame();
    EXPECT_FALSE(rowsAre(win_present_buf, 383, 403, kShownPurple));  // the clock from LDL row 3
    EXPECT_FALSE(rowsAre(win_present_buf, 405, 445, kShownPurple));  // the line from LDL row 25
    EXPECT_TRUE(rowsAre(win_present_buf, 450, 480, kShownPurple));
    EXPECT_TRUE(rowsAre(win_present_buf, 0, 380, 0));
    const std::vector<uint32_t> line1(bot_buf, bot_buf + kFrameWidth * kLdlRows);
    bot_buf[0] = kMarker;
    frame(38);  // frames 2..39: the same key, no redraw
    EXPECT_EQ(bot_buf[0], kMarker);
    frame();  // frame 40 draws line 2 under the same clock
    const std::vector<uint32_t> line2(bot_buf, bot_buf + kFrameWidth * kLdlRows);
    EXPECT_TRUE(std::equal(line1.begin(), line1.begin() + 22 * kFrameWidth, line2.begin()));
    EXPECT_NE(line1, line2);
    std::vector<std::pair<int, int>> changes;  // (frame, line) at every change of the line
    for (int f = 41, shown = 2, page = 0, line = 0; f <= 400; ++f, shown = line) {
        frame();
        ASSERT_EQ(std::sscanf(lastLdlKey, "%d|%d|", &page, &line), 2);
        if (line != shown) changes.emplace_back(f, line);
    }
    EXPECT_EQ(changes, (std::vector<std::pair<int, int>>{{160, 3}, {280, 1}, {400, 2}}));
    omcw[kLdlPage] = 0;  // no clock, no line: the canvas shows
    frame();
    EXPECT_TRUE(rowsAre(bot_buf, 0, 100, 0));
    EXPECT_TRUE(rowsAre(win_present_buf, 380, 382, kShownWhite));
    EXPECT_TRUE(rowsAre(win_present_buf, 382, 480, kShownPurple));
    pagestore[kLdlSourcePage].lineCount = 0;  // its rows keep their text, but none is a line
    omcw[kLdlPage] = 1;
    frame();
    EXPECT_FALSE(rowsAre(win_present_buf, 383, 403, kShownPurple));
    EXPECT_TRUE(rowsAre(win_present_buf, 405, 445, kShownPurple));
}

// One random run of messages, clock seconds and frames. The whole path recomposes
// every row of every frame (what the preview did before it kept a band); the
// band path leaves it to the frame code. A window that takes in only each
// frame's band must show what the whole path composed, frame by frame.
void runRandomFrames(bool whole, std::vector<uint64_t>& hashes, int& emptyBands) {
    std::mt19937 random(13);
    auto flag = [&](const char* key, int oneIn) {
        return std::string(",\"") + key + "\":" + (random() % oneIn ? "false" : "true");
    };
    std::vector<uint32_t> shown(kFramePixels);
    for (int step = 0, second = 0; step < 70; ++step) {
        std::string m;  // rolling or still pages, chained, alerts; display keys; or none
        const int page = int(random() % 3) + 1, kind = int(random() % 6);
        if (kind == 0) {
            const int lines = int(random() % 6);
            m = "{\"pageData\":1,\"pageNumber\":" + std::to_string(step % 7 ? page : 50) +
                flag("roll", 2) + flag("chain", 4) + flag("warning", 5) +
                ",\"lineCount\":" + std::to_string(lines);
            for (int i = 0; i < lines; ++i)
                m += ",\"height\":" + std::to_string(random() % 4) +
                     ",\"color\":" + std::to_string(random() % 6) + ",\"textData\":\"Row " +
                     std::to_string(i) + "\"";
        } else if (kind == 1) {
            m = "{\"topPage\":" + std::to_string(random() % 5 ? page : 0);
        } else if (kind == 2) {
            m = "{\"x\":0" + flag("topSolid", 2) + flag("bottomSolid", 2) +
                flag("regionSeparator", 2);
        } else if (kind == 3) {
            m = "{\"ldlPage\":" + std::to_string(random() % 2);
        }
        if (!m.empty()) decodeMessage((m + "}").c_str());
        for (int f = int(random() % 40) + 1; f > 0; --f) {
            if (random() % 20 == 0) ++second;
            if (whole) markRowsChanged(0, kFrameRows);
            composeFrame(clockAt(0, 0, 5, 9, second / 60 % 60, second % 60));
            emptyBands += present_first_row == present_end_row;
            ASSERT_TRUE(0 <= present_first_row && present_first_row <= present_end_row &&
                        present_end_row <= kFrameRows);
            if (hashes.empty() || whole) {
                EXPECT_EQ(present_end_row - present_first_row, 480);  // the first frame is whole
            }
            const size_t at = size_t(present_first_row) * kFrameWidth;
            std::copy(win_present_buf + at, win_present_buf + present_end_row * kFrameWidth,
                      shown.begin() + at);
            uint64_t hash = 1469598103934665603u;
            for (size_t i = 0; i < kFramePixels; ++i)
                hash = (hash ^ win_present_buf[i]) * 1099511628211u;
            hashes.push_back(hash);
            ASSERT_EQ(std::memcmp(shown.data(), win_present_buf, kFramePixels * 4), 0)
                << "rows outside the band changed in frame " << hashes.size();
        }
    }
}

TEST_F(Compose, FramesThatTakeOnlyTheirBandShowWhatWholeFramesShow) {
    ASSERT_TRUE(loadFontSlots(VANTREL_TEST_FONT_DIR));
    int empty = 0;
    std::vector<uint64_t> whole, band;
    runRandomFrames(true, whole, empty);
    EXPECT_EQ(empty, 0);
    SetUp();
    runRandomFrames(false, band, empty);
    ASSERT_EQ(band.size(), whole.size());
    for (size_t i = 0; i < band.size(); ++i)
        ASSERT_EQ(band[i], whole[i]) << "frame " << i + 1 << " of " << band.size();
    EXPECT_GT(empty, int(band.size()) / 4);  // still frames present nothing
}

}  // namespace
