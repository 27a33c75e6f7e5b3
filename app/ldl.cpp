#include "app/ldl.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "app/buffers.h"
#include "model/shared_bytes.h"
#include "render/page_layout.h"
#include "render/text.h"

constexpr int kShortTextSize = 3;  // hour, AM/PM and day texts, terminator included
constexpr int kTimeTextSize = 12;  // "hh:mm:ss AM"
constexpr int kDateTextSize = 11;  // "Www Mmm dd"
constexpr int kClockSize = 0;      // text size of the clock line (20-row font)
constexpr int kLineSize = 1;       // text size of page 50's line (40-row font)
constexpr uint8_t kShadowOn = 1;

const char* const wdays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const mons[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

char clockLine[kClockLineSize] = {};  // built by buildClockLine
char ldlKey[kLdlKeySize] = {};        // formatted by updateLdl
char lastLdlKey[kLdlKeySize] = {};    // set by the redraw; empty, so the first frame draws
int32_t ldlLine = 1;                  // advanced by rotateLdl

// Non-negative remainder, so a table index is always in range.
static int wrapIndex(int value, int count) {
    return ((value % count) + count) % count;
}

static uint8_t ldlLineCount() {
    return loadShared(pagestore[kLdlSourcePage].lineCount);
}

void buildClockLine(const struct tm& now) {
    char hourText[kShortTextSize];
    char ampmText[kShortTextSize] = "AM";
    char dayText[kShortTextSize];
    char timeText[kTimeTextSize];
    char dateText[kDateTextSize];

    int hour = now.tm_hour;
    if (hour == 0) {
        std::snprintf(hourText, sizeof hourText, "12");
    } else {
        if (hour >= 12) std::snprintf(ampmText, sizeof ampmText, "PM");
        if (hour > 12) hour -= 12;
        std::snprintf(hourText, sizeof hourText, hour <= 9 ? " %01d" : "%02d", hour);
    }
    std::snprintf(dayText, sizeof dayText, now.tm_mday <= 9 ? " %01d" : "%02d", now.tm_mday);
    std::snprintf(timeText, sizeof timeText, "%s:%02d:%02d %2s", hourText, now.tm_min, now.tm_sec,
                  ampmText);
    std::snprintf(dateText, sizeof dateText, "%3s %3s %s", wdays[wrapIndex(now.tm_wday, 7)],
                  mons[wrapIndex(now.tm_mon, 12)], dayText);
    std::memset(clockLine, 0, sizeof clockLine);
    std::snprintf(clockLine, sizeof clockLine, "%s           %s", dateText, timeText);
}

void updateLdl() {
    const uint8_t ldlPage = loadShared(omcw[kLdlPage]);
    std::snprintf(ldlKey, sizeof ldlKey, "%d|%d|%s", ldlPage, ldlLine, clockLine);
    if (std::strcmp(ldlKey, lastLdlKey) == 0) return;
    if (bot768 == nullptr || bot_buf == nullptr) return;

    std::memset(bot768, 0, sizeof(uint32_t) * kRenderWidth * kLdlRows);
    if (ldlPage != 0) {
        drawTextLine(bot768, kLdlRows, horizalign, kClockTopRow, clockLine, kClockSize, 0,
                     kShadowOn);
        const uint8_t lineCount = ldlLineCount();
        if (lineCount >= 1 && lineCount <= kRowCount && ldlLine >= 1 && ldlLine <= kRowCount) {
            char text[kRowTextSize];
            const uint8_t* row = pagestore[kLdlSourcePage].rowText[ldlLine - 1];
            for (int i = 0; i < kRowTextSize; ++i)
                text[i] = static_cast<char>(loadShared(row[i]));
            const size_t length = strnlen(text, kRowTextSize);
            drawTextLine(bot768, kLdlRows, horizalign, kLdlLineTopRow,
                         std::string_view(text, length), kLineSize, 0, kShadowOn);
        }
    }
    hresize(bot768, bot_buf, kLdlRows);
    markRowsChanged(kLdlTop, kFrameRows);
    std::strncpy(lastLdlKey, ldlKey, kLdlKeySize - 1);
    lastLdlKey[kLdlKeySize - 1] = '\0';
}

void rotateLdl(uint32_t frameCount) {
    if (frameCount % kLdlRotateFrames != kLdlRotatePhase) return;
    ++ldlLine;
    if (ldlLine > ldlLineCount()) ldlLine = 1;
}

void resetLdl() {
    std::memset(clockLine, 0, sizeof clockLine);
    std::memset(ldlKey, 0, sizeof ldlKey);
    std::memset(lastLdlKey, 0, sizeof lastLdlKey);
    ldlLine = 1;
}
