// Command line of vantrel-send.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "feed/listener.h"

constexpr int kMaxSplit = kMessageCapacity;  // more pieces than bytes make no sense
constexpr int kMaxDelayMs = 60 * 1000;
constexpr int kMaxRetryMs = 60 * 60 * 1000;
constexpr int kMaxPauseMs = 60 * 60 * 1000;

struct SendOptions {
    const char* host = "127.0.0.1";  // the listener's address or name (IPv4)
    int port = kFeedPort;            // 1..65535
    int split = 1;                   // pieces each message is sent in, 1..kMaxSplit
    int delayMs = 0;                 // pause between two pieces, ms
    int pauseMs = 0;                 // pause after a file's reply before the next file, ms
    int retryMs = 0;                 // how long to keep trying to connect, ms; 0 = once
    bool check = false;              // --check: say what the display would do, send nothing
    bool json = false;               // --json: the check's findings as JSON
    bool verbose = false;            // --verbose: the check's notes too, not only findings
    std::vector<std::string> files;  // messages to send, "-" = standard input
};

enum class ParseResult {
    kRun,    // options are fine: send the files
    kHelp,   // --help, -h or /?: print the usage and stop
    kError,  // a bad option; its line is on err already
};

// Reads argv into opts. Options take their value as "--name VALUE" or
// "--name=VALUE"; "--" ends the options; "-" names standard input; "-h" and
// "/?" ask for the help, as "--help" does. A bad option or value prints one
// line on err.
ParseResult parseSendOptions(int argc, char** argv, SendOptions& opts, FILE* err);

// The --help text.
void printSendUsage(FILE* out);
