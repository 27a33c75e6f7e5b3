// What a running stream reports: a record of counters for the stream as a
// whole and one for each output, each counter written by the thread that
// owns it and read by the monitor, and the lines that show them (one line
// updated in place on a terminal; a line per change of state and a summary a
// minute in a log). Every line goes through the log, so no thread that
// reports ever waits for a reader.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

enum class OutputState : int {
    kConnecting,  // opening the output
    kLive,        // packets are going out
    kRetrying,    // the output failed; the next attempt comes at retryAtMs
    kStopping,    // finishing the output after a stop
    kFailed,      // a recording could not be written, or retries ran out
    kEnded,       // the output is closed
    kStalled,     // shown only: live, but it has taken nothing for kStalledAfterMs
    kFrozen,      // shown only, for the stream: its frame count has not moved for kFrozenAfterMs
};

constexpr int kErrorTextSize = 256;         // room for one line of why
constexpr int kShownNameSize = 512;         // room for an output's name in a line
constexpr int64_t kStalledAfterMs = 5000;   // a live output that took nothing this long
constexpr int64_t kFrozenAfterMs = 2000;    // frames that did not move this long
constexpr int64_t kRateWindowMs = 5000;     // the bitrate is measured over this whole window
constexpr int kRateSamples = 6;             // one a second: a window and its start

// One output's figures.
struct OutputStatus {
    std::atomic<int> state;              // an OutputState (never kStalled/kFrozen); writer
    std::atomic<int64_t> stateSinceMs;   // monotonic ms of the last change of state; writer
    std::atomic<int64_t> notLiveSinceMs; // monotonic ms it last stopped being live; writer
    std::atomic<bool> everLive;          // it has been live at least once; writer
    std::atomic<int64_t> dropped;        // video frames that never reached it; frame thread, writer
    std::atomic<int64_t> reconnects;     // connections made after the first; writer
    std::atomic<int64_t> bytes;          // bytes written to it; writer
    std::atomic<int64_t> lastWriteMs;    // monotonic ms a packet last went out; writer
    std::atomic<int64_t> retryAtMs;      // monotonic ms of the next attempt while retrying; writer
    std::atomic<int64_t> files;          // files it began (a recording in segments); writer
    std::mutex textLock;                 // guards why, lastFailure and lastFailureAt
    char why[kErrorTextSize];            // the failure it is in now; empty while it works
    char lastFailure[kErrorTextSize];    // the last failure, kept after it is mended
    int64_t lastFailureAt;               // calendar seconds of lastFailure; 0: none yet
    int64_t rateBytes[kRateSamples];     // monitor's own: bytes at each of the last seconds
    int rateCount;                       // monitor's own: samples taken since it went live
    std::atomic<int64_t> kbits;          // bitrate over the last whole window; monitor
};

// The stream's own figures.
struct StreamStatus {
    std::atomic<int64_t> frames;       // frames encoded; frame thread
    std::atomic<int64_t> skipped;      // frame slots not encoded (the beat had passed); frame thread
    std::atomic<int64_t> startedMs;    // monotonic ms the stream started; startStatus
    std::atomic<int64_t> framesMovedMs;  // monotonic ms the frame count last moved; monitor
    std::atomic<bool> frozen;          // frames did not move for kFrozenAfterMs; monitor
};

extern StreamStatus stream_status;

// How status is shown: with quiet no status line and no summary a minute;
// on a terminal one line rewritten in place. startStatus runs before any
// output does.
void startStatus(bool terminal, bool quiet, int64_t nowMs);

// The state's name as the status line and the health file give it:
// "connecting", "live", "retrying", "stopping", "failed", "ended",
// "stalled", "frozen".
const char* stateName(OutputState state);

// Readies an output's record, named shown in its lines.
void startOutputStatus(OutputStatus& s, int64_t nowMs);

// Sets an output's state (and its failure, when why is not null) and says
// the change in a line: connected, lost and why, retrying, reconnected.
void changeState(OutputStatus& s, const char* shown, OutputState state, const char* why,
                 int64_t nowMs);

// The state an output shows now: its own, or stalled when it is live and
// took nothing for kStalledAfterMs.
OutputState shownState(const OutputStatus& s, int64_t nowMs);

// Seconds the output has not been live, across every retry; 0 while live.
int64_t notLiveSeconds(const OutputStatus& s, int64_t nowMs);

// Its failure now (empty while it works) and its last one, copied out.
void outputFailures(OutputStatus& s, char* why, char* last, int size, int64_t& lastAt);

// Prints one line of its own (a warning, the final summary) without tearing
// the status line; never waits.
void sayLine(const char* text);

// Called once a second by the monitor: measures the bitrates and whether the
// frames move, rewrites the terminal's status line, and in a log prints the
// summary once a minute.
void reportStatus(int64_t nowMs);

// The summary line: time on air, frames, skipped, dropped, reconnects,
// bitrate and state of every output, into out.
void formatSummary(char* out, size_t size, int64_t nowMs);
