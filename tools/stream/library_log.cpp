#include "tools/stream/library_log.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstdio>
#include <cstring>

constexpr int kLibraryLineSize = 512;

// The first error line since a clear, kept per thread: each output's writer
// explains its own failures, never another output's.
static thread_local char library_error[kLibraryLineSize] = {};

static void keepLibraryLine(void* avcl, int level, const char* format, va_list args) {
    if (level > AV_LOG_ERROR) return;
    char line[kLibraryLineSize];
    int prefix = 1;
    // Without the "[tcp @ 0x...]" context: the text alone is what a user reads.
    (void)avcl;
    av_log_format_line2(nullptr, level, format, args, line, sizeof line, &prefix);
    line[std::strcspn(line, "\r\n")] = '\0';
    if (line[0] == '\0') return;
    // The first error says why; the ones after it say what gave up because of it
    // ("Failed to resolve hostname ...", then "Cannot open connection ...").
    if (library_error[0] == '\0') std::snprintf(library_error, sizeof library_error, "%s", line);
}

void captureLibraryLog() {
    av_log_set_callback(keepLibraryLine);
}

void clearLibraryError() {
    library_error[0] = '\0';
}

void lastLibraryError(char* out, int size) {
    std::snprintf(out, static_cast<size_t>(size), "%s", library_error);
}
