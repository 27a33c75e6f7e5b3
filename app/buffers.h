// The preview's pixel buffers and the frame geometry. Every buffer is
// allocated once, zero-filled, at start-up and freed at shutdown.
#pragma once

#include <cstddef>
#include <cstdint>

#include "render/resample.h"
#include "render/text.h"

constexpr int kFrameWidth = kOutputWidth;  // 720: pixels per output row
constexpr int kFrameRows = 480;            // output rows of the display
constexpr int kTopRows = 380;              // top region: output rows 0..379
constexpr int kLdlTop = 380;               // LDL region: output rows 380..479
constexpr int kLdlRows = 100;
constexpr int kSeparatorRows = 2;  // region separator: rows 380 and 381
constexpr int kScrollRows = 2048;  // tallest rolling content
constexpr size_t kFramePixels = static_cast<size_t>(kFrameWidth) * kFrameRows;

static_assert(kLdlTop + kLdlRows == kFrameRows);

// Render buffers (768 wide) and their resampled twins (720 wide).
extern uint32_t* top768;      // 768 x 380: static top region
extern uint32_t* scroll768;   // 768 x 2048: rolling content
extern uint32_t* bot768;      // 768 x 100: LDL region
extern uint32_t* top_buf;     // 720 x 380
extern uint32_t* scroll_buf;  // 720 x 2048
extern uint32_t* bot_buf;     // 720 x 100

// What the window shows: 720 x 480 words 0x00RRGGBB, top row first. Written by
// the blend; null before start-up allocates it and after shutdown frees it.
extern uint32_t* win_present_buf;

// The band of rows of win_present_buf that the last composed frame rewrote:
// rows present_first_row .. present_end_row - 1 (empty when the two are equal).
// Set by composeFrame; winPresent shows only this band, while a repaint asked
// for by the window system shows the whole buffer. Every row outside the band
// holds what it held after the frame before.
extern int32_t present_first_row;
extern int32_t present_end_row;

// The band of output rows whose sources (canvas, top region, LDL region) changed
// since the last composed frame: rows stale_first_row .. stale_end_row - 1.
// Widened by whatever rewrites a source, consumed and emptied by composeFrame.
extern int32_t stale_first_row;
extern int32_t stale_end_row;

// Widens the stale band to take in output rows first .. end - 1 (clipped to
// the frame), so that the next frame composes, blends and presents them again.
void markRowsChanged(int32_t first, int32_t end);

// Allocates the six render buffers, zero-filled. Every allocation is tried;
// returns false when any of them failed.
bool allocateRenderBuffers();

// Allocates the canvas, the composite image (both 720 x 480, with their sizes
// set) and the present buffer, zero-filled, and marks every row stale (nothing
// is composed in them yet). Returns false when one failed.
bool allocateImages();

// Frees every buffer allocated above, in allocation order, and nulls them.
void releaseBuffers();
