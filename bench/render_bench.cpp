// Rendering speed: the resampler's kernels against the plain reference and a
// memcpy of the same bytes, the layout of a full page and one line of text.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "fonts/tiga_font.h"
#include "model/page_model.h"
#include "render/page_layout.h"
#include "render/resample.h"
#include "render/text.h"

namespace {

constexpr int kTopRows = 380;
constexpr int kScrollRows = 2048;

std::vector<uint32_t> randomPixels(size_t count) {
    std::mt19937 gen(1);
    std::vector<uint32_t> out(count);
    for (uint32_t& p : out)
        p = gen();
    return out;
}

// Thread CPU time in seconds: the machine is shared, and wall time would
// count the time other processes hold the core.
double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Best CPU time of one call of f, in seconds, over a few batches.
template <typename F>
double secondsPerCall(F&& f, int callsPerBatch) {
    double best = 1e9;
    for (int batch = 0; batch < 5; ++batch) {
        const double t0 = cpuSeconds();
        for (int i = 0; i < callsPerBatch; ++i)
            f();
        best = std::min(best, (cpuSeconds() - t0) / callsPerBatch);
    }
    return best;
}

// Resamples state.range(0) rows with kernel, then times the plain reference
// and a memcpy of the source bytes in the same run and reports:
//   x_faster_than_reference  reference time / kernel time
//   x_memcpy_time            kernel time / memcpy time
void hresizeBench(benchmark::State& state, HresizeKernel kernel) {
    if (!hresizeKernelAvailable(kernel)) {
        state.SkipWithError("kernel not available on this CPU");
        return;
    }
    const int rows = static_cast<int>(state.range(0));
    buildHtaps();
    const std::vector<uint32_t> src = randomPixels(static_cast<size_t>(rows) * kRenderWidth);
    std::vector<uint32_t> dst(static_cast<size_t>(rows) * kOutputWidth);
    std::vector<uint32_t> copy(src.size());
    for (auto _ : state) {
        hresizeWith(kernel, src.data(), dst.data(), rows);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    const size_t bytes = src.size() * sizeof(uint32_t);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));

    const int calls = rows >= kScrollRows ? 4 : 20;
    const double kernelTime = secondsPerCall(
        [&] {
            hresizeWith(kernel, src.data(), dst.data(), rows);
            benchmark::ClobberMemory();
        },
        calls * 4);
    const double referenceTime = secondsPerCall(
        [&] {
            hresizeReference(src.data(), dst.data(), rows);
            benchmark::ClobberMemory();
        },
        calls);
    const double memcpyTime = secondsPerCall(
        [&] {
            std::memcpy(copy.data(), src.data(), bytes);
            benchmark::ClobberMemory();
        },
        calls * 4);
    state.counters["x_faster_than_reference"] = referenceTime / kernelTime;
    state.counters["x_memcpy_time"] = kernelTime / memcpyTime;
    state.SetLabel(hresizeKernelName(kernel));
}

void BM_Hresize(benchmark::State& state) {
    hresizeBench(state, hresizeBestKernel());
}
BENCHMARK(BM_Hresize)->Arg(kTopRows)->Arg(kScrollRows)->Unit(benchmark::kMicrosecond);

void BM_HresizeSse2(benchmark::State& state) {
    hresizeBench(state, HresizeKernel::Sse2);
}
BENCHMARK(BM_HresizeSse2)->Arg(kTopRows)->Arg(kScrollRows)->Unit(benchmark::kMicrosecond);

void BM_HresizeSsse3(benchmark::State& state) {
    hresizeBench(state, HresizeKernel::Ssse3);
}
BENCHMARK(BM_HresizeSsse3)->Arg(kTopRows)->Arg(kScrollRows)->Unit(benchmark::kMicrosecond);

void BM_HresizeReference(benchmark::State& state) {
    hresizeBench(state, HresizeKernel::Reference);
}
BENCHMARK(BM_HresizeReference)->Arg(kTopRows)->Arg(kScrollRows)->Unit(benchmark::kMicrosecond);

void BM_MemcpySameBytes(benchmark::State& state) {
    const size_t bytes = static_cast<size_t>(state.range(0)) * kRenderWidth * sizeof(uint32_t);
    const std::vector<uint32_t> src = randomPixels(bytes / sizeof(uint32_t));
    std::vector<uint32_t> copy(src.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), src.data(), bytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_MemcpySameBytes)->Arg(kTopRows)->Arg(kScrollRows)->Unit(benchmark::kMicrosecond);

// Fonts held in memory for slots 1..7, shaped like the display's: glyphs about
// half as wide as they are high, for codes 32..126, with ink in about 40% of
// their pixels. The shadow fonts have the same glyphs one pixel wider.
struct BenchFont {
    std::vector<uint8_t> pattern;
    std::vector<uint16_t> locations;
    std::vector<uint8_t> advances, offsets;
};

BenchFont bench_fonts[kFontSlotCount][2];

void makeFont(BenchFont& f, TigaFont& slot, int height, int glyphWidth, uint32_t seed) {
    constexpr int kFirst = 32, kLast = 126;
    const int entries = kLast - kFirst + 2;
    const int pitch = glyphWidth * (entries - 1);
    std::mt19937 gen(seed);
    f.pattern.resize(static_cast<size_t>(height) * pitch);
    for (uint8_t& b : f.pattern)
        b = gen() % 10 < 4;
    f.locations.resize(entries);
    for (int i = 0; i < entries; ++i)
        f.locations[i] = static_cast<uint16_t>(i * glyphWidth);
    f.advances.assign(entries, static_cast<uint8_t>(glyphWidth));
    f.offsets.assign(entries, 0);
    slot = TigaFont{};
    slot.loaded = 1;
    slot.firstChar = kFirst;
    slot.lastChar = kLast;
    slot.defaultChar = '?';
    slot.height = height;
    slot.pitch = pitch;
    slot.entryCount = entries;
    slot.pattern = f.pattern.data();
    slot.locations = f.locations.data();
    slot.advances = f.advances.data();
    slot.offsets = f.offsets.data();
}

void installFonts() {
    static bool done = false;
    if (done) return;
    done = true;
    for (int s = 1; s < kFontSlotCount; ++s) {
        int size = 0, wide = 0;
        for (int z = 0; z < kTextSizes; ++z)
            for (int w = 0; w < kWidthVariants; ++w)
                if (font_table[z][w].slot == s) size = z, wide = w;
        const int height = font_table[size][0].lineHeight - 2;
        const int width = height / 2 + (wide ? height / 4 : 0);
        makeFont(bench_fonts[s][0], fonts[s], height, width, s);
        makeFont(bench_fonts[s][1], shadow_fonts[s], height, width + 1, 100 + s);
    }
}

const std::string kSixtyFour = "THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG 0123456789 abcdefghi";
static_assert(sizeof("THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG 0123456789 abcdefghi") == 65);

void BM_DrawTextLine(benchmark::State& state) {
    installFonts();
    const int size = static_cast<int>(state.range(0));
    std::vector<uint32_t> buf(static_cast<size_t>(kTopRows) * kRenderWidth, 0);
    // Size 3 glyphs are 39 pixels wide: 64 of them run far past column 767,
    // as a long row does; the clipped ones are part of the cost.
    for (auto _ : state) {
        drawTextLine(buf.data(), kTopRows, 80, 41, kSixtyFour, size, 0, 1);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * 64);
}
BENCHMARK(BM_DrawTextLine)->Arg(0)->Arg(1)->Arg(3)->Unit(benchmark::kMicrosecond);

// A full page: 15 rows of 64 characters in the smallest size, every other row
// with a border, bands filled, into the 380-row top buffer.
void BM_RenderPageBody(benchmark::State& state) {
    installFonts();
    PageRecord& p = pagestore[1];
    std::memset(&p, 0, sizeof p);
    p.pageNumber = 1;
    p.lineCount = kRowCount;
    for (int i = 0; i < kRowCount; ++i) {
        p.style[i].rowColor = static_cast<uint8_t>(i % 6);
        p.style[i].rowAttr = i % 2 ? kRowBorder : 0;
        std::memcpy(p.rowText[i], kSixtyFour.data(), kRowTextSize);
    }
    std::vector<uint32_t> buf(static_cast<size_t>(kTopRows) * kRenderWidth, 0);
    uint32_t last = 0;
    int32_t y = 0;
    for (auto _ : state) {
        y = renderPageBody(1, buf.data(), kTopRows, kTopRows, 1, nullptr, &last);
        benchmark::ClobberMemory();
    }
    if (y != 340) state.SkipWithError("the page did not lay out 15 rows");
}
BENCHMARK(BM_RenderPageBody)->Unit(benchmark::kMicrosecond);

}  // namespace
