#include "app/canvas.h"

#include "app/buffers.h"
#include "model/shared_bytes.h"

constexpr uint8_t kPurpleRowColor = 5;  // rowColor that makes the top solid purple
constexpr uint8_t kGrayRowColor = 0;    // rowColor that makes it grey

const uint32_t vesk_purple = 0xff950b42;
const uint32_t vesk_blue = 0xff600000;
const uint32_t vesk_green = 0xff008100;
const uint32_t vesk_red = 0xff000060;
const uint32_t vesk_gray = 0xff626262;
const uint32_t vesk_black = 0xff000000;
const uint32_t vesk_white = 0xffd7d7d7;
const uint32_t clear_color = 0x00000000;

Image solid = {nullptr, 0, 0};  // allocated by start-up, painted by repaintSolids
Image over = {nullptr, 0, 0};   // allocated by start-up, filled by every frame

void imageBoxFilledRGB(Image* image, int32_t x0, int32_t y0, int32_t x1, int32_t y1,
                       uint32_t color) {
    if (image == nullptr || image->pixels == nullptr) return;
    if (x1 > image->width - 1) x1 = image->width - 1;
    if (y1 > image->height - 1) y1 = image->height - 1;
    if (x0 < 0) x0 = 0;
    if (y0 < 0) y0 = 0;
    if (x0 > x1 || y0 > y1) return;
    for (int32_t y = y0; y <= y1; ++y) {
        uint32_t* row = image->pixels + static_cast<size_t>(y) * image->width;
        for (int32_t x = x0; x <= x1; ++x)
            row[x] = color;
    }
}

uint32_t topSolidColor(int page) {
    const uint8_t rowColor = loadShared(pagestore[page & 0xff].style[0].rowColor);
    if (rowColor == kPurpleRowColor) return vesk_purple;
    if (rowColor == kGrayRowColor) return vesk_gray;
    return vesk_green;
}

void repaintSolids() {
    takeFlag(solid_dirty);
    if (solid.pixels == nullptr) return;
    const uint8_t flags = loadShared(omcw[kSolidFlags]);
    markRowsChanged(0, kFrameRows);
    const size_t count = static_cast<size_t>(solid.width) * solid.height;
    for (size_t i = 0; i < count; ++i)
        solid.pixels[i] = clear_color;
    if (flags & kBottomSolid)
        imageBoxFilledRGB(&solid, 0, kLdlTop, kFrameWidth, kFrameRows, vesk_purple);
    if (flags & kTopSolid)
        imageBoxFilledRGB(&solid, 0, 0, kFrameWidth, kTopRows - 1,
                          topSolidColor(loadShared(omcw[kTopPage])));
    if (flags & kRegionSeparator)
        imageBoxFilledRGB(&solid, 0, kLdlTop, kFrameWidth, kLdlTop + kSeparatorRows - 1,
                          vesk_white);
}
