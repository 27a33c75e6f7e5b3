// Fonts built in memory for the rendering tests: glyph images drawn as strings,
// packed side by side into a pattern exactly as a loaded TIGA font holds them.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fonts/tiga_font.h"

// One glyph: its image ('#' ink, anything else blank; rows of equal length, or
// no rows for an empty glyph), its offset right of the pen and its advance.
struct GlyphSpec {
    std::vector<std::string> image;
    uint8_t offset, advance;
};

// Owns the arrays a TigaFont points into.
struct MemoryFont {
    std::vector<uint8_t> pattern, advances, offsets;
    std::vector<uint16_t> locations;
    TigaFont font{};
};

// Glyphs for the codes firstChar, firstChar + 1, ... in order; the pattern is
// exactly as wide as the glyph images together.
inline void buildFont(MemoryFont& m, int firstChar, int defaultChar, int height,
                      const std::vector<GlyphSpec>& glyphs) {
    const size_t n = glyphs.size();
    m.locations.assign(n + 1, 0);
    m.advances.assign(n + 1, 0);
    m.offsets.assign(n + 1, 0);
    for (size_t i = 0; i < n; ++i) {
        const size_t width = glyphs[i].image.empty() ? 0 : glyphs[i].image[0].size();
        m.locations[i + 1] = static_cast<uint16_t>(m.locations[i] + width);
        m.advances[i] = glyphs[i].advance;
        m.offsets[i] = glyphs[i].offset;
    }
    const int pitch = m.locations[n];
    m.pattern.assign(static_cast<size_t>(height) * pitch, 0);
    for (size_t i = 0; i < n; ++i)
        for (size_t r = 0; r < glyphs[i].image.size() && r < static_cast<size_t>(height); ++r)
            for (size_t j = 0; j < glyphs[i].image[r].size(); ++j)
                m.pattern[r * pitch + m.locations[i] + j] = glyphs[i].image[r][j] == '#';
    // clang-format off
    m.font = TigaFont{/*loaded*/ 1, "memory", firstChar, /*lastChar*/ firstChar + int(n) - 1,
                      defaultChar, height, /*leading*/ 0, pitch, /*entryCount*/ int(n) + 1,
                      m.pattern.data(), m.locations.data(), m.advances.data(), m.offsets.data()};
    // clang-format on
}

// Empties every font slot without freeing: the arrays belong to MemoryFonts.
inline void clearFontSlots() {
    std::memset(fonts, 0, sizeof fonts);
    std::memset(shadow_fonts, 0, sizeof shadow_fonts);
}
