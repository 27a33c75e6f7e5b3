#include "app/roll.h"

#include <algorithm>
#include <cstring>

#include "app/buffers.h"
#include "app/canvas.h"
#include "model/shared_bytes.h"
#include "render/page_layout.h"

int32_t scroll_y = 0;                     // reset by every top region render
int32_t contentHeight = kHeaderBandRows;  // set by every roll render
uint32_t roll_pre_bg = 0;                 // transparent unless topSolid
uint32_t roll_post_bg = 0;

static void fillRows(uint32_t* pixels, int32_t first, int32_t end, uint32_t color) {
    for (int32_t y = first; y < end; ++y) {
        uint32_t* row = pixels + static_cast<size_t>(y) * kFrameWidth;
        std::fill(row, row + kFrameWidth, color);
    }
}

bool isRollPage(int page) {
    if (page < 1 || page >= kPageCount) return false;
    if (loadShared(pagestore[page].pageNumber) == 0) return false;
    return (loadShared(pagestore[page].motionFlags) & kMotionRoll) != 0;
}

void renderRoll(int page, bool topSolid) {
    if (scroll768 == nullptr || scroll_buf == nullptr) return;
    std::memset(scroll768, 0, sizeof(uint32_t) * kRenderWidth * kScrollRows);
    const bool stored = page >= 1 && page < kPageCount && loadShared(pagestore[page].pageNumber);
    const bool chained = stored && (loadShared(pagestore[page].motionFlags) & kMotionChain);
    const int32_t heightLimit = chained ? kChainRollLimit : kScrollRows;
    uint32_t first = 0;
    uint32_t last = 0;
    const int32_t height =
        renderPageBody(page, scroll768, kScrollRows, heightLimit, topSolid ? 1 : 0, &first, &last);
    contentHeight = std::clamp<int32_t>(height, kHeaderBandRows, kScrollRows);
    roll_pre_bg = topSolid ? first : 0;
    roll_post_bg = topSolid ? last : 0;
    hresize(scroll768, scroll_buf, contentHeight);
}

void rollCopy() {
    if (over.pixels == nullptr || scroll_buf == nullptr) return;
    scroll_y = (scroll_y + 1) % (contentHeight + kTopRows);
    const int32_t top = kTopRows - scroll_y;  // output row of content row 0
    const int32_t first = std::max(top, 0);
    const int32_t end = std::min(top + contentHeight, kTopRows);
    if (top > 0) fillRows(over.pixels, 0, first, roll_pre_bg);
    if (first < end)
        std::memcpy(over.pixels + static_cast<size_t>(first) * kFrameWidth,
                    scroll_buf + static_cast<size_t>(first - top) * kFrameWidth,
                    sizeof(uint32_t) * kFrameWidth * (end - first));
    fillRows(over.pixels, end, kTopRows, roll_post_bg);
}
