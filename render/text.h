// Text drawing into 768-wide render buffers with the TIGA font slots.
#pragma once

#include <cstdint>
#include <string_view>

#include "fonts/tiga_font.h"
#include "render/render_buffer.h"

constexpr int kTextSizes = 4;
constexpr int kWidthVariants = 2;  // 0 normal, 1 wide

constexpr uint32_t kShadowColor = 0xff000000;  // opaque black
constexpr uint32_t kTextColor = 0xffd7d7d7;    // opaque light grey

struct FontChoice {
    int32_t slot;        // font slot, 1..7
    int32_t lineHeight;  // rows of a text line in this size
};

// Text size and width variant -> font slot and line height.
extern const FontChoice font_table[kTextSizes][kWidthVariants];

// Paints text with one font in one colour into buf (768 pixels per row, rows
// rows), pen starting at column x, glyph tops at row y. Pixels outside the
// buffer and characters the font cannot show are skipped, and so are glyph
// columns at or past the font's pitch. The text ends at its first NUL or at
// the end of the view. Allocates nothing.
void drawTigaString(uint32_t* buf, uint32_t rows, int32_t x, int32_t y, std::string_view text,
                    const TigaFont& font, uint32_t color);

// Paints one line in the display's style: size 0..3, width bit 0 (wide),
// an optional black shadow pass, then the light text pass.
void drawTextLine(uint32_t* buf, uint32_t rows, int32_t x, int32_t y, std::string_view text,
                  int size, int width, uint8_t shadow);
