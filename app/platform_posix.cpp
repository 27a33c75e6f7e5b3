// The POSIX clock: local time from localtime_r; sleeps are precise already.
#include <ctime>

#include "app/platform.h"

void rawConsole() {}

struct tm localTimeNow() {
    const std::time_t now = std::time(nullptr);
    struct tm local = {};
    localtime_r(&now, &local);
    return local;
}

void frameTimerStart() {}

void frameTimerStop() {}
