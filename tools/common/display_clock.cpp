#include "tools/common/display_clock.h"

#include <cstdio>

bool parseLocalTime(const char* text, struct tm& out) {
    int year, month, day, hour, minute, second;
    char tail;
    if (std::sscanf(text, "%4d-%2d-%2d %2d:%2d:%2d%c", &year, &month, &day, &hour, &minute, &second,
                    &tail) != 6)
        return false;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59 ||
        hour < 0 || minute < 0 || second < 0)
        return false;
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    struct tm wanted = t;
    if (std::mktime(&t) == static_cast<time_t>(-1)) return false;
    // mktime moves a day that does not exist (31 April) into the next month.
    if (t.tm_mday != wanted.tm_mday || t.tm_mon != wanted.tm_mon) return false;
    // A wall-clock time skipped by a daylight-saving change comes back moved.
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    out = t;
    return true;
}

DisplayClock startDisplayClock(const struct tm& start, bool runs) {
    DisplayClock clock = {start, 0, runs};
    struct tm copy = start;
    clock.startSeconds = std::mktime(&copy);
    return clock;
}

struct tm displayClockAt(const DisplayClock& clock, long index) {
    const long seconds = index / kClockFramesPerSecond;
    // The first second shows the time as given, even one that a daylight-saving
    // change skips and that the calendar would move.
    if (!clock.runs || seconds == 0) return clock.start;
    struct tm now = {};
    const std::time_t at = clock.startSeconds + seconds;
    localtime_r(&at, &now);
    return now;
}
