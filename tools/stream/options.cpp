#include "tools/stream/options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tools/common/args.h"

namespace {

constexpr const char* kProgram = "vantrel-stream";
constexpr int kMinBitrateKbits = 100;
constexpr int kMaxBitrateKbits = 50000;
constexpr int kMaxRetries = 1000000;
constexpr int64_t kMaxDurationSeconds = 366LL * 24 * 3600;
constexpr int kFramesPerSecond = 60;
constexpr int64_t kSecondsPerDay = 24 * 3600;

const char* value(int argc, char** argv, int& i, const char* name, FILE* err) {
    return optionValue(kProgram, argc, argv, i, name, err);
}

}  // namespace

bool parseDuration(const char* text, int64_t& frames) {
    int64_t seconds = 0;
    const char* p = text;
    if (*p == '\0') return false;
    while (*p != '\0') {
        if (*p < '0' || *p > '9') return false;
        int64_t n = 0;
        for (; *p >= '0' && *p <= '9'; ++p) {
            n = n * 10 + (*p - '0');
            if (n > kMaxDurationSeconds) return false;
        }
        int64_t unit = 1;
        if (*p == 'd')
            unit = kSecondsPerDay;
        else if (*p == 'h')
            unit = 3600;
        else if (*p == 'm')
            unit = 60;
        else if (*p != 's' && *p != '\0')
            return false;
        if (*p != '\0') ++p;
        seconds += n * unit;
        if (seconds > kMaxDurationSeconds) return false;
    }
    if (seconds == 0) return false;
    frames = seconds * kFramesPerSecond;
    return true;
}

bool parseListen(const char* text, uint32_t& address, int& port) {
    const char* colon = std::strrchr(text, ':');
    if (colon == nullptr || colon[1] == '\0') return false;
    char host[16];
    const size_t length = static_cast<size_t>(colon - text);
    if (length == 0 || length >= sizeof host) return false;
    std::memcpy(host, text, length);
    host[length] = '\0';
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(colon + 1, &end, 10);
    if (errno != 0 || *end != '\0' || n < 0 || n > 65535 || colon[1] < '0' || colon[1] > '9')
        return false;
    if (!parseIpv4(host, address)) return false;
    port = static_cast<int>(n);
    return true;
}

ParseOutcome parseStreamOptions(int argc, char** argv, StreamOptions& opts, FILE* err) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        long n = 0;
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            return ParseOutcome::kHelp;
        } else if (std::strcmp(arg, "--quiet") == 0 || std::strcmp(arg, "-q") == 0) {
            opts.quiet = true;
        } else if (std::strcmp(arg, "--trace") == 0) {
            opts.trace = true;
        } else if (std::strcmp(arg, "-y") == 0) {
            opts.overwrite = true;
        } else if (std::strcmp(arg, "--lossless") == 0) {
            opts.lossless = true;
        } else if (std::strcmp(arg, "--no-audio") == 0) {
            opts.audio = false;
        } else if (isOption(arg, "-o")) {
            const char* text = value(argc, argv, i, "-o", err);
            if (text == nullptr) return ParseOutcome::kError;
            if (text[0] == '\0') {
                std::fprintf(err, "%s: -o wants a file name or a URL\n", kProgram);
                return ParseOutcome::kError;
            }
            if (opts.outputs.size() == kMaxOutputOptions) {
                std::fprintf(err, "%s: -o is taken at most %d times\n", kProgram,
                             kMaxOutputOptions);
                return ParseOutcome::kError;
            }
            opts.outputs.push_back(text);
        } else if (isOption(arg, "--format")) {
            if (!(opts.format = value(argc, argv, i, "--format", err))) return ParseOutcome::kError;
        } else if (isOption(arg, "--fonts")) {
            if (!(opts.fontDir = value(argc, argv, i, "--fonts", err))) return ParseOutcome::kError;
        } else if (isOption(arg, "--time")) {
            if (!(opts.timeText = value(argc, argv, i, "--time", err))) return ParseOutcome::kError;
        } else if (isOption(arg, "--clock")) {
            const char* text = value(argc, argv, i, "--clock", err);
            if (text == nullptr) return ParseOutcome::kError;
            if (std::strcmp(text, "run") != 0 && std::strcmp(text, "fixed") != 0) {
                std::fprintf(err, "%s: --clock wants run or fixed, not '%s'\n", kProgram, text);
                return ParseOutcome::kError;
            }
            opts.clockRuns = text[0] == 'r';
        } else if (isOption(arg, "--listen")) {
            const char* text = value(argc, argv, i, "--listen", err);
            if (text == nullptr) return ParseOutcome::kError;
            if (!parseListen(text, opts.listenAddress, opts.listenPort)) {
                std::fprintf(err, "%s: --listen wants ADDR:PORT such as 0.0.0.0:6867, not '%s'\n",
                             kProgram, text);
                return ParseOutcome::kError;
            }
        } else if (isOption(arg, "--allow")) {
            const char* text = value(argc, argv, i, "--allow", err);
            if (text == nullptr) return ParseOutcome::kError;
            NetRange range = {};
            if (!parseNetRange(text, range)) {
                std::fprintf(err,
                             "%s: --allow wants a network such as 192.168.1.0/24 (no bits set "
                             "past the prefix), not '%s'\n",
                             kProgram, text);
                return ParseOutcome::kError;
            }
            if (opts.allowed.count == kMaxAllowedNets) {
                std::fprintf(err, "%s: --allow takes at most %d networks\n", kProgram,
                             kMaxAllowedNets);
                return ParseOutcome::kError;
            }
            opts.allowed.nets[opts.allowed.count++] = range;
        } else if (isOption(arg, "--audio")) {
            const char* text = value(argc, argv, i, "--audio", err);
            if (text == nullptr) return ParseOutcome::kError;
            opts.music.push_back(text);
        } else if (isOption(arg, "--status")) {
            if (!(opts.statusFile = value(argc, argv, i, "--status", err)))
                return ParseOutcome::kError;
        } else if (isOption(arg, "--metrics")) {
            if (!(opts.metricsFile = value(argc, argv, i, "--metrics", err)))
                return ParseOutcome::kError;
        } else if (isOption(arg, "--channel")) {
            if (!(opts.channel = value(argc, argv, i, "--channel", err)))
                return ParseOutcome::kError;
        } else if (isOption(arg, "--key-file")) {
            const char* text = value(argc, argv, i, "--key-file", err);
            if (text == nullptr) return ParseOutcome::kError;
            opts.keyFiles.push_back(text);
        } else if (isOption(arg, "--bitrate")) {
            if (!numberValue(kProgram, argc, argv, i, "--bitrate", kMinBitrateKbits,
                             kMaxBitrateKbits, n, err))
                return ParseOutcome::kError;
            opts.bitrateKbits = static_cast<int>(n);
        } else if (isOption(arg, "--retries")) {
            if (!numberValue(kProgram, argc, argv, i, "--retries", 0, kMaxRetries, n, err))
                return ParseOutcome::kError;
            opts.retries = static_cast<int>(n);
        } else if (isOption(arg, "--aspect")) {
            const char* text = value(argc, argv, i, "--aspect", err);
            if (text == nullptr) return ParseOutcome::kError;
            if (std::strcmp(text, "4:3") != 0 && std::strcmp(text, "3:2") != 0) {
                std::fprintf(err, "%s: --aspect wants 4:3 (or 3:2, the default), not '%s'\n",
                             kProgram, text);
                return ParseOutcome::kError;
            }
            opts.aspect43 = text[0] == '4';
        } else if (isOption(arg, "--segment") || isOption(arg, "--keep-for")) {
            const bool segment = isOption(arg, "--segment");
            const char* name = segment ? "--segment" : "--keep-for";
            const char* text = value(argc, argv, i, name, err);
            if (text == nullptr) return ParseOutcome::kError;
            int64_t frames = 0;
            if (!parseDuration(text, frames)) {
                std::fprintf(err, "%s: %s wants a time such as 1h, 10m or 30d, not '%s'\n",
                             kProgram, name, text);
                return ParseOutcome::kError;
            }
            if (segment)
                opts.segmentFrames = frames;
            else
                opts.keepForSeconds = frames / kFramesPerSecond;
        } else if (isOption(arg, "--duration")) {
            const char* text = value(argc, argv, i, "--duration", err);
            if (text == nullptr) return ParseOutcome::kError;
            if (!parseDuration(text, opts.durationFrames)) {
                std::fprintf(err, "%s: --duration wants a time such as 90s, 10m or 2h, not '%s'\n",
                             kProgram, text);
                return ParseOutcome::kError;
            }
        } else {
            std::fprintf(err, "%s: %s %s (see --help)\n", kProgram,
                         arg[0] == '-' ? "unknown option" : "unexpected argument", arg);
            return ParseOutcome::kError;
        }
    }
    if (!opts.audio && !opts.music.empty()) {
        std::fprintf(err, "%s: --audio plays music on the sound track that --no-audio leaves out\n",
                     kProgram);
        return ParseOutcome::kError;
    }
    if (opts.outputs.empty()) {
        std::fprintf(err,
                     "%s: -o OUTPUT is required: a file (.mp4 .mkv .ts), a playlist (.m3u8) "
                     "or a URL (rtmp:// rtmps:// srt:// udp://)\n",
                     kProgram);
        return ParseOutcome::kError;
    }
    return ParseOutcome::kRun;
}

void printStreamUsage(FILE* out) {
    std::fprintf(
        out,
        "usage: vantrel-stream -o OUTPUT [options]\n"
        "\n"
        "Takes display pages as the preview does and puts what the display shows on air:\n"
        "every frame, 60 a second, encoded live as H.264 (with a silent AAC sound track)\n"
        "to a recording or a network stream, until Ctrl+C, a service stop or --duration.\n"
        "\n"
        "output (-o), chosen by its name:\n"
        "  NAME.mp4 NAME.mkv NAME.ts   a recording (MP4 in fragments: a crash leaves it\n"
        "                              playable to its last 2 seconds); time fields name\n"
        "                              a new file at each start: archive-%%Y%%m%%d-%%H%%M%%S.mp4\n"
        "  NAME.m3u8                   HLS for a web page: 2 s segments beside the\n"
        "                              playlist, which keeps the last 6; older ones go;\n"
        "                              a playlist that exists is continued\n"
        "  rtmp://HOST/APP/KEY         a streaming platform (also rtmps://), as FLV\n"
        "  srt://HOST:PORT udp://HOST:PORT   MPEG-TS for a studio or cable head end\n"
        "  --key-file FILE             the stream KEY, the one line in FILE, added to\n"
        "                              -o rtmp://HOST/APP (kept out of the command line);\n"
        "                              repeatable: the first for the first rtmp output...\n"
        "  --format NAME               the container, whatever the name (mp4, matroska,\n"
        "                              mpegts, hls, flv)\n"
        "  -y                          replace an existing file\n"
        "  -o is repeatable: one encode feeds every output, and each one opens,\n"
        "  reconnects and fails on its own (a platform, a recording and HLS at once)\n"
        "  --segment TIME              cut a recording named with time fields into\n"
        "                              files this long (1h, 10m), each from a keyframe\n"
        "  --keep-for TIME             remove the recording's own files older than\n"
        "                              this (30d)\n"
        "\n"
        "pages:\n"
        "  --listen ADDR:PORT  where pages are taken (default 127.0.0.1:6867: this\n"
        "                      machine only; whoever reaches the port puts pages on air)\n"
        "  --allow NET/BITS    with --listen 0.0.0.0:PORT, take pages only from these\n"
        "                      networks (repeatable), e.g. --allow 192.168.1.0/24\n"
        "  --trace             besides one line per message, each message whole as the\n"
        "                      preview traces it (received bytes, text, size, warnings)\n"
        "  --fonts DIR         folder with FONT01..07.tiga and SHDT01..07.tiga (default: .)\n"
        "  --time TIME         the clock line starts at local time \"YYYY-MM-DD HH:MM:SS\"\n"
        "                      (default: the wall clock)\n"
        "  --clock fixed       with --time, every frame shows that time (default: run)\n"
        "\n"
        "video and sound:\n"
        "  --bitrate KBITS     constant video bitrate (default %d)\n"
        "  --lossless          RGB H.264 at quantiser 0, every pixel exact (archives)\n"
        "  --aspect 4:3        640 x 480 square pixels, as a 4:3 television shows the\n"
        "                      display (default: 720 x 480, as the window)\n"
        "  --audio FILE        music under the display: files (MP3, FLAC, Ogg, WAV,\n"
        "                      AAC...) played in turn, in a loop; repeatable (default:\n"
        "                      a silent 48 kHz stereo AAC track)\n"
        "  --no-audio          no sound track\n"
        "\n"
        "running:\n"
        "  --duration TIME     stop after this much stream: 90s, 10m, 2h, 1h30m, 1d\n"
        "  --retries N         give up after N failed reconnects in a row (default: never)\n"
        "  --status FILE       rewrite FILE every 5 s with the stream's health as JSON\n"
        "  --metrics FILE      rewrite FILE every 5 s with Prometheus metrics (for\n"
        "                      node_exporter's textfile collector)\n"
        "  --channel NAME      the channel's name in the metrics\n"
        "  --quiet, -q         no status line (failures and the summary are still said)\n"
        "  --help, -h          show this text\n"
        "\n"
        "A network output that drops is reconnected by itself (2 s, then 1.5 times\n"
        "longer each time, at most 60 s). Ctrl+C, SIGTERM or SIGHUP stop the stream\n"
        "within 5 s. Exit status: 0 after a stop or --duration, 1 when it cannot start\n"
        "(fonts, port, output), an output failed for good or never went live, 2 for a\n"
        "bad option.\n",
        kDefaultBitrateKbits);
}
