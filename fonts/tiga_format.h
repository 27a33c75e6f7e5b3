// The TIGA font file layout, as the loader reads it and the font maker writes
// it. All multi-byte fields are little-endian; header bytes not listed here are
// ignored. The three table positions are BIT offsets from the start of the file.
#pragma once

#include <cstdint>

constexpr int kMagicLowPos = 0;
constexpr int kMagicHighPos = 1;
constexpr uint8_t kMagicLow = 0x40;  // the 16-bit magic 0x8040, low byte first
constexpr uint8_t kMagicHigh = 0x80;
constexpr int kFaceNamePos = 6;
constexpr int kFaceNameSize = 30;  // ASCII, need not end in a NUL
constexpr int kDefaultCharPos = 36;
constexpr int kFirstCharPos = 38;
constexpr int kLastCharPos = 40;
constexpr int kHeightPos = 50;
constexpr int kLeadingPos = 56;
constexpr int kPitchPos = 58;  // signed 32-bit; every other field here is unsigned
constexpr int kPatternBitsPos = 62;
constexpr int kLocationBitsPos = 66;
constexpr int kWidthBitsPos = 70;

// The header fields end at byte 74, yet anything shorter than 78 bytes is refused.
constexpr long kMinFileSize = 78;
