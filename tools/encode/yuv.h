// The display's 0x00RRGGBB words as the Y'CbCr 4:2:0 pictures that H.264
// carries: BT.601 coefficients in limited range (Y' 16..235, Cb and Cr
// 16..240), the standard for 720 x 480 video, each chroma sample the mean of a
// 2 x 2 block. Only the rows a frame changed need converting again.
#pragma once

#include <cstdint>

// Where a Y'CbCr 4:2:0 picture lives: three planes and their strides.
struct YuvPlanes {
    uint8_t* y;        // luma, height rows of width bytes
    uint8_t* cb;       // blue difference, (height + 1) / 2 rows of (width + 1) / 2 bytes
    uint8_t* cr;       // red difference, the same size
    int yStride;       // bytes from one luma row to the next
    int chromaStride;  // bytes from one chroma row to the next
};

// The ways the rows can be converted; every kernel gives the reference's bytes.
enum class YuvKernel : uint8_t {
    kPlain,  // for any x86-64 (the compiler's SSE2 vectors)
    kAvx2,   // 256-bit vectors, on a CPU that has AVX2
};

// Whether this CPU runs kernel.
bool yuvKernelSupported(YuvKernel kernel);

// Converts rows first .. end - 1 of a width x height picture of 0x00RRGGBB
// words (rows back to back) into planes. The band grows to whole row pairs,
// since a chroma row covers two picture rows; every other row of the planes
// is left as it is. width and height must be even.
void rgbToYuv420Rows(const uint32_t* words, int width, int height, int first, int end,
                     const YuvPlanes& planes);

// The same with the given kernel; the plain one when the CPU lacks it.
void rgbToYuv420RowsWith(YuvKernel kernel, const uint32_t* words, int width, int height, int first,
                         int end, const YuvPlanes& planes);

// The same conversion of a whole picture, pixel by pixel, as plainly as it can
// be written: what the row kernels are checked against.
void rgbToYuv420Reference(const uint32_t* words, int width, int height, const YuvPlanes& planes);
