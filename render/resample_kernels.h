// Internal to the resampler: the tables the SIMD kernels read and the kernels
// themselves. Each kernel lives in a file compiled for its instruction set.
//
// WARNING: the kernel files are built with -mssse3 or -mavx2. They must include
// nothing but this header and <immintrin.h> (and this header nothing with an
// inline function): an inline function compiled there could be merged with the
// baseline copy at link time and bring AVX2 instructions onto a CPU without them.
#pragma once

#include <cstdint>

#include "render/resample.h"

constexpr int kWindowPixels = 4;  // every output pixel reads 4 consecutive source pixels
constexpr int kWindowLastStart = kRenderWidth - kWindowPixels;  // last window start in a row
constexpr int kBlockColumns = 8;                                // output pixels per AVX2 step

// The taps of one output column recast for the SIMD kernels. The four source
// columns of a tap always lie within a window of four consecutive pixels (the
// edge columns repeat one column), so each output pixel is
//   sum over k of window[k] * weight[k],
// with the weights of repeated columns added together, which gives the same
// integer sums as the taps themselves.
//
// Weights are stored as 16-bit pairs for pmaddwd: pair01 holds w0, w1 four
// times (one pair per channel), pair23 holds w2, w3. Within each block of 8
// output columns the entries are stored in the order 0, 4, 1, 5, 2, 6, 3, 7,
// so one 32-byte load gives the weights of columns c and c + 4, the two
// columns an AVX2 register holds.
struct HresizeWindows {
    int32_t start[kOutputWidth];                  // first source column, 0..764
    alignas(32) int16_t pair01[kOutputWidth][8];  // in block order
    alignas(32) int16_t pair23[kOutputWidth][8];  // in block order
};

extern HresizeWindows hresize_windows;  // filled by buildHtaps

// Entry of output column x in the block-ordered weight tables. Static, so that
// each file keeps a copy built for its own instruction set.
static constexpr int windowSlot(int x) {
    const int inBlock = x % kBlockColumns;
    return x - inBlock + 2 * (inBlock % 4) + inBlock / 4;
}

// The kernels read and write only buffers the calling thread owns, and under
// the thread sanitizer each of their vector accesses would become a call; they
// are left out of its checks so that sanitizer builds stay usable.
#define VANTREL_KERNEL __attribute__((no_sanitize("thread")))

VANTREL_KERNEL void hresizeSse2(const uint32_t* src, uint32_t* dst, int32_t rows);
VANTREL_KERNEL void hresizeSsse3(const uint32_t* src, uint32_t* dst, int32_t rows);
VANTREL_KERNEL void hresizeAvx2(const uint32_t* src, uint32_t* dst, int32_t rows);
