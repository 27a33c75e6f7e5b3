// vantrel-snapshot: renders what the display would show for a set of page
// messages, through the preview's own frame code, into a PNG; no window.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "app/buffers.h"
#include "app/canvas.h"
#include "app/frame.h"
#include "feed/decode.h"
#include "fonts/tiga_font.h"
#include "model/page_model.h"
#include "render/resample.h"
#include "tools/snapshot/snapshot.h"

constexpr long kMaxFrames = 1000000;                  // about 4.5 hours of display at 60 frames/s
constexpr size_t kMaxMessageFile = 16 * 1024 * 1024;  // far beyond what the listener keeps

static void printUsage(FILE* out) {
    std::fputs(
        "usage: vantrel-snapshot [--fonts DIR] [--time \"YYYY-MM-DD HH:MM:SS\"] [--frames N]\n"
        "                        [-o OUT.png] [MESSAGE.json...]\n"
        "\n"
        "Applies each page message, in order, as the page feed would, composes N\n"
        "frames of the preview with its clock fixed, and writes the 720 x 480 picture\n"
        "the window would show as a PNG.\n"
        "\n"
        "options:\n"
        "  --fonts DIR    folder with FONT01..07.tiga and SHDT01..07.tiga (default: .)\n"
        "  --time TIME    local clock time of every frame (default: now)\n"
        "  --frames N     frames to compose, 1 to 1000000 (default 1)\n"
        "  -o OUT.png     output file (default snapshot.png)\n"
        "  --help         show this text\n",
        out);
}

struct SnapshotOptions {
    const char* fontDir = ".";
    const char* output = "snapshot.png";
    const char* timeText = nullptr;  // null: now
    long frames = 1;
    std::vector<const char*> messages;
};

enum class Parse { kRun, kHelp, kError };

// Takes the value of option name from argv[i] ("--name=VALUE") or argv[i + 1].
static const char* optionValue(int argc, char** argv, int& i, const char* name) {
    const size_t length = std::strlen(name);
    if (std::strncmp(argv[i], name, length) == 0 && argv[i][length] == '=')
        return argv[i] + length + 1;
    if (std::strcmp(argv[i], name) != 0) return nullptr;
    if (i + 1 >= argc) {
        std::fprintf(stderr, "vantrel-snapshot: %s needs a value\n", name);
        return nullptr;
    }
    return argv[++i];
}

static bool isOption(const char* arg, const char* name) {
    const size_t length = std::strlen(name);
    return std::strncmp(arg, name, length) == 0 && (arg[length] == '\0' || arg[length] == '=');
}

static Parse parseOptions(int argc, char** argv, SnapshotOptions& opts) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (optionsEnded || arg[0] != '-' || arg[1] == '\0') {
            opts.messages.push_back(arg);
        } else if (std::strcmp(arg, "--") == 0) {
            optionsEnded = true;
        } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            return Parse::kHelp;
        } else if (isOption(arg, "--fonts")) {
            if (!(opts.fontDir = optionValue(argc, argv, i, "--fonts"))) return Parse::kError;
        } else if (isOption(arg, "--time")) {
            if (!(opts.timeText = optionValue(argc, argv, i, "--time"))) return Parse::kError;
        } else if (isOption(arg, "-o")) {
            if (!(opts.output = optionValue(argc, argv, i, "-o"))) return Parse::kError;
        } else if (isOption(arg, "--frames")) {
            const char* value = optionValue(argc, argv, i, "--frames");
            if (value == nullptr) return Parse::kError;
            char* end = nullptr;
            errno = 0;
            opts.frames = std::strtol(value, &end, 10);
            if (errno != 0 || end == value || *end != '\0' || opts.frames < 1 ||
                opts.frames > kMaxFrames) {
                std::fprintf(stderr, "vantrel-snapshot: --frames wants 1 to %ld, not '%s'\n",
                             kMaxFrames, value);
                return Parse::kError;
            }
        } else {
            std::fprintf(stderr, "vantrel-snapshot: unknown option %s (see --help)\n", arg);
            return Parse::kError;
        }
    }
    return Parse::kRun;
}

int main(int argc, char** argv) {
    SnapshotOptions opts;
    switch (parseOptions(argc, argv, opts)) {
        case Parse::kHelp:
            printUsage(stdout);
            return 0;
        case Parse::kError:
            return 2;
        case Parse::kRun:
            break;
    }

    struct tm clock = {};
    if (opts.timeText != nullptr) {
        if (!parseSnapshotTime(opts.timeText, clock)) {
            std::fprintf(stderr,
                         "vantrel-snapshot: --time wants a local time \"YYYY-MM-DD HH:MM:SS\", "
                         "not '%s'\n",
                         opts.timeText);
            return 2;
        }
    } else {
        const std::time_t now = std::time(nullptr);
        localtime_r(&now, &clock);
    }

    // Every file is read before anything is applied, so a bad name changes nothing.
    std::vector<std::string> framed(opts.messages.size());
    std::vector<bool> hasObject(opts.messages.size());
    for (size_t m = 0; m < opts.messages.size(); ++m) {
        std::string text;
        errno = 0;
        if (!readMessageText(opts.messages[m], kMaxMessageFile, text)) {
            std::fprintf(stderr, "vantrel-snapshot: cannot read %s: %s\n", opts.messages[m],
                         errno ? std::strerror(errno) : "larger than 16 MiB");
            return 1;
        }
        hasObject[m] = frameAsListener(text, framed[m]);
    }

    presetPageModel();
    for (size_t m = 0; m < framed.size(); ++m) {
        if (!hasObject[m]) {
            std::fprintf(stderr, "vantrel-snapshot: %s: no JSON object in it; skipped\n",
                         opts.messages[m]);
            continue;
        }
        decodeMessage(framed[m].c_str());
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
    resetFrameState();
    repaintSolids();
    for (long f = 0; f < opts.frames; ++f)
        composeFrame(clock);

    std::string error;
    const bool written = writeRgbPng(opts.output, win_present_buf, kFrameWidth, kFrameRows, error);
    if (!written)
        std::fprintf(stderr, "vantrel-snapshot: cannot write %s: %s\n", opts.output, error.c_str());
    releaseFontSlots();
    releaseBuffers();
    return written ? 0 : 1;
}
