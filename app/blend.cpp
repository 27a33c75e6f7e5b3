#include "app/blend.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VANTREL_BLEND_X86 1
#include <immintrin.h>
#else
#define VANTREL_BLEND_X86 0
#endif

#include "app/buffers.h"
#include "app/canvas.h"

constexpr uint32_t kAlphaMask = 0xff000000;
constexpr uint32_t kOpaque = 255;

// Division by 255 in 16-bit lanes: for every x in 0..65535,
// x / 255 == (x * 0x8081) >> 23, i.e. the high word of x * 0x8081 shifted
// right by 7. Every dividend of the blend is at most 255 * 255.
constexpr uint16_t kDiv255Multiplier = 0x8081;
constexpr int kDiv255Shift = 7;

static inline uint32_t blendOne(uint32_t f, uint32_t b) {
    const uint32_t a = f >> 24;
    if (a == kOpaque) return ((f & 0xff) << 16) | (f & 0xff00) | ((f >> 16) & 0xff);
    const uint32_t ba = b >> 24;
    const uint32_t r0 = (b & 0xff) * ba / 255;
    const uint32_t g0 = ((b >> 8) & 0xff) * ba / 255;
    const uint32_t b0 = ((b >> 16) & 0xff) * ba / 255;
    if (a == 0) return (r0 << 16) | (g0 << 8) | b0;
    const uint32_t r = ((f & 0xff) * a + r0 * (kOpaque - a)) / 255;
    const uint32_t g = (((f >> 8) & 0xff) * a + g0 * (kOpaque - a)) / 255;
    const uint32_t bl = (((f >> 16) & 0xff) * a + b0 * (kOpaque - a)) / 255;
    return (r << 16) | (g << 8) | bl;
}

#if VANTREL_BLEND_X86

// The general case on pixels unpacked to 16-bit lanes (r, g, b, a per pixel):
// background weighted by its alpha, then mixed by the foreground alpha. With
// foreground alpha 255 or 0 the same arithmetic gives the foreground colour or
// the weighted background exactly, so no lane needs a special case.
static inline __m128i mixLanesSse2(__m128i f, __m128i b) {
    const __m128i div = _mm_set1_epi16(static_cast<short>(kDiv255Multiplier));
    const __m128i full = _mm_set1_epi16(kOpaque);
    const __m128i fa = _mm_shufflehi_epi16(_mm_shufflelo_epi16(f, 0xff), 0xff);
    const __m128i ba = _mm_shufflehi_epi16(_mm_shufflelo_epi16(b, 0xff), 0xff);
    const __m128i bw = _mm_srli_epi16(_mm_mulhi_epu16(_mm_mullo_epi16(b, ba), div), kDiv255Shift);
    const __m128i sum =
        _mm_add_epi16(_mm_mullo_epi16(f, fa), _mm_mullo_epi16(bw, _mm_sub_epi16(full, fa)));
    const __m128i mixed = _mm_srli_epi16(_mm_mulhi_epu16(sum, div), kDiv255Shift);
    // (r, g, b, a) -> (b, g, r, 0): the 0x00RRGGBB word in memory order.
    const __m128i keepColour = _mm_setr_epi16(-1, -1, -1, 0, -1, -1, -1, 0);
    const __m128i swapped = _mm_shufflehi_epi16(_mm_shufflelo_epi16(mixed, 0xc6), 0xc6);
    return _mm_and_si128(swapped, keepColour);
}

static inline __m128i swapToRgbSse2(__m128i p) {
    const __m128i green = _mm_set1_epi32(0x0000ff00);
    const __m128i low = _mm_set1_epi32(0x000000ff);
    return _mm_or_si128(
        _mm_or_si128(_mm_slli_epi32(_mm_and_si128(p, low), 16), _mm_and_si128(p, green)),
        _mm_and_si128(_mm_srli_epi32(p, 16), low));
}

static void blendSse2(const uint32_t* fg, const uint32_t* bg, uint32_t* out, size_t n) {
    const __m128i alpha = _mm_set1_epi32(static_cast<int>(kAlphaMask));
    const __m128i zero = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m128i f = _mm_loadu_si128(reinterpret_cast<const __m128i*>(fg + i));
        __m128i* dst = reinterpret_cast<__m128i*>(out + i);
        const __m128i fa = _mm_and_si128(f, alpha);
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(fa, alpha)) == 0xffff) {
            _mm_storeu_si128(dst, swapToRgbSse2(f));  // opaque: the background is not read
            continue;
        }
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bg + i));
        const __m128i lo = mixLanesSse2(_mm_unpacklo_epi8(f, zero), _mm_unpacklo_epi8(b, zero));
        const __m128i hi = mixLanesSse2(_mm_unpackhi_epi8(f, zero), _mm_unpackhi_epi8(b, zero));
        _mm_storeu_si128(dst, _mm_packus_epi16(lo, hi));
    }
    for (; i < n; ++i)
        out[i] = blendOne(fg[i], bg[i]);
}

__attribute__((target("avx2"))) static inline __m256i mixLanesAvx2(__m256i f, __m256i b, __m256i fa,
                                                                   __m256i ba) {
    const __m256i div = _mm256_set1_epi16(static_cast<short>(kDiv255Multiplier));
    const __m256i full = _mm256_set1_epi16(kOpaque);
    const __m256i bw =
        _mm256_srli_epi16(_mm256_mulhi_epu16(_mm256_mullo_epi16(b, ba), div), kDiv255Shift);
    const __m256i sum = _mm256_add_epi16(_mm256_mullo_epi16(f, fa),
                                         _mm256_mullo_epi16(bw, _mm256_sub_epi16(full, fa)));
    return _mm256_srli_epi16(_mm256_mulhi_epu16(sum, div), kDiv255Shift);
}

// Whole blocks of 8 pixels skip the arithmetic when it cannot change anything:
// an opaque foreground is copied without reading the background, and a fully
// transparent foreground over an opaque or fully transparent background gives
// that background's colour or black.
__attribute__((target("avx2"))) static void blendAvx2(const uint32_t* fg, const uint32_t* bg,
                                                      uint32_t* out, size_t n) {
    const __m256i alpha = _mm256_set1_epi32(static_cast<int>(kAlphaMask));
    const __m256i zero = _mm256_setzero_si256();
    // Byte shuffles within each 128-bit lane: pixel bytes (r, g, b, a) -> (b, g, r, 0),
    // and each pixel's alpha byte spread over its four 16-bit lanes.
    const __m256i toRgb =
        _mm256_setr_epi8(2, 1, 0, -128, 6, 5, 4, -128, 10, 9, 8, -128, 14, 13, 12, -128, 2, 1, 0,
                         -128, 6, 5, 4, -128, 10, 9, 8, -128, 14, 13, 12, -128);
    const __m256i alphaLo =
        _mm256_setr_epi8(3, -128, 3, -128, 3, -128, 3, -128, 7, -128, 7, -128, 7, -128, 7, -128, 3,
                         -128, 3, -128, 3, -128, 3, -128, 7, -128, 7, -128, 7, -128, 7, -128);
    const __m256i alphaHi = _mm256_setr_epi8(11, -128, 11, -128, 11, -128, 11, -128, 15, -128, 15,
                                             -128, 15, -128, 15, -128, 11, -128, 11, -128, 11, -128,
                                             11, -128, 15, -128, 15, -128, 15, -128, 15, -128);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i f = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(fg + i));
        __m256i* dst = reinterpret_cast<__m256i*>(out + i);
        const __m256i fa = _mm256_and_si256(f, alpha);
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi32(fa, alpha)) == -1) {
            _mm256_storeu_si256(dst, _mm256_shuffle_epi8(f, toRgb));
            continue;
        }
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bg + i));
        if (_mm256_testz_si256(f, alpha)) {
            const __m256i ba = _mm256_and_si256(b, alpha);
            if (_mm256_movemask_epi8(_mm256_cmpeq_epi32(ba, alpha)) == -1) {
                _mm256_storeu_si256(dst, _mm256_shuffle_epi8(b, toRgb));
                continue;
            }
            if (_mm256_testz_si256(b, alpha)) {
                _mm256_storeu_si256(dst, zero);
                continue;
            }
        }
        const __m256i lo =
            mixLanesAvx2(_mm256_unpacklo_epi8(f, zero), _mm256_unpacklo_epi8(b, zero),
                         _mm256_shuffle_epi8(f, alphaLo), _mm256_shuffle_epi8(b, alphaLo));
        const __m256i hi =
            mixLanesAvx2(_mm256_unpackhi_epi8(f, zero), _mm256_unpackhi_epi8(b, zero),
                         _mm256_shuffle_epi8(f, alphaHi), _mm256_shuffle_epi8(b, alphaHi));
        // packus keeps each 128-bit lane's pixel order, so the shuffle restores the words.
        _mm256_storeu_si256(dst, _mm256_shuffle_epi8(_mm256_packus_epi16(lo, hi), toRgb));
    }
    for (; i < n; ++i)
        out[i] = blendOne(fg[i], bg[i]);
}

#endif  // VANTREL_BLEND_X86

void blendPixelsReference(const uint32_t* fg, const uint32_t* bg, uint32_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i)
        out[i] = blendOne(fg[i], bg[i]);
}

bool blendKernelSupported(BlendKernel kernel) {
    switch (kernel) {
        case BlendKernel::kReference:
            return true;
#if VANTREL_BLEND_X86
        case BlendKernel::kSse2:
            return true;
        case BlendKernel::kAvx2:
            return __builtin_cpu_supports("avx2");
#else
        case BlendKernel::kSse2:
        case BlendKernel::kAvx2:
            return false;
#endif
    }
    return false;
}

void blendPixels(BlendKernel kernel, const uint32_t* fg, const uint32_t* bg, uint32_t* out,
                 size_t n) {
    if (!blendKernelSupported(kernel)) kernel = BlendKernel::kReference;
    switch (kernel) {
#if VANTREL_BLEND_X86
        case BlendKernel::kSse2:
            blendSse2(fg, bg, out, n);
            return;
        case BlendKernel::kAvx2:
            blendAvx2(fg, bg, out, n);
            return;
#endif
        default:
            blendPixelsReference(fg, bg, out, n);
            return;
    }
}

BlendKernel fastestBlendKernel() {
    static const BlendKernel fastest = blendKernelSupported(BlendKernel::kAvx2) ? BlendKernel::kAvx2
                                       : blendKernelSupported(BlendKernel::kSse2)
                                           ? BlendKernel::kSse2
                                           : BlendKernel::kReference;
    return fastest;
}

void blendFrame() {
    if (over.pixels == nullptr || solid.pixels == nullptr || win_present_buf == nullptr) return;
    blendPixels(fastestBlendKernel(), over.pixels, solid.pixels, win_present_buf, kFramePixels);
}
