// Moving pictures of the display's frames: an H.264 video in MP4 at the
// display's 60 frames a second, or an animated GIF on one palette made from
// every frame it shows.
#pragma once

#include <cstdint>
#include <string>

#include "tools/encode/h264.h"

struct AVCodecContext;
struct AVFilterContext;
struct AVFilterGraph;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;

enum class VideoKind : uint8_t {
    kMp4,  // H.264 in MP4, lossy, small
    kGif,  // animated GIF, 256 colours chosen from the frames themselves
};

// One video being written. Zeroed when closed; the GIF needs two passes over
// the same frames: one to choose the palette, one to write.
struct VideoWriter {
    VideoKind kind;              // what the file holds
    const char* path;            // the file, opened when the frames proper begin
    AVFormatContext* format;     // the file; null until the writing pass opens it
    AVCodecContext* codec;       // H.264 or GIF encoder
    AVFrame* input;              // GIF: one frame of 0xAARRGGBB words, reused for every frame
    AVFrame* converted;          // the encoder's picture (YUV for H.264, palette indices for GIF)
    AVPacket* packet;            // reused for every encoded packet
    AVFilterGraph* graph;        // GIF: palettegen (first pass) or paletteuse (second)
    AVFilterContext* source;     // the graph's frame input
    AVFilterContext* paletteIn;  // the graph's palette input (second pass)
    AVFilterContext* sink;       // the graph's output
    AVFrame* palette;            // GIF: the palette the first pass chose
    int width;                   // pixels per row
    int height;                  // rows
    int frameStep;               // display frames between two written frames, >= 1
    int64_t written;             // frames handed to the encoder so far
    bool choosingPalette;        // GIF: in the first pass
};

// Opens a video of width x height frames, one every frameStep display frames,
// to be written into path (any name: the kind chooses the container; path must
// outlive the writer). An MP4 opens the file at once; a GIF first takes every
// frame for its palette (see finishPalettePass). Returns false with the reason
// in error; the writer is then released.
bool openVideo(VideoWriter& video, VideoKind kind, const char* path, int width, int height,
               int frameStep, std::string& error);

// Adds one frame of 0x00RRGGBB words (width * height rows), in the palette pass
// or in the file. Returns false with the reason in error.
bool addVideoFrame(VideoWriter& video, const uint32_t* words, std::string& error);

// Ends a GIF's palette pass and opens the file: the same frames must then be
// added again. Returns false with the reason in error.
bool finishPalettePass(VideoWriter& video, std::string& error);

// Flushes what the encoder holds and finishes the file. Returns false with the
// reason in error; the writer is released either way.
bool closeVideo(VideoWriter& video, std::string& error);

// Frees everything the writer holds, without finishing the file, and zeroes it.
void releaseVideo(VideoWriter& video);
