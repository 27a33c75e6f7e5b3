// hresize kernel for CPUs with SSSE3: one output pixel per register, the four
// window pixels spread into channel pairs by two byte shuffles.
#include <immintrin.h>

#include "render/resample_kernels.h"

VANTREL_KERNEL void hresizeSsse3(const uint32_t* src, uint32_t* dst, int32_t rows) {
    // Window bytes p0..p3 (4 bytes each, r g b a) to 16-bit channel pairs
    // r0 r1 g0 g1 b0 b1 a0 a1 and r2 r3 g2 g3 b2 b3 a2 a3; -1 gives a zero byte.
    const __m128i take01 = _mm_setr_epi8(0, -1, 4, -1, 1, -1, 5, -1, 2, -1, 6, -1, 3, -1, 7, -1);
    const __m128i take23 =
        _mm_setr_epi8(8, -1, 12, -1, 9, -1, 13, -1, 10, -1, 14, -1, 11, -1, 15, -1);
    for (int32_t r = 0; r < rows; ++r) {
        const uint32_t* in = src + static_cast<int64_t>(r) * kRenderWidth;
        uint32_t* out = dst + static_cast<int64_t>(r) * kOutputWidth;
        for (int x = 0; x < kOutputWidth; x += 4) {
            __m128i sums[4];
            for (int i = 0; i < 4; ++i) {
                const int slot = windowSlot(x + i);
                const __m128i v = _mm_loadu_si128(
                    reinterpret_cast<const __m128i*>(in + hresize_windows.start[x + i]));
                const __m128i w01 =
                    _mm_load_si128(reinterpret_cast<const __m128i*>(hresize_windows.pair01[slot]));
                const __m128i w23 =
                    _mm_load_si128(reinterpret_cast<const __m128i*>(hresize_windows.pair23[slot]));
                const __m128i sum = _mm_add_epi32(_mm_madd_epi16(_mm_shuffle_epi8(v, take01), w01),
                                                  _mm_madd_epi16(_mm_shuffle_epi8(v, take23), w23));
                sums[i] = _mm_srai_epi32(sum, kWeightBits);
            }
            // The shifted sums lie within -510..510: the signed pack keeps them,
            // the unsigned pack clamps them to 0..255.
            const __m128i packed = _mm_packus_epi16(_mm_packs_epi32(sums[0], sums[1]),
                                                    _mm_packs_epi32(sums[2], sums[3]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), packed);
        }
    }
}
