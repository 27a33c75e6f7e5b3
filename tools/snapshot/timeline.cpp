#include "tools/snapshot/timeline.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/canvas.h"
#include "app/frame.h"
#include "feed/decode.h"
#include "model/page_model.h"
#include "model/shared_bytes.h"
#include "tools/snapshot/snapshot.h"

bool readTimedMessages(std::vector<TimedMessage>& messages, size_t maxBytes, size_t& failed) {
    std::string text;
    for (size_t m = 0; m < messages.size(); ++m) {
        errno = 0;
        if (!readMessageText(messages[m].path, maxBytes, text)) {
            failed = m;
            return false;
        }
        messages[m].hasObject = frameAsListener(text, messages[m].framed);
    }
    std::stable_sort(
        messages.begin(), messages.end(),
        [](const TimedMessage& a, const TimedMessage& b) { return a.frame < b.frame; });
    return true;
}

void startTimeline(Timeline& timeline) {
    std::memset(pagestore, 0, sizeof pagestore);
    presetPageModel();
    takeFlag(page_dirty);
    resetFrameState();
    repaintSolids();
    timeline.next = 0;
}

void composeTimelineFrame(Timeline& timeline, long frame) {
    const std::vector<TimedMessage>& messages = *timeline.messages;
    for (; timeline.next < messages.size() && messages[timeline.next].frame <= frame;
         ++timeline.next)
        if (messages[timeline.next].hasObject)
            decodeMessage(messages[timeline.next].framed.c_str());
    composeFrame(displayClockAt(timeline.clock, frame - 1));
}
