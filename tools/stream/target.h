// Where a stream goes, told from the name given to -o as FFmpeg's own program
// tells it: a URL's scheme, a file's ending, or --format.
#pragma once

#include <cstddef>
#include <cstdint>

enum class TargetKind : uint8_t {
    kFile,     // a recording; a failure to write it ends the stream
    kHls,      // a playlist and its segments in a folder; written like a file
    kNetwork,  // a server or a peer; a failure is reconnected
};

struct StreamTarget {
    const char* url;    // as given to -o
    const char* muxer;  // FFmpeg's name of the container: mp4, matroska, mpegts, hls, flv
    TargetKind kind;    // how failures are met
    bool udp;           // datagrams: each carries whole MPEG-TS packets
};

// Chooses the container and kind for url; format (may be null) names the
// container instead. Returns false with one line's reason in why.
bool chooseTarget(const char* url, const char* format, StreamTarget& target, const char*& why);

// The URL fit for a log: a stream key (an RTMP URL's last path part) or a
// query (an SRT passphrase) is left out. Files come back as they are.
void redactUrl(const char* url, char* out, size_t size);
