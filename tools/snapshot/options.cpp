#include "tools/snapshot/options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tools/common/args.h"
#include "tools/snapshot/output.h"

namespace {

const char* optionValue(int argc, char** argv, int& i, const char* name, FILE* err) {
    return optionValue("vantrel-snapshot", argc, argv, i, name, err);
}

// A frame number or count, 1..kMaxFrames, for option name.
bool frameValue(int argc, char** argv, int& i, const char* name, long& out, FILE* err) {
    return numberValue("vantrel-snapshot", argc, argv, i, name, 1, kMaxFrames, out, err);
}

// Decides what the output is, and checks that it can hold the frame range.
bool chooseOutput(SnapshotOptions& opts, bool stepGiven, FILE* err) {
    if (endsWith(opts.output, ".gif"))
        opts.kind = OutputKind::kGif;
    else if (endsWith(opts.output, ".mp4"))
        opts.kind = OutputKind::kMp4;
    else
        opts.kind = OutputKind::kPng;
    if (opts.kind == OutputKind::kGif && !stepGiven) opts.step = kGifFrameStep;
    if (opts.output[0] == '\0') {
        std::fprintf(err, "vantrel-snapshot: -o needs a value\n");
        return false;
    }
    if (std::strlen(opts.output) + 16 > kMaxPathBytes) {
        std::fprintf(err, "vantrel-snapshot: -o: the name is too long\n");
        return false;
    }
    if (opts.kind != OutputKind::kPng) return true;
    const int fields = framePatternFields(opts.output);
    if (fields < 0) {
        std::fprintf(err,
                     "vantrel-snapshot: -o %s: a PNG pattern holds one frame number such as %%05d, "
                     "and %%%% for a %%\n",
                     opts.output);
        return false;
    }
    if (fields == 1) opts.kind = OutputKind::kPngSeries;
    if (fields == 0 && opts.to - opts.from >= opts.step) {
        std::fprintf(err,
                     "vantrel-snapshot: -o %s holds one picture; for frames %ld to %ld name a "
                     "pattern (frame-%%05d.png), a .gif or an .mp4\n",
                     opts.output, opts.from, opts.to);
        return false;
    }
    return true;
}

}  // namespace

ParseOutcome parseSnapshotOptions(int argc, char** argv, SnapshotOptions& opts, FILE* err) {
    bool optionsEnded = false;
    bool framesGiven = false, fromGiven = false, toGiven = false, stepGiven = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (optionsEnded || arg[0] != '-' || arg[1] == '\0') {
            opts.messages.push_back({1, arg, {}, false});
        } else if (std::strcmp(arg, "--") == 0) {
            optionsEnded = true;
        } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            return ParseOutcome::kHelp;
        } else if (std::strcmp(arg, "--quiet") == 0 || std::strcmp(arg, "-q") == 0) {
            opts.quiet = true;
        } else if (isOption(arg, "--fonts")) {
            if (!(opts.fontDir = optionValue(argc, argv, i, "--fonts", err)))
                return ParseOutcome::kError;
        } else if (isOption(arg, "--time")) {
            if (!(opts.timeText = optionValue(argc, argv, i, "--time", err)))
                return ParseOutcome::kError;
        } else if (isOption(arg, "-o")) {
            if (!(opts.output = optionValue(argc, argv, i, "-o", err))) return ParseOutcome::kError;
        } else if (isOption(arg, "--clock")) {
            const char* value = optionValue(argc, argv, i, "--clock", err);
            if (value == nullptr) return ParseOutcome::kError;
            if (std::strcmp(value, "run") != 0 && std::strcmp(value, "fixed") != 0) {
                std::fprintf(err, "vantrel-snapshot: --clock wants run or fixed, not '%s'\n",
                             value);
                return ParseOutcome::kError;
            }
            opts.clockRuns = value[0] == 'r';
        } else if (isOption(arg, "--frames")) {
            if (!frameValue(argc, argv, i, "--frames", opts.to, err)) return ParseOutcome::kError;
            opts.from = opts.to;
            framesGiven = true;
        } else if (isOption(arg, "--from")) {
            if (!frameValue(argc, argv, i, "--from", opts.from, err)) return ParseOutcome::kError;
            fromGiven = true;
        } else if (isOption(arg, "--to")) {
            if (!frameValue(argc, argv, i, "--to", opts.to, err)) return ParseOutcome::kError;
            toGiven = true;
        } else if (isOption(arg, "--step")) {
            if (!frameValue(argc, argv, i, "--step", opts.step, err)) return ParseOutcome::kError;
            stepGiven = true;
        } else if (isOption(arg, "--at")) {
            long frame = 0;
            if (!frameValue(argc, argv, i, "--at", frame, err)) return ParseOutcome::kError;
            if (i + 1 >= argc) {
                std::fprintf(err, "vantrel-snapshot: --at %ld needs a message file\n", frame);
                return ParseOutcome::kError;
            }
            opts.messages.push_back({frame, argv[++i], {}, false});
        } else {
            std::fprintf(err, "vantrel-snapshot: unknown option %s (see --help)\n", arg);
            return ParseOutcome::kError;
        }
    }
    if (framesGiven && (fromGiven || toGiven)) {
        std::fprintf(err,
                     "vantrel-snapshot: --frames N is --from N --to N; give one or the other\n");
        return ParseOutcome::kError;
    }
    if (fromGiven && !toGiven) opts.to = opts.from;
    if (opts.from > opts.to) {
        std::fprintf(err, "vantrel-snapshot: --from %ld comes after --to %ld\n", opts.from,
                     opts.to);
        return ParseOutcome::kError;
    }
    return chooseOutput(opts, stepGiven, err) ? ParseOutcome::kRun : ParseOutcome::kError;
}

void printSnapshotUsage(FILE* out) {
    std::fprintf(
        out,
        "usage: vantrel-snapshot [options] [MESSAGE.json...] [--at FRAME MESSAGE.json...]\n"
        "\n"
        "Plays page messages into the preview's own frame code, without a window, and\n"
        "writes the 720 x 480 frames the window would show: one PNG, a PNG per frame,\n"
        "an animated GIF or an H.264 video. Each MESSAGE.json is applied as the page\n"
        "feed would, before frame 1; one given with --at arrives before that frame.\n"
        "\n"
        "options:\n"
        "  --fonts DIR       folder with FONT01..07.tiga and SHDT01..07.tiga (default: .)\n"
        "  --time TIME       local time \"YYYY-MM-DD HH:MM:SS\" of frame 1 (default: now)\n"
        "  --clock run       the clock moves on 1/60 s a frame, a fixed pace for the\n"
        "                    display's 16 ms frames plus their work (default)\n"
        "  --clock fixed     every frame shows --time\n"
        "  --at FRAME FILE   apply message FILE before frame FRAME (repeatable)\n"
        "  --frames N        write frame N alone (default 1): the same as --from N --to N\n"
        "  --from A --to B   write frames A to B, 1 to %ld (--to defaults to A)\n"
        "  --step N          write every Nth frame from A (default 1, for a GIF %d)\n"
        "  -o OUT            where the frames go (default snapshot.png):\n"
        "                      NAME.png       one frame\n"
        "                      NAME-%%05d.png  one PNG per frame, numbered by frame\n"
        "                      NAME.gif       an animated GIF on one palette of 256\n"
        "                                     colours; its delays count 1/100 s, so\n"
        "                                     every 3rd frame plays at the true pace\n"
        "                      NAME.mp4       H.264 at 60 frames a second\n"
        "  --quiet, -q       no progress line on standard error\n"
        "  --help            show this text\n"
        "\n"
        "Exit status: 0 written, 1 a message, the fonts or the output failed, 2 a bad\n"
        "option. Nothing is left under the output's name when writing fails.\n",
        kMaxFrames, kGifFrameStep);
}
