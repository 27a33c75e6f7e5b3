// The blend: known answers, and every vector kernel bit for bit against the
// plain per-pixel blend.
#include "app/blend.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

constexpr uint32_t kCanary = 0xdeadbeef;

// Every kernel this CPU runs must give the reference's bits, with buffers one
// word off their alignment and nothing written past the last pixel.
void expectKernelsMatchReference(const std::vector<uint32_t>& fg, const std::vector<uint32_t>& bg,
                                 const char* what) {
    const size_t n = fg.size();
    std::vector<uint32_t> f(n + 1), b(n + 1), want(n + 1);
    std::copy(fg.begin(), fg.end(), f.begin() + 1);
    std::copy(bg.begin(), bg.end(), b.begin() + 1);
    blendPixelsReference(f.data() + 1, b.data() + 1, want.data() + 1, n);
    for (BlendKernel k : {BlendKernel::kSse2, BlendKernel::kAvx2}) {
        if (!blendKernelSupported(k)) continue;
        std::vector<uint32_t> got(n + 2, kCanary);
        blendPixels(k, f.data() + 1, b.data() + 1, got.data() + 1, n);
        ASSERT_EQ(got[n + 1], kCanary) << what << ", kernel " << int(k) << " wrote past the end";
        for (size_t i = 1; i <= n; ++i)
            ASSERT_EQ(got[i], want[i]) << what << ", kernel " << int(k) << ", pixel " << i - 1
                                       << std::hex << ": fg " << f[i] << " bg " << b[i];
    }
}

TEST(Blend, KnownAnswersOnEveryKernel) {
    const struct {
        uint32_t fg, bg, out;
        const char* rule;
    } cases[] = {
        {0xff950b42, 0x80ffffff, 0x00420b95, "opaque: its own colour, the canvas unread"},
        {0x00000000, 0x00000000, 0x00000000, "transparent over clear: black"},
        {0x00ffffff, 0xff950b42, 0x00420b95, "transparent: the canvas, not its colour bits"},
        {0x80ffffff, 0xff000000, 0x00808080, "half white over opaque black"},
        {0x80ffffff, 0x00000000, 0x00808080, "half white over clear"},
        {0x80ffffff, 0xff950b42, 0x00a085ca, "half white over purple"},
        {0x00000000, 0x80ffffff, 0x00808080, "the canvas weighted by its own alpha"},
        {0x01c8c8c8, 0xff000000, 0x00000000, "remainders dropped: 200 * 1 / 255 = 0"},
        {0xfe0a141e, 0xffffffff, 0x001e140a, "(10 * 254 + 255) / 255 = 10"},
    };
    for (BlendKernel k : {BlendKernel::kReference, BlendKernel::kSse2, BlendKernel::kAvx2}) {
        for (const auto& c : cases) {
            std::vector<uint32_t> fg(9, c.fg), bg(9, c.bg), out(9);  // a whole block and a tail
            blendPixels(k, fg.data(), bg.data(), out.data(), out.size());
            for (uint32_t word : out)
                EXPECT_EQ(word, c.out) << c.rule << ", kernel " << int(k);
        }
    }
}

TEST(Blend, KernelsMatchTheReferenceBitForBit) {
    std::mt19937 random(7);
    auto pixels = [&](size_t n, bool canvas) {  // mostly the alphas the kernels take shortcuts on
        std::vector<uint32_t> p(n);
        for (uint32_t& word : p) {
            const uint32_t pick = random() % 4, alpha = pick == 0 ? 0 : pick == 1 ? 255 : random();
            word = (canvas ? (pick & 1) * 0xff : alpha & 0xff) << 24 | (random() & 0xffffff);
        }
        return p;
    };
    // Every foreground alpha over every canvas alpha, each colour byte through 0..255.
    std::vector<uint32_t> fg, bg;
    for (uint32_t a = 0; a < 256 * 256 * 86; ++a) {
        const uint32_t c = a % 86 * 3;
        fg.push_back(a / (256 * 86) << 24 | ((c + 2) & 0xff) << 16 | ((c + 1) & 0xff) << 8 | c);
        bg.push_back(a / 86 % 256 << 24 | (random() & 0xffffff));
    }
    expectKernelsMatchReference(fg, bg, "alpha pairs");
    // Blocks of 8 of one kind (opaque; transparent over opaque, clear or half
    // canvas; a mix), each with one pixel of another kind at every position.
    const uint32_t kinds[][2] = {
        {0xff102030, 0x00000000}, {0x00102030, 0xff405060}, {0x00102030, 0x00405060},
        {0x00102030, 0x7f405060}, {0x40102030, 0xff405060}, {0xff102030, 0xff405060},
    };
    fg.clear(), bg.clear();
    for (const auto& base : kinds)
        for (const auto& odd : kinds)
            for (int i = 0; i < 9 * 8; ++i) {  // the odd pixel at position i / 8 - 1 (-1: none)
                fg.push_back(i % 8 == i / 8 - 1 ? odd[0] : base[0]);
                bg.push_back(i % 8 == i / 8 - 1 ? odd[1] : base[1]);
            }
    expectKernelsMatchReference(fg, bg, "block shortcuts");
    // Whole blocks of every kind beside every other, at both halves of a
    // cache line (the kernels take two opaque or two clear blocks at once),
    // then long runs of each kind.
    fg.clear(), bg.clear();
    const auto run = [&](const uint32_t* kind, int n) {
        fg.insert(fg.end(), n, kind[0]);
        bg.insert(bg.end(), n, kind[1]);
    };
    for (const auto& first : kinds)
        for (const auto& second : kinds)
            run(first, 8), run(second, 16);
    for (const auto& kind : kinds)
        run(kind, 1000);
    expectKernelsMatchReference(fg, bg, "blocks side by side");
    for (size_t n = 0; n <= 41; ++n)
        expectKernelsMatchReference(pixels(n, false), pixels(n, false), "short run");
    expectKernelsMatchReference(pixels(1 << 18, false), pixels(1 << 18, false), "random");
    // A canvas of clear and opaque pixels (as the preview paints it), then the
    // same with one half-transparent pixel late in the run.
    fg = pixels(1 << 16, false), bg = pixels(1 << 16, true);
    expectKernelsMatchReference(fg, bg, "clear and opaque canvas");
    bg[bg.size() - 100] = 0x7f123456;
    expectKernelsMatchReference(fg, bg, "one half-transparent canvas pixel");
}

}  // namespace
