// TIGA bitmap fonts: the file loader, the font slots and their release.
#pragma once

#include <cstdint>

#include "fonts/tiga_format.h"

constexpr int kFontSlotCount = 8;  // slots 1..7 used, slot 0 never loaded

// One font slot. Either not loaded (loaded == 0, no arrays) or loaded (all four
// arrays present and filled). The record owns its arrays; freeTigaFont releases them.
struct TigaFont {
    uint8_t loaded;                    // 1 when the slot holds a font
    char faceName[kFaceNameSize + 1];  // the file's 30 name bytes and a NUL
    int32_t firstChar;                 // first character code
    int32_t lastChar;                  // last character code
    int32_t defaultChar;               // drawn in place of a code outside first..last
    int32_t height;                    // glyph rows (pattern rows)
    int32_t leading;                   // the file's leading; only printed
    int32_t pitch;                     // pattern row length in pixels
    int32_t entryCount;                // lastChar - firstChar + 2
    uint8_t* pattern;                  // height * pitch bytes, 0 or 1, row-major
    uint16_t* locations;               // entryCount pattern columns; glyph g = [loc[g], loc[g+1])
    uint8_t* advances;                 // entryCount pen advances, pixels
    uint8_t* offsets;                  // entryCount glyph offsets right of the pen, pixels
};

extern TigaFont fonts[kFontSlotCount];         // regular fonts FONT01..FONT07
extern TigaFont shadow_fonts[kFontSlotCount];  // shadow fonts SHDT01..SHDT07

// Loads one TIGA file into font, which is cleared first. Returns true when the
// font loaded (and prints its summary line); false otherwise, with a line on
// standard error for a damaged file. Refused with a line: a bad magic, a pattern
// table or character tables reaching past the file end, a pattern above 64 MiB.
// NOTE: the record is zeroed, not released: free a loaded record before reusing it.
bool loadTigaFont(const char* path, TigaFont* font);

// Frees a loaded font's arrays and zeroes the record; does nothing otherwise.
void freeTigaFont(TigaFont* font);

// Loads FONT01..07 and SHDT01..07 into the slots, from dir (the working
// directory when dir is null or empty). Returns false, after printing
// "no TIGA fonts could be loaded", when no regular font loaded. Slots loaded
// by an earlier call are released first.
bool loadFontSlots(const char* dir);

// Releases every loaded slot.
void releaseFontSlots();
