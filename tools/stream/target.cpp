#include "tools/stream/target.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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

constexpr size_t kShortestSecret = 4;  // shorter ones cannot be told from words
constexpr size_t kLongestKey = 1024;   // a stream key file holds no more than this
constexpr const char* kBlanks = " \t\r\n";
constexpr char kDelete = 0x7f;

// Where a URL's secrets lie, as offsets into it; an empty range when it has none.
struct UrlParts {
    size_t userStart, userEnd;  // the user information, without its '@'
    size_t keyStart, keyEnd;    // an RTMP URL's last path part: the stream key
    size_t queryStart;          // its '?', or the URL's length
};

// Splits a URL (anything with "://"); false for a file name.
bool splitUrl(const char* url, UrlParts& parts) {
    const char* scheme = std::strstr(url, "://");
    if (scheme == nullptr) return false;
    const size_t authority = static_cast<size_t>(scheme - url) + 3;
    const size_t authorityEnd = authority + std::strcspn(url + authority, "/?#");
    parts.userStart = parts.userEnd = authority;
    for (size_t i = authority; i < authorityEnd; ++i)
        if (url[i] == '@') parts.userEnd = i;
    parts.queryStart = authorityEnd + std::strcspn(url + authorityEnd, "?");
    parts.keyStart = parts.keyEnd = parts.queryStart;
    if (std::strncmp(url, "rtmp", 4) == 0) {
        for (size_t i = authorityEnd; i < parts.queryStart; ++i)
            if (url[i] == '/') parts.keyStart = i + 1;
    }
    return true;
}

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
    UrlParts parts;
    if (!splitUrl(url, parts)) {
        std::snprintf(out, size, "%s", url);
        return;
    }
    const size_t cut = parts.keyStart < parts.keyEnd ? parts.keyStart : parts.queryStart;
    const bool user = parts.userStart < parts.userEnd;
    const size_t hostStart = user ? parts.userEnd + 1 : parts.userStart;
    std::snprintf(out, size, "%.*s%s%.*s%s", static_cast<int>(parts.userStart), url,
                  user ? "...@" : "", static_cast<int>(cut - hostStart), url + hostStart,
                  url[cut] != '\0' ? "..." : "");
}

void hideSecrets(const char* url, std::string& text) {
    UrlParts parts;
    if (!splitUrl(url, parts)) return;
    const std::string u = url;
    std::vector<std::string> secrets = {
        u.substr(parts.userStart, parts.userEnd - parts.userStart),
        u.substr(parts.keyStart, parts.keyEnd - parts.keyStart),
        u.substr(parts.queryStart + (u.size() > parts.queryStart)),
    };
    // The password alone, and each value of the query alone.
    const std::string user = secrets[0];
    if (user.find(':') != std::string::npos) secrets.push_back(user.substr(user.find(':') + 1));
    for (size_t at = parts.queryStart; at < u.size();) {
        const size_t end = std::min(u.find('&', at + 1), u.size());
        const size_t equals = u.find('=', at);
        if (equals < end) secrets.push_back(u.substr(equals + 1, end - equals - 1));
        at = end;
    }
    for (const std::string& secret : secrets) {
        if (secret.size() < kShortestSecret) continue;
        for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3))
            text.replace(at, secret.size(), "...");
    }
}

bool addStreamKey(const char* url, const char* keyFile, std::string& keyed, std::string& why,
                  bool& badOption) {
    badOption = false;
    std::FILE* file = std::fopen(keyFile, "rb");
    if (file == nullptr) {
        why =
            std::string("cannot read the stream key from ") + keyFile + ": " + std::strerror(errno);
        return false;
    }
    char text[kLongestKey + 2];
    const size_t length = std::fread(text, 1, sizeof text - 1, file);
    const bool readFailed = std::ferror(file) != 0;
    std::fclose(file);
    if (readFailed || length > kLongestKey) {
        why = std::string("cannot read the stream key from ") + keyFile +
              (readFailed ? ": read error" : ": longer than 1024 bytes");
        return false;
    }
    text[length] = '\0';
    std::string key = text;
    const size_t first = key.find_first_not_of(kBlanks);
    key = first == std::string::npos ? ""
                                     : key.substr(first, key.find_last_not_of(kBlanks) + 1 - first);
    if (key.empty()) {
        keyed = url;
        return true;
    }
    for (const char c : key)
        if (static_cast<unsigned char>(c) <= ' ' || c == kDelete) {
            why = std::string("the stream key in ") + keyFile +
                  " holds a blank or a control character";
            return false;
        }
    if (std::strncmp(url, "rtmp://", 7) != 0 && std::strncmp(url, "rtmps://", 8) != 0) {
        badOption = true;
        why = "--key-file: a stream key completes an rtmp:// or rtmps:// URL";
        return false;
    }
    // Before a query, if the URL has one; one '/' between the path and the key.
    keyed = url;
    size_t at = keyed.find('?');
    if (at == std::string::npos) at = keyed.size();
    const std::string joined = (at > 0 && keyed[at - 1] == '/' ? "" : "/") + key;
    keyed.insert(at, joined);
    return true;
}
