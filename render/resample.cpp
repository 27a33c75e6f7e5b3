#include "render/resample.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "render/resample_kernels.h"

#if defined(__x86_64__)
#include <emmintrin.h>
#define VANTREL_X86 1
#else
#define VANTREL_X86 0
#endif

// 768 / 720 = 16 / 15, rounded to double. Every tap follows from this value.
constexpr double kScale = 1.0666666666666667;
static_assert(std::bit_cast<uint64_t>(kScale) == 0x3FF1111111111111);
static_assert(kOutputWidth % kBlockColumns == 0);

constexpr int kChannelMax = 255;
constexpr int kChannels = 4;  // r, g, b, a: each gets its own weight pair

Htap htaps[kOutputWidth] = {};        // zero until buildHtaps
HresizeWindows hresize_windows = {};  // zero until buildHtaps

namespace {

// Catmull-Rom kernel (a = -0.5) at distance t >= 0 from the tap.
double cubicWeight(double t) {
    if (t < 1.0) return 1.5 * t * t * t - 2.5 * t * t + 1.0;
    if (t < 2.0) return -0.5 * t * t * t + 2.5 * t * t - 4.0 * t + 2.0;
    return 0.0;
}

int clampColumn(int c, int last) {
    return c < 0 ? 0 : (c > last ? last : c);
}

// The weights of the inner groups, taken from the first of them, and whether
// every inner group starts and weighs its windows the same way.
void buildGroups() {
    HresizeWindows& w = hresize_windows;
    const int first = kFirstInnerGroup * kGroupOutputs;
    std::memset(w.group01, 0, sizeof w.group01);
    std::memset(w.group23, 0, sizeof w.group23);
    for (int p = 0; p < kGroupOutputs; ++p) {
        std::memcpy(w.group01[p], w.pair01[windowSlot(first + p)], sizeof w.group01[0]);
        std::memcpy(w.group23[p], w.pair23[windowSlot(first + p)], sizeof w.group23[0]);
    }
    w.innerGroupsAlike = true;
    for (int q = kFirstInnerGroup; q <= kLastInnerGroup; ++q)
        for (int p = 0; p < kGroupOutputs; ++p) {
            const int x = q * kGroupOutputs + p;
            if (w.start[x] != q * kGroupSources - 1 + p ||
                std::memcmp(w.pair01[windowSlot(x)], w.group01[p], sizeof w.group01[0]) != 0 ||
                std::memcmp(w.pair23[windowSlot(x)], w.group23[p], sizeof w.group23[0]) != 0)
                w.innerGroupsAlike = false;
        }
}

// Recasts htaps as windows of four consecutive source pixels for the kernels.
void buildWindows() {
    for (int x = 0; x < kOutputWidth; ++x) {
        const Htap& tap = htaps[x];
        int low = tap.index[0];
        for (int k = 1; k < kTapCount; ++k)
            if (tap.index[k] < low) low = tap.index[k];
        const int start = clampColumn(low, kWindowLastStart);
        int16_t folded[kWindowPixels] = {};
        for (int k = 0; k < kTapCount; ++k) {
            // Taps built by buildHtaps always fit the window; a column outside it
            // would be a broken table, and is left out rather than read.
            const int at = tap.index[k] - start;
            if (at >= 0 && at < kWindowPixels)
                folded[at] = static_cast<int16_t>(folded[at] + tap.weight[k]);
        }
        hresize_windows.start[x] = start;
        const int slot = windowSlot(x);
        for (int c = 0; c < kChannels; ++c) {
            hresize_windows.pair01[slot][2 * c] = folded[0];
            hresize_windows.pair01[slot][2 * c + 1] = folded[1];
            hresize_windows.pair23[slot][2 * c] = folded[2];
            hresize_windows.pair23[slot][2 * c + 1] = folded[3];
        }
    }
    buildGroups();
}

// Arithmetic shift out of the weight scale, then clamp to a channel byte.
uint32_t channelOf(int32_t sum) {
    const int32_t c = sum >> kWeightBits;
    return static_cast<uint32_t>(c < 0 ? 0 : (c > kChannelMax ? kChannelMax : c));
}

#if VANTREL_X86
bool cpuHas(HresizeKernel kernel) {
    __builtin_cpu_init();  // harmless when done already; needed before main
    switch (kernel) {
        case HresizeKernel::Reference:
        case HresizeKernel::Sse2:
            return true;
        case HresizeKernel::Ssse3:
            return __builtin_cpu_supports("ssse3");
        case HresizeKernel::Avx2:
            return __builtin_cpu_supports("avx2");
    }
    return false;
}
#else
bool cpuHas(HresizeKernel kernel) {
    return kernel == HresizeKernel::Reference;
}
#endif

HresizeKernel chooseKernel() {
    constexpr HresizeKernel kFastestFirst[] = {HresizeKernel::Avx2, HresizeKernel::Ssse3,
                                               HresizeKernel::Sse2};
    for (HresizeKernel k : kFastestFirst)
        if (cpuHas(k)) return k;
    return HresizeKernel::Reference;
}

}  // namespace

#if VANTREL_X86
// Baseline x86-64 kernel: four output pixels per step, the bytes spread into
// channel pairs with unpack instructions (SSE2 has no byte shuffle).
VANTREL_KERNEL void hresizeSse2(const uint32_t* src, uint32_t* dst, int32_t rows) {
    const __m128i zero = _mm_setzero_si128();
    for (int32_t r = 0; r < rows; ++r) {
        const uint32_t* in = src + static_cast<int64_t>(r) * kRenderWidth;
        uint32_t* out = dst + static_cast<int64_t>(r) * kOutputWidth;
        for (int x = 0; x < kOutputWidth; x += 4) {
            __m128i sums[4];
            for (int i = 0; i < 4; ++i) {
                const int slot = windowSlot(x + i);
                const __m128i v = _mm_loadu_si128(
                    reinterpret_cast<const __m128i*>(in + hresize_windows.start[x + i]));
                // Pixels p0..p3 of the window; interleave p0 with p1 and p2 with p3
                // channel by channel: r0 r1 g0 g1 b0 b1 a0 a1 | r2 r3 g2 g3 ...
                const __m128i next = _mm_srli_si128(v, 4);
                const __m128i pairs =
                    _mm_unpacklo_epi64(_mm_unpacklo_epi8(v, next), _mm_unpackhi_epi8(v, next));
                const __m128i t01 = _mm_unpacklo_epi8(pairs, zero);
                const __m128i t23 = _mm_unpackhi_epi8(pairs, zero);
                const __m128i w01 =
                    _mm_load_si128(reinterpret_cast<const __m128i*>(hresize_windows.pair01[slot]));
                const __m128i w23 =
                    _mm_load_si128(reinterpret_cast<const __m128i*>(hresize_windows.pair23[slot]));
                const __m128i sum =
                    _mm_add_epi32(_mm_madd_epi16(t01, w01), _mm_madd_epi16(t23, w23));
                sums[i] = _mm_srai_epi32(sum, kWeightBits);
            }
            // Signed saturation to 16 bits keeps every shifted sum as it is (they
            // lie within -510..510); the unsigned pack then clamps to 0..255.
            const __m128i packed = _mm_packus_epi16(_mm_packs_epi32(sums[0], sums[1]),
                                                    _mm_packs_epi32(sums[2], sums[3]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), packed);
        }
    }
}
#endif

void buildHtaps() {
    for (int x = 0; x < kOutputWidth; ++x) {
        const double s = (x + 0.5) * kScale - 0.5;
        const int i0 = static_cast<int>(std::floor(s));
        double raw[kTapCount];
        double total = 0.0;
        for (int k = 0; k < kTapCount; ++k) {
            const int p = i0 - 1 + k;
            raw[k] = cubicWeight(std::fabs(s - p));
            total += raw[k];
        }
        Htap& tap = htaps[x];
        int sum = 0;
        for (int k = 0; k < kTapCount; ++k) {
            tap.index[k] = static_cast<int16_t>(clampColumn(i0 - 1 + k, kRenderWidth - 1));
            // std::round rounds halves away from zero. The raw weight comes from
            // the unclamped position, so an edge column may be read twice.
            tap.weight[k] = static_cast<int16_t>(std::round(kWeightOne * raw[k] / total));
            sum += tap.weight[k];
        }
        // NOTE: the rounding error always goes to the tap at floor(s), not to
        // the largest weight; that is why phases 6 and 8 are not mirror images.
        tap.weight[1] = static_cast<int16_t>(tap.weight[1] + kWeightOne - sum);
    }
    buildWindows();
}

void hresizeReference(const uint32_t* src, uint32_t* dst, int32_t rows) {
    for (int32_t r = 0; r < rows; ++r) {
        const uint32_t* in = src + static_cast<int64_t>(r) * kRenderWidth;
        uint32_t* out = dst + static_cast<int64_t>(r) * kOutputWidth;
        for (int x = 0; x < kOutputWidth; ++x) {
            const Htap& tap = htaps[x];
            int32_t red = 0, green = 0, blue = 0, alpha = 0;
            for (int k = 0; k < kTapCount; ++k) {
                const uint32_t p = in[tap.index[k]];
                const int32_t w = tap.weight[k];
                red += static_cast<int32_t>(p & 0xFF) * w;
                green += static_cast<int32_t>((p >> 8) & 0xFF) * w;
                blue += static_cast<int32_t>((p >> 16) & 0xFF) * w;
                alpha += static_cast<int32_t>(p >> 24) * w;
            }
            out[x] = channelOf(alpha) << 24 | channelOf(blue) << 16 | channelOf(green) << 8 |
                     channelOf(red);
        }
    }
}

bool hresizeKernelAvailable(HresizeKernel kernel) {
    return cpuHas(kernel);
}

HresizeKernel hresizeBestKernel() {
    static const HresizeKernel best = chooseKernel();
    return best;
}

const char* hresizeKernelName(HresizeKernel kernel) {
    switch (kernel) {
        case HresizeKernel::Reference:
            return "reference";
        case HresizeKernel::Sse2:
            return "sse2";
        case HresizeKernel::Ssse3:
            return "ssse3";
        case HresizeKernel::Avx2:
            return "avx2";
    }
    return "unknown";
}

void hresizeWith(HresizeKernel kernel, const uint32_t* src, uint32_t* dst, int32_t rows) {
    if (rows <= 0) return;
    if (!cpuHas(kernel)) kernel = HresizeKernel::Reference;
    switch (kernel) {
#if VANTREL_X86
        case HresizeKernel::Sse2:
            hresizeSse2(src, dst, rows);
            return;
        case HresizeKernel::Ssse3:
            hresizeSsse3(src, dst, rows);
            return;
        case HresizeKernel::Avx2:
            hresizeAvx2(src, dst, rows);
            return;
#endif
        default:
            hresizeReference(src, dst, rows);
            return;
    }
}

void hresize(const uint32_t* src, uint32_t* dst, int32_t rows) {
    hresizeWith(hresizeBestKernel(), src, dst, rows);
}
