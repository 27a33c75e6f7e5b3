// Horizontal resampler: 768-pixel render rows to 720-pixel output rows with a
// four-tap Catmull-Rom filter in 8-bit fixed point.
#pragma once

#include <cstdint>

#include "render/render_buffer.h"

constexpr int kOutputWidth = 720;  // pixels per output row
constexpr int kTapCount = 4;
constexpr int kWeightBits = 8;  // weights are in units of 1/256
constexpr int kWeightOne = 1 << kWeightBits;

struct Htap {
    int16_t index[kTapCount];   // source columns, 0..767
    int16_t weight[kTapCount];  // sum to exactly kWeightOne
};

// Built once by buildHtaps and read-only afterwards: the fast kernels work from
// tables derived from it at that moment.
extern Htap htaps[kOutputWidth];

// Fills htaps, and the kernels' own tables derived from it. Start-up calls it
// once, before any hresize.
void buildHtaps();

// Resamples rows rows of src (768 wide) into dst (720 wide). Nothing happens
// for rows <= 0. Uses the fastest kernel the CPU supports; every kernel gives
// the same bits as hresizeReference.
void hresize(const uint32_t* src, uint32_t* dst, int32_t rows);

// The plain per-pixel implementation, kept as the reference for the fast kernels.
void hresizeReference(const uint32_t* src, uint32_t* dst, int32_t rows);

// The kernels behind hresize, for the tests and the benchmarks.
enum class HresizeKernel {
    Reference,  // hresizeReference, any CPU
    Sse2,       // x86-64 baseline
    Ssse3,      // pshufb
    Avx2,       // pshufb and pmaddwd on two output pixels per register
};

// True when kernel can run on this CPU (and was built for this target).
bool hresizeKernelAvailable(HresizeKernel kernel);

// The kernel hresize uses: the fastest available one, chosen once.
HresizeKernel hresizeBestKernel();

// Short lower-case name of a kernel ("avx2"), for benchmark labels.
const char* hresizeKernelName(HresizeKernel kernel);

// Runs one kernel; falls back to the reference when it is not available.
void hresizeWith(HresizeKernel kernel, const uint32_t* src, uint32_t* dst, int32_t rows);
