#include "render/resample.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr uint32_t kUntouched = 0x5a5a5a5a;  // destination filler: every byte 0x5a

// The weights of the 15 phases p = x mod 15 (source centre s - floor(s) =
// (2p + 1) / 30), as the filter's published table gives them.
constexpr int16_t kPhaseWeights[15][kTapCount] = {
    {-4, 255, 5, 0},      {-10, 249, 18, -1},  {-15, 240, 34, -3},   {-18, 226, 53, -5},
    {-19, 209, 74, -8},   {-19, 189, 97, -11}, {-18, 168, 120, -14}, {-16, 144, 144, -16},
    {-14, 121, 167, -18}, {-11, 97, 189, -19}, {-8, 74, 209, -19},   {-5, 53, 226, -18},
    {-3, 34, 240, -15},   {-1, 17, 250, -10},  {0, 5, 255, -4},
};

const HresizeKernel kAllKernels[] = {HresizeKernel::Reference, HresizeKernel::Sse2,
                                     HresizeKernel::Ssse3, HresizeKernel::Avx2};

std::vector<HresizeKernel> availableKernels() {
    std::vector<HresizeKernel> out;
    for (HresizeKernel k : kAllKernels)
        if (hresizeKernelAvailable(k)) out.push_back(k);
    return out;
}

class HresizeTest : public ::testing::Test {
protected:
    void SetUp() override { buildHtaps(); }

    // One source row with the given pixels at the given columns, zero elsewhere,
    // resampled by kernel.
    static std::vector<uint32_t> resampleRow(HresizeKernel kernel,
                                             const std::vector<uint32_t>& row) {
        std::vector<uint32_t> out(kOutputWidth, kUntouched);
        hresizeWith(kernel, row.data(), out.data(), 1);
        return out;
    }
};

TEST_F(HresizeTest, TapsFollowThePhaseTableInEveryColumn) {
    for (int x = 0; x < kOutputWidth; ++x) {
        const int q = x / 15, p = x % 15;
        const int i0 = 16 * q + p;  // floor of the source centre
        int sum = 0;
        for (int k = 0; k < kTapCount; ++k) {
            const int column = std::clamp(i0 - 1 + k, 0, kRenderWidth - 1);
            EXPECT_EQ(htaps[x].index[k], column) << "x " << x << " tap " << k;
            EXPECT_EQ(htaps[x].weight[k], kPhaseWeights[p][k]) << "x " << x << " tap " << k;
            sum += htaps[x].weight[k];
        }
        EXPECT_EQ(sum, kWeightOne) << "x " << x;
    }
}

TEST_F(HresizeTest, EdgeColumnsReadTheEdgeSourceColumnTwice) {
    const int16_t first[kTapCount] = {0, 0, 1, 2};
    const int16_t last[kTapCount] = {765, 766, 767, 767};
    for (int k = 0; k < kTapCount; ++k) {
        EXPECT_EQ(htaps[0].index[k], first[k]);
        EXPECT_EQ(htaps[kOutputWidth - 1].index[k], last[k]);
    }
    EXPECT_EQ(htaps[7].index[0], 6);  // phase 7: s = 7.5, symmetric on columns 6..9
    EXPECT_EQ(htaps[7].index[3], 9);
}

TEST_F(HresizeTest, KnownAnswersInEveryKernel) {
    struct Case {
        const char* what;
        std::vector<std::pair<int, uint32_t>> source;  // column, pixel; zero elsewhere
        int column;                                    // output column checked
        uint32_t expected;
    };
    std::vector<std::pair<int, uint32_t>> step;  // transparent up to column 6, white from 7
    for (int c = 7; c < kRenderWidth; ++c)
        step.push_back({c, 0xffffffff});
    const Case cases[] = {
        // Column 0: source 0 twice (-4 + 255 = 251), source 1 with 5, source 2 with 0.
        {"left edge",
         {{0, 0x000000ff}, {1, 0x0000ff00}, {2, 0x00ff0000}, {3, 0xffffffff}},
         0,
         0x000004fa},
        // Column 719: source 767 twice (255 - 4 = 251), 766 with 5, 765 with 0.
        {"right edge",
         {{767, 0xff000000}, {766, 0x00ff0000}, {765, 0x0000ff00}, {764, 0xffffffff}},
         719,
         0xfa040000},
        // 255 * (144 + 144 - 16) >> 8 = 270, clamped to 255 in every channel.
        {"bright step clamps high", step, 7, 0xffffffff},
        // Column 6 is bright alone under the weight -16: every sum negative.
        {"negative lobe clamps to zero", {{6, 0xffffffff}}, 7, 0x00000000},
        // 1 * 144 = 144: the shift floors, nothing is rounded up.
        {"shift floors", {{7, 0x01010101}}, 7, 0x00000000},
        {"weight 144", {{7, 0xff804001}}, 7, 0x8f482400},
    };
    for (HresizeKernel kernel : availableKernels()) {
        for (const Case& c : cases) {
            std::vector<uint32_t> row(kRenderWidth, 0);
            for (auto [column, pixel] : c.source)
                row[column] = pixel;
            EXPECT_EQ(resampleRow(kernel, row)[c.column], c.expected)
                << hresizeKernelName(kernel) << ": " << c.what;
        }
    }
}

TEST_F(HresizeTest, UniformRowKeepsItsWordInEveryColumn) {
    for (HresizeKernel kernel : availableKernels())
        for (uint32_t word : {0x00000000u, 0xffffffffu, 0x80402010u, 0x01fe7f80u}) {
            const std::vector<uint32_t> out =
                resampleRow(kernel, std::vector<uint32_t>(kRenderWidth, word));
            for (int x = 0; x < kOutputWidth; ++x)
                ASSERT_EQ(out[x], word) << hresizeKernelName(kernel) << " column " << x;
        }
}

TEST_F(HresizeTest, LonePixelVanishesUnderNegativeWeights) {
    // Opaque white at column 100 on a transparent row: where its tap weight is
    // negative all four sums are negative; elsewhere each channel is 255 w >> 8.
    std::vector<uint32_t> row(kRenderWidth, 0);
    row[100] = 0xffffffff;
    for (HresizeKernel kernel : availableKernels()) {
        const std::vector<uint32_t> out = resampleRow(kernel, row);
        int negative = 0;
        for (int x = 0; x < kOutputWidth; ++x) {
            int w = 0;
            for (int k = 0; k < kTapCount; ++k)
                if (htaps[x].index[k] == 100) w += htaps[x].weight[k];
            const uint32_t c = w <= 0 ? 0 : static_cast<uint32_t>(255 * w >> kWeightBits);
            negative += w < 0;
            EXPECT_EQ(out[x], c * 0x01010101u) << hresizeKernelName(kernel) << " column " << x;
        }
        EXPECT_GT(negative, 0);
    }
}

TEST_F(HresizeTest, NoRowsWritesNothing) {
    const std::vector<uint32_t> src(2 * kRenderWidth, 0xffffffff);
    for (int32_t rows : {0, -1, INT32_MIN}) {
        std::vector<uint32_t> dst(2 * kOutputWidth, kUntouched);
        hresize(src.data(), dst.data(), rows);
        for (HresizeKernel kernel : kAllKernels)
            hresizeWith(kernel, src.data(), dst.data(), rows);
        hresizeReference(src.data(), dst.data(), rows);
        EXPECT_EQ(dst, std::vector<uint32_t>(2 * kOutputWidth, kUntouched)) << rows;
    }
}

// Random rows that also hit the clamps: each channel byte is 0, 255 or random.
std::vector<uint32_t> harshPixels(size_t count, uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<uint32_t> out(count);
    for (uint32_t& p : out) {
        p = 0;
        for (int c = 0; c < 4; ++c) {
            const uint32_t pick = gen() % 4;
            const uint32_t byte = pick == 0 ? 0 : pick == 1 ? 255 : gen() & 0xff;
            p |= byte << (8 * c);
        }
    }
    return out;
}

TEST_F(HresizeTest, FastKernelsMatchTheReferenceForEveryRowCount) {
    constexpr int kMaxRows = 300;
    constexpr size_t kRowBytes = kOutputWidth * sizeof(uint32_t);
    const std::vector<uint32_t> src = harshPixels(static_cast<size_t>(kMaxRows) * kRenderWidth, 5);
    std::vector<uint32_t> want(static_cast<size_t>(kMaxRows) * kOutputWidth);
    hresizeReference(src.data(), want.data(), kMaxRows);
    const std::vector<uint32_t> untouchedRow(kOutputWidth, kUntouched);

    EXPECT_TRUE(hresizeKernelAvailable(hresizeBestKernel()));
    std::vector<uint32_t> dst(static_cast<size_t>(kMaxRows + 1) * kOutputWidth);
    for (HresizeKernel kernel : availableKernels()) {
        if (kernel == HresizeKernel::Reference) continue;
        for (int rows = 0; rows <= kMaxRows; ++rows) {
            // One row more than asked for: that row must stay as it was.
            // (memset and memcmp keep this fast under the thread sanitizer.)
            std::memset(dst.data(), 0x5a, (rows + 1) * kRowBytes);
            hresizeWith(kernel, src.data(), dst.data(), rows);
            ASSERT_EQ(std::memcmp(dst.data(), want.data(), rows * kRowBytes), 0)
                << hresizeKernelName(kernel) << " with " << rows << " rows";
            ASSERT_EQ(std::memcmp(dst.data() + rows * kOutputWidth, untouchedRow.data(), kRowBytes),
                      0)
                << hresizeKernelName(kernel) << " wrote past " << rows << " rows";
        }
    }
    // The dispatching entry point gives the same bits.
    hresize(src.data(), dst.data(), kMaxRows);
    EXPECT_EQ(std::memcmp(dst.data(), want.data(), kMaxRows * kRowBytes), 0);
}

TEST_F(HresizeTest, FastKernelsMatchTheReferenceOnEdgeColumns) {
    // Row r sets the four left and the four right source columns from the bits
    // of r (all-zero or all-one words), over a random middle: every pattern of
    // the clamped windows at columns 0 and 719 meets the extremes.
    constexpr int kRows = 256;
    std::vector<uint32_t> src = harshPixels(static_cast<size_t>(kRows) * kRenderWidth, 11);
    for (int r = 0; r < kRows; ++r)
        for (int k = 0; k < 4; ++k) {
            src[r * kRenderWidth + k] = (r >> k & 1) ? 0xffffffff : 0;
            src[r * kRenderWidth + kRenderWidth - 1 - k] = (r >> (k + 4) & 1) ? 0xffffffff : 0;
        }
    std::vector<uint32_t> want(static_cast<size_t>(kRows) * kOutputWidth);
    hresizeReference(src.data(), want.data(), kRows);
    for (HresizeKernel kernel : availableKernels()) {
        std::vector<uint32_t> dst(want.size(), kUntouched);
        hresizeWith(kernel, src.data(), dst.data(), kRows);
        EXPECT_EQ(dst, want) << hresizeKernelName(kernel);
    }
}

TEST_F(HresizeTest, EveryKernelBuiltForThisMachineIsOffered) {
#if defined(__x86_64__)
    EXPECT_TRUE(hresizeKernelAvailable(HresizeKernel::Sse2));
    EXPECT_EQ(hresizeKernelAvailable(HresizeKernel::Avx2), __builtin_cpu_supports("avx2") != 0);
    EXPECT_EQ(hresizeKernelAvailable(HresizeKernel::Ssse3), __builtin_cpu_supports("ssse3") != 0);
    EXPECT_NE(hresizeBestKernel(), HresizeKernel::Reference);
#endif
    EXPECT_TRUE(hresizeKernelAvailable(HresizeKernel::Reference));
}

}  // namespace
