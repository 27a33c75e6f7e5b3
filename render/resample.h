// Horizontal resampler: 768-pixel render rows to 720-pixel output rows with a
// four-tap Catmull-Rom filter in 8-bit fixed point.
#pragma once

#include <cstdint>

constexpr int kOutputWidth = 720;  // pixels per output row
constexpr int kTapCount = 4;
constexpr int kWeightBits = 8;     // weights are in units of 1/256
constexpr int kWeightOne = 1 << kWeightBits;

struct Htap {
    int16_t index[kTapCount];   // source columns, 0..767
    int16_t weight[kTapCount];  // sum to exactly kWeightOne
};

extern Htap htaps[kOutputWidth];  // built once by buildHtaps

// Fills htaps. Start-up calls it once, before any hresize.
void buildHtaps();

// Resamples rows rows of src (768 wide) into dst (720 wide). Nothing happens
// for rows <= 0. Uses the fastest kernel the CPU supports; every kernel gives
// the same bits as hresizeReference.
void hresize(const uint32_t* src, uint32_t* dst, int32_t rows);

// The plain per-pixel implementation, kept as the reference for the fast kernels.
void hresizeReference(const uint32_t* src, uint32_t* dst, int32_t rows);
