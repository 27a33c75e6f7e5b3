// What one streamed frame costs vantrel-stream's frame thread (compose, the
// colour conversion of the rows it changed, H.264 and AAC at the stream's
// default settings) as a share of the 1/60 s a frame has, on one core, for a
// still page with a running clock, for a frame in which nothing changed (with
// and without skip pictures) and for a rolling page; and the conversion of a
// whole frame against a plain copy of its bytes, measured in the same run.
#include <benchmark/benchmark.h>

extern "C" {
#include <libavutil/log.h>
}

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "app/buffers.h"
#include "app/canvas.h"
#include "app/frame.h"
#include "feed/decode.h"
#include "fonts/tiga_font.h"
#include "model/page_model.h"
#include "render/resample.h"
#include "tools/encode/yuv.h"
#include "tools/stream/live_encoder.h"
#include "tools/stream/outputs.h"
#include "tools/stream/packet_queue.h"

namespace {

constexpr double kFramesPerSecond = 60;
constexpr int kWarmUpFrames = 120;  // the first keyframe and the rate control settle

std::string readExample(const char* name) {
    std::string text;
    FILE* file = std::fopen((std::string(VANTREL_BENCH_EXAMPLES "/") + name).c_str(), "rb");
    if (file == nullptr) std::abort();
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
        text.append(chunk, n);
    std::fclose(file);
    return text;
}

// The clock at frame n of a stream started at 09:05:00: a new second every 60 frames.
struct tm clockAt(long n) {
    struct tm t = {};
    t.tm_year = 126;
    t.tm_mday = 6;
    t.tm_hour = 9;
    t.tm_min = 5 + static_cast<int>(n / 3600 % 50);
    t.tm_sec = static_cast<int>(n / 60 % 60);
    return t;
}

void setUpDisplay() {
    static bool ready = false;
    if (ready) return;
    ready = true;
    av_log_set_level(AV_LOG_QUIET);
    if (!loadFontSlots(VANTREL_BENCH_FONT_DIR)) std::abort();
    buildHtaps();
    if (!allocateRenderBuffers() || !allocateImages()) std::abort();
}

// How a bench stream runs.
struct StreamRun {
    const char* example;  // the page shown, from examples/
    bool whole;           // convert every row of every frame, as a stream without the
                          // changed-row band would
    bool clockStill;      // the clock line never changes and page 50 has no lines to turn
                          // over: no row of any frame changes
    bool everyFrame;      // x264 and the AAC encoder for every frame (no skip pictures)
};

// Streams frames of the page an example shows.
void streamFrames(benchmark::State& state, const StreamRun& run) {
    setUpDisplay();
    presetPageModel();
    resetFrameState();
    repaintSolids();
    // Page 50's lines turn over in the lower display line every 120 frames;
    // a still frame has none (the store keeps pages from run to run).
    decodeMessage(run.clockStill ? R"({"pageData": {"pageNumber": 50, "lineCount": 0}})"
                                 : readExample("01-ldl-lines.json").c_str());
    decodeMessage(readExample(run.example).c_str());
    LiveEncoder enc;
    std::string error;
    if (!openLiveEncoder(enc, {H264Mode::kLive, 2500, false, true, false, true, run.everyFrame},
                         error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    // One output, whose queue is emptied as a writer would.
    PacketQueue& queue = outputs[0].queue;
    openPacketQueue(queue);
    output_count = 1;
    long n = 0;
    const auto frame = [&] {
        composeFrame(clockAt(run.clockStill ? 0 : n));
        noteChangedRows(enc, run.whole ? 0 : present_first_row,
                        run.whole ? kFrameRows : present_end_row);
        if (!encodeVideo(enc, win_present_buf, n, false, error) || !encodeAudio(enc, error))
            state.SkipWithError(error.c_str());
        discardPackets(queue);
        ++n;
    };
    for (int i = 0; i < kWarmUpFrames; ++i)
        frame();
    const int64_t skipsBefore = enc.skipPictures;
    for (auto _ : state)
        frame();
    // CPU seconds per frame over the 1/60 s a frame has.
    state.counters["x_period"] =
        benchmark::Counter(static_cast<double>(state.iterations()) / kFramesPerSecond,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    output_count = 0;
    // The share of frames that were skip pictures.
    state.counters["skipped"] = static_cast<double>(enc.skipPictures - skipsBefore) /
                                static_cast<double>(state.iterations());
    closePacketQueue(queue);
    closeLiveEncoder(enc);
}

void BM_StreamStillPage(benchmark::State& state) {
    streamFrames(state, {"02-front-page.json", state.range(0) != 0, false, false});
}
BENCHMARK(BM_StreamStillPage)->ArgName("whole")->Arg(0)->Arg(1)->MinTime(3.0);

// A frame in which no row changed (the clock stands still too), keyframes
// included, with the encoders run for every frame (skips:0) and with skip
// pictures and repeated silence (skips:1): the ratio comes from one run.
void BM_StreamUnchangedFrame(benchmark::State& state) {
    streamFrames(state, {"02-front-page.json", false, true, state.range(0) == 0});
}
BENCHMARK(BM_StreamUnchangedFrame)->ArgName("skips")->Arg(0)->Arg(1)->MinTime(3.0);

void BM_StreamRollingPage(benchmark::State& state) {
    streamFrames(state, {"05-rolling.json", false, false, false});
}
BENCHMARK(BM_StreamRollingPage)->MinTime(3.0);

// The baseline: a plain copy of one frame's bytes.
void BM_CopyFrameBytes(benchmark::State& state) {
    std::vector<uint32_t> src(kFramePixels, 0x123456u), dst(kFramePixels);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), kFramePixels * sizeof(uint32_t));
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_CopyFrameBytes);

void BM_ConvertWholeFrame(benchmark::State& state) {
    std::vector<uint32_t> frame(kFramePixels);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<uint32_t>(i * 2654435761u) & 0xFFFFFF;
    std::vector<uint8_t> y(kFramePixels), cb(kFramePixels / 4), cr(kFramePixels / 4);
    const YuvPlanes planes = {y.data(), cb.data(), cr.data(), kFrameWidth, kFrameWidth / 2};
    for (auto _ : state) {
        rgbToYuv420Rows(frame.data(), kFrameWidth, kFrameRows, 0, kFrameRows, planes);
        benchmark::DoNotOptimize(y.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_ConvertWholeFrame);

}  // namespace
