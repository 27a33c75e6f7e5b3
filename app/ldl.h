// The lower display line: a clock line and, in turn, the lines of page 50,
// drawn into the LDL region (output rows 380..479).
#pragma once

#include <cstdint>
#include <ctime>

constexpr int kClockLineSize = 48;  // clockLine buffer, terminator included
constexpr int kLdlKeySize = 80;     // ldlKey and lastLdlKey buffers
constexpr int kLdlRotateFrames = 120;
constexpr uint32_t kLdlRotatePhase = 39;  // frameCount % 120 at which the line moves on
constexpr int32_t kClockTopRow = 3;       // rows of bot768
constexpr int32_t kLdlLineTopRow = 25;

extern const char* const wdays[7];  // "Sun".."Sat", by tm_wday
extern const char* const mons[12];  // "Jan".."Dec", by tm_mon

extern char clockLine[kClockLineSize];  // rebuilt at the start of every frame
extern char ldlKey[kLdlKeySize];        // what the LDL region would show this frame
extern char lastLdlKey[kLdlKeySize];    // key of the last redraw; empty at start
extern int32_t ldlLine;                 // 1-based row of page 50 shown; 1 at start

// Builds clockLine from a broken-down local time, e.g.
// "Sun Jan  5            9:05:07 AM".
void buildClockLine(const struct tm& now);

// Redraws bot768 and resamples it into bot_buf when the key made of ldlPage,
// ldlLine and clockLine differs from the last redraw's; a redraw marks the
// LDL region's output rows stale.
void updateLdl();

// Moves on to the next line of page 50 when frameCount % 120 == 39, back to
// the first after the last.
void rotateLdl(uint32_t frameCount);

// Puts the LDL state back to its start values (line 1, no redraw yet).
void resetLdl();
