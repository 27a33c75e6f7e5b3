#include "tools/stream/health.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

#include "feed/decode.h"
#include "feed/net.h"
#include "tools/common/json_text.h"
#include "tools/stream/status.h"

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

void healthMain(const char* path) {
    bool failing = false;
    for (;;) {
        std::string error;
        const bool ok = writeHealth(path, error);
        if (ok != !failing) {
            const std::string line = std::string("vantrel-stream: ") +
                                     (ok ? "status file " + std::string(path) + " written again"
                                         : "cannot write status file " + std::string(path) + ": " +
                                               error + "; the stream goes on");
            sayLine(line.c_str());
        }
        failing = !ok;
        std::this_thread::sleep_for(std::chrono::milliseconds(kHealthEveryMs));
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Public functions

std::string healthJson() {
    const int64_t now = netNowMs();
    char why[kErrorTextSize];
    lastWhy(why, sizeof why);
    const OutputState state = static_cast<OutputState>(stream_status.state.load());
    const int page = last_page_stored.load();
    char numbers[512];
    std::snprintf(numbers, sizeof numbers,
                  "\"stateSeconds\": %lld, \"onAirSeconds\": %lld, \"frames\": %lld, "
                  "\"skipped\": %lld, \"dropped\": %lld, \"reconnects\": %lld, "
                  "\"bitrateKbits\": %lld, \"lastPage\": %d, ",
                  static_cast<long long>((now - stream_status.stateSinceMs.load()) / 1000),
                  static_cast<long long>((now - stream_status.startedMs.load()) / 1000),
                  static_cast<long long>(stream_status.frames.load()),
                  static_cast<long long>(stream_status.skipped.load()),
                  static_cast<long long>(stream_status.dropped.load()),
                  static_cast<long long>(stream_status.reconnects.load()),
                  static_cast<long long>(stream_status.kbits.load()), page);
    return std::string("{\"state\": ") + jsonQuoted(stateName(state)) +
           ", \"why\": " + jsonQuoted(why) + ", " + numbers + "\"lastPageAt\": " +
           utc(page != 0 ? static_cast<std::time_t>(last_page_stored_at.load()) : 0) +
           ", \"residentKbytes\": " + std::to_string(residentKbytes()) +
           ", \"updated\": " + utc(std::time(nullptr)) + "}\n";
}

bool writeHealth(const char* path, std::string& error) {
    const std::string temp = std::string(path) + ".tmp";
    const std::string text = healthJson();
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

bool startHealth(const char* path) {
    try {
        std::thread(healthMain, path).detach();
    } catch (...) {
        return false;
    }
    return true;
}
