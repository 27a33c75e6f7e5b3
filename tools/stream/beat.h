// The stream's beat: frame n is due at start + n/60 s on the monotonic clock,
// worked out from the frame number each time, never summed from sleeps, so
// the stream keeps time with the wall clock for as long as it runs.
#pragma once

#include <cstdint>

constexpr int64_t kNanosPerSecond = 1000000000;
constexpr int64_t kBeatFramesPerSecond = 60;
constexpr int64_t kResyncFrames = 120;  // further behind than this (a machine that slept):
                                        // jump to the present instead of catching up

// What the frame thread does about frame index when it wakes at now.
struct BeatStep {
    int64_t index;   // the frame to compose: index, or the present one after a jump
    int64_t jumped;  // frames passed over without composing them (a jump), else 0
    bool encode;     // false: the frame's time has passed; compose it, but skip its encoding
};

// Monotonic nanoseconds.
int64_t beatNowNs();

// When frame index is due.
int64_t frameDueNs(int64_t startNs, int64_t index);

// The frame whose time it is at nowNs: floor((nowNs - startNs) * 60 / 1 s).
int64_t frameSlot(int64_t startNs, int64_t nowNs);

// Decides, at nowNs, what becomes of frame index (due already).
BeatStep takeBeat(int64_t startNs, int64_t index, int64_t nowNs);

// Sleeps until the monotonic clock reaches dueNs; returns early (false) when
// a signal breaks in, so the caller can look at its stop flag.
bool sleepUntil(int64_t dueNs);
