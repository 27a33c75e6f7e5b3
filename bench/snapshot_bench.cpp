// What writing a frame costs vantrel-snapshot, per output kind, against a plain
// copy of the same frame's bytes measured in the same run.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "app/buffers.h"
#include "tools/encode/video_file.h"
#include "tools/snapshot/snapshot.h"

namespace {

constexpr size_t kPixels = static_cast<size_t>(kFrameWidth) * kFrameRows;
constexpr int kBandRows = 40;  // coloured bands like a page's rows

// A page-like frame: flat bands with some text-like detail, moved up by shift
// rows as a roll would.
void fillFrame(std::vector<uint32_t>& frame, int shift) {
    static const uint32_t kBands[] = {0x3a0d8cu, 0x1a7a1au, 0x8c1010u, 0x2020a0u, 0x606060u};
    for (int y = 0; y < kFrameRows; ++y) {
        const int row = y + shift;
        const uint32_t band = kBands[(row / kBandRows) % 5];
        for (int x = 0; x < kFrameWidth; ++x) {
            const bool ink = x > 80 && x < 600 && (row % kBandRows) > 8 && (row % kBandRows) < 32 &&
                             ((x * 7 + row * 3) % 11) < 4;
            frame[static_cast<size_t>(y) * kFrameWidth + x] = ink ? 0xf0f0f0u : band;
        }
    }
}

std::string scratchName(const char* suffix) {
    return "/tmp/vantrel-bench-" + std::to_string(getpid()) + suffix;
}

void BM_CopyFrameBytes(benchmark::State& state) {
    std::vector<uint32_t> src(kPixels, 0x123456u), dst(kPixels);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), kPixels * sizeof(uint32_t));
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kPixels * sizeof(uint32_t));
}
BENCHMARK(BM_CopyFrameBytes);

void BM_WritePngFrame(benchmark::State& state) {
    std::vector<uint32_t> frame(kPixels);
    fillFrame(frame, 0);
    const std::string path = scratchName(".png");
    std::string error;
    for (auto _ : state)
        if (!writeRgbPng(path.c_str(), frame.data(), kFrameWidth, kFrameRows, error))
            state.SkipWithError(error.c_str());
    std::remove(path.c_str());
    state.SetBytesProcessed(state.iterations() * kPixels * sizeof(uint32_t));
}
BENCHMARK(BM_WritePngFrame)->Unit(benchmark::kMillisecond);

// One frame into the encoder, for a GIF's palette pass (0), a GIF's writing
// pass (1) and H.264 (2); the file is finished outside the timing.
void BM_EncodeFrame(benchmark::State& state) {
    const int mode = static_cast<int>(state.range(0));
    std::vector<uint32_t> frame(kPixels);
    const std::string path = scratchName(mode == 2 ? ".mp4" : ".gif");
    VideoWriter video;
    std::string error;
    if (!openVideo(video, mode == 2 ? VideoKind::kMp4 : VideoKind::kGif, path.c_str(), kFrameWidth,
                   kFrameRows, 1, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    if (mode == 1) {  // a palette from a few frames, then the timed writing pass
        for (int shift = 0; shift < 8; ++shift) {
            fillFrame(frame, shift);
            addVideoFrame(video, frame.data(), error);
        }
        finishPalettePass(video, error);
    }
    int shift = 0;
    for (auto _ : state) {
        state.PauseTiming();
        fillFrame(frame, ++shift);
        state.ResumeTiming();
        if (!addVideoFrame(video, frame.data(), error)) state.SkipWithError(error.c_str());
    }
    if (mode == 0) finishPalettePass(video, error);
    closeVideo(video, error);
    std::remove(path.c_str());
    state.SetBytesProcessed(state.iterations() * kPixels * sizeof(uint32_t));
}
BENCHMARK(BM_EncodeFrame)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

}  // namespace
