// Fonts built in memory for the rendering tests: glyph images drawn as strings,
// packed side by side into a pattern exactly as a loaded TIGA font holds them.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fonts/tiga_font.h"

// One glyph: its code, its image ('#' ink, anything else blank, all rows the
// same length, or no rows for an empty glyph), its offset and its advance.
struct GlyphSpec {
    int code;
    std::vector<std::string> image;
    uint8_t offset;
    uint8_t advance;
};

// Owns the arrays a TigaFont points into. Codes between firstChar and lastChar
// without a spec get an empty glyph with advance 0.
struct MemoryFont {
    std::vector<uint8_t> pattern;
    std::vector<uint16_t> locations;
    std::vector<uint8_t> advances;
    std::vector<uint8_t> offsets;
    TigaFont font{};
};

// Builds a font of the given height; the pattern is exactly as wide as the
// glyphs together, plus extraPitch blank columns.
inline void buildFont(MemoryFont& m, int firstChar, int lastChar, int defaultChar, int height,
                      const std::vector<GlyphSpec>& glyphs, int extraPitch = 0) {
    const int entries = lastChar - firstChar + 2;
    std::vector<const GlyphSpec*> byCode(entries - 1, nullptr);
    for (const GlyphSpec& g : glyphs)
        byCode[g.code - firstChar] = &g;
    m.locations.assign(entries, 0);
    m.advances.assign(entries, 0);
    m.offsets.assign(entries, 0);
    int column = 0;
    for (int i = 0; i < entries - 1; ++i) {
        m.locations[i] = static_cast<uint16_t>(column);
        if (byCode[i] == nullptr) continue;
        m.advances[i] = byCode[i]->advance;
        m.offsets[i] = byCode[i]->offset;
        if (!byCode[i]->image.empty()) column += static_cast<int>(byCode[i]->image[0].size());
    }
    m.locations[entries - 1] = static_cast<uint16_t>(column);
    const int pitch = column + extraPitch;
    m.pattern.assign(static_cast<size_t>(height) * pitch, 0);
    for (int i = 0; i < entries - 1; ++i) {
        if (byCode[i] == nullptr) continue;
        const auto& image = byCode[i]->image;
        for (int r = 0; r < static_cast<int>(image.size()) && r < height; ++r)
            for (size_t j = 0; j < image[r].size(); ++j)
                m.pattern[r * pitch + m.locations[i] + j] = image[r][j] == '#';
    }
    m.font = TigaFont{};
    m.font.loaded = 1;
    std::strncpy(m.font.faceName, "memory", sizeof m.font.faceName - 1);
    m.font.firstChar = firstChar;
    m.font.lastChar = lastChar;
    m.font.defaultChar = defaultChar;
    m.font.height = height;
    m.font.pitch = pitch;
    m.font.entryCount = entries;
    m.font.pattern = m.pattern.data();
    m.font.locations = m.locations.data();
    m.font.advances = m.advances.data();
    m.font.offsets = m.offsets.data();
}

// Empties every font slot without freeing: the arrays belong to MemoryFonts.
inline void clearFontSlots() {
    std::memset(fonts, 0, sizeof fonts);
    std::memset(shadow_fonts, 0, sizeof shadow_fonts);
}
