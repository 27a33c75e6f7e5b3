// The stream's beat: frame n is due at start + n/60 s on the monotonic clock,
// worked out from the frame number each time, never summed from sleeps, so
// the stream keeps time with the wall clock for as long as it runs.
#pragma once

#include <cstdint>

constexpr int64_t kNanosPerSecond = 1000000000;
constexpr int64_t kBeatFramesPerSecond = 60;
// How far a frame may fall behind its slot and still go on air with its own
// slot's time: a quarter of a second. The output is buffered downstream, so a
// frame a few slots late is as good as one on time, and the frames after it
// catch up at full speed. Further behind than this (a machine that slept or
// is overloaded), the stream skips ahead to the present instead.
constexpr int64_t kBeatBudgetFrames = 15;

// What the frame thread does about frame index when it wakes at now.
struct BeatStep {
    int64_t index;   // the frame to compose and encode: index, or the present one after a jump
    int64_t jumped;  // frames passed over without composing them (skipped), else 0
};

// Monotonic nanoseconds.
int64_t beatNowNs();

// When frame index is due.
int64_t frameDueNs(int64_t startNs, int64_t index);

// The frame whose time it is at nowNs: floor((nowNs - startNs) * 60 / 1 s).
int64_t frameSlot(int64_t startNs, int64_t nowNs);

// Decides, at nowNs, what becomes of frame index (due already): the frame
// itself while it is at most kBeatBudgetFrames behind the present slot, else
// the present slot, with the frames in between passed over. Either way every
// slot is either composed or passed over once, so frames plus skipped frames
// is always the number of slots begun.
BeatStep takeBeat(int64_t startNs, int64_t index, int64_t nowNs);

// Sleeps until the monotonic clock reaches dueNs; returns early (false) when
// a signal breaks in, so the caller can look at its stop flag.
bool sleepUntil(int64_t dueNs);
