// Where a stream goes, told from the name given to -o as FFmpeg's own program
// tells it: a URL's scheme, a file's ending, or --format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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

// The URL fit for a log, the health file and the metrics: a URL's user
// information ("user:password@") becomes "...@", an RTMP URL's last path part
// (its stream key, also when it is the only one) and any query (an SRT
// passphrase or stream id) become "...". Files come back as they are.
void redactUrl(const char* url, char* out, size_t size);

// Replaces in text every secret of url that redactUrl leaves out (the user
// information and its password, the stream key, the query and its values)
// with "...", so that a library's line that repeats one says nothing.
// Secrets shorter than 4 bytes are left, as they cannot be told from words.
void hideSecrets(const char* url, std::string& text);

// The output of url with the stream key kept in keyFile, so that a key stays
// out of the command line, the process list and the channel's settings: the
// file's text, without the blanks and line end around it, becomes the last
// path part of an rtmp:// or rtmps:// URL. An empty file adds nothing.
// Returns false with one line's reason in why; badOption then tells a key
// that has no place in url from a file that cannot be read.
bool addStreamKey(const char* url, const char* keyFile, std::string& keyed, std::string& why,
                  bool& badOption);
