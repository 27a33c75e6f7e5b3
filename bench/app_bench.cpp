// The preview's per-frame costs: the blend against a plain copy of the same
// bytes timed beside it, a whole still frame, ten seconds of a still page, a frame that renders the
// top region again, and the roll render of the tallest page without the chain bit.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <vector>

#include "app/blend.h"
#include "app/buffers.h"
#include "app/canvas.h"
#include "app/frame.h"
#include "app/roll.h"
#include "fonts/tiga_font.h"
#include "model/page_model.h"
#include "model/shared_bytes.h"
#include "render/resample.h"

namespace {

const char* const kKernelNames[] = {"reference", "sse2", "avx2"};

struct tm fixedClock() {
    struct tm t = {};
    t.tm_year = 125;
    t.tm_mday = 5;
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = 7;
    return t;
}

void storeRow(PageRecord& page, int row, int height, uint8_t color, const char* text) {
    page.style[row].rowColor = color;
    page.style[row].rowAttr = kRowBorder;
    page.shape[row].rowSize = static_cast<uint8_t>(height << 2);
    std::memset(page.rowText[row], 0, kRowTextSize);
    std::strncpy(reinterpret_cast<char*>(page.rowText[row]), text, kRowTextSize);
}

// The preview after start-up with fonts, a seven-row front page as page 1
// (topSolid on), page 50's lines, and a fifteen-row roll page as page 20.
void setUpPreview() {
    static bool ready = false;
    if (ready) return;
    ready = true;
    if (!loadFontSlots(VANTREL_BENCH_FONT_DIR)) std::abort();
    buildHtaps();
    if (!allocateRenderBuffers() || !allocateImages()) std::abort();
    presetPageModel();

    PageRecord& front = pagestore[1];
    front.pageNumber = 1;
    front.lineCount = 7;
    const int heights[] = {3, 1, 1, 0, 2, 1, 0};
    const uint8_t colors[] = {4, 2, 2, 0, 1, 5, 3};
    for (int row = 0; row < 7; ++row)
        storeRow(front, row, heights[row], colors[row], "Sunny, high near 17 and light winds");

    PageRecord& ldl = pagestore[kLdlSourcePage];
    ldl.pageNumber = kLdlSourcePage;
    ldl.lineCount = 2;
    storeRow(ldl, 0, 1, 5, "Tonight: clear, low 4");
    storeRow(ldl, 1, 1, 5, "Tomorrow: sunny, high 17");

    PageRecord& roll = pagestore[20];
    roll.pageNumber = 20;
    roll.lineCount = 15;
    roll.motionFlags = kMotionRoll;
    for (int row = 0; row < 15; ++row)
        storeRow(roll, row, 3, uint8_t(row % 6), "Travel Report");

    omcw[kSolidFlags] = kBottomSolid | kTopSolid | kRegionSeparator;
    resetFrameState();
    repaintSolids();
    composeFrame(fixedClock());
}

// Composite and canvas of a real still frame: an opaque top region over a
// transparent canvas, and the LDL region's text over the purple bottom solid.
void typicalFrame(std::vector<uint32_t>& fg, std::vector<uint32_t>& bg) {
    setUpPreview();
    fg.assign(over.pixels, over.pixels + kFramePixels);
    bg.assign(solid.pixels, solid.pixels + kFramePixels);
}

// A composite whose alpha differs from pixel to pixel and is never 0 or 255,
// so no block can be copied, over the canvas of a real frame.
void adversarialFrame(std::vector<uint32_t>& fg, std::vector<uint32_t>& bg) {
    typicalFrame(fg, bg);
    std::mt19937 random(1);
    for (size_t i = 0; i < kFramePixels; ++i)
        fg[i] = (1 + random() % 254) << 24 | (random() & 0xffffff);
}

// The same over a canvas of random alpha too, which the preview never paints
// (its canvas is clear or opaque): every block also weighs the background.
void adversarialAnyCanvas(std::vector<uint32_t>& fg, std::vector<uint32_t>& bg) {
    adversarialFrame(fg, bg);
    std::mt19937 random(2);
    for (size_t i = 0; i < kFramePixels; ++i)
        bg[i] = random();
}

// Pixels on a cache line, as the preview allocates them (std::vector's are
// 16 bytes off one, which splits every other 32-byte load in two).
struct AlignedPixels {
    std::unique_ptr<uint32_t, decltype(&std::free)> words{
        static_cast<uint32_t*>(std::aligned_alloc(64, kFramePixels * sizeof(uint32_t))),
        &std::free};
    explicit AlignedPixels(const std::vector<uint32_t>& from) {
        std::copy(from.begin(), from.end(), words.get());
    }
    uint32_t* get() const { return words.get(); }
};

double wallSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void BM_CopyFrameBytes(benchmark::State& state) {
    std::vector<uint32_t> src(kFramePixels, 0x12345678), dst(kFramePixels);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), kFramePixels * sizeof(uint32_t));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kFramePixels * sizeof(uint32_t));
}
BENCHMARK(BM_CopyFrameBytes);

// The blend of a whole frame, in buffers aligned as the preview's, timed
// beside a memcpy of the foreground into the output, and reported (as a
// counter; the time is the blend's alone):
//   x_memcpy  the median over the iterations of blend time / memcpy time
// A ratio of two runs taken apart moves with whatever else the machine does
// in between (on a shared host a core's vector throughput alone can halve
// for a while); two calls timed side by side see the same machine. Each
// iteration runs an untimed blend first, so that both timed calls find the
// arrays as the call before them left them, however long the thread was away.
void blendBench(benchmark::State& state,
                void (*make)(std::vector<uint32_t>&, std::vector<uint32_t>&)) {
    const auto kernel = static_cast<BlendKernel>(state.range(0));
    state.SetLabel(kKernelNames[state.range(0)]);
    if (!blendKernelSupported(kernel)) {
        state.SkipWithError("kernel not supported on this CPU");
        return;
    }
    std::vector<uint32_t> fgPixels, bgPixels;
    make(fgPixels, bgPixels);
    const AlignedPixels fg(fgPixels), bg(bgPixels), out(std::vector<uint32_t>(kFramePixels, 0));
    std::vector<double> ratios;
    for (auto _ : state) {
        blendPixels(kernel, fg.get(), bg.get(), out.get(), kFramePixels);
        benchmark::ClobberMemory();
        const double t0 = wallSeconds();
        std::memcpy(out.get(), fg.get(), kFramePixels * sizeof(uint32_t));
        benchmark::ClobberMemory();
        const double t1 = wallSeconds();
        blendPixels(kernel, fg.get(), bg.get(), out.get(), kFramePixels);
        benchmark::ClobberMemory();
        const double t2 = wallSeconds();
        state.SetIterationTime(t2 - t1);
        ratios.push_back((t2 - t1) / (t1 - t0));
    }
    std::nth_element(ratios.begin(), ratios.begin() + ratios.size() / 2, ratios.end());
    state.counters["x_memcpy"] = ratios[ratios.size() / 2];
    state.SetBytesProcessed(int64_t(state.iterations()) * kFramePixels * sizeof(uint32_t));
}

void BM_BlendTypical(benchmark::State& state) {
    blendBench(state, typicalFrame);
}
BENCHMARK(BM_BlendTypical)->DenseRange(0, 2)->UseManualTime();

void BM_BlendAdversarial(benchmark::State& state) {
    blendBench(state, adversarialFrame);
}
BENCHMARK(BM_BlendAdversarial)->DenseRange(0, 2)->UseManualTime();

void BM_BlendAdversarialAnyCanvas(benchmark::State& state) {
    blendBench(state, adversarialAnyCanvas);
}
BENCHMARK(BM_BlendAdversarialAnyCanvas)->DenseRange(0, 2)->UseManualTime();

// A frame with nothing to render again, composed whole as if every row had
// changed: clock line, key compare, the two copies into the composite and the
// blend of every row (no present).
void BM_StillFrame(benchmark::State& state) {
    setUpPreview();
    omcw[kTopPage] = 1;
    const struct tm clock = fixedClock();
    composeFrame(clock);
    for (auto _ : state) {
        markRowsChanged(0, kFrameRows);
        composeFrame(clock);
    }
}
BENCHMARK(BM_StillFrame);

// Thread CPU time in seconds: on a shared machine wall time would also count
// the time other processes hold the core.
double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Ten seconds of a still page as the preview runs it: 600 frames, the clock
// moving on every 60 frames (so the LDL region is redrawn about once a second,
// and again when page 50's line rotates). Reports the average frame against a
// whole frame (every row copied and blended) timed in the same run:
//   x_whole_frame  average frame time / whole frame time
void BM_StillPage600Frames(benchmark::State& state) {
    constexpr int kFrames = 600, kFramesPerSecond = 60;
    setUpPreview();
    omcw[kTopPage] = 1;
    struct tm clock = fixedClock();
    int frame = 0;
    auto still = [&] {
        clock.tm_sec = frame / kFramesPerSecond % 60;
        clock.tm_min = frame / (kFramesPerSecond * 60) % 60;
        ++frame;
        composeFrame(clock);
    };
    double stillTime = 0;
    for (auto _ : state) {
        const double t0 = cpuSeconds();
        for (int i = 0; i < kFrames; ++i)
            still();
        stillTime += cpuSeconds() - t0;
    }
    const double t0 = cpuSeconds();
    for (int i = 0; i < kFrames; ++i) {
        markRowsChanged(0, kFrameRows);
        composeFrame(clock);
    }
    const double wholeTime = (cpuSeconds() - t0) / kFrames;
    state.counters["x_whole_frame"] =
        stillTime / (double(state.iterations()) * kFrames) / wholeTime;
}
BENCHMARK(BM_StillPage600Frames)->Unit(benchmark::kMicrosecond);

// A frame after a page was stored: the top region is laid out and resampled again.
void BM_FrameRenderingTheTopRegion(benchmark::State& state) {
    setUpPreview();
    omcw[kTopPage] = 1;
    const struct tm clock = fixedClock();
    for (auto _ : state) {
        raiseFlag(page_dirty);
        composeFrame(clock);
    }
}
BENCHMARK(BM_FrameRenderingTheTopRegion);

// The roll render of fifteen 80-row lines: 1240 rows laid out and resampled.
void BM_RollRender1240Rows(benchmark::State& state) {
    setUpPreview();
    for (auto _ : state)
        renderRoll(20, true);
    if (contentHeight != 1240) state.SkipWithError("unexpected content height");
}
BENCHMARK(BM_RollRender1240Rows);

// A frame in roll mode without a new layout: the roll copy instead of the still copy.
void BM_RollFrame(benchmark::State& state) {
    setUpPreview();
    omcw[kTopPage] = 20;
    const struct tm clock = fixedClock();
    composeFrame(clock);
    for (auto _ : state)
        composeFrame(clock);
    omcw[kTopPage] = 1;
}
BENCHMARK(BM_RollFrame);

}  // namespace
