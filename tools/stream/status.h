// What a running stream reports: one record of counters, each written by the
// thread that owns it and read by the reporter, and the lines that show them
// (one line updated in place on a terminal; a line per change of state and a
// summary a minute in a log).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>

enum class OutputState : int {
    kConnecting,  // opening the output
    kLive,        // packets are going out
    kRetrying,    // the output failed; the next attempt comes at retryAtMs
    kStopping,    // finishing the output after a stop
    kFailed,      // a recording could not be written, or retries ran out
    kEnded,       // the output is closed and the stream over
};

constexpr int kErrorTextSize = 256;  // room for one line of why

struct StreamStatus {
    std::atomic<int64_t> frames;  // frames encoded; frame thread
    std::atomic<int64_t>
        skipped;  // frame slots not encoded because the beat had passed; frame thread
    std::atomic<int64_t>
        dropped;  // video frames that never reached the output; frame and writer threads
    std::atomic<int64_t> reconnects;  // connections made after the first; writer thread
    std::atomic<int64_t> bytes;       // bytes written to the output; writer thread
    std::atomic<int> state;           // an OutputState; writer thread
    std::atomic<int64_t>
        retryAtMs;  // monotonic ms of the next attempt while retrying; writer thread
    std::atomic<int64_t> stateSinceMs;  // monotonic ms of the last change of state; changeState
    std::atomic<int64_t> startedMs;     // monotonic ms the stream started; startStatus
    std::atomic<int64_t> kbits;         // the bitrate lately, kbit/s; reportStatus
    std::mutex whyLock;                 // guards why
    char why[kErrorTextSize];           // the last failure, in words; writer thread
};

extern StreamStatus stream_status;

// How status is shown: with quiet only the lines a log needs on a stop or a
// failure; on a terminal one line rewritten in place.
void startStatus(FILE* err, bool terminal, bool quiet, const char* target, int64_t nowMs);

// The state's name as the status line and the health file give it:
// "connecting", "live", "retrying", "stopping", "failed", "ended".
const char* stateName(OutputState state);

// Sets the state (and the reason, when why is not null) and prints a line for
// the change: connected, lost and why, retrying, reconnected.
void changeState(OutputState state, const char* why, int64_t nowMs);

// The last reason given to changeState, copied into out.
void lastWhy(char* out, int size);

// Prints one line of its own (a warning, the final summary) without tearing
// the status line.
void sayLine(const char* text);

// Writes size bytes of standard output (whole lines) to fd, above the
// status line.
void sayOutput(int fd, const char* text, size_t size);

// Called once a second or so by the frame thread: rewrites the terminal's
// status line; in a log, prints the summary once a minute.
void reportStatus(int64_t nowMs);

// The summary line: time on air, frames, skipped, dropped, reconnects,
// bitrate and state, into out.
void formatSummary(char* out, int size, int64_t nowMs);
