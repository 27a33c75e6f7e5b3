// The sound track: 48 kHz stereo AAC, fed with samples as the frames go by
// (800 a frame at 60 frames a second) and encoded whenever a whole AAC frame
// of 1024 samples is there. Its timestamps are sample counts.
#pragma once

#include <cstdint>
#include <string>

struct AVAudioFifo;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;

constexpr int kAudioRate = 48000;                  // samples a second
constexpr int kAudioChannels = 2;                  // stereo
constexpr int kSamplesPerFrame = kAudioRate / 60;  // 800 per display frame
constexpr int kAudioBitrate = 128000;              // bits a second

// One AAC encoder and the samples waiting for it.
struct AudioTrack {
    AVCodecContext* codec;  // the AAC encoder; null when closed
    AVAudioFifo* fifo;      // planar float samples not yet encoded
    AVFrame* frame;         // one AAC frame's samples, reused
    int64_t nextSample;     // timestamp (in samples) of the first sample in fifo
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
