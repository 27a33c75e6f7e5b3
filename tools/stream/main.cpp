// vantrel-stream: takes display pages as the preview does and puts what the
// display shows on air: every frame composed by the preview's own frame code,
// 60 a second on the monotonic clock, encoded once and written to every
// output (recordings, playlists, network streams), until a stop, --duration
// or every output has failed.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
#include "tools/stream/health.h"
#include "tools/stream/intake.h"
#include "tools/stream/library_log.h"
#include "tools/stream/live_encoder.h"
#include "tools/stream/log.h"
#include "tools/stream/music.h"
#include "tools/stream/options.h"
#include "tools/stream/outputs.h"
#include "tools/stream/recording.h"
#include "tools/stream/status.h"
#include "tools/stream/target.h"

// ---------------------------------------------------------------------------
// Constants

constexpr const char* kProgram = "vantrel-stream";
constexpr int64_t kStopWithinMs = 5000;       // a stop ends the process within this
constexpr int64_t kWritersWithinMs = 4000;    // live outputs finish within this of the stop
constexpr int64_t kAbortGraceMs = 500;        // after which their blocking calls are broken off
constexpr int64_t kLogDrainMs = 300;          // the last lines get this long to be written
constexpr int64_t kSoundThroughFrames = 120;  // a jump of the beat this short keeps the sound going
constexpr int kMusicHeadStartMs = 2000;       // the longest wait for the first music at the start

// ---------------------------------------------------------------------------
// Globals

static volatile std::sig_atomic_t stop_signals = 0;  // SIGINT, SIGTERM or SIGHUP seen; onStop

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
    // A closed terminal or a service manager's hang-up ends the stream as a stop does.
    sigaction(SIGHUP, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);  // a dropped peer is an error return, not the end
    std::signal(SIGXFSZ, SIG_IGN);  // a file past the size limit fails its write, as a full disk
}

// A start failure: one line, status 1.
[[noreturn]] static void failStart(const std::string& line) {
    logLine(LogTo::kError, (std::string(kProgram) + ": " + line).c_str(), false);
    drainLog(netNowMs() + kLogDrainMs);
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

// The keys of --key-file join the rtmp outputs' URLs here, the first key
// the first such output's, and are never shown: every line names an output
// by its redacted name. Returns an exit status when they cannot.
static int addStreamKeys(StreamOptions& opts) {
    static std::string keyed[kMaxOutputOptions];  // the URLs with their keys, kept for the run
    size_t next = 0;
    for (size_t i = 0; i < opts.outputs.size() && next < opts.keyFiles.size(); ++i) {
        if (std::strncmp(opts.outputs[i], "rtmp", 4) != 0) continue;
        std::string why;
        bool badOption = false;
        if (!addStreamKey(opts.outputs[i], opts.keyFiles[next++], keyed[i], why, badOption)) {
            std::fprintf(stderr, "%s: %s\n", kProgram, why.c_str());
            return badOption ? 2 : 1;
        }
        opts.outputs[i] = keyed[i].c_str();
    }
    // A key left over with no rtmp output for it is fine only when empty (a
    // channel's unit hands every stream its key file, empty when it has none).
    for (; next < opts.keyFiles.size(); ++next) {
        std::string why, ignored;
        bool badOption = false;
        if (!addStreamKey("", opts.keyFiles[next], ignored, why, badOption)) {
            std::fprintf(stderr, "%s: %s\n", kProgram, why.c_str());
            return badOption ? 2 : 1;
        }
    }
    return 0;
}

// Sets up output i for -o name: its target, its shown name and its queue.
// Returns 2 for a name no container fits, 1 when it cannot start, else 0.
static int setUpOutput(Output& o, const char* name, const StreamOptions& opts) {
    o.name = name;
    redactUrl(name, o.shown, sizeof o.shown);
    const char* why = nullptr;
    if (!chooseTarget(name, opts.format, o.target, why)) {
        std::fprintf(stderr, "%s: -o %s: %s\n", kProgram, o.shown, why);
        return 2;
    }
    // A name's time fields must be ones that can be read back.
    std::string refusal;
    if (!checkRecordingOptions(o.target, 0, 0, refusal)) {
        std::fprintf(stderr, "%s: -o %s: %s\n", kProgram, o.shown, refusal.c_str());
        return 2;
    }
    if (!checkOutputPath(o.target, opts.overwrite, refusal)) {
        std::fprintf(stderr, "%s: %s\n", kProgram, refusal.c_str());
        return 1;
    }
    o.retries = opts.retries;
    return 0;
}

// A start that fails after count recordings were opened leaves none of them.
static void abandonRecordings(int count) {
    for (int i = 0; i < count; ++i) {
        StreamOutput& opened = outputs[i].opened;
        if (opened.format == nullptr) continue;
        std::string ignored;
        const std::string name = opened.name;
        closeStreamOutput(opened, false, ignored);
        if (outputs[i].target.kind == TargetKind::kFile) std::remove(name.c_str());
    }
}

// The frame loop on the beat. Returns when a stop or --duration ends it, or
// when every output has failed: true, or false when encoding failed.
static bool frameLoop(const StreamOptions& opts, LiveEncoder& enc) {
    struct tm start = {};
    if (opts.timeText != nullptr)
        parseLocalTime(opts.timeText, start);
    else
        start = localTimeNow();
    const DisplayClock clock = startDisplayClock(start, opts.clockRuns);
    const int64_t startNs = beatNowNs();
    std::string error;
    for (int64_t index = 0;; ++index) {
        if (opts.durationFrames > 0 && index >= opts.durationFrames) break;
        while (stop_signals == 0 && !sleepUntil(frameDueNs(startNs, index))) {
        }
        if (stop_signals != 0 || !anyOutputGoes()) break;
        const int64_t nowNs = beatNowNs();
        const BeatStep step = takeBeat(startNs, index, nowNs);
        // A jump past the end of --duration counts only the slots up to it.
        if (opts.durationFrames > 0 && step.index >= opts.durationFrames) {
            stream_status.skipped.fetch_add(opts.durationFrames - index);
            break;
        }
        bool ok = true;
        if (step.jumped > 0) {
            stream_status.skipped.fetch_add(step.jumped);
            // The sound goes on through a short jump (the picture stands
            // still); after a long one (a machine that slept) it starts again
            // at the present.
            if (step.jumped <= kSoundThroughFrames) {
                for (int64_t i = 0; i < step.jumped && ok; ++i)
                    ok = encodeAudio(enc, error);
            } else {
                restartAudio(enc, step.index);
            }
            index = step.index;
        }
        composeFrame(frameTime(opts, clock, index));
        noteChangedRows(enc, present_first_row, present_end_row);
        ok = ok && encodeVideo(enc, win_present_buf, index, false, error);
        stream_status.frames.fetch_add(1);
        ok = ok && encodeAudio(enc, error);
        if (!ok) {
            sayLine((std::string(kProgram) + ": " + error).c_str());
            return false;
        }
    }
    return true;
}

// The end: what the encoders hold goes out, every output finishes within
// the stop's time, the last lines and files are written. Returns the exit
// status.
static int endStream(LiveEncoder& enc, EncodedStreams& streams, const HealthFiles& files,
                     bool encoded) {
    const int64_t stopMs = netNowMs();
    std::string error;
    if (anyOutputGoes() && !flushLiveEncoder(enc, error))
        sayLine((std::string(kProgram) + ": " + error).c_str());
    stopOutputs(stopMs + kWritersWithinMs);
    bool writersEnded = waitForWriters(stopMs + kWritersWithinMs + kAbortGraceMs);
    if (!writersEnded) {
        for (int i = 0; i < output_count; ++i)
            outputs[i].bounds.abort.store(true);
        writersEnded = waitForWriters(stopMs + kStopWithinMs - kLogDrainMs);
    }
    writeFinalHealth(files);
    char summary[4096];
    formatSummary(summary, sizeof summary, netNowMs());
    logLine(LogTo::kError, (std::string(kProgram) + ": " + summary).c_str(), false);
    const int status = someOutputFailed() || !encoded ? 1 : 0;
    closeLiveEncoder(enc);
    // A writer that never ended may still hold its queue and the streams.
    if (writersEnded) {
        freeLiveStreams(streams);
        for (int i = 0; i < output_count; ++i)
            closePacketQueue(outputs[i].queue);
    }
    releaseFontSlots();
    releaseBuffers();
    drainLog(netNowMs() + kLogDrainMs);
    return status;
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
    output_count = static_cast<int>(opts.outputs.size());
    if (const int status = addStreamKeys(opts)) return status;
    for (int i = 0; i < output_count; ++i)
        if (const int status = setUpOutput(outputs[i], opts.outputs[i], opts)) return status;
    std::string refusal;
    int sayingWhich = -1;  // an output that takes --segment and --keep-for
    for (int i = 0; i < output_count; ++i)
        if (checkRecordingOptions(outputs[i].target, opts.segmentFrames, opts.keepForSeconds,
                                  refusal))
            sayingWhich = i;
    if ((opts.segmentFrames > 0 || opts.keepForSeconds > 0) && sayingWhich < 0) {
        std::fprintf(stderr, "%s: -o %s: %s\n", kProgram, outputs[0].shown, refusal.c_str());
        return 2;
    }
    recording_segment_frames = opts.segmentFrames;
    recording_keep_seconds = opts.keepForSeconds;
    struct tm ignored = {};
    if (opts.timeText != nullptr && !parseLocalTime(opts.timeText, ignored)) {
        std::fprintf(stderr, "%s: --time wants a local time \"YYYY-MM-DD HH:MM:SS\", not '%s'\n",
                     kProgram, opts.timeText);
        return 2;
    }

    captureLibraryLog();
    catchStops();
    const bool terminal = isatty(STDERR_FILENO) != 0;
    presetPageModel();
    feed_allowed = opts.allowed;
    if (!loadFontSlots(opts.fontDir))
        failStart(std::string("no FONT01.tiga..FONT07.tiga in '") + opts.fontDir +
                  "'; point --fonts at a font folder (build/fonts)");
    std::string error;
    if (!checkMusic(opts.music, error)) failStart(error);
    // The port is ours before anything goes on air; a taken one ends the start.
    char address[16];
    formatIpv4(opts.listenAddress, address, sizeof address);
    NetSocket listenSock = kNoSocket;
    const char* failedCall = nullptr;
    int code = 0;
    if (!tryOpenListener(opts.listenAddress, opts.listenPort, listenSock, failedCall, code)) {
        char buffer[256];
        std::string text = netErrorText(code, buffer, sizeof buffer);
        if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z')
            text[0] = static_cast<char>(text[0] - 'A' + 'a');  // it goes on a sentence
        failStart("cannot take pages on " + std::string(address) + ":" +
                  std::to_string(opts.listenPort) + ": " + text +
                  (code == EADDRINUSE ? " (another stream or preview? --listen picks another port)"
                                      : ""));
    }
    buildHtaps();
    if (!allocateRenderBuffers() || !allocateImages())
        failStart("out of memory for the frame buffers");

    // One encode for every output: parameter sets up front, which files and
    // platforms want; MPEG-TS and HLS repeat them before each keyframe.
    const LiveSettings settings = {opts.lossless ? H264Mode::kLossless : H264Mode::kLive,
                                   opts.bitrateKbits,
                                   opts.aspect43,
                                   opts.audio,
                                   !opts.music.empty(),
                                   true,
                                   std::getenv("VANTREL_STREAM_EVERY_FRAME") != nullptr};
    static LiveEncoder enc;
    static EncodedStreams streams;
    if (!openLiveEncoder(enc, settings, error)) failStart(error);
    if (!describeLiveStreams(enc, streams)) failStart("out of memory for the stream description");
    const int64_t startMs = netNowMs();
    for (int i = 0; i < output_count; ++i) {
        Output& o = outputs[i];
        if (!openPacketQueue(o.queue)) failStart("out of memory for the packet queue");
        startOutputStatus(o.status, startMs);
        // A recording that cannot be opened is a start failure that leaves nothing.
        if (isLocalFile(o.target)) {
            o.bounds.deadlineMs.store(netNowMs() + kConnectTimeoutMs);
            if (!openStreamOutput(o.opened, o.target, streams, o.bounds, error)) {
                abandonRecordings(i);
                failStart("cannot write " + std::string(o.shown) + ": " + error);
            }
        }
    }

    // From here on no line waits for whoever reads the log.
    if (!startLog(terminal && !opts.quiet)) failStart("cannot start the log thread");
    if (!startIntake(listenSock, opts.trace)) failStart("cannot start the page intake thread");
    repaintSolids();
    startStatus(terminal, opts.quiet, startMs);
    sayLine((std::string(kProgram) + ": taking pages on " + address + ":" +
             std::to_string(feed_bound_port.load()))
                .c_str());
    if (opts.listenAddress == kAnyAddress && opts.allowed.count == 0)
        sayLine((std::string(kProgram) + ": warning: anyone who reaches this machine's port " +
                 std::to_string(feed_bound_port.load()) +
                 " can put pages on air; --allow NET/BITS names the senders")
                    .c_str());
    if (!startWriters(streams)) failStart("cannot start the writer threads");
    const HealthFiles files = {opts.statusFile, opts.metricsFile, opts.channel};
    if (!startMonitor(files)) failStart("cannot start the monitor thread");
    if (!opts.music.empty()) {
        if (!startMusic(opts.music)) failStart("cannot start the music thread");
        waitForMusic(kMusicHeadStartMs);
    }

    const bool encoded = frameLoop(opts, enc);
    return endStream(enc, streams, files, encoded);
}
