// A timeline of the display: page messages that arrive before given frames,
// and the frames composed one after another with the clock running at the
// display's pace (or kept still), exactly as the preview would show them.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "tools/common/display_clock.h"

constexpr long kMaxFrames = 1000000;  // about 4.6 hours of display at 60 frames/s

// One message file and the frame it arrives before.
struct TimedMessage {
    long frame;          // applied before this frame is composed, 1..kMaxFrames
    const char* path;    // the file, as named on the command line
    std::string framed;  // what the listener hands the decoder for its text
    bool hasObject;      // a '{' survived the framing, so the decoder sees it
};

// Where a run through the timeline stands.
struct Timeline {
    const std::vector<TimedMessage>* messages;  // sorted by frame, order kept within one
    size_t next;                                // first message not yet applied
    DisplayClock clock;                         // the local clock from frame 1 on
};

// Reads every message file and frames it as the listener would, then orders
// the messages by frame, keeping the command line's order within a frame.
// Returns false, with the index of the file in failed and errno as the read
// left it (0 when the file is over maxBytes), when a file cannot be read.
bool readTimedMessages(std::vector<TimedMessage>& messages, size_t maxBytes, size_t& failed);

// Puts the page model and every frame loop state back to their start-up
// values and the timeline before its first message, so that a second run over
// the same frames composes the same pictures. Fonts and buffers must be ready.
void startTimeline(Timeline& timeline);

// Applies the messages due before frame (1-based, one more than the last one
// composed) and composes it into win_present_buf.
void composeTimelineFrame(Timeline& timeline, long frame);
