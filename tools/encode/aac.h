// The sound track: 48 kHz stereo AAC, fed with samples as the frames go by
// (800 a frame at 60 frames a second) and encoded whenever a whole AAC frame
// of 1024 samples is there. Its timestamps are sample counts.
//
// Silence encodes to the same packet every time once the encoder has settled,
// so a track of nothing but silence stops running the encoder then: each
// later packet is those bytes again, stamped as the encoder would stamp it.
#pragma once

#include <cstdint>
#include <string>

struct AVAudioFifo;
struct AVCodecContext;
struct AVFrame;
struct AVBufferRef;
struct AVPacket;

constexpr int kAudioRate = 48000;                  // samples a second
constexpr int kAudioChannels = 2;                  // stereo
constexpr int kSamplesPerFrame = kAudioRate / 60;  // 800 per display frame
constexpr int kAudioBitrate = 128000;              // bits a second
constexpr int kAacHeldMax = 8;        // frames the encoder holds back before their packets
constexpr int kSilentPacketMax = 64;  // bytes a packet of silence is known to fit in

// One AAC encoder and the samples waiting for it.
struct AudioTrack {
    AVCodecContext* codec;  // the AAC encoder; null when closed
    AVAudioFifo* fifo;      // planar float samples not yet encoded
    AVFrame* frame;         // one AAC frame's samples, reused
    int64_t nextSample;     // timestamp (in samples) of the first sample in fifo
    // Silence repeated. silentOnly is set by the owner when nothing but
    // silence will come; addSamples clears it.
    bool silentOnly;                      // the track is silence alone
    AVBufferRef* repeated;                // the bytes of every packet now; null: encoding
    uint8_t lastBytes[kSilentPacketMax];  // the encoder's last packet, when it was small
    int lastSize;                         //   its size; 0: none or too large
    int sameRun;                          // packets in a row equal to the one before
    int64_t lastDuration;                 // the encoder's packets' duration, in samples
    int lastFlags;                        //   and flags
    int64_t sentPts[kAacHeldMax];         // the last frames sent to the encoder, oldest first
    int sent;                             //   how many (up to kAacHeldMax)
    int64_t heldPts[kAacHeldMax];         // repeating: frames the encoder would still hold
    int held;                             //   how many
    int delay;                            //   how many it holds in its steady state
    int64_t readyPts[2 * kAacHeldMax];    // repeating: packets due, oldest first
    int ready;                            //   how many
    int waiting;                          // repeating: samples added, not yet a frame
};

// Opens the encoder. globalHeader: the container wants the decoder set-up
// once, up front (MP4, FLV, Matroska). Returns false with the reason in error.
bool openAac(AudioTrack& track, bool globalHeader, std::string& error);

// Adds count samples of silence.
bool addSilence(AudioTrack& track, int count, std::string& error);

// Adds count samples of planar float sound, one plane per channel.
bool addSamples(AudioTrack& track, const float* const* planes, int count, std::string& error);

// Drops what waits and goes on at sample at (after frames were skipped for
// good), so that the sound keeps its place against the picture.
void restartAudioAt(AudioTrack& track, int64_t at);

// Hands every whole AAC frame that waits to the encoder; with flush, also the
// rest (padded) and the end of the stream. Returns false with the reason.
bool feedAac(AudioTrack& track, bool flush, std::string& error);

// The next encoded packet, as avcodec_receive_packet gives it: 0 with a
// packet, AVERROR(EAGAIN) when none waits, AVERROR_EOF after the end.
int receiveAac(AudioTrack& track, AVPacket* packet);

// Frees everything and zeroes the record.
void closeAac(AudioTrack& track);
