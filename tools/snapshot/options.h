// Command line of vantrel-snapshot.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "tools/common/args.h"
#include "tools/snapshot/timeline.h"

enum class OutputKind : uint8_t {
    kPng,        // one PNG file
    kPngSeries,  // one PNG per frame, named by a pattern such as frame-%05d.png
    kGif,        // an animated GIF (name ends in .gif)
    kMp4,        // an H.264 video in MP4 (name ends in .mp4)
};

constexpr int kGifFrameStep = 3;  // GIF delays count 1/100 s: 3 frames are exactly 5 of them

struct SnapshotOptions {
    const char* fontDir = ".";            // FONT01..07.tiga and SHDT01..07.tiga
    const char* output = "snapshot.png";  // file or PNG pattern
    OutputKind kind = OutputKind::kPng;   // from the output's name
    const char* timeText = nullptr;       // the clock at frame 1; null: now
    bool clockRuns = true;                // --clock run (1/60 s a frame) or fixed
    long from = 1;                        // first frame written, 1..kMaxFrames
    long to = 1;                          // last frame written, from..kMaxFrames
    long step = 1;                        // frames between two written ones, 1..kMaxFrames
    bool quiet = false;                   // --quiet: no progress line
    std::vector<TimedMessage> messages;   // files as given, not yet read
};

// Reads argv into opts. Options take their value as "--name VALUE" or
// "--name=VALUE" ("--at" takes a frame and a file); "--" ends the options.
// A bad option or value, or options that do not go together, print one line
// on err.
ParseOutcome parseSnapshotOptions(int argc, char** argv, SnapshotOptions& opts, FILE* err);

// The --help text.
void printSnapshotUsage(FILE* out);
