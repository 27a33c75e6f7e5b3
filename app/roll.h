// Roll scrolling of the top region: a page with the roll bit is laid out once
// into the tall scroll buffers and moves up through the top region one pixel
// row per frame, entering again from the bottom after it has left at the top.
#pragma once

#include <cstdint>

constexpr int32_t kChainRollLimit = 380;  // content rows of a rolling page with the chain bit

extern int32_t scroll_y;       // scroll position; advanced by every roll copy, 0 after a render
extern int32_t contentHeight;  // content rows in scroll768/scroll_buf, 40..2048
extern uint32_t roll_pre_bg;   // colour of the top-region rows above the content
extern uint32_t roll_post_bg;  // colour of the top-region rows below the content

// Whether record page (0..255) puts the top region in roll mode: a stored page
// (1..255) whose motionFlags carry the roll bit.
bool isRollPage(int page);

// Lays page out into scroll768 (content up to 380 rows with the chain bit,
// 2048 without), sets contentHeight and the two fill colours, and resamples
// the content into scroll_buf. The caller has cleared page_dirty and scroll_y.
void renderRoll(int page, bool topSolid);

// Advances scroll_y and fills rows 0..379 of the composite image with the
// window of content that stands in the top region at that position.
void rollCopy();
