// The arithmetic of the display's colours as Y'CbCr, shared by the row
// kernels that the conversion builds for each instruction set. Everything is
// static: each file that includes this gets its own copy, compiled for its own
// CPU, and the linker never swaps an AVX2 copy into the plain kernel.
#pragma once

#include <cstdint>

namespace yuv_pixels {

// BT.601 in limited range, as fixed-point weights with kFraction fraction
// bits: Y' = 16 + 219/255 (0.299 R + 0.587 G + 0.114 B), Cb and Cr = 128 +
// 224/255 times the colour differences. Each row of weights sums to the
// range it spans (219/255 or 0), so white and black land exactly.
constexpr int kFraction = 16;
constexpr int32_t kYr = 16829, kYg = 33039, kYb = 6416;       // sum 56284 = 219/255 << 16
constexpr int32_t kCbR = -9714, kCbG = -19070, kCbB = 28784;  // sum 0
constexpr int32_t kCrR = 28784, kCrG = -24103, kCrB = -4681;  // sum 0
constexpr int32_t kLumaOffset = 16;
constexpr int32_t kChromaOffset = 128;
// Chroma weighs the sum of a 2 x 2 block, four times a pixel: two more bits.
constexpr int kChromaShift = kFraction + 2;

static inline int32_t red(uint32_t w) {
    return static_cast<int32_t>(w >> 16 & 0xFF);
}
static inline int32_t green(uint32_t w) {
    return static_cast<int32_t>(w >> 8 & 0xFF);
}
static inline int32_t blue(uint32_t w) {
    return static_cast<int32_t>(w & 0xFF);
}

static inline uint8_t luma(uint32_t w) {
    const int32_t sum = kYr * red(w) + kYg * green(w) + kYb * blue(w) + (1 << (kFraction - 1));
    return static_cast<uint8_t>(kLumaOffset + (sum >> kFraction));
}

// A chroma sample from the sums of a 2 x 2 block; the offset is added before
// the shift so that the shifted value is never negative.
static inline uint8_t chroma(int32_t wr, int32_t wg, int32_t wb, int32_t r, int32_t g, int32_t b) {
    const int32_t sum =
        wr * r + wg * g + wb * b + (kChromaOffset << kChromaShift) + (1 << (kChromaShift - 1));
    return static_cast<uint8_t>(sum >> kChromaShift);
}

// One picture row of luma.
static inline void lumaRow(const uint32_t* row, int width, uint8_t* y) {
    for (int x = 0; x < width; ++x)
        y[x] = luma(row[x]);
}

// One row of each chroma plane from a pair of picture rows.
static inline void chromaRow(const uint32_t* top, const uint32_t* bottom, int width, uint8_t* cb,
                             uint8_t* cr) {
    for (int x = 0; x < width / 2; ++x) {
        const uint32_t a = top[2 * x], b = top[2 * x + 1], c = bottom[2 * x], d = bottom[2 * x + 1];
        const int32_t r = red(a) + red(b) + red(c) + red(d);
        const int32_t g = green(a) + green(b) + green(c) + green(d);
        const int32_t bl = blue(a) + blue(b) + blue(c) + blue(d);
        cb[x] = chroma(kCbR, kCbG, kCbB, r, g, bl);
        cr[x] = chroma(kCrR, kCrG, kCrB, r, g, bl);
    }
}

// Rows first .. end - 1 (whole row pairs, inside the picture) into planes.
static inline void convertRows(const uint32_t* words, int width, int first, int end, uint8_t* y,
                               int yStride, uint8_t* cb, uint8_t* cr, int chromaStride) {
    for (int row = first; row < end; row += 2) {
        const uint32_t* top = words + static_cast<long>(row) * width;
        uint8_t* y0 = y + static_cast<long>(row) * yStride;
        const long chromaRowAt = static_cast<long>(row / 2) * chromaStride;
        lumaRow(top, width, y0);
        lumaRow(top + width, width, y0 + yStride);
        chromaRow(top, top + width, width, cb + chromaRowAt, cr + chromaRowAt);
    }
}

}  // namespace yuv_pixels
