// The colour conversion's row kernel built for AVX2: the same integer code
// as the plain one, which the compiler widens to 256-bit vectors.
#include "tools/encode/yuv.h"
#include "tools/encode/yuv_pixels.h"

void convertRowsAvx2(const uint32_t* words, int width, int first, int end,
                     const YuvPlanes& planes) {
    yuv_pixels::convertRows(words, width, first, end, planes.y, planes.yStride, planes.cb,
                            planes.cr, planes.chromaStride);
}
