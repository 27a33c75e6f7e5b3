#include "tools/stream/health.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include "feed/decode.h"
#include "feed/net.h"
#include "tools/common/json_text.h"
#include "tools/stream/outputs.h"
#include "tools/stream/status.h"

// ---------------------------------------------------------------------------
// Constants

constexpr const char* kProgram = "vantrel-stream";
// The order in which outputs' states stand for the whole stream: the worst
// one shown wins, so "live" only when every output is live.
constexpr OutputState kWorstFirst[] = {OutputState::kFailed,     OutputState::kStalled,
                                       OutputState::kRetrying,   OutputState::kConnecting,
                                       OutputState::kStopping,   OutputState::kEnded,
                                       OutputState::kLive};

// ---------------------------------------------------------------------------
// Internal helpers

namespace {

// A calendar time as UTC "YYYY-MM-DDTHH:MM:SSZ", quoted; null for 0.
std::string utc(std::time_t at) {
    if (at == 0) return "null";
    struct tm t = {};
    gmtime_r(&at, &t);
    char text[32];
    std::strftime(text, sizeof text, "\"%Y-%m-%dT%H:%M:%SZ\"", &t);
    return text;
}

// The process's resident memory in KiB, 0 when it cannot be read.
long long residentKbytes() {
    long long size = 0, resident = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) return 0;
    const int got = std::fscanf(statm, "%lld %lld", &size, &resident);
    std::fclose(statm);
    return got == 2 ? resident * (sysconf(_SC_PAGESIZE) / 1024) : 0;
}

std::string number(int64_t n) {
    return std::to_string(static_cast<long long>(n));
}

// What the stream as a whole is now: frozen frames first, then the worst
// output. which is the output that stands for it (-1 when frozen or none).
OutputState streamState(int64_t now, int& which) {
    which = -1;
    if (stream_status.frozen.load()) return OutputState::kFrozen;
    for (OutputState worst : kWorstFirst)
        for (int i = 0; i < output_count; ++i)
            if (shownState(outputs[i].status, now) == worst) {
                which = i;
                return worst;
            }
    return OutputState::kEnded;
}

int64_t frozenSeconds(int64_t now) {
    return stream_status.frozen.load() ? (now - stream_status.framesMovedMs.load()) / 1000 : 0;
}

// One output's figures, as JSON members (without braces).
std::string outputMembers(Output& o, int64_t now, std::string& lastFailure, int64_t& lastAt) {
    char why[kErrorTextSize], last[kErrorTextSize];
    int64_t at = 0;
    outputFailures(o.status, why, last, kErrorTextSize, at);
    if (at >= lastAt) {
        lastAt = at;
        lastFailure = last;
    }
    return "\"name\": " + jsonQuoted(o.shown) +
           ", \"state\": " + jsonQuoted(stateName(shownState(o.status, now))) +
           ", \"why\": " + jsonQuoted(why) +
           ", \"notLiveSeconds\": " + number(notLiveSeconds(o.status, now)) +
           ", \"stateSeconds\": " + number((now - o.status.stateSinceMs.load()) / 1000) +
           ", \"dropped\": " + number(o.status.dropped.load()) +
           ", \"reconnects\": " + number(o.status.reconnects.load()) +
           ", \"bitrateKbits\": " + number(o.status.kbits.load()) +
           ", \"bytes\": " + number(o.status.bytes.load()) +
           ", \"lastFailure\": " + jsonQuoted(last) +
           ", \"lastFailureAt\": " + utc(static_cast<std::time_t>(at));
}

// A Prometheus label value: backslash, quote and line end escaped.
std::string labelValue(const char* text) {
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '"') out += '\\';
        if (*p == '\n') {
            out += "\\n";
            continue;
        }
        out += *p;
    }
    return out;
}

void metric(std::string& text, const char* name, const char* type, const char* help) {
    text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

// Writes one file and says a change between working and failing, once.
void rewrite(const char* path, const std::string& text, const char* what, bool& failing) {
    std::string error;
    const bool ok = writeWhole(path, text, error);
    if (ok == failing) {
        const std::string line = std::string(kProgram) + ": " +
                                 (ok ? std::string(what) + " " + path + " written again"
                                     : "cannot write " + std::string(what) + " " + path + ": " +
                                           error + "; the stream goes on");
        sayLine(line.c_str());
    }
    failing = !ok;
}

void monitorMain(HealthFiles files) {
    bool statusFailing = false, metricsFailing = false;
    int64_t nextFilesMs = netNowMs();
    for (;;) {
        const int64_t now = netNowMs();
        reportStatus(now);
        if (now >= nextFilesMs) {
            nextFilesMs = now + kHealthEveryMs;
            if (files.status != nullptr)
                rewrite(files.status, healthJson(), "status file", statusFailing);
            if (files.metrics != nullptr)
                rewrite(files.metrics, metricsText(files.channel, true), "metrics file",
                        metricsFailing);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kMonitorEveryMs));
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Public functions

std::string healthJson() {
    const int64_t now = netNowMs();
    int which = -1;
    const OutputState state = streamState(now, which);
    std::string list, lastFailure;
    int64_t lastAt = 0, notLive = frozenSeconds(now), dropped = 0, reconnects = 0, kbits = 0;
    for (int i = 0; i < output_count; ++i) {
        Output& o = outputs[i];
        list += std::string(i > 0 ? ", " : "") + "{" + outputMembers(o, now, lastFailure, lastAt) +
                "}";
        const int64_t n = notLiveSeconds(o.status, now);
        if (n > notLive) notLive = n;
        dropped += o.status.dropped.load();
        reconnects += o.status.reconnects.load();
        kbits += o.status.kbits.load();
    }
    char why[kErrorTextSize] = "", last[kErrorTextSize];
    int64_t since = stream_status.framesMovedMs.load(), at = 0;
    if (state == OutputState::kFrozen) {
        std::snprintf(why, sizeof why, "no frame for %lld s", static_cast<long long>(notLive));
    } else if (which >= 0) {
        outputFailures(outputs[which].status, why, last, kErrorTextSize, at);
        since = outputs[which].status.stateSinceMs.load();
    }
    const int page = last_page_stored.load();
    return "{\"state\": " + jsonQuoted(stateName(state)) + ", \"why\": " + jsonQuoted(why) +
           ", \"notLiveSeconds\": " + number(notLive) +
           ", \"stateSeconds\": " + number((now - since) / 1000) +
           ", \"onAirSeconds\": " + number((now - stream_status.startedMs.load()) / 1000) +
           ", \"frames\": " + number(stream_status.frames.load()) +
           ", \"skipped\": " + number(stream_status.skipped.load()) +
           ", \"dropped\": " + number(dropped) + ", \"reconnects\": " + number(reconnects) +
           ", \"bitrateKbits\": " + number(kbits) + ", \"lastFailure\": " +
           jsonQuoted(lastFailure) + ", \"lastFailureAt\": " + utc(lastAt) +
           ", \"lastPage\": " + std::to_string(page) + ", \"lastPageAt\": " +
           utc(page != 0 ? static_cast<std::time_t>(last_page_stored_at.load()) : 0) +
           ", \"residentKbytes\": " + std::to_string(residentKbytes()) +
           ", \"updated\": " + utc(std::time(nullptr)) + ", \"outputs\": [" + list + "]}\n";
}

std::string metricsText(const char* channel, bool up) {
    const int64_t now = netNowMs();
    const std::string stream =
        channel != nullptr ? "{channel=\"" + labelValue(channel) + "\"}" : std::string();
    const std::string prefix =
        channel != nullptr ? "{channel=\"" + labelValue(channel) + "\"," : std::string("{");
    std::string text;
    metric(text, "vantrel_stream_up", "gauge", "1 while the stream runs.");
    text += "vantrel_stream_up" + stream + " " + (up ? "1" : "0") + "\n";
    metric(text, "vantrel_stream_frozen", "gauge", "1 when no frame was made for 2 s.");
    text += "vantrel_stream_frozen" + stream + " " + (stream_status.frozen.load() ? "1" : "0") +
            "\n";
    metric(text, "vantrel_stream_frames_total", "counter", "Frames encoded.");
    text += "vantrel_stream_frames_total" + stream + " " + number(stream_status.frames.load()) +
            "\n";
    metric(text, "vantrel_stream_skipped_frames_total", "counter",
           "Frame slots passed over because the machine fell behind.");
    text += "vantrel_stream_skipped_frames_total" + stream + " " +
            number(stream_status.skipped.load()) + "\n";
    metric(text, "vantrel_stream_resident_bytes", "gauge", "Resident memory.");
    text += "vantrel_stream_resident_bytes" + stream + " " + number(residentKbytes() * 1024) +
            "\n";
    const struct {
        const char* name;
        const char* type;
        const char* help;
    } perOutput[] = {
        {"vantrel_stream_output_live", "gauge", "1 while the output takes the stream."},
        {"vantrel_stream_output_not_live_seconds", "gauge",
         "How long the output has not been live, across retries."},
        {"vantrel_stream_output_dropped_frames_total", "counter",
         "Video frames that never reached the output."},
        {"vantrel_stream_output_reconnects_total", "counter", "Connections after the first."},
        {"vantrel_stream_output_written_bytes_total", "counter", "Bytes written to the output."},
    };
    for (int m = 0; m < static_cast<int>(sizeof perOutput / sizeof perOutput[0]); ++m) {
        metric(text, perOutput[m].name, perOutput[m].type, perOutput[m].help);
        for (int i = 0; i < output_count; ++i) {
            OutputStatus& s = outputs[i].status;
            const int64_t values[] = {
                up && shownState(s, now) == OutputState::kLive ? 1 : 0,
                notLiveSeconds(s, now),
                s.dropped.load(),
                s.reconnects.load(),
                s.bytes.load(),
            };
            text += std::string(perOutput[m].name) + prefix + "output=\"" +
                    labelValue(outputs[i].shown) + "\"} " + number(values[m]) + "\n";
        }
    }
    return text;
}

bool writeWhole(const char* path, const std::string& text, std::string& error) {
    // The monitor and the end of the run may both write a file: one at a time.
    static std::mutex lock;
    std::lock_guard<std::mutex> hold(lock);
    const std::string temp = std::string(path) + ".tmp";
    FILE* file = std::fopen(temp.c_str(), "w");
    bool ok = file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (file != nullptr) ok = std::fclose(file) == 0 && ok;
    ok = ok && std::rename(temp.c_str(), path) == 0;
    if (!ok) {
        error = std::strerror(errno);
        std::remove(temp.c_str());
    }
    return ok;
}

bool startMonitor(const HealthFiles& files) {
    try {
        std::thread(monitorMain, files).detach();
    } catch (...) {
        return false;
    }
    return true;
}

void writeFinalHealth(const HealthFiles& files) {
    std::string ignored;
    if (files.status != nullptr) writeWhole(files.status, healthJson(), ignored);
    if (files.metrics != nullptr) writeWhole(files.metrics, metricsText(files.channel, false), ignored);
}
