#include "tools/stream/status.h"

#include <unistd.h>

#include <cstring>

// ---------------------------------------------------------------------------
// Constants

constexpr const char* kProgram = "vantrel-stream";
constexpr int64_t kLogSummaryMs = 60000;  // a summary line a minute in a log
constexpr int64_t kRateWindowMs = 5000;   // the bitrate shown is the mean over this long
constexpr int kLineSize = 256;

// ---------------------------------------------------------------------------
// Globals

StreamStatus stream_status;  // counters: see each field for its writer

static std::mutex say_lock;             // one line at a time on err
static FILE* status_err = stderr;       // where status lines go
static bool status_terminal = false;    // err is a terminal: one line in place
static bool status_quiet = false;       // no status line, no summary a minute
static const char* status_target = "";  // the output, fit for a log
static int64_t started_ms = 0;          // when the stream started
static int64_t last_summary_ms = 0;     // the last summary in a log
static int64_t rate_ms = 0;             // start of the bitrate window
static int64_t rate_bytes = 0;          // bytes written when the window started
static int64_t rate_kbits = 0;          // the bitrate shown
static bool line_shown = false;         // a status line stands on the terminal now

// ---------------------------------------------------------------------------
// Internal helpers

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
    }
    return "?";
}

// Clears the terminal's status line so that a whole line can be printed.
static void clearLine() {
    if (status_terminal && line_shown) std::fputs("\r\033[K", status_err);
    line_shown = false;
}

static void updateRate(int64_t nowMs) {
    const int64_t bytes = stream_status.bytes.load(std::memory_order_relaxed);
    if (nowMs - rate_ms < kRateWindowMs && rate_kbits != 0) return;
    if (nowMs > rate_ms) rate_kbits = (bytes - rate_bytes) * 8 / (nowMs - rate_ms);
    stream_status.kbits.store(rate_kbits);
    rate_ms = nowMs;
    rate_bytes = bytes;
}

// ---------------------------------------------------------------------------
// Public functions

void startStatus(FILE* err, bool terminal, bool quiet, const char* target, int64_t nowMs) {
    status_err = err;
    status_terminal = terminal && !quiet;
    status_quiet = quiet;
    status_target = target;
    started_ms = last_summary_ms = rate_ms = nowMs;
    rate_bytes = rate_kbits = 0;
    stream_status.startedMs.store(nowMs);
    stream_status.stateSinceMs.store(nowMs);
}

void changeState(OutputState state, const char* why, int64_t nowMs) {
    const OutputState before =
        static_cast<OutputState>(stream_status.state.exchange(static_cast<int>(state)));
    if (before != state) stream_status.stateSinceMs.store(nowMs);
    if (why != nullptr) {
        std::lock_guard<std::mutex> hold(stream_status.whyLock);
        std::snprintf(stream_status.why, sizeof stream_status.why, "%s", why);
    }
    char line[kLineSize + kErrorTextSize];
    switch (state) {
        case OutputState::kConnecting:
            std::snprintf(line, sizeof line, "%s: connecting to %s", kProgram, status_target);
            break;
        case OutputState::kLive:
            std::snprintf(line, sizeof line, "%s: %s %s", kProgram,
                          stream_status.reconnects.load() > 0 ? "reconnected to" : "live on",
                          status_target);
            break;
        case OutputState::kRetrying: {
            const int64_t wait = stream_status.retryAtMs.load() - nowMs;
            std::snprintf(line, sizeof line, "%s: %s %s: %s; retrying in %lld s", kProgram,
                          before == OutputState::kLive ? "lost" : "cannot reach", status_target,
                          why != nullptr ? why : "failed",
                          static_cast<long long>((wait + 500) / 1000));
            break;
        }
        case OutputState::kStopping:
            std::snprintf(line, sizeof line, "%s: stopping; closing %s", kProgram, status_target);
            break;
        case OutputState::kFailed:
            std::snprintf(line, sizeof line, "%s: %s: %s", kProgram, status_target,
                          why != nullptr ? why : "failed");
            break;
        case OutputState::kEnded:
            return;  // the summary line says it
    }
    // A quiet stream still says why it stopped working.
    if (status_quiet && state != OutputState::kFailed) return;
    sayLine(line);
}

void lastWhy(char* out, int size) {
    std::lock_guard<std::mutex> hold(stream_status.whyLock);
    std::snprintf(out, static_cast<size_t>(size), "%s", stream_status.why);
}

void sayLine(const char* text) {
    std::lock_guard<std::mutex> hold(say_lock);
    clearLine();
    std::fprintf(status_err, "%s\n", text);
    std::fflush(status_err);
}

void sayOutput(int fd, const char* text, size_t size) {
    std::lock_guard<std::mutex> hold(say_lock);
    clearLine();
    std::fflush(status_err);
    while (size > 0) {
        const ssize_t n = write(fd, text, size);
        if (n <= 0) return;
        text += n;
        size -= static_cast<size_t>(n);
    }
}

void formatSummary(char* out, int size, int64_t nowMs) {
    const int64_t seconds = (nowMs - started_ms + 500) / 1000;
    const OutputState state = static_cast<OutputState>(stream_status.state.load());
    char stateText[64];
    if (state == OutputState::kRetrying) {
        const int64_t wait = stream_status.retryAtMs.load() - nowMs;
        std::snprintf(stateText, sizeof stateText, "retrying in %lld s",
                      static_cast<long long>(wait > 0 ? (wait + 500) / 1000 : 0));
    } else {
        std::snprintf(stateText, sizeof stateText, "%s", stateName(state));
    }
    std::snprintf(out, static_cast<size_t>(size),
                  "on air %lld:%02lld:%02lld  frames %lld  skipped %lld  dropped %lld  "
                  "reconnects %lld  %lld kbit/s  %s",
                  static_cast<long long>(seconds / 3600), static_cast<long long>(seconds / 60 % 60),
                  static_cast<long long>(seconds % 60),
                  static_cast<long long>(stream_status.frames.load()),
                  static_cast<long long>(stream_status.skipped.load()),
                  static_cast<long long>(stream_status.dropped.load()),
                  static_cast<long long>(stream_status.reconnects.load()),
                  static_cast<long long>(rate_kbits), stateText);
}

void reportStatus(int64_t nowMs) {
    updateRate(nowMs);
    if (status_quiet) return;
    char line[kLineSize];
    formatSummary(line, sizeof line, nowMs);
    std::lock_guard<std::mutex> hold(say_lock);
    if (status_terminal) {
        std::fprintf(status_err, "\r\033[K%s", line);
        line_shown = true;
        std::fflush(status_err);
    } else if (nowMs - last_summary_ms >= kLogSummaryMs) {
        last_summary_ms = nowMs;
        std::fprintf(status_err, "%s: %s\n", kProgram, line);
        std::fflush(status_err);
    }
}
