// The clock line's time for rehearsals and tests: a local time given on the
// command line, kept still or moved on 1/60 s a frame (the fixed pace taken
// for the display's frames), instead of the wall clock.
#pragma once

#include <ctime>

constexpr int kClockFramesPerSecond = 60;  // the clock moves 1/60 s per frame

// A clock that starts at a given local time.
struct DisplayClock {
    struct tm start;           // the local time of the first frame
    std::time_t startSeconds;  // the same as calendar time
    bool runs;                 // false: every frame shows start
};

// Parses "YYYY-MM-DD HH:MM:SS" as a local time into out, weekday included.
// Returns false for any other text and for a date or time that does not exist.
bool parseLocalTime(const char* text, struct tm& out);

// A clock starting at start (as parseLocalTime gives it).
DisplayClock startDisplayClock(const struct tm& start, bool runs);

// The local time that frame index (0 for the first frame) shows.
struct tm displayClockAt(const DisplayClock& clock, long index);
