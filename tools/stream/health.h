// The stream's health for a monitoring system, kept by a monitor thread of
// its own. Once a second it measures (bitrates, whether the frames move) and
// updates the status line; every 5 seconds it rewrites the health file (a
// small JSON object) and the metrics file (Prometheus' text format, for
// node_exporter's textfile collector), each time whole: written beside, then
// renamed over the old one, so that a reader never sees half of one. A file
// that cannot be written is said once, and the stream goes on. The frame
// thread never waits for the monitor: when frames stop moving, the monitor
// is what says "frozen".
#pragma once

#include <string>

constexpr int kHealthEveryMs = 5000;  // how often the files are rewritten
constexpr int kMonitorEveryMs = 1000;  // how often the monitor measures

// Where the monitor writes; null for a file not asked for.
struct HealthFiles {
    const char* status;   // --status: the JSON object
    const char* metrics;  // --metrics: Prometheus' text format
    const char* channel;  // --channel: the channel's name in the metrics; null: none
};

// The health object as it stands now, on one line.
std::string healthJson();

// The metrics as they stand now; up is 0 once the stream has ended.
std::string metricsText(const char* channel, bool up);

// Writes text to path whole (beside, then renamed). Returns false with the
// reason in error.
bool writeWhole(const char* path, const std::string& text, std::string& error);

// Starts the monitor thread (files must outlive it).
bool startMonitor(const HealthFiles& files);

// Writes both files once more at the end of the stream.
void writeFinalHealth(const HealthFiles& files);
