#include "tools/encode/yuv.h"

#include <cstddef>

#include "tools/encode/yuv_pixels.h"

using namespace yuv_pixels;

// ---------------------------------------------------------------------------
// Internal helpers

// The kernels built for other instruction sets, each in a file of its own.
void convertRowsAvx2(const uint32_t* words, int width, int first, int end, const YuvPlanes& planes);

static YuvKernel chooseKernel() {
#if defined(__x86_64__) || defined(_M_X64)
    if (__builtin_cpu_supports("avx2")) return YuvKernel::kAvx2;
#endif
    return YuvKernel::kPlain;
}

// ---------------------------------------------------------------------------
// Public functions

bool yuvKernelSupported(YuvKernel kernel) {
    return kernel == YuvKernel::kPlain || chooseKernel() == YuvKernel::kAvx2;
}

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
            const size_t at = static_cast<size_t>(y) * planes.chromaStride + x;
            planes.cb[at] = chroma(kCbR, kCbG, kCbB, r, g, b);
            planes.cr[at] = chroma(kCrR, kCrG, kCrB, r, g, b);
        }
}

void rgbToYuv420RowsWith(YuvKernel kernel, const uint32_t* words, int width, int height, int first,
                         int end, const YuvPlanes& planes) {
    if (first < 0) first = 0;
    if (end > height) end = height;
    if (words == nullptr || first >= end || (width | height) % 2 != 0) return;
    first &= ~1;
    end = (end + 1) & ~1;
    if (kernel == YuvKernel::kAvx2 && yuvKernelSupported(kernel))
        convertRowsAvx2(words, width, first, end, planes);
    else
        convertRows(words, width, first, end, planes.y, planes.yStride, planes.cb, planes.cr,
                    planes.chromaStride);
}

void rgbToYuv420Rows(const uint32_t* words, int width, int height, int first, int end,
                     const YuvPlanes& planes) {
    static const YuvKernel fastest = chooseKernel();
    rgbToYuv420RowsWith(fastest, words, width, height, first, end, planes);
}
