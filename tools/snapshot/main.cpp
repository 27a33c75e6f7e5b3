// vantrel-snapshot: renders what the display would show for a timeline of page
// messages, through the preview's own frame code, into PNG pictures, an
// animated GIF or a video; no window.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "app/buffers.h"
#include "app/canvas.h"
#include "fonts/tiga_font.h"
#include "render/resample.h"
#include "tools/encode/video_file.h"
#include "tools/snapshot/options.h"
#include "tools/snapshot/output.h"
#include "tools/snapshot/snapshot.h"
#include "tools/snapshot/timeline.h"

constexpr size_t kMaxMessageFile = 16 * 1024 * 1024;  // far beyond what the listener keeps
constexpr long kProgressEvery = 10;  // frames between two updates of the progress line
constexpr int kProgressLines = 10;   // lines at most in a log that is not a terminal

// The progress line on standard error: updated in place on a terminal, a few
// plain lines in a log, nothing with --quiet or for a single frame.
struct Progress {
    bool shown;        // progress is reported at all
    bool terminal;     // standard error is a terminal: one line rewritten
    const char* pass;  // what the frames are for: "frame" or "palette"
    long total;        // frames to compose in this pass
    int linesDone;     // plain lines written so far, in a log
};

static void reportProgress(Progress& p, long frame) {
    if (!p.shown) return;
    if (p.terminal) {
        if (frame % kProgressEvery != 0 && frame != p.total) return;
        std::fprintf(stderr, "\rvantrel-snapshot: %s %ld of %ld", p.pass, frame, p.total);
        if (frame == p.total) std::fputc('\n', stderr);
        return;
    }
    const int line = static_cast<int>(frame * kProgressLines / p.total);
    if (line <= p.linesDone) return;
    p.linesDone = line;
    std::fprintf(stderr, "vantrel-snapshot: %s %ld of %ld\n", p.pass, frame, p.total);
}

static void startProgress(Progress& p, const SnapshotOptions& opts, const char* pass) {
    p.shown = !opts.quiet && opts.to > opts.from;
    p.terminal = isatty(STDERR_FILENO) != 0;
    p.pass = pass;
    p.total = opts.to;
    p.linesDone = 0;
}

static bool isWritten(const SnapshotOptions& opts, long frame) {
    return frame >= opts.from && (frame - opts.from) % opts.step == 0;
}

// Removes the PNG files of frames from..last that this run has written.
static void removePngFrames(const SnapshotOptions& opts, long last) {
    char name[kMaxPathBytes];
    for (long f = opts.from; f <= last; f += opts.step)
        if (formatFramePath(opts.output, f, name, sizeof name)) std::remove(name);
}

// Writes the frames as PNG files, each whole under its name or not at all.
static bool writePngs(const SnapshotOptions& opts, Timeline& timeline, std::string& error) {
    char name[kMaxPathBytes];
    char temp[kMaxPathBytes];
    Progress progress;
    startProgress(progress, opts, "frame");
    startTimeline(timeline);
    for (long f = 1; f <= opts.to; ++f) {
        composeTimelineFrame(timeline, f);
        reportProgress(progress, f);
        if (!isWritten(opts, f)) continue;
        const bool named = opts.kind == OutputKind::kPngSeries
                               ? formatFramePath(opts.output, f, name, sizeof name)
                               : std::snprintf(name, sizeof name, "%s", opts.output) > 0;
        bool ok = named && makeTempBeside(name, temp, sizeof temp);
        if (!ok) error = named ? std::strerror(errno) : "the name is too long";
        ok = ok && writeRgbPng(temp, win_present_buf, kFrameWidth, kFrameRows, error);
        if (ok && std::rename(temp, name) != 0) {
            error = std::strerror(errno);
            ok = false;
        }
        if (!ok) {
            std::remove(temp);
            removePngFrames(opts, f - opts.step);
            if (opts.kind == OutputKind::kPngSeries) error = std::string(name) + ": " + error;
            return false;
        }
    }
    return true;
}

// Runs the frames through the encoder, twice for a GIF's palette.
static bool writeVideo(const SnapshotOptions& opts, Timeline& timeline, const char* temp,
                       std::string& error) {
    VideoWriter video;
    const VideoKind kind = opts.kind == OutputKind::kGif ? VideoKind::kGif : VideoKind::kMp4;
    if (!openVideo(video, kind, temp, kFrameWidth, kFrameRows, static_cast<int>(opts.step), error))
        return false;
    for (int pass = kind == VideoKind::kGif ? 0 : 1; pass < 2; ++pass) {
        Progress progress;
        startProgress(progress, opts, pass == 0 ? "palette" : "frame");
        startTimeline(timeline);
        for (long f = 1; f <= opts.to; ++f) {
            composeTimelineFrame(timeline, f);
            reportProgress(progress, f);
            if (isWritten(opts, f) && !addVideoFrame(video, win_present_buf, error)) {
                releaseVideo(video);
                return false;
            }
        }
        if (pass == 0 && !finishPalettePass(video, error)) {
            releaseVideo(video);
            return false;
        }
    }
    return closeVideo(video, error);
}

// Writes the video under a temporary name beside the output and renames it
// when it is whole.
static bool writeVideoFile(const SnapshotOptions& opts, Timeline& timeline, std::string& error) {
    char temp[kMaxPathBytes];
    if (!makeTempBeside(opts.output, temp, sizeof temp)) {
        error = std::strerror(errno);
        return false;
    }
    bool ok = writeVideo(opts, timeline, temp, error);
    if (ok && std::rename(temp, opts.output) != 0) {
        error = std::strerror(errno);
        ok = false;
    }
    if (!ok) std::remove(temp);
    return ok;
}

int main(int argc, char** argv) {
    SnapshotOptions opts;
    switch (parseSnapshotOptions(argc, argv, opts, stderr)) {
        case ParseOutcome::kHelp:
            printSnapshotUsage(stdout);
            return 0;
        case ParseOutcome::kError:
            return 2;
        case ParseOutcome::kRun:
            break;
    }

    Timeline timeline = {};
    timeline.messages = &opts.messages;
    struct tm start = {};
    if (opts.timeText != nullptr) {
        if (!parseLocalTime(opts.timeText, start)) {
            std::fprintf(stderr,
                         "vantrel-snapshot: --time wants a local time \"YYYY-MM-DD HH:MM:SS\", "
                         "not '%s'\n",
                         opts.timeText);
            return 2;
        }
    } else {
        const std::time_t now = std::time(nullptr);
        localtime_r(&now, &start);
    }
    timeline.clock = startDisplayClock(start, opts.clockRuns);

    // Every file is read before anything is applied, so a bad name changes nothing.
    size_t failed = 0;
    if (!readTimedMessages(opts.messages, kMaxMessageFile, failed)) {
        std::fprintf(stderr, "vantrel-snapshot: cannot read %s: %s\n", opts.messages[failed].path,
                     errno ? std::strerror(errno) : "larger than 16 MiB");
        return 1;
    }
    for (const TimedMessage& m : opts.messages) {
        if (!m.hasObject)
            std::fprintf(stderr, "vantrel-snapshot: %s: no JSON object in it; skipped\n", m.path);
        else if (m.frame > opts.to)
            std::fprintf(stderr,
                         "vantrel-snapshot: %s arrives before frame %ld, after the last frame "
                         "written (%ld); it changes nothing\n",
                         m.path, m.frame, opts.to);
    }

    if (!loadFontSlots(opts.fontDir)) {
        std::fprintf(stderr,
                     "vantrel-snapshot: no FONT01.tiga..FONT07.tiga in '%s'; point --fonts at "
                     "the generated font folder (build/fonts)\n",
                     opts.fontDir);
        return 1;
    }
    buildHtaps();
    if (!allocateRenderBuffers() || !allocateImages()) {
        std::fputs("vantrel-snapshot: out of memory for the frame buffers\n", stderr);
        return 1;
    }

    std::string error;
    const bool written = opts.kind == OutputKind::kPng || opts.kind == OutputKind::kPngSeries
                             ? writePngs(opts, timeline, error)
                             : writeVideoFile(opts, timeline, error);
    if (!written)
        std::fprintf(stderr, "vantrel-snapshot: cannot write %s: %s\n", opts.output, error.c_str());
    releaseFontSlots();
    releaseBuffers();
    return written ? 0 : 1;
}
