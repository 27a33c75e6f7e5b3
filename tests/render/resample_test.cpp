#include "render/resample.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

namespace {

constexpr uint32_t kUntouched = 0x5a5a5a5a;  // destination filler: every byte 0x5a

// The weights of phase p = x mod 15 (source centre s - floor(s) = (2p + 1) / 30),
// as the filter's published table gives them.
constexpr int16_t kPhaseWeights[15][kTapCount] = {
    {-4, 255, 5, 0},      {-10, 249, 18, -1},  {-15, 240, 34, -3},   {-18, 226, 53, -5},
    {-19, 209, 74, -8},   {-19, 189, 97, -11}, {-18, 168, 120, -14}, {-16, 144, 144, -16},
    {-14, 121, 167, -18}, {-11, 97, 189, -19}, {-8, 74, 209, -19},   {-5, 53, 226, -18},
    {-3, 34, 240, -15},   {-1, 17, 250, -10},  {0, 5, 255, -4},
};

// The fast kernels. One this CPU cannot run falls back to the reference.
constexpr HresizeKernel kFastKernels[] = {HresizeKernel::Sse2, HresizeKernel::Ssse3,
                                          HresizeKernel::Avx2};

TEST(Hresize, TapsEqualThePhaseTableWithClampedEdgeColumns) {
    buildHtaps();
    for (int x = 0; x < kOutputWidth; ++x) {
        // i0 = floor of the source centre; the indices i0 - 1 .. i0 + 2 are clamped,
        // so column 0 reads 0, 0, 1, 2 and column 719 reads 765, 766, 767, 767.
        const int p = x % 15, i0 = 16 * (x / 15) + p;
        for (int k = 0; k < kTapCount; ++k) {
            EXPECT_EQ(htaps[x].index[k], std::clamp(i0 - 1 + k, 0, kRenderWidth - 1)) << x;
            EXPECT_EQ(htaps[x].weight[k], kPhaseWeights[p][k]) << x;
        }
    }
}

TEST(Hresize, FastKernelsMatchTheReferenceBitForBit) {
#if defined(__x86_64__)
    // Every kernel this CPU can run is offered; else the loop below would
    // quietly compare the reference with itself.
    EXPECT_TRUE(hresizeKernelAvailable(HresizeKernel::Sse2));
    EXPECT_EQ(hresizeKernelAvailable(HresizeKernel::Ssse3), __builtin_cpu_supports("ssse3") != 0);
    EXPECT_EQ(hresizeKernelAvailable(HresizeKernel::Avx2), __builtin_cpu_supports("avx2") != 0);
    EXPECT_NE(hresizeBestKernel(), HresizeKernel::Reference);
#endif
    // Random pixels whose channel bytes are often 0 or 255, to reach both
    // clamps. The four left and four right source columns of row r are all-zero
    // or all-one words after the bits of r, so that the clamped windows of
    // output columns 0 and 719 meet every pattern of extremes.
    constexpr int kRows = 300, kKnown = kRows - 1;  // the last row holds known answers
    constexpr size_t kRowBytes = kOutputWidth * sizeof(uint32_t);
    std::mt19937 gen(5);
    std::vector<uint32_t> src(kRows * kRenderWidth), want(kRows * kOutputWidth);
    for (uint32_t& p : src)
        for (int c = 0; c < 4; ++c) {
            const uint32_t pick = gen() % 4;
            p |= (pick == 0 ? 0 : pick == 1 ? 255 : gen() & 0xff) << (8 * c);
        }
    for (int r = 0; r < kRows; ++r)
        for (int k = 0; k < 4; ++k) {
            src[r * kRenderWidth + k] = (r >> k & 1) ? ~0u : 0;
            src[r * kRenderWidth + kRenderWidth - 1 - k] = (r >> (k + 4) & 1) ? ~0u : 0;
        }
    // Known answers side by side on an otherwise transparent row. Output columns
    // 22, 37, 52 and 67 are of phase 7 (weights -16, 144, 144, -16) and read
    // source columns 22..25, 38..41, 54..57 and 70..73.
    // clang-format off
    const std::pair<int, uint32_t> source[] = {
        {0, 0xff}, {1, 0xff00}, {2, 0xff0000}, {3, ~0u},                 // left edge
        {767, 0xff000000}, {766, 0xff0000}, {765, 0xff00}, {764, ~0u},  // right edge
        {23, ~0u}, {24, ~0u}, {25, ~0u},  // a step up after column 22
        {38, ~0u},                        // bright under a negative weight alone
        {55, 0x01010101}, {71, 0xff804001}};
    const std::pair<int, uint32_t> expected[] = {
        {0, 0x000004fa},    // source 0 twice (-4 + 255 = 251), 1 with 5, 2 with 0
        {719, 0xfa040000},  // source 767 twice, 766 with 5, 765 with 0
        {22, ~0u},          // 255 * (144 + 144 - 16) >> 8 = 270, clamped to 255
        {37, 0},            // every sum negative, clamped to 0
        {52, 0},            // 1 * 144 >> 8: the shift floors, nothing rounds up
        {67, 0x8f482400}};  // each channel its own sum
    // clang-format on
    std::fill_n(&src[kKnown * kRenderWidth], kRenderWidth, 0);
    for (auto [column, pixel] : source)
        src[kKnown * kRenderWidth + column] = pixel;
    buildHtaps();
    hresizeReference(src.data(), want.data(), kRows);
    for (auto [column, pixel] : expected)
        EXPECT_EQ(want[kKnown * kOutputWidth + column], pixel) << "column " << column;

    // One row more than asked for, which must stay as it was; negative counts
    // write nothing. (memset and memcmp keep this quick under the sanitizers.)
    const std::vector<uint32_t> untouched(kOutputWidth, kUntouched);
    std::vector<uint32_t> dst((kRows + 1) * kOutputWidth);
    for (HresizeKernel kernel : kFastKernels)
        for (int rows = -2; rows <= kRows; ++rows) {
            const size_t done = std::max(rows, 0);
            std::memset(dst.data(), 0x5a, (done + 1) * kRowBytes);
            hresizeWith(kernel, src.data(), dst.data(), rows);
            ASSERT_EQ(std::memcmp(dst.data(), want.data(), done * kRowBytes), 0)
                << hresizeKernelName(kernel) << " with " << rows << " rows";
            ASSERT_EQ(std::memcmp(&dst[done * kOutputWidth], untouched.data(), kRowBytes), 0)
                << hresizeKernelName(kernel) << " wrote past " << rows << " rows";
        }
    hresize(src.data(), dst.data(), kRows);  // the dispatching entry point
    EXPECT_EQ(std::memcmp(dst.data(), want.data(), kRows * kRowBytes), 0);
}

}  // namespace
