#include "tools/stream/status.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "tools/stream/log.h"
#include "tools/stream/outputs.h"

// ---------------------------------------------------------------------------
// Constants

constexpr const char* kProgram = "vantrel-stream";
constexpr int64_t kLogSummaryMs = 60000;  // a summary line a minute in a log
constexpr int kLineSize = 256;

// ---------------------------------------------------------------------------
// Globals

StreamStatus stream_status;  // counters: see each field for its writer

static bool status_terminal = false;   // standard error is a terminal: one line in place
static bool status_quiet = false;      // no status line, no summary a minute
static int64_t last_summary_ms = 0;    // monitor's own: the last summary in a log
static int64_t last_frames = -1;       // monitor's own: the frame count it saw last

// ---------------------------------------------------------------------------
// Internal helpers

static bool isLive(const OutputStatus& s) {
    return s.state.load() == static_cast<int>(OutputState::kLive);
}

// One more second of an output's bytes; the rate over the last whole window.
static void measureRate(OutputStatus& s) {
    if (!isLive(s)) {
        s.rateCount = 0;
        s.kbits.store(0);
        return;
    }
    for (int i = kRateSamples - 1; i > 0; --i)
        s.rateBytes[i] = s.rateBytes[i - 1];
    s.rateBytes[0] = s.bytes.load();
    if (s.rateCount < kRateSamples) ++s.rateCount;
    // Only a whole window counts: the first seconds after a connection carry
    // whatever had queued up, which is no rate at all.
    if (s.rateCount == kRateSamples)
        s.kbits.store((s.rateBytes[0] - s.rateBytes[kRateSamples - 1]) * 8 / kRateWindowMs);
}

static void noteFrames(int64_t nowMs) {
    const int64_t frames = stream_status.frames.load() + stream_status.skipped.load();
    if (frames != last_frames) {
        last_frames = frames;
        stream_status.framesMovedMs.store(nowMs);
    }
    stream_status.frozen.store(nowMs - stream_status.framesMovedMs.load() >= kFrozenAfterMs);
}

// "on air 1:02:03" and the stream's own counters.
static int formatStreamPart(char* out, size_t size, int64_t nowMs) {
    const int64_t seconds = (nowMs - stream_status.startedMs.load() + 500) / 1000;
    int64_t dropped = 0, reconnects = 0, kbits = 0;
    for (int i = 0; i < output_count; ++i) {
        dropped += outputs[i].status.dropped.load();
        reconnects += outputs[i].status.reconnects.load();
        kbits += outputs[i].status.kbits.load();
    }
    return std::snprintf(out, size,
                         "on air %lld:%02lld:%02lld  frames %lld  skipped %lld  dropped %lld  "
                         "reconnects %lld  %lld kbit/s",
                         static_cast<long long>(seconds / 3600),
                         static_cast<long long>(seconds / 60 % 60),
                         static_cast<long long>(seconds % 60),
                         static_cast<long long>(stream_status.frames.load()),
                         static_cast<long long>(stream_status.skipped.load()),
                         static_cast<long long>(dropped), static_cast<long long>(reconnects),
                         static_cast<long long>(kbits));
}

// An output's state as the summary gives it: "live", "retrying in 4 s".
static void formatState(const OutputStatus& s, char* out, size_t size, int64_t nowMs) {
    const OutputState state = shownState(s, nowMs);
    if (state == OutputState::kRetrying) {
        const int64_t wait = s.retryAtMs.load() - nowMs;
        std::snprintf(out, size, "retrying in %lld s",
                      static_cast<long long>(wait > 0 ? (wait + 500) / 1000 : 0));
    } else {
        std::snprintf(out, size, "%s", stateName(state));
    }
}

// ---------------------------------------------------------------------------
// Public functions

const char* stateName(OutputState state) {
    switch (state) {
        case OutputState::kConnecting:
            return "connecting";
        case OutputState::kLive:
            return "live";
        case OutputState::kRetrying:
            return "retrying";
        case OutputState::kStopping:
            return "stopping";
        case OutputState::kFailed:
            return "failed";
        case OutputState::kEnded:
            return "ended";
        case OutputState::kStalled:
            return "stalled";
        case OutputState::kFrozen:
            return "frozen";
    }
    return "?";
}

void startStatus(bool terminal, bool quiet, int64_t nowMs) {
    status_terminal = terminal && !quiet;
    status_quiet = quiet;
    last_summary_ms = nowMs;
    stream_status.startedMs.store(nowMs);
    stream_status.framesMovedMs.store(nowMs);
}

void startOutputStatus(OutputStatus& s, int64_t nowMs) {
    s.state.store(static_cast<int>(OutputState::kConnecting));
    s.stateSinceMs.store(nowMs);
    s.notLiveSinceMs.store(nowMs);
    s.lastWriteMs.store(nowMs);
}

void changeState(OutputStatus& s, const char* shown, OutputState state, const char* why,
                 int64_t nowMs) {
    const OutputState before = static_cast<OutputState>(s.state.load());
    if (before != state) s.stateSinceMs.store(nowMs);
    if (state == OutputState::kLive) {
        s.everLive.store(true);
        s.lastWriteMs.store(nowMs);
    } else if (before == OutputState::kLive) {
        s.notLiveSinceMs.store(nowMs);
    }
    {
        std::lock_guard<std::mutex> hold(s.textLock);
        if (why != nullptr) {
            std::snprintf(s.why, sizeof s.why, "%s", why);
            std::snprintf(s.lastFailure, sizeof s.lastFailure, "%s", why);
            s.lastFailureAt = static_cast<int64_t>(std::time(nullptr));
        } else if (state == OutputState::kLive || state == OutputState::kConnecting) {
            s.why[0] = '\0';  // working again, or trying: no failure now
        }
    }
    // Set last: whoever reads a live state finds the failure gone already.
    s.state.store(static_cast<int>(state));
    char line[kLineSize + kShownNameSize + kErrorTextSize];
    switch (state) {
        case OutputState::kConnecting:
            std::snprintf(line, sizeof line, "%s: connecting to %s", kProgram, shown);
            break;
        case OutputState::kLive:
            std::snprintf(line, sizeof line, "%s: %s %s", kProgram,
                          s.reconnects.load() > 0 ? "reconnected to" : "live on", shown);
            break;
        case OutputState::kRetrying: {
            const int64_t wait = s.retryAtMs.load() - nowMs;
            std::snprintf(line, sizeof line, "%s: %s %s: %s; retrying in %lld s", kProgram,
                          before == OutputState::kLive ? "lost" : "cannot reach", shown,
                          why != nullptr ? why : "failed",
                          static_cast<long long>((wait + 500) / 1000));
            break;
        }
        case OutputState::kStopping:
            std::snprintf(line, sizeof line, "%s: stopping; closing %s", kProgram, shown);
            break;
        case OutputState::kFailed:
            std::snprintf(line, sizeof line, "%s: %s: %s", kProgram, shown,
                          why != nullptr ? why : "failed");
            break;
        default:
            return;  // the summary line says it
    }
    sayLine(line);
}

OutputState shownState(const OutputStatus& s, int64_t nowMs) {
    const OutputState state = static_cast<OutputState>(s.state.load());
    if (state == OutputState::kLive && nowMs - s.lastWriteMs.load() >= kStalledAfterMs)
        return OutputState::kStalled;
    return state;
}

int64_t notLiveSeconds(const OutputStatus& s, int64_t nowMs) {
    const OutputState state = static_cast<OutputState>(s.state.load());
    if (state == OutputState::kLive) {
        // A stalled output has not been live since it last took something.
        const int64_t quiet = nowMs - s.lastWriteMs.load();
        return quiet >= kStalledAfterMs ? quiet / 1000 : 0;
    }
    return (nowMs - s.notLiveSinceMs.load()) / 1000;
}

void outputFailures(OutputStatus& s, char* why, char* last, int size, int64_t& lastAt) {
    std::lock_guard<std::mutex> hold(s.textLock);
    std::snprintf(why, static_cast<size_t>(size), "%s", s.why);
    std::snprintf(last, static_cast<size_t>(size), "%s", s.lastFailure);
    lastAt = s.lastFailureAt;
}

void sayLine(const char* text) {
    logLine(LogTo::kError, text);
}

void formatSummary(char* out, size_t size, int64_t nowMs) {
    int n = formatStreamPart(out, size, nowMs);
    if (stream_status.frozen.load() && n >= 0 && static_cast<size_t>(n) < size)
        n += std::snprintf(out + n, size - static_cast<size_t>(n), "  frozen");
    for (int i = 0; i < output_count && n >= 0 && static_cast<size_t>(n) < size; ++i) {
        char state[64];
        formatState(outputs[i].status, state, sizeof state, nowMs);
        // One output is the stream; with several, each is named.
        if (output_count == 1)
            n += std::snprintf(out + n, size - static_cast<size_t>(n), "  %s", state);
        else
            n += std::snprintf(out + n, size - static_cast<size_t>(n), "  [%s: %s]",
                               outputs[i].shown, state);
    }
}

void reportStatus(int64_t nowMs) {
    for (int i = 0; i < output_count; ++i)
        measureRate(outputs[i].status);
    noteFrames(nowMs);
    if (status_quiet) return;
    char line[kLineSize + kMaxOutputs * (kShownNameSize + 64)];
    formatSummary(line, sizeof line, nowMs);
    if (status_terminal) {
        logStatusLine(line);
    } else if (nowMs - last_summary_ms >= kLogSummaryMs) {
        last_summary_ms = nowMs;
        char said[sizeof line + 32];
        std::snprintf(said, sizeof said, "%s: %s", kProgram, line);
        logLine(LogTo::kError, said, false);
    }
}
