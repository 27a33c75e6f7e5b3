// One connection of the stream's output: the container opened on a file, a
// playlist or a network URL, the encoders' streams in it, and packets written
// with timestamps that start at the connection's first keyframe. Every call
// that can block is bounded: the interrupt callback gives up once the
// deadline the writer set has passed.
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

constexpr int kConnectTimeoutMs = 10000;  // opening a network output, headers included
constexpr int kWriteTimeoutMs = 10000;    // one packet to a network output

extern std::atomic<int64_t> output_deadline_ms;  // monotonic ms after which a blocking call gives
                                                 // up; set by the writer before each call
extern std::atomic<bool> output_abort;           // set by the frame thread when the end is now

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
    int videoIndex;           // its video stream
    int audioIndex;           // its sound stream, -1 without sound
    bool waitingForKey;       // nothing written yet: everything before a keyframe goes
    int64_t videoOffset;      // the first keyframe's timestamp (frames), taken off every packet
    int64_t audioOffset;      // the same moment in samples
    AVRational videoBase;     // the video encoder's time base: one frame
    AVRational audioBase;     // the sound encoder's: one sample
    int failure;              // the libraries' return value (AVERROR) of the call that failed
                              // last in opening or writing; 0 while none has
};

// Opens the container for target with the encoded streams, and writes its
// header. Returns false with the reason in error; nothing is left open then.
bool openStreamOutput(StreamOutput& out, const StreamTarget& target, const EncodedStreams& streams,
                      std::string& error);

// Writes one packet (its contents are taken); bytes says how many went out.
// Packets before the connection's first video keyframe, and sound from before
// it, are dropped and reported in dropped (true for a dropped video packet).
// Returns false with the reason when the output failed.
bool writeStreamPacket(StreamOutput& out, AVPacket* packet, PacketKind kind, bool& dropped,
                       int& bytes, std::string& error);

// Finishes the container (with trailer: the file's index, the playlist's end)
// and closes it. Returns false with the reason when finishing failed; the
// output is closed either way.
bool closeStreamOutput(StreamOutput& out, bool trailer, std::string& error);
