#include "tools/stream/writer.h"

extern "C" {
#include <libavcodec/packet.h>
#include <libavutil/error.h>
}

#include <cerrno>

#include <chrono>
#include <random>
#include <thread>

#include "feed/net.h"
#include "tools/stream/library_log.h"
#include "tools/stream/outputs.h"
#include "tools/stream/status.h"

// ---------------------------------------------------------------------------
// Constants

constexpr double kRetryGrowth = 1.5;
constexpr int kPopWaitMs = 200;      // a pop gives up this soon, to look at the stop
constexpr int kDiscardWaitMs = 100;  // how often the queue is emptied while away
constexpr int kLogLineSize = 512;

// ---------------------------------------------------------------------------
// Internal helpers

static bool stopping(const Output& o) {
    return o.stopDeadlineMs.load() != 0;
}

// Bounds the next blocking call: by the time-out, and by the stop's deadline.
static void boundNextCall(Output& o, int64_t timeoutMs) {
    int64_t deadline = netNowMs() + timeoutMs;
    const int64_t stop = o.stopDeadlineMs.load();
    if (stop != 0 && stop < deadline) deadline = stop;
    o.bounds.deadlineMs.store(deadline);
}

// Empties the queue until atMs or a stop: the frame thread goes on encoding
// while the output is away, and what it makes cannot be sent late.
static void discardUntil(Output& o, int64_t atMs) {
    while (!stopping(o) && netNowMs() < atMs) {
        o.status.dropped.fetch_add(discardPackets(o.queue));
        std::this_thread::sleep_for(std::chrono::milliseconds(kDiscardWaitMs));
    }
    o.status.dropped.fetch_add(discardPackets(o.queue));
}

// Gives up for good: a recording that cannot be written, or no retries left.
// The queue is closed for the frame thread, which then skips this output.
static void giveUp(Output& o, const std::string& why) {
    changeState(o.status, o.shown, OutputState::kFailed, why.c_str(), netNowMs());
    o.failed.store(true);
    discardPackets(o.queue);
}

// After a failed attempt or a lost connection (code and early as
// describeFailure takes them): says why, waits (emptying the queue), and
// tells whether to try again.
static bool waitToRetry(Output& o, int code, bool early, const std::string& error, int failures,
                        std::mt19937& random) {
    char logged[kLogLineSize];
    lastLibraryError(logged, sizeof logged);
    bool mendable = true;
    // Only a server refuses: a disk that fails early is a disk that fails.
    const bool network = o.target.kind == TargetKind::kNetwork;
    std::string why = describeFailure(code, early && network, error, logged, mendable);
    hideSecrets(o.target.url, why);
    if (!network) {
        giveUp(o, why);
        return false;
    }
    if (o.retries >= 0 && failures > o.retries) {
        giveUp(o, why + "; gave up after " + std::to_string(o.retries) + " retries");
        return false;
    }
    std::uniform_real_distribution<double> jitter(-0.1, 0.1);
    const int64_t wait = mendable ? retryWaitMs(failures, jitter(random)) : kLastRetryMs;
    o.status.retryAtMs.store(netNowMs() + wait);
    changeState(o.status, o.shown, OutputState::kRetrying, why.c_str(), netNowMs());
    discardUntil(o, netNowMs() + wait);
    return !stopping(o);
}

// Writes packets until the queue ends (true) or the output fails (false,
// with the reason in error).
static bool writeUntilEnd(Output& o, StreamOutput& out, std::string& error) {
    AVPacket* packet = av_packet_alloc();
    if (packet == nullptr) {
        error = "out of memory for packets";
        return false;
    }
    bool ok = true;
    for (;;) {
        PacketKind kind;
        bool ended = false;
        if (!popPacket(o.queue, packet, kind, kPopWaitMs, &ended)) {
            if (ended || (stopping(o) && netNowMs() >= o.stopDeadlineMs.load())) break;
            continue;
        }
        boundNextCall(o, kWriteTimeoutMs);
        bool dropped = false;
        int bytes = 0;
        if (!writeStreamPacket(out, packet, kind, dropped, bytes, error)) {
            ok = false;
            break;
        }
        if (dropped) o.status.dropped.fetch_add(1);
        o.status.bytes.fetch_add(bytes);
        o.status.lastWriteMs.store(netNowMs());
    }
    av_packet_free(&packet);
    return ok;
}

static void writerMain(Output* output, const EncodedStreams* streams) {
    Output& o = *output;
    std::mt19937 random(std::random_device{}());
    StreamOutput out = o.opened;
    int failures = 0;
    int connections = 0;
    for (;;) {
        std::string error;
        if (out.format == nullptr) {
            if (stopping(o)) break;
            changeState(o.status, o.shown, OutputState::kConnecting, nullptr, netNowMs());
            clearLibraryError();
            boundNextCall(o, kConnectTimeoutMs);
            if (!openStreamOutput(out, o.target, *streams, o.bounds, error)) {
                if (!waitToRetry(o, out.failure, true, error, ++failures, random)) break;
                continue;
            }
        }
        if (connections++ > 0) o.status.reconnects.fetch_add(1);
        // A connection starts now, at the next keyframe: nothing older is sent.
        o.status.dropped.fetch_add(discardPackets(o.queue));
        o.status.lastWriteMs.store(netNowMs());
        changeState(o.status, o.shown, OutputState::kLive, nullptr, netNowMs());
        const int64_t liveSince = netNowMs();
        clearLibraryError();
        if (writeUntilEnd(o, out, error)) {
            changeState(o.status, o.shown, OutputState::kStopping, nullptr, netNowMs());
            boundNextCall(o, kWriteTimeoutMs);
            if (!closeStreamOutput(out, true, error))
                giveUp(o, error);
            else
                changeState(o.status, o.shown, OutputState::kEnded, nullptr, netNowMs());
            break;
        }
        std::string ignored;
        closeStreamOutput(out, false, ignored);
        const int64_t liveMs = netNowMs() - liveSince;
        if (liveMs >= kSteadyLiveMs) failures = 0;
        if (stopping(o) ||
            !waitToRetry(o, out.failure, liveMs < kRefusedWithinMs, error, ++failures, random))
            break;
    }
    std::string ignored;
    closeStreamOutput(out, false, ignored);
    if (!o.failed.load()) changeState(o.status, o.shown, OutputState::kEnded, nullptr, netNowMs());
    o.done.store(true);
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

std::string describeFailure(int code, bool early, const std::string& error,
                            const std::string& logged, bool& mendable) {
    mendable = true;
    const auto logs = [&](const char* words) { return logged.find(words) != std::string::npos; };
    const bool closed = code == AVERROR(EIO) || code == AVERROR_EOF ||
                        code == AVERROR(ECONNRESET) || code == AVERROR(EPIPE);
    // The resolver's answer, which the TCP layer logs before it gives up.
    if (logs("Failed to resolve hostname")) {
        mendable = false;
        return "unknown host; check the URL (" + logged + ")";
    }
    // The server's own no: an RTMP error status (FFmpeg logs it as "Server
    // error: ", the description or the status code after it), an HTTP 401 or
    // 403, or a hang-up as the stream is published.
    const bool rtmpRefused = logs("Server error:") || logs("NetStream.Publish.BadName") ||
                             logs("NetStream.Publish.Rejected") ||
                             logs("NetConnection.Connect.Rejected") || logs("Unauthorized");
    const bool httpRefused = code == AVERROR_HTTP_UNAUTHORIZED || code == AVERROR_HTTP_FORBIDDEN;
    if (rtmpRefused || httpRefused) {
        mendable = false;
        return "the server refused the stream; check the stream key (" +
               (logged.empty() ? error : logged) + ")";
    }
    if (closed && early && logged.empty()) {
        mendable = false;
        return "the server refused the stream; check the stream key (it hung up as the stream "
               "began)";
    }
    if (code == AVERROR_EXIT || code == AVERROR(ETIMEDOUT)) return "no answer in time";
    if (code == AVERROR(ECONNREFUSED)) return "connection refused (is the server running?)";
    if (code == AVERROR(ENETUNREACH) || code == AVERROR(EHOSTUNREACH))
        return "the network does not reach the server (" + (logged.empty() ? error : logged) + ")";
    if (closed) return "the server closed the connection";
    return error.empty() ? logged : error;
}

bool startWriter(Output& output, const EncodedStreams& streams) {
    try {
        std::thread(writerMain, &output, &streams).detach();
    } catch (...) {
        return false;
    }
    return true;
}
