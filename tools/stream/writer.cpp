#include "tools/stream/writer.h"

extern "C" {
#include <libavcodec/packet.h>
}

#include <chrono>
#include <random>
#include <thread>

#include "feed/net.h"
#include "tools/stream/library_log.h"
#include "tools/stream/status.h"

// ---------------------------------------------------------------------------
// Constants

constexpr double kRetryGrowth = 1.5;
constexpr int kPopWaitMs = 200;      // a pop gives up this soon, to look at the stop
constexpr int kDiscardWaitMs = 100;  // how often the queue is emptied while away
constexpr int kLogLineSize = 512;

// ---------------------------------------------------------------------------
// Globals

std::atomic<bool> keyframe_wanted{false};  // writer sets, frame thread takes
std::atomic<bool> writer_failed{false};    // writer sets once
std::atomic<bool> writer_done{false};      // writer sets once

static std::atomic<int64_t> stop_deadline_ms{0};  // 0 until finishWriter; set by the frame thread
static WriterSetup* writer_setup = nullptr;       // the writer's own from startWriter on

// ---------------------------------------------------------------------------
// Internal helpers

static bool stopping() {
    return stop_deadline_ms.load() != 0;
}

// Bounds the next blocking call: by the time-out, and by the stop's deadline.
static void boundNextCall(int64_t timeoutMs) {
    int64_t deadline = netNowMs() + timeoutMs;
    const int64_t stop = stop_deadline_ms.load();
    if (stop != 0 && stop < deadline) deadline = stop;
    output_deadline_ms.store(deadline);
}

// Empties the queue until atMs or a stop: the frame thread goes on encoding
// while the output is away, and what it makes cannot be sent late.
static void discardUntil(PacketQueue& queue, int64_t atMs) {
    while (!stopping() && netNowMs() < atMs) {
        stream_status.dropped.fetch_add(discardPackets(queue));
        std::this_thread::sleep_for(std::chrono::milliseconds(kDiscardWaitMs));
    }
    stream_status.dropped.fetch_add(discardPackets(queue));
}

// Gives up for good: a recording that cannot be written, or no retries left.
static void giveUp(const std::string& why) {
    changeState(OutputState::kFailed, why.c_str(), netNowMs());
    writer_failed.store(true);
}

// After a failed attempt or a lost connection: says why, waits (emptying
// the queue), and tells whether to try again.
static bool waitToRetry(const WriterSetup& setup, const std::string& error, int failures,
                        std::mt19937& random) {
    char logged[kLogLineSize];
    lastLibraryError(logged, sizeof logged);
    bool mendable = true;
    const std::string why = describeFailure(error, logged, mendable);
    if (setup.target->kind != TargetKind::kNetwork) {
        giveUp(why);
        return false;
    }
    if (setup.retries >= 0 && failures > setup.retries) {
        giveUp(why + "; gave up after " + std::to_string(setup.retries) + " retries");
        return false;
    }
    std::uniform_real_distribution<double> jitter(-0.1, 0.1);
    const int64_t wait = mendable ? retryWaitMs(failures, jitter(random)) : kLastRetryMs;
    stream_status.retryAtMs.store(netNowMs() + wait);
    changeState(OutputState::kRetrying, why.c_str(), netNowMs());
    discardUntil(*setup.queue, netNowMs() + wait);
    return !stopping();
}

// Writes packets until the queue ends (true) or the output fails (false,
// with the reason in error).
static bool writeUntilEnd(WriterSetup& setup, StreamOutput& out, std::string& error) {
    AVPacket* packet = av_packet_alloc();
    if (packet == nullptr) {
        error = "out of memory for packets";
        return false;
    }
    bool ok = true;
    for (;;) {
        PacketKind kind;
        bool ended = false;
        if (!popPacket(*setup.queue, packet, kind, kPopWaitMs, &ended)) {
            if (ended || (stopping() && netNowMs() >= stop_deadline_ms.load())) break;
            continue;
        }
        boundNextCall(kWriteTimeoutMs);
        bool dropped = false;
        int bytes = 0;
        if (!writeStreamPacket(out, packet, kind, dropped, bytes, error)) {
            ok = false;
            break;
        }
        if (dropped) stream_status.dropped.fetch_add(1);
        stream_status.bytes.fetch_add(bytes);
    }
    av_packet_free(&packet);
    return ok;
}

static void writerMain() {
    WriterSetup& setup = *writer_setup;
    std::mt19937 random(std::random_device{}());
    StreamOutput out = setup.opened;
    int failures = 0;
    int connections = 0;
    for (;;) {
        std::string error;
        if (out.format == nullptr) {
            if (stopping()) break;
            changeState(OutputState::kConnecting, nullptr, netNowMs());
            clearLibraryError();
            boundNextCall(kConnectTimeoutMs);
            if (!openStreamOutput(out, *setup.target, *setup.streams, error)) {
                if (!waitToRetry(setup, error, ++failures, random)) break;
                continue;
            }
        }
        if (connections++ > 0) stream_status.reconnects.fetch_add(1);
        // A connection starts now, with a keyframe: nothing older is sent.
        stream_status.dropped.fetch_add(discardPackets(*setup.queue));
        keyframe_wanted.store(true);
        changeState(OutputState::kLive, nullptr, netNowMs());
        const int64_t liveSince = netNowMs();
        clearLibraryError();
        if (writeUntilEnd(setup, out, error)) {
            changeState(OutputState::kStopping, nullptr, netNowMs());
            boundNextCall(kWriteTimeoutMs);
            if (!closeStreamOutput(out, true, error)) giveUp(error);
            break;
        }
        std::string ignored;
        closeStreamOutput(out, false, ignored);
        if (netNowMs() - liveSince >= kSteadyLiveMs) failures = 0;
        if (stopping() || !waitToRetry(setup, error, ++failures, random)) break;
    }
    std::string ignored;
    closeStreamOutput(out, false, ignored);
    writer_done.store(true);
}

// ---------------------------------------------------------------------------
// Public functions

int64_t retryWaitMs(int failures, double jitter) {
    double wait = kFirstRetryMs;
    for (int i = 1; i < failures && wait < kLastRetryMs; ++i)
        wait *= kRetryGrowth;
    if (wait > kLastRetryMs) wait = kLastRetryMs;
    // The spread comes after the cap, and what it would carry past the cap
    // is folded back below it: no wait exceeds the cap, and channels waiting
    // at the cap still knock at different times.
    wait *= 1.0 + jitter;
    if (wait > kLastRetryMs) wait = 2.0 * kLastRetryMs - wait;
    return static_cast<int64_t>(wait);
}

std::string describeFailure(const std::string& error, const std::string& logged, bool& mendable) {
    mendable = true;
    const auto says = [&](const char* text) {
        return error.find(text) != std::string::npos || logged.find(text) != std::string::npos;
    };
    if (says("resolve") || says("Name or service not known") || says("No address associated")) {
        mendable = false;
        return "unknown host; check the URL (" + (logged.empty() ? error : logged) + ")";
    }
    if (says("Server error") || says("BadName") || says("Rejected") || says("Unauthorized") ||
        says("403")) {
        mendable = false;
        return "the server refused the stream; check the stream key (" +
               (logged.empty() ? error : logged) + ")";
    }
    if (says("Immediate exit requested") || says("timed out")) return "no answer in time";
    if (says("Connection refused")) return "connection refused (is the server running?)";
    if (says("Connection reset") || says("Broken pipe") || says("End of file"))
        return "the server closed the connection";
    return error.empty() ? logged : error;
}

bool startWriter(WriterSetup& setup) {
    writer_setup = &setup;
    stop_deadline_ms.store(0);
    writer_done.store(false);
    writer_failed.store(false);
    try {
        std::thread(writerMain).detach();
    } catch (...) {
        return false;
    }
    return true;
}

void finishWriter(int64_t deadlineMs) {
    stop_deadline_ms.store(deadlineMs);
}

bool waitForWriter(int64_t deadlineMs) {
    while (!writer_done.load()) {
        if (netNowMs() >= deadlineMs) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
