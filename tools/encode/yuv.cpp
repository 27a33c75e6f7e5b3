#include "tools/encode/yuv.h"

#include <cstddef>

// ---------------------------------------------------------------------------
// Constants

// BT.601 in limited range, as fixed-point weights with kFraction fraction
// bits: Y' = 16 + 219/255 (0.299 R + 0.587 G + 0.114 B), Cb and Cr = 128 +
// 224/255 times the colour differences. Each row of weights sums to the
// range it spans (219/255 or 0), so white and black land exactly.
constexpr int kFraction = 16;
constexpr int32_t kYr = 16829, kYg = 33039, kYb = 6416;        // sum 56284 = 219/255 << 16
constexpr int32_t kCbR = -9714, kCbG = -19070, kCbB = 28784;   // sum 0
constexpr int32_t kCrR = 28784, kCrG = -24103, kCrB = -4681;   // sum 0
constexpr int32_t kLumaOffset = 16;
constexpr int32_t kChromaOffset = 128;
// Chroma weighs the sum of a 2 x 2 block, four times a pixel: two more bits.
constexpr int kChromaShift = kFraction + 2;

// ---------------------------------------------------------------------------
// Internal helpers

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
    const int32_t sum = wr * r + wg * g + wb * b + (kChromaOffset << kChromaShift) +
                        (1 << (kChromaShift - 1));
    return static_cast<uint8_t>(sum >> kChromaShift);
}

// The row loops are plain integer code that the compiler vectorizes; each is
// also built for AVX2, which the loader picks on a CPU that has it. Both
// give the same bytes: the arithmetic is exact.
#define VANTREL_ROW_KERNEL __attribute__((target_clones("avx2", "default")))

// One picture row of luma.
VANTREL_ROW_KERNEL static void convertLumaRow(const uint32_t* row, int width, uint8_t* y) {
    for (int x = 0; x < width; ++x)
        y[x] = luma(row[x]);
}

// One row of each chroma plane from a pair of picture rows.
VANTREL_ROW_KERNEL static void convertChromaRow(const uint32_t* top, const uint32_t* bottom, int width, uint8_t* cb,
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

// ---------------------------------------------------------------------------
// Public functions

void rgbToYuv420Reference(const uint32_t* words, int width, int height, const YuvPlanes& planes) {
    if (words == nullptr || (width | height) % 2 != 0) return;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            planes.y[static_cast<size_t>(y) * planes.yStride + x] =
                luma(words[static_cast<size_t>(y) * width + x]);
    for (int y = 0; y < height / 2; ++y)
        for (int x = 0; x < width / 2; ++x) {
            int32_t r = 0, g = 0, b = 0;
            for (int dy = 0; dy < 2; ++dy)
                for (int dx = 0; dx < 2; ++dx) {
                    const uint32_t w = words[static_cast<size_t>(2 * y + dy) * width + 2 * x + dx];
                    r += red(w), g += green(w), b += blue(w);
                }
            planes.cb[static_cast<size_t>(y) * planes.chromaStride + x] = chroma(kCbR, kCbG, kCbB, r, g, b);
            planes.cr[static_cast<size_t>(y) * planes.chromaStride + x] = chroma(kCrR, kCrG, kCrB, r, g, b);
        }
}

void rgbToYuv420Rows(const uint32_t* words, int width, int height, int first, int end,
                     const YuvPlanes& planes) {
    if (first < 0) first = 0;
    if (end > height) end = height;
    if (words == nullptr || first >= end || (width | height) % 2 != 0) return;
    first &= ~1;
    end = (end + 1) & ~1;
    for (int row = first; row < end; row += 2) {
        const uint32_t* top = words + static_cast<size_t>(row) * width;
        uint8_t* y0 = planes.y + static_cast<size_t>(row) * planes.yStride;
        const size_t chromaRow = static_cast<size_t>(row / 2) * planes.chromaStride;
        convertLumaRow(top, width, y0);
        convertLumaRow(top + width, width, y0 + planes.yStride);
        convertChromaRow(top, top + width, width, planes.cb + chromaRow, planes.cr + chromaRow);
    }
}
