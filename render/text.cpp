#include "render/text.h"

#include <algorithm>

constexpr int kLastColumn = kRenderWidth - 1;

// Size by size, normal before wide. Size 0 has no wide font of its own.
const FontChoice font_table[kTextSizes][kWidthVariants] = {
    {{1, 20}, {1, 20}},
    {{2, 40}, {5, 40}},
    {{3, 60}, {6, 60}},
    {{4, 80}, {7, 80}},
};

namespace {

// A loaded record whose tables can be indexed at all. The loader never hands
// out anything else; the check keeps a damaged record from being read.
bool fontUsable(const TigaFont& font) {
    return font.loaded && font.pattern && font.locations && font.advances && font.offsets &&
           font.height > 0 && font.pitch > 0 && font.entryCount >= 2;
}

}  // namespace

// The pen and row arithmetic is done in 64 bits, so that no pen position or
// row, however far outside the buffer, can wrap around into it.
void drawTigaString(uint32_t* buf, uint32_t rows, int32_t x, int32_t y, std::string_view text,
                    const TigaFont& font, uint32_t color) {
    if (buf == nullptr || rows == 0 || !fontUsable(font)) return;

    const int64_t pitch = font.pitch;
    // Glyph rows r whose destination y + r lies in 0..rows-1; the same for every glyph.
    const int64_t firstRow = std::max<int64_t>(0, -static_cast<int64_t>(y));
    const int64_t endRow = std::min<int64_t>(font.height, static_cast<int64_t>(rows) - y);

    int64_t pen = x;
    for (const char ch : text) {
        if (ch == '\0') break;
        int32_t code = static_cast<unsigned char>(ch);
        if (code < font.firstChar || code > font.lastChar) code = font.defaultChar;
        const int64_t g = static_cast<int64_t>(code) - font.firstChar;
        if (g < 0 || g >= font.entryCount - 1) continue;  // dropped: the pen stays

        const int64_t column = font.locations[g];
        const int64_t width = static_cast<int64_t>(font.locations[g + 1]) - column;
        const int64_t left = pen + font.offsets[g];
        // Glyph columns j whose destination left + j lies in 0..767.
        // NOTE: columns at or beyond the pattern's pitch are skipped too. The
        // loader accepts a location table that runs past the pitch; such columns
        // would read the next pattern row, or past the end of the pattern.
        const int64_t firstCol = std::max<int64_t>(0, -left);
        const int64_t endCol = std::min({width, pitch - column, kLastColumn + 1 - left});
        if (firstCol < endCol) {
            for (int64_t r = firstRow; r < endRow; ++r) {
                const uint8_t* ink = font.pattern + r * pitch + column + firstCol;
                uint32_t* out = buf + (y + r) * kRenderWidth + left + firstCol;
                for (int64_t j = 0; j < endCol - firstCol; ++j)
                    if (ink[j]) out[j] = color;
            }
        }
        pen += font.advances[g];
    }
}

void drawTextLine(uint32_t* buf, uint32_t rows, int32_t x, int32_t y, std::string_view text,
                  int size, int width, uint8_t shadow) {
    if (size < 0 || size >= kTextSizes) return;
    int slot = font_table[size][width & 1].slot;
    // A missing wide font falls back to the normal font of the same size, and
    // the shadow follows the slot that is drawn.
    if (!fonts[slot].loaded) slot = font_table[size][0].slot;
    if (shadow && shadow_fonts[slot].loaded)
        drawTigaString(buf, rows, x, y, text, shadow_fonts[slot], kShadowColor);
    if (fonts[slot].loaded) drawTigaString(buf, rows, x, y, text, fonts[slot], kTextColor);
}
