// The Windows clock: local time from localtime_s, and a 1 ms timer resolution
// while the frame loop runs, so that its 16 ms sleep lasts 16 ms.
#include <windows.h>
// timeapi.h needs the types of windows.h.
#include <timeapi.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <ctime>

#include "app/platform.h"

constexpr UINT kTimerResolutionMs = 1;

void rawConsole() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

struct tm localTimeNow() {
    const std::time_t now = std::time(nullptr);
    struct tm local = {};
    localtime_s(&local, &now);
    return local;
}

void frameTimerStart() {
    timeBeginPeriod(kTimerResolutionMs);
}

void frameTimerStop() {
    timeEndPeriod(kTimerResolutionMs);
}
