#include "app/frame.h"

#include <algorithm>
#include <cstring>

#include "app/blend.h"
#include "app/buffers.h"
#include "app/canvas.h"
#include "app/ldl.h"
#include "app/roll.h"
#include "model/shared_bytes.h"
#include "render/page_layout.h"

bool run = true;           // cleared by winProc on close, Escape or Q
int32_t lastTopPage = -1;  // no topPage equals it, so the first frame renders
bool lastTopSolid = true;
bool lastRoll = false;
uint32_t frameCount = 0;

// Copies the rows of a region's resampled buffer that lie in the stale band
// into the same output rows of the composite: region rows start at output row
// regionTop and number regionRows.
static void copyStaleRows(const uint32_t* src, int32_t regionTop, int32_t regionRows) {
    const int32_t first = std::max(stale_first_row, regionTop);
    const int32_t end = std::min(stale_end_row, regionTop + regionRows);
    if (first >= end) return;
    std::memcpy(over.pixels + static_cast<size_t>(first) * kFrameWidth,
                src + static_cast<size_t>(first - regionTop) * kFrameWidth,
                sizeof(uint32_t) * kFrameWidth * (end - first));
}

void renderStaticTop(int32_t page, uint8_t topSolid) {
    if (top768 == nullptr || top_buf == nullptr) return;
    std::memset(top768, 0, sizeof(uint32_t) * kRenderWidth * kTopRows);
    uint32_t fill = 0x00000000;
    const int32_t height =
        renderPageBody(page, top768, kTopRows, kTopRows, topSolid, nullptr, &fill);
    if (topSolid && height < kTopRows) {
        for (int32_t y = height < 0 ? 0 : height; y < kTopRows; ++y) {
            uint32_t* row = top768 + static_cast<size_t>(y) * kRenderWidth;
            for (int x = 0; x < kRenderWidth; ++x)
                row[x] = fill;
        }
    }
    hresize(top768, top_buf, kTopRows);
    markRowsChanged(0, kTopRows);
}

bool updateTopRegion() {
    // The flag is read before the record, so a commit it announces is seen whole.
    const bool dirty = flagRaised(page_dirty);
    const int32_t page = loadShared(omcw[kTopPage]);
    const bool topSolid = (loadShared(omcw[kSolidFlags]) & kTopSolid) != 0;
    const bool roll = isRollPage(page);
    if (roll == lastRoll && page == lastTopPage && topSolid == lastTopSolid && !dirty) return roll;

    takeFlag(page_dirty);
    scroll_y = 0;
    if (roll)
        renderRoll(page, topSolid);
    else
        renderStaticTop(page, topSolid ? 1 : 0);
    lastTopPage = page;
    lastTopSolid = topSolid;
    lastRoll = roll;
    return roll;
}

void composeFrame(const struct tm& now) {
    buildClockLine(now);
    if (flagRaised(solid_dirty)) repaintSolids();
    const bool roll = updateTopRegion();
    updateLdl();
    if (roll) markRowsChanged(0, kTopRows);  // the content moves up a row every frame
    if (over.pixels != nullptr && top_buf != nullptr && bot_buf != nullptr) {
        if (roll)
            rollCopy();
        else
            copyStaleRows(top_buf, 0, kTopRows);
        copyStaleRows(bot_buf, kLdlTop, kLdlRows);
    }
    ++frameCount;
    rotateLdl(frameCount);
    blendRows(stale_first_row, stale_end_row);
    // An empty band is reported as 0..0, whatever bounds it was left with.
    const bool changed = stale_first_row < stale_end_row;
    present_first_row = changed ? stale_first_row : 0;
    present_end_row = changed ? stale_end_row : 0;
    stale_first_row = stale_end_row = 0;
}

void resetFrameState() {
    run = true;
    lastTopPage = -1;
    lastTopSolid = true;
    lastRoll = false;
    frameCount = 0;
    scroll_y = 0;
    contentHeight = kHeaderBandRows;
    roll_pre_bg = 0;
    roll_post_bg = 0;
    resetLdl();
    markRowsChanged(0, kFrameRows);
}
