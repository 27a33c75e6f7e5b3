#include "tools/stream/beat.h"

#include <errno.h>
#include <time.h>

int64_t beatNowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNanosPerSecond + ts.tv_nsec;
}

int64_t frameDueNs(int64_t startNs, int64_t index) {
    // Whole seconds and the frames left over: exact at any length of run. The
    // leftover rounds up, so that at its due time a frame's slot has begun.
    return startNs + index / kBeatFramesPerSecond * kNanosPerSecond +
           (index % kBeatFramesPerSecond * kNanosPerSecond + kBeatFramesPerSecond - 1) /
               kBeatFramesPerSecond;
}

int64_t frameSlot(int64_t startNs, int64_t nowNs) {
    const int64_t elapsed = nowNs - startNs;
    if (elapsed < 0) return 0;
    return elapsed / kNanosPerSecond * kBeatFramesPerSecond +
           elapsed % kNanosPerSecond * kBeatFramesPerSecond / kNanosPerSecond;
}

BeatStep takeBeat(int64_t startNs, int64_t index, int64_t nowNs) {
    const int64_t slot = frameSlot(startNs, nowNs);
    if (slot - index > kBeatBudgetFrames) return {slot, slot - index};
    return {index, 0};
}

bool sleepUntil(int64_t dueNs) {
    const timespec due = {static_cast<time_t>(dueNs / kNanosPerSecond),
                          static_cast<long>(dueNs % kNanosPerSecond)};
    return clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) != EINTR;
}
