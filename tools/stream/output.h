// One connection of the stream's output: the container opened on a file, a
// playlist or a network URL, the encoders' streams in it, and packets written
// with timestamps that start at the connection's first keyframe. Every call
// that can block is bounded: the interrupt callback gives up once the
// deadline the writer set has passed. A recording named with time fields
// gets a new file at each start, and with --segment a new file at the first
// keyframe after each segment's length, each one playable alone.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

extern "C" {
#include <libavutil/rational.h>
}

#include "tools/stream/packet_queue.h"
#include "tools/stream/target.h"

struct AVCodecParameters;
struct AVFormatContext;
struct AVPacket;
struct HlsWatch;

constexpr int kConnectTimeoutMs = 10000;  // opening a network output, headers included
constexpr int kWriteTimeoutMs = 10000;    // one packet to a network output
constexpr int kOutputNameSize = 4096;     // room for a file's name, folder included

// How long an output's blocking calls may take: each call gives up once
// deadlineMs has passed, or at once when abort is set.
struct OutputBounds {
    std::atomic<int64_t> deadlineMs;  // monotonic ms; set by the writer before each call
    std::atomic<bool> abort;          // set by main when the end is now
};

// What every connection carries: the encoders' descriptions, taken once when
// they opened, so the writer never reads an encoder the frame thread uses.
struct EncodedStreams {
    AVCodecParameters* video;  // H.264
    AVRational videoBase;      // one frame
    AVRational frameRate;      // 60 a second
    AVCodecParameters* audio;  // AAC; null without sound
    AVRational audioBase;      // one sample
};

struct StreamOutput {
    AVFormatContext* format;  // the open container; null when closed
    OutputBounds* bounds;     // its blocking calls' limits (the output's own)
    int videoIndex;           // its video stream
    int audioIndex;           // its sound stream, -1 without sound
    bool waitingForKey;       // nothing written yet: everything before a keyframe goes
    int64_t videoOffset;      // the first keyframe's timestamp (frames), taken off every packet
    int64_t audioOffset;      // the same moment in samples
    AVRational videoBase;     // the video encoder's time base: one frame
    AVRational audioBase;     // the sound encoder's: one sample
    // A recording cut into files: the file before the last cut stays open
    // until the sound has reached the cut, so that no sample is lost.
    AVFormatContext* ending;           // the file before the cut; null when none
    int endingAudioIndex;              // its sound stream, -1 without sound
    int64_t endingAudioOffset;         // its first sound sample, taken off its sound packets
    const StreamTarget* target;        // what was opened; it outlives the output
    const EncodedStreams* streams;     // what each file carries; it outlives the output
    HlsWatch* watch;                   // a playlist's files, watched; null for other outputs
    char name[kOutputNameSize];        // the file written now, its time fields filled in
    char endingName[kOutputNameSize];  // the file before the cut
    int failure;                       // the libraries' return value (AVERROR) of the call that
                                       // failed last in opening or writing; 0 while none has
};

// Opens the container for target with the encoded streams, and writes its
// header, every blocking call within bounds. A recording's name with time
// fields is filled in with the local time (with -1, -2... when that name is
// taken); a playlist that names segments is continued. Returns false with the
// reason in error; nothing is left open then, and only a file this call
// created is removed.
bool openStreamOutput(StreamOutput& out, const StreamTarget& target, const EncodedStreams& streams,
                      OutputBounds& bounds, std::string& error);

// Writes one packet (its contents are taken); bytes says how many went out.
// Packets before the connection's first video keyframe, and sound from before
// it, are dropped and reported in dropped (true for a dropped video packet).
// With --segment a keyframe a segment's length after the file's first one
// starts the next file. Returns false with the reason when the output failed.
bool writeStreamPacket(StreamOutput& out, AVPacket* packet, PacketKind kind, bool& dropped,
                       int& bytes, std::string& error);

// Finishes the container (with trailer: the file's index, the playlist's end)
// and closes it. Returns false with the reason when finishing failed; the
// output is closed either way.
bool closeStreamOutput(StreamOutput& out, bool trailer, std::string& error);
