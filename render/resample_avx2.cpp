// hresize kernel for CPUs with AVX2. The inner groups of 15 columns run as 16
// slots with consecutive window starts: each register carries two adjacent
// slots, and the tap pairs shuffled out of one 16-byte load serve taps 0 and 1
// of one register and taps 2 and 3 of the register before it, so a group
// costs eight loads and eight shuffles. The edge columns, whose windows are
// clamped, go through per-column tables: each register carries columns c and
// c + 4 of a block of eight, so the packs leave the pixels in order.
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

// One block of 8 output columns of one row, from the per-column tables: any
// columns, the clamped edges included.
inline void blockFromTables(const uint32_t* in, uint32_t* out, int x, __m256i t01, __m256i t23) {
    const int32_t* start = hresize_windows.start;
    __m256i s[4];
#pragma GCC unroll 8
    for (int i = 0; i < 4; ++i) {
        const __m256i w01 =
            _mm256_load_si256(reinterpret_cast<const __m256i*>(hresize_windows.pair01[x + 2 * i]));
        const __m256i w23 =
            _mm256_load_si256(reinterpret_cast<const __m256i*>(hresize_windows.pair23[x + 2 * i]));
        s[i] = shiftedSum(windows(in, start[x + i], start[x + i + 4]), w01, w23, t01, t23);
    }
    store8(out + x, s);
}

// The pairs of one inner-group window start: the 16 bytes at p (pixels
// p0..p3) in both lanes, shuffled to taps (p0, p1) in lane 0 and (p1, p2) in
// lane 1: taps 0 and 1 of slots j and j + 1 when p is slot j's window, and
// taps 2 and 3 of slots j - 2 and j - 1.
[[gnu::always_inline]] inline __m256i groupPairs(const uint32_t* p, __m256i take) {
    return _mm256_shuffle_epi8(
        _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))), take);
}

// Slots j and j + 1 of an inner group from the pairs at their window starts and
// two columns on, shifted out of the weight scale.
[[gnu::always_inline]] inline __m256i groupSlots(__m256i here, __m256i on, int j) {
    const __m256i w01 =
        _mm256_load_si256(reinterpret_cast<const __m256i*>(hresize_windows.group01[j]));
    const __m256i w23 =
        _mm256_load_si256(reinterpret_cast<const __m256i*>(hresize_windows.group23[j]));
    return _mm256_srai_epi32(
        _mm256_add_epi32(_mm256_madd_epi16(here, w01), _mm256_madd_epi16(on, w23)), kWeightBits);
}

// Slots j..j+7 as registers of slots (j, j+1), (j+2, j+3), ...: the packs
// leave the even slots in lane 0 and the odd ones in lane 1, and one
// permutation puts the eight pixels in order.
[[gnu::always_inline]] inline void storeSlots(uint32_t* out, __m256i s0, __m256i s2, __m256i s4,
                                              __m256i s6) {
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    const __m256i packed =
        _mm256_packus_epi16(_mm256_packs_epi32(s0, s2), _mm256_packs_epi32(s4, s6));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                        _mm256_permutevar8x32_epi32(packed, order));
}

// One row from the tables alone.
inline void rowFromTables(const uint32_t* in, uint32_t* out, __m256i t01, __m256i t23) {
    for (int x = 0; x < kOutputWidth; x += kBlockColumns)
        blockFromTables(in, out, x, t01, t23);
}

// One row by groups: the inner groups first (each writes 16 slots, the 16th
// overwritten by the group after it), then the blocks that hold the two edge
// groups, which also put right the column the last inner group spilled into.
inline void rowByGroups(const uint32_t* in, uint32_t* out, __m256i t01, __m256i t23) {
    const __m256i take =
        _mm256_setr_epi8(0, -1, 4, -1, 1, -1, 5, -1, 2, -1, 6, -1, 3, -1, 7, -1,  //
                         4, -1, 8, -1, 5, -1, 9, -1, 6, -1, 10, -1, 7, -1, 11, -1);
    // Slot 16 of a group is slot 0 of the next: its pairs carry over.
    __m256i p0 = groupPairs(in + kFirstInnerGroup * kGroupSources - 1, take);
    for (int q = kFirstInnerGroup; q <= kLastInnerGroup; ++q) {
        const uint32_t* base = in + q * kGroupSources - 1;
        uint32_t* slots = out + q * kGroupOutputs;
        const __m256i p2 = groupPairs(base + 2, take), p4 = groupPairs(base + 4, take);
        const __m256i p6 = groupPairs(base + 6, take), p8 = groupPairs(base + 8, take);
        storeSlots(slots, groupSlots(p0, p2, 0), groupSlots(p2, p4, 2), groupSlots(p4, p6, 4),
                   groupSlots(p6, p8, 6));
        const __m256i p10 = groupPairs(base + 10, take), p12 = groupPairs(base + 12, take);
        const __m256i p14 = groupPairs(base + 14, take), p16 = groupPairs(base + 16, take);
        storeSlots(slots + 8, groupSlots(p8, p10, 8), groupSlots(p10, p12, 10),
                   groupSlots(p12, p14, 12), groupSlots(p14, p16, 14));
        p0 = p16;
    }
    constexpr int kLeftEnd =
        (kFirstInnerGroup * kGroupOutputs + kBlockColumns - 1) / kBlockColumns * kBlockColumns;
    constexpr int kRightStart =
        (kLastInnerGroup + 1) * kGroupOutputs / kBlockColumns * kBlockColumns;
    for (int x = 0; x < kLeftEnd; x += kBlockColumns)
        blockFromTables(in, out, x, t01, t23);
    for (int x = kRightStart; x < kOutputWidth; x += kBlockColumns)
        blockFromTables(in, out, x, t01, t23);
}

}  // namespace

VANTREL_KERNEL void hresizeAvx2(const uint32_t* src, uint32_t* dst, int32_t rows) {
    const __m256i t01 = take01(), t23 = take23();
    const bool groups = hresize_windows.innerGroupsAlike;
    for (int32_t r = 0; r < rows; ++r) {
        const uint32_t* in = src + static_cast<int64_t>(r) * kRenderWidth;
        uint32_t* out = dst + static_cast<int64_t>(r) * kOutputWidth;
        if (groups)
            rowByGroups(in, out, t01, t23);
        else
            rowFromTables(in, out, t01, t23);
    }
}
