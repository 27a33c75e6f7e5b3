// HLS around FFmpeg's hls muxer: the folder made ready so that a playlist
// goes on where the last run stopped (its sequence and its segment names)
// with no segment left that it does not name, and every file the muxer
// writes watched, so that a failed write (a full disk) is seen by the writer
// and a half-written playlist never replaces a whole one.
#pragma once

#include <string>
#include <vector>

struct AVFormatContext;
struct AVIOContext;
struct AVDictionary;

constexpr int kHlsWatchedFiles = 8;          // files the muxer holds open at once, at most
constexpr long kHlsPlaylistBytes = 1 << 20;  // a longer playlist is not one of ours

// The files of one playlist's muxer: those open for writing, and the first
// write that failed.
struct HlsWatch {
    AVIOContext* open[kHlsWatchedFiles];  // files open for writing; null slots free
    std::string names[kHlsWatchedFiles];  // their names
    int error;                            // the first failure (an AVERROR); 0: none
    std::string failedName;               // the file it struck
    std::string halfPlaylist;             // the playlist's name while it is written
    int (*defaultOpen)(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**);
    int (*defaultClose)(AVFormatContext*, AVIOContext*);
};

// The segment names a playlist's text holds (every line that is not a tag or
// a comment), in order.
std::vector<std::string> playlistSegments(const std::string& text);

// Whether fileName (no folder) is one of the segments the stream writes for
// a playlist whose name without folder and ending is stem: stem, digits,
// ".ts", and ".tmp" while it is being written.
bool isHlsSegmentName(const std::string& stem, const std::string& fileName);

// The muxer's segment name pattern for playlist: beside it, its name
// without the ending, the segment's number, ".ts" ("live/a.m3u8" gives
// "live/a%d.ts"; a '%' of the name is kept as one).
std::string hlsSegmentPattern(const char* playlist);

// Makes playlist's folder ready for a run: removes the segments of this
// playlist that it does not name (a previous run's, a killed run's half
// segments) and a left-over half playlist. continues: the playlist names
// segments, and the run goes on from them. False with the reason in error
// when the playlist exists but cannot be read (then nothing is removed).
bool prepareHlsFolder(const char* playlist, bool& continues, std::string& error);

// Routes the file opening and closing of format (the muxer of playlist)
// through watch, which must live as long as format.
void watchHlsFiles(AVFormatContext* format, const char* playlist, HlsWatch& watch);

// Whether a file of watch failed (a write, an open, a close); error gets
// "cannot write NAME: reason" then.
bool hlsWriteFailed(const HlsWatch& watch, std::string& error);
