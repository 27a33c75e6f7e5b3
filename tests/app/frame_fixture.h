// Shared set-up for the headless composition tests: the preview's buffers
// allocated once per process, the page model and the frame loop state reset
// before every test, and small helpers to store pages and run frames.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <initializer_list>

#include "app/buffers.h"
#include "app/canvas.h"
#include "app/frame.h"
#include "app/ldl.h"
#include "app/roll.h"
#include "fonts/tiga_font.h"
#include "model/page_model.h"
#include "model/shared_bytes.h"
#include "render/resample.h"

namespace apptest {

// One row of a stored page.
struct Row {
    uint8_t height;  // text size 0..3 (20, 40, 60, 80 rows)
    uint8_t color;   // rowColor
    const char* text;
};

constexpr uint32_t kPresentPurple = 0x00420b95;  // vesk_purple as the window shows it
constexpr uint32_t kPresentWhite = 0x00d7d7d7;   // vesk_white as the window shows it

// Sunday 5 January, 09:05:07: a fixed clock, so the LDL key only changes when
// ldlPage or ldlLine does.
inline struct tm fixedClock() {
    struct tm t = {};
    t.tm_year = 125;
    t.tm_mon = 0;
    t.tm_mday = 5;
    t.tm_wday = 0;
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = 7;
    return t;
}

// Stores page n as the feed would: the record, then page_dirty.
inline void storePage(int n, std::initializer_list<Row> rows, uint8_t motion = 0) {
    PageRecord& page = pagestore[n];
    std::memset(&page, 0, kHeaderSize);
    page.pageNumber = static_cast<uint8_t>(n);
    page.lineCount = static_cast<uint8_t>(rows.size());
    page.motionFlags = motion;
    int i = 0;
    for (const Row& row : rows) {
        page.style[i].rowColor = row.color;
        page.shape[i].rowSize = static_cast<uint8_t>(row.height << 2);
        std::memset(page.rowText[i], 0, kRowTextSize);
        std::strncpy(reinterpret_cast<char*>(page.rowText[i]), row.text, kRowTextSize);
        ++i;
    }
    raiseFlag(page_dirty);
}

// Sets solidFlags as the feed would: the bits, then solid_dirty.
inline void setSolids(uint8_t flags) {
    omcw[kSolidFlags] = flags;
    raiseFlag(solid_dirty);
}

// Composes count frames at the fixed clock.
inline void frame(int count = 1) {
    const struct tm clock = fixedClock();
    for (int i = 0; i < count; ++i)
        composeFrame(clock);
}

inline const uint32_t* overRow(int y) {
    return over.pixels + y * kFrameWidth;
}
inline const uint32_t* scrollRow(int y) {
    return scroll_buf + y * kFrameWidth;
}

// True when every pixel of rows first..end-1 of a 720-wide buffer is value.
inline bool rowsAre(const uint32_t* pixels, int first, int end, uint32_t value) {
    for (int i = first * kFrameWidth; i < end * kFrameWidth; ++i)
        if (pixels[i] != value) return false;
    return true;
}

inline bool rowEquals(const uint32_t* a, const uint32_t* b) {
    return std::memcmp(a, b, sizeof(uint32_t) * kFrameWidth) == 0;
}

inline void clearPixels(uint32_t* pixels, int width, int rows) {
    std::memset(pixels, 0, sizeof(uint32_t) * width * rows);
}

class FrameTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        buildHtaps();
        if (top768 == nullptr) {
            ASSERT_TRUE(allocateRenderBuffers());
            ASSERT_TRUE(allocateImages());
        }
    }

    void SetUp() override {
        std::memset(pagestore, 0, sizeof pagestore);
        std::memset(omcw, 0, sizeof omcw);
        solid_dirty = 1;
        page_dirty = 0;
        presetPageModel();
        clearPixels(top768, kRenderWidth, kTopRows);
        clearPixels(scroll768, kRenderWidth, kScrollRows);
        clearPixels(bot768, kRenderWidth, kLdlRows);
        clearPixels(top_buf, kFrameWidth, kTopRows);
        clearPixels(scroll_buf, kFrameWidth, kScrollRows);
        clearPixels(bot_buf, kFrameWidth, kLdlRows);
        clearPixels(solid.pixels, kFrameWidth, kFrameRows);
        clearPixels(over.pixels, kFrameWidth, kFrameRows);
        clearPixels(win_present_buf, kFrameWidth, kFrameRows);
        resetFrameState();
        repaintSolids();  // as start-up does before the first frame
    }
};

// The same, with the generated default fonts loaded, for tests that look at text.
class FrameWithFontsTest : public FrameTest {
protected:
    static void SetUpTestSuite() {
        FrameTest::SetUpTestSuite();
        ASSERT_TRUE(loadFontSlots(VANTREL_TEST_FONT_DIR)) << "fonts in " << VANTREL_TEST_FONT_DIR;
    }
    static void TearDownTestSuite() { releaseFontSlots(); }
};

}  // namespace apptest
