#include "app/buffers.h"

#include <cstdint>
#include <cstdlib>

#include "app/canvas.h"

// Buffers start on a cache line, so the blend's and the resampler's vector
// loads and stores never straddle two lines.
constexpr size_t kBufferAlignment = 64;

uint32_t* top768 = nullptr;
uint32_t* scroll768 = nullptr;
uint32_t* bot768 = nullptr;
uint32_t* top_buf = nullptr;
uint32_t* scroll_buf = nullptr;
uint32_t* bot_buf = nullptr;
uint32_t* win_present_buf = nullptr;  // allocated by start-up; nulled by shutdown
int32_t present_first_row = 0;        // set by composeFrame, read by winPresent
int32_t present_end_row = kFrameRows;
int32_t stale_first_row = 0;  // widened by markRowsChanged, emptied by composeFrame
int32_t stale_end_row = kFrameRows;

// Zero-filled and aligned: calloc leaves untouched pages unmapped until they
// are used, which aligned_alloc followed by a clear would not. The block's own
// address is kept in the word just below the aligned pixels.
static uint32_t* allocatePixels(size_t width, size_t rows) {
    const size_t bytes = width * rows * sizeof(uint32_t) + kBufferAlignment + sizeof(void*);
    void* block = std::calloc(bytes, 1);
    if (block == nullptr) return nullptr;
    const uintptr_t first = reinterpret_cast<uintptr_t>(block) + sizeof(void*);
    const uintptr_t aligned = (first + kBufferAlignment - 1) & ~uintptr_t(kBufferAlignment - 1);
    reinterpret_cast<void**>(aligned)[-1] = block;
    return reinterpret_cast<uint32_t*>(aligned);
}

static void freePixels(uint32_t*& pixels) {
    if (pixels != nullptr) std::free(reinterpret_cast<void**>(pixels)[-1]);
    pixels = nullptr;
}

void markRowsChanged(int32_t first, int32_t end) {
    if (first < 0) first = 0;
    if (end > kFrameRows) end = kFrameRows;
    if (first >= end) return;
    if (stale_first_row >= stale_end_row) {
        stale_first_row = first;
        stale_end_row = end;
        return;
    }
    if (first < stale_first_row) stale_first_row = first;
    if (end > stale_end_row) stale_end_row = end;
}

bool allocateRenderBuffers() {
    top768 = allocatePixels(kRenderWidth, kTopRows);
    scroll768 = allocatePixels(kRenderWidth, kScrollRows);
    bot768 = allocatePixels(kRenderWidth, kLdlRows);
    top_buf = allocatePixels(kFrameWidth, kTopRows);
    scroll_buf = allocatePixels(kFrameWidth, kScrollRows);
    bot_buf = allocatePixels(kFrameWidth, kLdlRows);
    return top768 && scroll768 && bot768 && top_buf && scroll_buf && bot_buf;
}

bool allocateImages() {
    solid.pixels = allocatePixels(kFrameWidth, kFrameRows);
    over.pixels = allocatePixels(kFrameWidth, kFrameRows);
    solid.width = over.width = kFrameWidth;
    solid.height = over.height = kFrameRows;
    if (!solid.pixels || !over.pixels) return false;
    markRowsChanged(0, kFrameRows);
    win_present_buf = allocatePixels(kFrameWidth, kFrameRows);
    return win_present_buf != nullptr;
}

void releaseBuffers() {
    freePixels(top768);
    freePixels(scroll768);
    freePixels(bot768);
    freePixels(top_buf);
    freePixels(scroll_buf);
    freePixels(bot_buf);
    freePixels(solid.pixels);
    freePixels(over.pixels);
    freePixels(win_present_buf);
}
