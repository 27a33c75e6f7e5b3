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

// The SSE2 kernel works on the pixels of a register split into two sets of
// 16-bit words: (red, blue) = p & 0x00ff00ff and (green, alpha) =
// (p >> 8) & 0x00ff00ff, so the multiplications need no byte unpacking. Every
// product fits 16 bits (at most 255 * 255), and so does every sum of the mix.
//
// The background is weighted by its own alpha first. The canvas only ever
// holds clear (alpha 0) and opaque colours, and for those the weighting is a
// mask; blocks with any other background alpha take the multiplications.
// A foreground alpha of 255 or 0 needs no special case in the mix: the same
// arithmetic gives the foreground colour or the weighted background exactly.

static inline __m128i div255Sse2(__m128i x) {
    return _mm_srli_epi16(_mm_mulhi_epu16(x, _mm_set1_epi16(static_cast<short>(kDiv255Multiplier))),
                          kDiv255Shift);
}

// Each pixel's alpha in both 16-bit words of its 32-bit lane.
static inline __m128i alphaWordsSse2(__m128i p) {
    const __m128i a = _mm_srli_epi32(p, 24);
    return _mm_or_si128(a, _mm_slli_epi32(a, 16));
}

// 0x??BBGGRR words -> 0x00RRGGBB.
static inline __m128i toPresentSse2(__m128i p) {
    const __m128i green = _mm_set1_epi32(0x0000ff00);
    const __m128i low = _mm_set1_epi32(0x000000ff);
    return _mm_or_si128(
        _mm_or_si128(_mm_slli_epi32(_mm_and_si128(p, low), 16), _mm_and_si128(p, green)),
        _mm_and_si128(_mm_srli_epi32(p, 16), low));
}

// The background's colour times its alpha / 255, as 0x??BBGGRR words.
static inline __m128i weighSse2(__m128i b) {
    const __m128i pairs = _mm_set1_epi32(0x00ff00ff);
    const __m128i ba = alphaWordsSse2(b);
    const __m128i rb = div255Sse2(_mm_mullo_epi16(_mm_and_si128(b, pairs), ba));
    const __m128i ga = div255Sse2(_mm_mullo_epi16(_mm_srli_epi16(b, 8), ba));
    return _mm_or_si128(rb, _mm_slli_epi16(ga, 8));
}

// (f * a + w * (255 - a)) / 255 per colour channel, as 0x00RRGGBB words.
static inline __m128i mixSse2(__m128i f, __m128i w) {
    const __m128i pairs = _mm_set1_epi32(0x00ff00ff);
    const __m128i fa = alphaWordsSse2(f);
    const __m128i inverse = _mm_sub_epi16(_mm_set1_epi16(kOpaque), fa);
    const __m128i rb = div255Sse2(_mm_add_epi16(_mm_mullo_epi16(_mm_and_si128(f, pairs), fa),
                                                _mm_mullo_epi16(_mm_and_si128(w, pairs), inverse)));
    const __m128i ga = div255Sse2(_mm_add_epi16(_mm_mullo_epi16(_mm_srli_epi16(f, 8), fa),
                                                _mm_mullo_epi16(_mm_srli_epi16(w, 8), inverse)));
    return toPresentSse2(_mm_or_si128(rb, _mm_slli_epi16(ga, 8)));
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
            _mm_storeu_si128(dst, toPresentSse2(f));  // opaque: the background is not read
            continue;
        }
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bg + i));
        const __m128i ba = _mm_and_si128(b, alpha);
        const __m128i opaque = _mm_cmpeq_epi32(ba, alpha);
        const bool plain =
            _mm_movemask_epi8(_mm_or_si128(opaque, _mm_cmpeq_epi32(ba, zero))) == 0xffff;
        const __m128i w = plain ? _mm_and_si128(b, opaque) : weighSse2(b);
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(fa, zero)) == 0xffff)
            _mm_storeu_si128(dst, toPresentSse2(w));  // transparent: the weighted background
        else
            _mm_storeu_si128(dst, mixSse2(f, w));
    }
    for (; i < n; ++i)
        out[i] = blendOne(fg[i], bg[i]);
}

#define VANTREL_AVX2 __attribute__((target("avx2")))

// The AVX2 mix works on byte pairs instead: each colour byte of the
// foreground is paired with the same byte of the weighted background, and
// vpmaddubsw multiplies every pair by (a, 255 - a) and adds the two products
// in one instruction. Its second operand is signed, so both colours are moved
// to -128..127 first; the sum then lies in -32640..32385 (no saturation), and
// adding 32640 gives back f * a + w * (255 - a). Division by 255 here: for
// every x in 0..65534, x / 255 == ((x + 1) * 257) >> 16, a high-word multiply.
constexpr short kPairBias = 32640 + 1;  // 128 * 255 back, and the +1 of the division
constexpr short kDiv255Pair = 257;
constexpr size_t kMixedRunPixels = 256;  // pixels taken block by block after a line of mixed alpha

VANTREL_AVX2 static inline __m256i div255Avx2(__m256i x) {
    return _mm256_srli_epi16(
        _mm256_mulhi_epu16(x, _mm256_set1_epi16(static_cast<short>(kDiv255Multiplier))),
        kDiv255Shift);
}

// 0x??BBGGRR words -> 0x00RRGGBB.
VANTREL_AVX2 static inline __m256i toPresentAvx2(__m256i p) {
    const __m256i swap =
        _mm256_setr_epi8(2, 1, 0, -128, 6, 5, 4, -128, 10, 9, 8, -128, 14, 13, 12, -128, 2, 1, 0,
                         -128, 6, 5, 4, -128, 10, 9, 8, -128, 14, 13, 12, -128);
    return _mm256_shuffle_epi8(p, swap);
}

// The background's colour times its alpha / 255, for any alpha.
VANTREL_AVX2 static inline __m256i weighAvx2(__m256i b) {
    const __m256i spread = _mm256_setr_epi8(3, -128, 3, -128, 7, -128, 7, -128, 11, -128, 11, -128,
                                            15, -128, 15, -128, 3, -128, 3, -128, 7, -128, 7, -128,
                                            11, -128, 11, -128, 15, -128, 15, -128);
    const __m256i pairs = _mm256_set1_epi32(0x00ff00ff);
    const __m256i ba = _mm256_shuffle_epi8(b, spread);
    const __m256i rb = div255Avx2(_mm256_mullo_epi16(_mm256_and_si256(b, pairs), ba));
    const __m256i ga = div255Avx2(_mm256_mullo_epi16(_mm256_srli_epi16(b, 8), ba));
    return _mm256_or_si256(rb, _mm256_slli_epi16(ga, 8));
}

// The weighted background: a mask when every alpha is 0 or 255 (the canvas
// as the preview paints it), the multiplications otherwise.
VANTREL_AVX2 static inline __m256i weightedAvx2(__m256i b, __m256i alpha) {
    const __m256i opaque = _mm256_srai_epi32(b, 31);
    if (_mm256_testz_si256(_mm256_xor_si256(b, opaque), alpha)) return _mm256_and_si256(b, opaque);
    return weighAvx2(b);
}

// (f * a + w * (255 - a)) / 255 per colour channel, as 0x00RRGGBB words.
VANTREL_AVX2 static inline __m256i mixAvx2(__m256i f, __m256i w) {
    const __m256i flip = _mm256_set1_epi8(static_cast<char>(0x80));
    const __m256i fs = _mm256_xor_si256(f, flip);
    const __m256i ws = _mm256_xor_si256(w, flip);
    // Each pixel's alpha in the even bytes of its four pairs, 255 - alpha in the odd ones.
    const __m256i spreadLo = _mm256_setr_epi8(3, 3, 3, 3, 3, 3, 3, 3, 7, 7, 7, 7, 7, 7, 7, 7, 3, 3,
                                              3, 3, 3, 3, 3, 3, 7, 7, 7, 7, 7, 7, 7, 7);
    const __m256i spreadHi =
        _mm256_setr_epi8(11, 11, 11, 11, 11, 11, 11, 11, 15, 15, 15, 15, 15, 15, 15, 15, 11, 11, 11,
                         11, 11, 11, 11, 11, 15, 15, 15, 15, 15, 15, 15, 15);
    const __m256i oddBytes = _mm256_set1_epi16(static_cast<short>(0xff00));
    const __m256i weightsLo = _mm256_xor_si256(_mm256_shuffle_epi8(f, spreadLo), oddBytes);
    const __m256i weightsHi = _mm256_xor_si256(_mm256_shuffle_epi8(f, spreadHi), oddBytes);
    const __m256i bias = _mm256_set1_epi16(kPairBias);
    const __m256i div = _mm256_set1_epi16(kDiv255Pair);
    const __m256i lo = _mm256_mulhi_epu16(
        _mm256_add_epi16(_mm256_maddubs_epi16(weightsLo, _mm256_unpacklo_epi8(fs, ws)), bias), div);
    const __m256i hi = _mm256_mulhi_epu16(
        _mm256_add_epi16(_mm256_maddubs_epi16(weightsHi, _mm256_unpackhi_epi8(fs, ws)), bias), div);
    // packus keeps each 128-bit lane's pixel order, so the words come back whole.
    return toPresentAvx2(_mm256_packus_epi16(lo, hi));
}

// The weighted background of one block. With plainCanvas set it is the mask
// alone, and the alpha bits of every background that is neither clear nor
// opaque are gathered into odd (the caller's check that the mask was right).
template <bool plainCanvas>
VANTREL_AVX2 static inline __m256i weightedBlockAvx2(__m256i b, __m256i alpha, __m256i& odd) {
    if constexpr (plainCanvas) {
        const __m256i opaque = _mm256_srai_epi32(b, 31);
        odd = _mm256_or_si256(odd, _mm256_xor_si256(b, opaque));
        return _mm256_and_si256(b, opaque);
    } else {
        (void)odd;
        return weightedAvx2(b, alpha);
    }
}

// One block of 8 pixels whose foreground f is loaded already.
template <bool plainCanvas>
VANTREL_AVX2 static inline void blendBlockAvx2(__m256i f, const uint32_t* bg, uint32_t* out,
                                               __m256i alpha, __m256i& odd) {
    __m256i* dst = reinterpret_cast<__m256i*>(out);
    // Neither "every alpha 255" nor "every alpha 0": the block needs the mix.
    const bool uniform = !_mm256_testnzc_si256(f, alpha);
    if (uniform && _mm256_testc_si256(f, alpha)) {
        _mm256_storeu_si256(dst, toPresentAvx2(f));  // opaque: the background is not read
        return;
    }
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bg));
    const __m256i w = weightedBlockAvx2<plainCanvas>(b, alpha, odd);
    _mm256_storeu_si256(dst, uniform ? toPresentAvx2(w) : mixAvx2(f, w));
}

// One pass over the pixels. With plainCanvas set the background is weighed by
// its mask alone, and the pass returns false when some background block it read
// had an alpha other than 0 or 255 (its output is then wrong, and the caller
// runs the pass again without the shortcut). Checking that costs one OR per
// block, against a test and a branch per block for choosing the weighting.
//
// A frame is mostly whole cache lines of opaque pixels (the top region) or of
// clear ones (where the canvas shows through). The pass takes those a line
// (two blocks) at a time, with one test and one branch for the pair; at the
// first line that is neither, it goes block by block for kMixedRunPixels,
// where one test per block tells all three kinds apart, and then tries lines
// again.
template <bool plainCanvas>
VANTREL_AVX2 static bool blendPassAvx2(const uint32_t* fg, const uint32_t* bg, uint32_t* out,
                                       size_t n) {
    const __m256i alpha = _mm256_set1_epi32(static_cast<int>(kAlphaMask));
    __m256i odd = _mm256_setzero_si256();  // alpha bits of backgrounds that are neither 0 nor 255
    size_t i = 0;
    while (i + 8 <= n) {
        for (; i + 16 <= n; i += 16) {
            const __m256i f0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(fg + i));
            const __m256i f1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(fg + i + 8));
            __m256i* dst = reinterpret_cast<__m256i*>(out + i);
            if (_mm256_testc_si256(_mm256_and_si256(f0, f1), alpha)) {  // all 16 opaque
                _mm256_storeu_si256(dst, toPresentAvx2(f0));
                _mm256_storeu_si256(dst + 1, toPresentAvx2(f1));
                continue;
            }
            if (!_mm256_testz_si256(_mm256_or_si256(f0, f1), alpha)) break;  // not all clear
            const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bg + i));
            const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bg + i + 8));
            _mm256_storeu_si256(dst, toPresentAvx2(weightedBlockAvx2<plainCanvas>(b0, alpha, odd)));
            _mm256_storeu_si256(dst + 1,
                                toPresentAvx2(weightedBlockAvx2<plainCanvas>(b1, alpha, odd)));
        }
        const size_t end = n - i > kMixedRunPixels ? i + kMixedRunPixels : n;
        for (; i + 8 <= end; i += 8)
            blendBlockAvx2<plainCanvas>(
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(fg + i)), bg + i, out + i,
                alpha, odd);
    }
    for (; i < n; ++i)
        out[i] = blendOne(fg[i], bg[i]);
    return _mm256_testz_si256(odd, alpha);
}

VANTREL_AVX2 static void blendAvx2(const uint32_t* fg, const uint32_t* bg, uint32_t* out,
                                   size_t n) {
    if (!blendPassAvx2<true>(fg, bg, out, n)) blendPassAvx2<false>(fg, bg, out, n);
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

void blendRows(int32_t first, int32_t end) {
    if (over.pixels == nullptr || solid.pixels == nullptr || win_present_buf == nullptr) return;
    if (first < 0) first = 0;
    if (end > kFrameRows) end = kFrameRows;
    if (first >= end) return;
    const size_t at = static_cast<size_t>(first) * kFrameWidth;
    blendPixels(fastestBlendKernel(), over.pixels + at, solid.pixels + at, win_present_buf + at,
                static_cast<size_t>(end - first) * kFrameWidth);
}

void blendFrame() {
    blendRows(0, kFrameRows);
}
