// The frame loop's composition: everything one frame does up to the blended
// present buffer. It needs no window, so tests and the snapshot tool run the
// same frames as the preview.
#pragma once

#include <cstdint>
#include <ctime>

constexpr int kFrameSleepMs = 16;  // pause after every frame

extern bool run;  // the frame loop runs while true; cleared by winProc, never set again

// Frame loop state, kept from frame to frame.
extern int32_t lastTopPage;  // topPage at the last top region render; -1 before the first
extern bool lastTopSolid;    // the topSolid bit at the last top region render
extern bool lastRoll;        // the last top region render was in roll mode
extern uint32_t frameCount;  // frames composed so far; wraps at 2^32

// Lays out page (0..255) into top768 as the still top region, fills below the
// content when topSolid is set, and resamples it into top_buf.
void renderStaticTop(int32_t page, uint8_t topSolid);

// Renders the top region again when the top page, the mode, the topSolid bit
// or page_dirty says so. Returns true in roll mode.
bool updateTopRegion();

// Composes one frame for the local time now: clock line, canvas repaint when
// solid_dirty is set, top region, LDL region, the copies into `over`, the frame
// count and line rotation, and the blend into win_present_buf. Only the stale
// rows (a canvas repaint: all; a top region render or a roll: 0..379; an LDL
// redraw: 380..479) are copied and blended; they become the present band, and
// the stale band is emptied. A frame that changes nothing leaves an empty band.
void composeFrame(const struct tm& now);

// Puts every frame loop state back to its start values (as at the first frame),
// with every row stale, so that the next frame is composed whole.
void resetFrameState();
