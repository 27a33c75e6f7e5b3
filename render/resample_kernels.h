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
//
// The scale is 16 / 15: output columns come in groups of 15 that read 16
// source columns on, and within a group the windows start on consecutive
// columns. Away from the row's two clamped edges every group has the same
// weights, phase by phase, so a kernel can run a group as 16 slots whose
// windows start at consecutive columns (group q: slot p starts at source
// column 16q - 1 + p) with the weights held once. Slot 15 is not an output:
// its weights are 0 and the next group overwrites it.
constexpr int kGroupOutputs = 15;
constexpr int kGroupSources = 16;
constexpr int kGroupSlots = 16;
constexpr int kGroupCount = kOutputWidth / kGroupOutputs;  // 48
constexpr int kFirstInnerGroup = 1;                        // group 0 holds the left edge
constexpr int kLastInnerGroup = kGroupCount - 2;           // the last holds the right edge
static_assert(kOutputWidth % kGroupOutputs == 0 && kGroupSlots == 2 * kBlockColumns);

struct HresizeWindows {
    int32_t start[kOutputWidth];                  // first source column, 0..764
    alignas(32) int16_t pair01[kOutputWidth][8];  // in block order
    alignas(32) int16_t pair23[kOutputWidth][8];  // in block order
    alignas(32) int16_t group01[kGroupSlots][8];  // the inner groups' weights, slot by slot
    alignas(32) int16_t group23[kGroupSlots][8];
    bool innerGroupsAlike;  // every inner group has these starts and weights
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
