#include "app/buffers.h"

#include <cstdlib>

#include "app/canvas.h"

uint32_t* top768 = nullptr;
uint32_t* scroll768 = nullptr;
uint32_t* bot768 = nullptr;
uint32_t* top_buf = nullptr;
uint32_t* scroll_buf = nullptr;
uint32_t* bot_buf = nullptr;
uint32_t* win_present_buf = nullptr;  // allocated by start-up; nulled by shutdown

static uint32_t* allocatePixels(size_t width, size_t rows) {
    return static_cast<uint32_t*>(std::calloc(width * rows, sizeof(uint32_t)));
}

static void freePixels(uint32_t*& pixels) {
    std::free(pixels);
    pixels = nullptr;
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
