// The frame thread's half of the stream: each composed frame becomes an
// H.264 frame (only the rows it changed are converted again) and 800 samples
// of sound, and the packets go to every output's queue.
#pragma once

#include <cstdint>
#include <string>

#include "tools/encode/aac.h"
#include "tools/encode/h264.h"
#include "tools/stream/output.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

constexpr int kAspect43Width = 640;  // 4:3 on square pixels at the display's 480 rows

struct LiveSettings {
    H264Mode mode;      // kLive or kLossless
    int bitrateKbits;   // kLive's constant bitrate
    bool aspect43;      // scaled to 640 x 480
    bool audio;         // with a sound track
    bool music;         // the sound is the music thread's, not silence
    bool globalHeader;  // the container wants parameter sets up front
};

struct LiveEncoder {
    AVCodecContext* video;  // H.264; null when closed
    AVFrame* picture;       // the encoder's input, kept from frame to frame
    SwsContext* scale;      // 720 to 640 columns, for --aspect 4:3 only
    AudioTrack audio;       // the sound; audio.codec null without sound
    AVPacket* packet;       // reused for every packet received
    int32_t changedFirst;   // rows of the composed picture changed since the last
    int32_t changedEnd;     //   encoded frame: changedFirst .. changedEnd - 1
    bool lossless;          // picture holds 0x00RRGGBB words, not Y'CbCr
    bool music;             // the sound comes from the music thread
};

// Opens the encoders. Returns false with the reason in error, nothing open.
bool openLiveEncoder(LiveEncoder& enc, const LiveSettings& settings, std::string& error);

// Takes copies of what the writer needs to describe the streams.
bool describeLiveStreams(const LiveEncoder& enc, EncodedStreams& streams);

// Frees what describeLiveStreams made.
void freeLiveStreams(EncodedStreams& streams);

// Remembers that rows first .. end - 1 of the composed picture changed.
void noteChangedRows(LiveEncoder& enc, int32_t first, int32_t end);

// Encodes the composed picture (0x00RRGGBB words, 720 x 480) as frame index,
// a keyframe when asked, converting only the rows changed since the last
// encoded frame. Packets go to the outputs.
bool encodeVideo(LiveEncoder& enc, const uint32_t* words, int64_t index, bool keyframe,
                 std::string& error);

// Adds one frame's share of sound (music, or silence) and hands what is
// encoded to the outputs.
bool encodeAudio(LiveEncoder& enc, std::string& error);

// After a jump of the beat: the sound goes on at frame index.
void restartAudio(LiveEncoder& enc, int64_t index);

// Drains both encoders into the outputs at the end of the stream.
bool flushLiveEncoder(LiveEncoder& enc, std::string& error);

// Frees everything and zeroes the record.
void closeLiveEncoder(LiveEncoder& enc);
