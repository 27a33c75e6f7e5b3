#include "tools/stream/target.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdio>
#include <cstring>

#include "tools/common/args.h"

namespace {

struct NameRule {
    const char* name;   // a scheme with its "://", or a file ending
    const char* muxer;  // the container it takes
    TargetKind kind;
};

// Platforms take FLV over RTMP; studios and head ends take MPEG-TS.
constexpr NameRule kSchemes[] = {
    {"rtmp://", "flv", TargetKind::kNetwork},
    {"rtmps://", "flv", TargetKind::kNetwork},
    {"srt://", "mpegts", TargetKind::kNetwork},
    {"udp://", "mpegts", TargetKind::kNetwork},
};

constexpr NameRule kEndings[] = {
    {".mp4", "mp4", TargetKind::kFile},
    {".mkv", "matroska", TargetKind::kFile},
    {".ts", "mpegts", TargetKind::kFile},
    {".m3u8", "hls", TargetKind::kHls},
};

}  // namespace

bool chooseTarget(const char* url, const char* format, StreamTarget& target, const char*& why) {
    target = {url, nullptr, TargetKind::kFile, false};
    const char* scheme = std::strstr(url, "://");
    if (scheme != nullptr) {
        for (const NameRule& rule : kSchemes)
            if (std::strncmp(url, rule.name, std::strlen(rule.name)) == 0) {
                target.muxer = rule.muxer;
                target.kind = rule.kind;
            }
        if (target.muxer == nullptr) {
            why = "unknown scheme: the stream goes to rtmp://, rtmps://, srt:// or udp://";
            return false;
        }
        target.udp = std::strncmp(url, "udp://", 6) == 0;
    } else {
        for (const NameRule& rule : kEndings)
            if (endsWith(url, rule.name)) {
                target.muxer = rule.muxer;
                target.kind = rule.kind;
            }
    }
    if (format != nullptr) {
        if (av_guess_format(format, nullptr, nullptr) == nullptr) {
            why =
                "unknown --format: FFmpeg has no such container (try mp4, matroska, mpegts, "
                "hls or flv)";
            return false;
        }
        target.muxer = format;
        if (scheme == nullptr)
            target.kind = std::strcmp(format, "hls") == 0 ? TargetKind::kHls : TargetKind::kFile;
    }
    if (target.muxer == nullptr) {
        why =
            "cannot tell the container from the name: end it in .mp4, .mkv, .ts or .m3u8, "
            "or name one with --format";
        return false;
    }
    return true;
}

void redactUrl(const char* url, char* out, size_t size) {
    if (size == 0) return;
    const char* scheme = std::strstr(url, "://");
    if (scheme == nullptr) {
        std::snprintf(out, size, "%s", url);
        return;
    }
    size_t keep = std::strcspn(url, "?");
    if (std::strncmp(url, "rtmp", 4) == 0) {
        const char* lastSlash = std::strrchr(url, '/');
        if (lastSlash != nullptr && lastSlash > scheme + 2 &&
            std::strchr(scheme + 3, '/') != lastSlash)
            keep = static_cast<size_t>(lastSlash - url) + 1;
    }
    std::snprintf(out, size, "%.*s%s", static_cast<int>(keep), url,
                  keep < std::strlen(url) ? "..." : "");
}
