// The background canvas: the clear colour and the solid regions that lie
// behind everything the display shows, and the Image record it shares with the
// composite image.
#pragma once

#include <cstdint>

// A pixel image, 0xAABBGGRR words, rows top first and back to back.
struct Image {
    uint32_t* pixels;  // width * height pixels, owned; null until allocated
    int32_t width;     // pixels per row
    int32_t height;    // rows
};

// Named colours (0xAABBGGRR).
extern const uint32_t vesk_purple;  // bottom solid; top solid for rowColor 5
extern const uint32_t vesk_blue;
extern const uint32_t vesk_green;  // top solid for every other rowColor
extern const uint32_t vesk_red;
extern const uint32_t vesk_gray;  // top solid for rowColor 0
extern const uint32_t vesk_black;
extern const uint32_t vesk_white;   // region separator
extern const uint32_t clear_color;  // transparent black; the canvas is cleared to it

extern Image solid;  // background canvas, 720 x 480; written only by repaintSolids
extern Image over;   // composite image, 720 x 480; rebuilt whole every frame

// Fills columns x0..x1 and rows y0..y1 (all inclusive) of image with color.
// The last bounds are clipped to the image, the first ones to 0; nothing is
// painted when a clipped first bound lies beyond its last one.
void imageBoxFilledRGB(Image* image, int32_t x0, int32_t y0, int32_t x1, int32_t y1,
                       uint32_t color);

// The colour that fills the top region when topSolid is set: chosen by row 0's
// rowColor byte of record page (0..255), whether or not a page is stored there.
uint32_t topSolidColor(int page);

// Repaints the canvas whole from solidFlags and marks every output row stale.
// Clears solid_dirty first, so a change that lands during the repaint is
// painted by the next frame.
void repaintSolids();
