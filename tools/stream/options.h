// Command line of vantrel-stream.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "feed/listener.h"
#include "tools/common/args.h"

constexpr int kDefaultBitrateKbits = 2500;              // a comfortable rate for 720 x 480 text
constexpr uint32_t kDefaultListenAddress = 0x7f000001;  // 127.0.0.1: only this machine sends

constexpr int kMaxOutputOptions = 8;  // -o given at most this many times

struct StreamOptions {
    std::vector<const char*> outputs;  // -o, repeatable: file names or URLs
    const char* format = nullptr;  // --format: the container of every output, overriding the guess
    bool overwrite = false;        // -y: an existing file may be replaced
    uint32_t listenAddress = kDefaultListenAddress;  // --listen ADDR (host byte order)
    int listenPort = kFeedPort;                      // --listen :PORT
    FeedAllowList allowed = {};                      // --allow NET/BITS, repeatable
    const char* fontDir = ".";                       // --fonts: FONT01..07.tiga and SHDT01..07.tiga
    const char* timeText = nullptr;           // --time: the clock at the first frame; null: now
    bool clockRuns = true;                    // --clock run or fixed
    int bitrateKbits = kDefaultBitrateKbits;  // --bitrate, 100..50000
    bool lossless = false;                    // --lossless: RGB at quantiser 0
    bool aspect43 = false;                    // --aspect 4:3: 640 x 480 square pixels
    int64_t durationFrames = 0;               // --duration in frames; 0: until stopped
    int retries = -1;                         // --retries: reconnects in a row; -1: for ever
    bool quiet = false;                       // --quiet: no status line
    bool trace = false;                       // --trace: every message whole, as the preview
    bool audio = true;                        // --no-audio leaves the sound track out
    std::vector<std::string> music;           // --audio FILE, repeatable: played in turn
    const char* statusFile = nullptr;         // --status FILE: health every 5 s
    const char* metricsFile = nullptr;        // --metrics FILE: Prometheus text every 5 s
    const char* channel = nullptr;            // --channel NAME: the channel in the metrics
    int64_t segmentFrames = 0;                // --segment: a recording's files this long; 0: one
    int64_t keepForSeconds = 0;               // --keep-for: older segments go; 0: all stay
    std::vector<const char*> keyFiles;        // --key-file FILE, repeatable: the rtmp outputs' keys
};

// Reads argv into opts. Options take their value as "--name VALUE" or
// "--name=VALUE". A bad option or value prints one line on err.
ParseOutcome parseStreamOptions(int argc, char** argv, StreamOptions& opts, FILE* err);

// Parses a length of stream such as "90s", "10m", "2h", "1h30m" or "30d" (a
// bare number counts seconds) into frames at 60 a second. False for anything else,
// for nothing at all and for more than a year.
bool parseDuration(const char* text, int64_t& frames);

// Parses "ADDR:PORT" (ADDR dotted IPv4, PORT 0..65535). False otherwise.
bool parseListen(const char* text, uint32_t& address, int& port);

// The --help text.
void printStreamUsage(FILE* out);
