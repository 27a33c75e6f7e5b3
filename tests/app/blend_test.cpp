#include "app/blend.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "frame_fixture.h"

namespace {

// Known answers worked out by hand from the blend's definition.
struct BlendCase {
    const char* name;
    uint32_t fg, bg, out;
};

constexpr BlendCase kBlendCases[] = {
    {"opaque foreground ignores the background", 0xff950b42, 0x80ffffff, 0x00420b95},
    {"opaque foreground over nothing", 0xff950b42, 0x00000000, 0x00420b95},
    {"transparent over transparent black", 0x00000000, 0x00000000, 0x00000000},
    {"transparent over purple shows purple", 0x00000000, 0xff950b42, 0x00420b95},
    {"transparent colour bits are not shown", 0x00ffffff, 0xff950b42, 0x00420b95},
    {"half white over opaque black", 0x80ffffff, 0xff000000, 0x00808080},
    {"half white over transparent black", 0x80ffffff, 0x00000000, 0x00808080},
    {"half white over purple", 0x80ffffff, 0xff950b42, 0x00a085ca},
    // Background weighted by its own alpha: 255 * 128 / 255 = 128 per channel.
    {"transparent over half-transparent white", 0x00000000, 0x80ffffff, 0x00808080},
    // Remainders are dropped: (200 * 1 + 0 * 254) / 255 = 0.
    {"alpha 1 over black", 0x01c8c8c8, 0xff000000, 0x00000000},
    // (10 * 254 + 255 * 1) / 255 = 10.96 -> 10, and so on per channel.
    {"alpha 254 over white", 0xfe0a141e, 0xffffffff, 0x001e140a},
};

std::vector<BlendKernel> supportedKernels() {
    std::vector<BlendKernel> kernels;
    for (BlendKernel k : {BlendKernel::kReference, BlendKernel::kSse2, BlendKernel::kAvx2})
        if (blendKernelSupported(k)) kernels.push_back(k);
    return kernels;
}

const char* kernelName(BlendKernel k) {
    switch (k) {
        case BlendKernel::kReference:
            return "reference";
        case BlendKernel::kSse2:
            return "sse2";
        case BlendKernel::kAvx2:
            return "avx2";
    }
    return "?";
}

// Runs every kernel over fg/bg and requires the reference's bits, pixel by pixel.
void expectKernelsMatchReference(const std::vector<uint32_t>& fg, const std::vector<uint32_t>& bg,
                                 const char* what) {
    std::vector<uint32_t> want(fg.size()), got(fg.size());
    blendPixelsReference(fg.data(), bg.data(), want.data(), fg.size());
    for (BlendKernel k : supportedKernels()) {
        std::fill(got.begin(), got.end(), 0xdeadbeef);
        blendPixels(k, fg.data(), bg.data(), got.data(), fg.size());
        for (size_t i = 0; i < fg.size(); ++i) {
            ASSERT_EQ(got[i], want[i]) << what << ", kernel " << kernelName(k) << ", pixel " << i
                                       << std::hex << ": fg " << fg[i] << " bg " << bg[i];
        }
    }
}

TEST(Blend, KnownAnswersOnEveryKernel) {
    for (BlendKernel k : supportedKernels()) {
        for (const BlendCase& c : kBlendCases) {
            // Eight copies, so the vector kernels see the case in a whole block too.
            std::vector<uint32_t> fg(9, c.fg), bg(9, c.bg), out(9);
            blendPixels(k, fg.data(), bg.data(), out.data(), out.size());
            for (uint32_t word : out)
                EXPECT_EQ(word, c.out)
                    << c.name << ", kernel " << kernelName(k) << std::hex << ", got " << word;
        }
    }
}

TEST(Blend, KernelsMatchReferenceForEveryAlphaPair) {
    // Every foreground alpha against every background alpha, with colour bytes
    // sweeping 0..255 across the three channels of 86 pixels per pair.
    std::vector<uint32_t> fg, bg;
    fg.reserve(256 * 256 * 86);
    bg.reserve(256 * 256 * 86);
    std::mt19937 random(7);
    for (uint32_t a = 0; a < 256; ++a)
        for (uint32_t ba = 0; ba < 256; ++ba)
            for (uint32_t j = 0; j < 86; ++j) {
                const uint32_t c = (3 * j) & 0xff;
                fg.push_back(a << 24 | ((c + 2) & 0xff) << 16 | ((c + 1) & 0xff) << 8 | c);
                bg.push_back(ba << 24 | (random() & 0xffffff));
            }
    expectKernelsMatchReference(fg, bg, "alpha pairs");
}

TEST(Blend, KernelsMatchReferenceOnBlockShortcuts) {
    // Blocks of 8 built to hit each shortcut of the vector kernels: opaque,
    // transparent over opaque, transparent over transparent, transparent over
    // mixed, and one odd pixel at every position of an otherwise uniform block.
    const uint32_t kinds[][2] = {
        {0xff102030, 0x00000000}, {0x00102030, 0xff405060}, {0x00102030, 0x00405060},
        {0x00102030, 0x7f405060}, {0x40102030, 0xff405060}, {0xff102030, 0xff405060},
    };
    std::vector<uint32_t> fg, bg;
    for (const auto& base : kinds)
        for (const auto& odd : kinds)
            for (int position = -1; position < 8; ++position)
                for (int i = 0; i < 8; ++i) {
                    const bool isOdd = i == position;
                    fg.push_back(isOdd ? odd[0] : base[0]);
                    bg.push_back(isOdd ? odd[1] : base[1]);
                }
    expectKernelsMatchReference(fg, bg, "block shortcuts");
}

TEST(Blend, KernelsMatchReferenceOnRandomPixelsAndAnyLength) {
    std::mt19937 random(11);
    for (size_t length = 0; length <= 41; ++length) {
        std::vector<uint32_t> fg(length), bg(length);
        for (size_t i = 0; i < length; ++i) {
            fg[i] = random();
            bg[i] = random();
        }
        expectKernelsMatchReference(fg, bg, "short run");
    }
    std::vector<uint32_t> fg(1 << 18), bg(1 << 18);
    for (size_t i = 0; i < fg.size(); ++i) {
        // Alpha drawn mostly from the shortcut values, colours at random.
        const uint32_t pick = random() % 4;
        const uint32_t alpha = pick == 0 ? 0 : pick == 1 ? 255 : random() & 0xff;
        fg[i] = alpha << 24 | (random() & 0xffffff);
        bg[i] = random();
    }
    expectKernelsMatchReference(fg, bg, "random");
}

TEST(Blend, KernelsMatchReferenceOverACanvasOfClearAndOpaquePixels) {
    // The canvas as the preview paints it (alpha 0 or 255 only), where the
    // vector kernels weigh it with a mask; then one odd background pixel late
    // in the run, which must send them back to the full weighting.
    std::mt19937 random(5);
    std::vector<uint32_t> fg(1 << 16), bg(1 << 16);
    for (size_t i = 0; i < fg.size(); ++i) {
        fg[i] = random();
        bg[i] = (random() & 1 ? 0xff000000u : 0u) | (random() & 0xffffff);
    }
    expectKernelsMatchReference(fg, bg, "clear and opaque canvas");
    bg[fg.size() - 100] = 0x7f123456;
    expectKernelsMatchReference(fg, bg, "one half-transparent canvas pixel");
}

TEST(Blend, UnalignedBuffersGiveTheSameBits) {
    std::mt19937 random(3);
    std::vector<uint32_t> fg(1001), bg(1001), want(1000), got(1001);
    for (size_t i = 0; i < fg.size(); ++i) {
        fg[i] = random();
        bg[i] = random();
    }
    blendPixelsReference(fg.data() + 1, bg.data() + 1, want.data(), 1000);
    for (BlendKernel k : supportedKernels()) {
        blendPixels(k, fg.data() + 1, bg.data() + 1, got.data() + 1, 1000);
        EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin() + 1)) << kernelName(k);
    }
}

TEST(Blend, FastestKernelIsSupported) {
    EXPECT_TRUE(blendKernelSupported(fastestBlendKernel()));
}

using apptest::FrameTest;

TEST_F(FrameTest, BlendFrameLaysTheCompositeOverTheCanvas) {
    for (size_t i = 0; i < kFramePixels; ++i) {
        over.pixels[i] = i % 3 == 0 ? 0x80ffffff : i % 3 == 1 ? 0x00000000 : 0xff950b42;
        solid.pixels[i] = vesk_purple;
    }
    blendFrame();
    for (size_t i = 0; i < kFramePixels; ++i)
        ASSERT_EQ(win_present_buf[i], i % 3 == 0 ? 0x00a085cau : 0x00420b95u) << i;
}

}  // namespace
