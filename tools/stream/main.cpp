// vantrel-stream: takes display pages as the preview does and puts what the
// display shows on air: every frame composed by the preview's own frame code,
// 60 a second on the monotonic clock, encoded live to a recording or a
// network stream, until a stop, --duration or a recording that fails.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "app/buffers.h"
#include "app/canvas.h"
#include "app/frame.h"
#include "app/platform.h"
#include "feed/listener.h"
#include "feed/net.h"
#include "fonts/tiga_font.h"
#include "model/page_model.h"
#include "render/resample.h"
#include "tools/common/display_clock.h"
#include "tools/stream/beat.h"
#include "tools/stream/console.h"
#include "tools/stream/health.h"
#include "tools/stream/library_log.h"
#include "tools/stream/live_encoder.h"
#include "tools/stream/music.h"
#include "tools/stream/options.h"
#include "tools/stream/status.h"
#include "tools/stream/target.h"
#include "tools/stream/writer.h"

// ---------------------------------------------------------------------------
// Constants

constexpr const char* kProgram = "vantrel-stream";
constexpr int64_t kStopWithinMs = 5000;              // a stop closes the output within this
constexpr int64_t kReportEveryNs = kNanosPerSecond;  // the status line's pace
constexpr size_t kUrlShown = 512;                    // room for the output's name in a log
constexpr int kMusicHeadStartMs = 2000;  // the longest wait for the first music at the start

// ---------------------------------------------------------------------------
// Globals

static volatile std::sig_atomic_t stop_signals = 0;  // SIGINT and SIGTERM seen; set by onStop

// ---------------------------------------------------------------------------
// Internal helpers

// The first stop signal asks for a proper end; the second ends at once.
static void onStop(int sig) {
    if (stop_signals > 0) {
        std::signal(sig, SIG_DFL);
        std::raise(sig);
        return;
    }
    stop_signals = 1;
}

static void catchStops() {
    struct sigaction action = {};
    action.sa_handler = onStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);  // a dropped peer is an error return, not the end
}

// A start failure: one line, status 1.
[[noreturn]] static void failStart(const std::string& line) {
    std::fprintf(stderr, "%s: %s\n", kProgram, line.c_str());
    std::exit(1);
}

// The time the clock line shows for frame index.
static struct tm frameTime(const StreamOptions& opts, const DisplayClock& clock, int64_t index) {
    if (opts.timeText != nullptr || !opts.clockRuns)
        return displayClockAt(clock, static_cast<long>(index));
    return localTimeNow();
}

static bool isLocalFile(const StreamTarget& target) {
    return target.kind != TargetKind::kNetwork;
}

// What the output is called in the stream's lines: a recording as named, a
// network URL without its stream key.
static std::string shownName(const char* url) {
    char text[kUrlShown];
    redactUrl(url, text, sizeof text);
    return text;
}

// The frame loop on the beat. Returns when a stop, --duration or the writer
// ends it.
static void frameLoop(const StreamOptions& opts, LiveEncoder& enc, PacketQueue& queue) {
    struct tm start = {};
    if (opts.timeText != nullptr)
        parseLocalTime(opts.timeText, start);
    else
        start = localTimeNow();
    const DisplayClock clock = startDisplayClock(start, opts.clockRuns);
    const int64_t startNs = beatNowNs();
    int64_t nextReportNs = startNs;
    std::string error;
    for (int64_t index = 0;; ++index) {
        if (opts.durationFrames > 0 && index >= opts.durationFrames) break;
        while (stop_signals == 0 && !writer_failed.load() &&
               !sleepUntil(frameDueNs(startNs, index))) {
        }
        if (stop_signals != 0 || writer_failed.load()) break;
        const int64_t nowNs = beatNowNs();
        const BeatStep step = takeBeat(startNs, index, nowNs);
        if (step.jumped > 0) {
            stream_status.skipped.fetch_add(step.jumped);
            index = step.index;
            restartAudio(enc, index);
        }
        composeFrame(frameTime(opts, clock, index));
        noteChangedRows(enc, present_first_row, present_end_row);
        int64_t dropped = 0;
        bool ok = true;
        if (step.encode) {
            ok = encodeVideo(enc, win_present_buf, index, keyframe_wanted.exchange(false), queue,
                             dropped, error);
            stream_status.frames.fetch_add(1);
        } else {
            stream_status.skipped.fetch_add(1);
        }
        ok = ok && encodeAudio(enc, queue, error);
        stream_status.dropped.fetch_add(dropped);
        if (!ok) {
            sayLine((std::string(kProgram) + ": " + error).c_str());
            break;
        }
        if (nowNs >= nextReportNs) {
            reportStatus(nowNs / 1000000);
            nextReportNs += kReportEveryNs;
            if (nextReportNs < nowNs) nextReportNs = nowNs + kReportEveryNs;
        }
    }
}

// ---------------------------------------------------------------------------
// main

int main(int argc, char** argv) {
    StreamOptions opts;
    switch (parseStreamOptions(argc, argv, opts, stderr)) {
        case ParseOutcome::kHelp:
            printStreamUsage(stdout);
            return 0;
        case ParseOutcome::kError:
            return 2;
        case ParseOutcome::kRun:
            break;
    }
    StreamTarget target;
    const char* why = nullptr;
    if (!chooseTarget(opts.output, opts.format, target, why)) {
        std::fprintf(stderr, "%s: -o %s: %s\n", kProgram, opts.output, why);
        return 2;
    }
    struct tm ignored = {};
    if (opts.timeText != nullptr && !parseLocalTime(opts.timeText, ignored)) {
        std::fprintf(stderr, "%s: --time wants a local time \"YYYY-MM-DD HH:MM:SS\", not '%s'\n",
                     kProgram, opts.timeText);
        return 2;
    }
    if (isLocalFile(target) && !opts.overwrite && access(opts.output, F_OK) == 0)
        failStart(std::string(opts.output) + " exists; -y replaces it");

    captureLibraryLog();
    catchStops();
    keepOutputAboveStatus(!opts.quiet && isatty(STDERR_FILENO) != 0);
    presetPageModel();
    feed_allowed = opts.allowed;
    if (!loadFontSlots(opts.fontDir))
        failStart(std::string("no FONT01.tiga..FONT07.tiga in '") + opts.fontDir +
                  "'; point --fonts at a font folder (build/fonts)");
    std::string error;
    if (!checkMusic(opts.music, error)) failStart(error);
    // The port is ours before anything goes on air; a taken one ends the start.
    const NetSocket listenSock = openListener(opts.listenAddress, opts.listenPort);
    buildHtaps();
    if (!allocateRenderBuffers() || !allocateImages())
        failStart("out of memory for the frame buffers");

    const bool globalHeader =
        std::string(target.muxer) != "mpegts" && std::string(target.muxer) != "hls";
    const LiveSettings settings = {opts.lossless ? H264Mode::kLossless : H264Mode::kLive,
                                   opts.bitrateKbits,
                                   opts.aspect43,
                                   opts.audio,
                                   !opts.music.empty(),
                                   globalHeader,
                                   std::getenv("VANTREL_STREAM_EVERY_FRAME") != nullptr};
    static LiveEncoder enc;
    static EncodedStreams streams;
    if (!openLiveEncoder(enc, settings, error)) failStart(error);
    if (!describeLiveStreams(enc, streams)) failStart("out of memory for the stream description");
    static PacketQueue queue;
    if (!openPacketQueue(queue)) failStart("out of memory for the packet queue");

    // A recording that cannot be opened is a start failure that leaves nothing.
    static WriterSetup setup = {&target, &streams, &queue, opts.retries, {}};
    const std::string shown = shownName(opts.output);
    if (isLocalFile(target)) {
        output_deadline_ms.store(netNowMs() + kConnectTimeoutMs);
        if (!openStreamOutput(setup.opened, target, streams, error)) {
            if (target.kind == TargetKind::kFile) std::remove(opts.output);
            failStart("cannot write " + shown + ": " + error);
        }
    }

    tcpServeOn(listenSock);
    repaintSolids();
    startStatus(stderr, isatty(STDERR_FILENO) != 0, opts.quiet, shown.c_str(), netNowMs());
    if (!opts.quiet) {
        char address[16];
        formatIpv4(opts.listenAddress, address, sizeof address);
        sayLine((std::string(kProgram) + ": taking pages on " + address + ":" +
                 std::to_string(feed_bound_port.load()))
                    .c_str());
    }
    if (!startWriter(setup)) failStart("cannot start the writer thread");
    if (opts.statusFile != nullptr && !startHealth(opts.statusFile))
        failStart("cannot start the status thread");
    if (!opts.music.empty()) {
        if (!startMusic(opts.music)) failStart("cannot start the music thread");
        waitForMusic(kMusicHeadStartMs);
    }

    frameLoop(opts, enc, queue);

    // The end: what the encoders hold goes out, then the output is finished.
    const int64_t deadline = netNowMs() + kStopWithinMs;
    int64_t dropped = 0;
    if (!writer_failed.load() && !flushLiveEncoder(enc, queue, dropped, error))
        sayLine((std::string(kProgram) + ": " + error).c_str());
    stream_status.dropped.fetch_add(dropped);
    endPacketQueue(queue);
    finishWriter(deadline);
    bool writerEnded = waitForWriter(deadline + 500);
    if (!writerEnded) {
        output_abort.store(true);
        writerEnded = waitForWriter(deadline + 1500);
    }
    if (!writer_failed.load()) changeState(OutputState::kEnded, nullptr, netNowMs());
    if (opts.statusFile != nullptr) {
        std::string ignored;
        writeHealth(opts.statusFile, ignored);
    }
    char summary[256];
    formatSummary(summary, sizeof summary, netNowMs());
    sayLine((std::string(kProgram) + ": " + summary).c_str());
    closeLiveEncoder(enc);
    // A writer that never ended may still hold the queue and the streams.
    if (writerEnded) {
        freeLiveStreams(streams);
        closePacketQueue(queue);
    }
    releaseFontSlots();
    releaseBuffers();
    return writer_failed.load() ? 1 : 0;
}
