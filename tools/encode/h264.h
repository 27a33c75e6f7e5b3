// The H.264 encoders the tools use, opened through libavcodec with x264: one
// set of settings for video files, one for live streams, one lossless.
#pragma once

#include <cstdint>
#include <string>

struct AVCodecContext;
struct AVFrame;

constexpr int kVideoFramesPerSecond = 60;  // the display's pace: one frame every 1/60 s
constexpr int kKeyframeFrames = 120;       // live: a keyframe every 2 s, as platforms ask

enum class H264Mode : uint8_t {
    kFile,      // constant quality for a finished file (vantrel-snapshot)
    kLive,      // constant bitrate, zero latency, keyframes when asked (vantrel-stream)
    kLossless,  // RGB at quantiser 0: every pixel as composed
};

struct H264Settings {
    H264Mode mode;      // what the video is for
    int width;          // pixels per row, even
    int height;         // rows, even
    int frameStep;      // display frames per encoded frame, >= 1 (a GIF-like pace)
    int bitrateKbits;   // kLive: the constant bitrate, kbit/s
    bool globalHeader;  // the container wants the parameter sets once, up front (MP4, FLV)
};

// The pixel format frames must be handed in: YUV 4:2:0, or 0x00RRGGBB words
// for kLossless.
int h264PixelFormat(H264Mode mode);

// Opens an encoder for settings. Returns null with the reason in error.
AVCodecContext* openH264(const H264Settings& settings, std::string& error);

// A picture of the given pixel format with pixels of its own, as encoders and
// filters take them; null when there is no memory for it.
AVFrame* newPicture(int format, int width, int height);
