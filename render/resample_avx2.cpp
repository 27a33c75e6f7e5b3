// hresize kernel for CPUs with AVX2: each 256-bit register carries two output
// pixels, columns c and c + 4 of a block of eight, so that the packs at the end
// leave the eight pixels in order without a lane permute. Two rows go through
// together, so that every weight load serves both.
#include <immintrin.h>

#include "render/resample_kernels.h"

namespace {

// Per 128-bit lane: window bytes p0..p3 to the 16-bit channel pairs
// r0 r1 g0 g1 b0 b1 a0 a1 (take01) and r2 r3 g2 g3 b2 b3 a2 a3 (take23).
inline __m256i take01() {
    return _mm256_setr_epi8(0, -1, 4, -1, 1, -1, 5, -1, 2, -1, 6, -1, 3, -1, 7, -1,  //
                            0, -1, 4, -1, 1, -1, 5, -1, 2, -1, 6, -1, 3, -1, 7, -1);
}
inline __m256i take23() {
    return _mm256_setr_epi8(8, -1, 12, -1, 9, -1, 13, -1, 10, -1, 14, -1, 11, -1, 15, -1,  //
                            8, -1, 12, -1, 9, -1, 13, -1, 10, -1, 14, -1, 11, -1, 15, -1);
}

// The windows of columns c and c + 4 of one row, in the two lanes.
inline __m256i windows(const uint32_t* in, int32_t low, int32_t high) {
    return _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + low))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + high)), 1);
}

inline __m256i shiftedSum(__m256i v, __m256i w01, __m256i w23, __m256i t01, __m256i t23) {
    const __m256i sum = _mm256_add_epi32(_mm256_madd_epi16(_mm256_shuffle_epi8(v, t01), w01),
                                         _mm256_madd_epi16(_mm256_shuffle_epi8(v, t23), w23));
    return _mm256_srai_epi32(sum, kWeightBits);
}

// Lane 0 ends up with pixels x..x+3, lane 1 with x+4..x+7. The signed pack
// keeps the shifted sums (-510..510), the unsigned pack clamps them to 0..255.
inline void store8(uint32_t* out, const __m256i* s) {
    const __m256i packed =
        _mm256_packus_epi16(_mm256_packs_epi32(s[0], s[1]), _mm256_packs_epi32(s[2], s[3]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), packed);
}

}  // namespace

VANTREL_KERNEL void hresizeAvx2(const uint32_t* src, uint32_t* dst, int32_t rows) {
    const __m256i t01 = take01(), t23 = take23();
    const int32_t* start = hresize_windows.start;
    int32_t r = 0;
    for (; r + 1 < rows; r += 2) {
        const uint32_t* in0 = src + static_cast<int64_t>(r) * kRenderWidth;
        const uint32_t* in1 = in0 + kRenderWidth;
        uint32_t* out0 = dst + static_cast<int64_t>(r) * kOutputWidth;
        uint32_t* out1 = out0 + kOutputWidth;
        for (int x = 0; x < kOutputWidth; x += kBlockColumns) {
            __m256i s0[4], s1[4];
            for (int i = 0; i < 4; ++i) {
                // Block order puts the weights of columns x + i and x + i + 4 side by side.
                const __m256i w01 = _mm256_load_si256(
                    reinterpret_cast<const __m256i*>(hresize_windows.pair01[x + 2 * i]));
                const __m256i w23 = _mm256_load_si256(
                    reinterpret_cast<const __m256i*>(hresize_windows.pair23[x + 2 * i]));
                const int32_t low = start[x + i], high = start[x + i + 4];
                s0[i] = shiftedSum(windows(in0, low, high), w01, w23, t01, t23);
                s1[i] = shiftedSum(windows(in1, low, high), w01, w23, t01, t23);
            }
            store8(out0 + x, s0);
            store8(out1 + x, s1);
        }
    }
    if (r < rows) {
        const uint32_t* in = src + static_cast<int64_t>(r) * kRenderWidth;
        uint32_t* out = dst + static_cast<int64_t>(r) * kOutputWidth;
        for (int x = 0; x < kOutputWidth; x += kBlockColumns) {
            __m256i s[4];
            for (int i = 0; i < 4; ++i) {
                const __m256i w01 = _mm256_load_si256(
                    reinterpret_cast<const __m256i*>(hresize_windows.pair01[x + 2 * i]));
                const __m256i w23 = _mm256_load_si256(
                    reinterpret_cast<const __m256i*>(hresize_windows.pair23[x + 2 * i]));
                s[i] = shiftedSum(windows(in, start[x + i], start[x + i + 4]), w01, w23, t01, t23);
            }
            store8(out + x, s);
        }
    }
}
