#include "tools/encode/h264.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

#include <cstdio>

#include "tools/encode/av_error.h"

// ---------------------------------------------------------------------------
// Constants

// Files: text on flat bands; a low constant-quality factor keeps glyph edges
// clean at a few hundred kilobytes a minute.
constexpr const char* kFilePreset = "medium";
constexpr const char* kFileQuality = "18";

// Live: the fastest preset keeps a frame well inside its 1/60 s on one core,
// and at a few megabits a second a page of text loses nothing to it. Frames
// leave the encoder as they enter it (no look-ahead, no B-frames).
constexpr const char* kLivePreset = "ultrafast";
constexpr const char* kLiveTune = "zerolatency";
// Keyframes come when the live encoder asks for one (every kKeyframeFrames-th
// frame index), never of x264's own accord and never on a scene cut, so a
// player or an ingest server knows when the next one comes; x264 does not see
// the frames that skip pictures stand for, so its own count would drift. The
// HRD's constant bitrate
// pads a still page with filler instead of letting the rate collapse, which
// ingest servers take for a dead stream. A floor on the quantiser: once a
// still page is that sharp, x264 stops refining it and fills the rest. The
// psychovisual measures change nothing at this preset's analysis but cost
// about a tenth of a still frame.
constexpr const char* kLiveParams = "keyint=infinite:scenecut=0:nal-hrd=cbr:force-cfr=1:psy=0";
constexpr int kLiveQpMin = 18;
constexpr int kLiveBufferSeconds = 1;  // the rate buffer holds one second of bits

// Lossless: RGB in, quantiser 0, keyframes as live.
constexpr const char* kLosslessPreset = "ultrafast";
constexpr const char* kLosslessParams = "keyint=infinite:scenecut=0";

// ---------------------------------------------------------------------------
// Public functions

int h264PixelFormat(H264Mode mode) {
    // 0x00RRGGBB words lie in memory as B, G, R, 0 on the machines we run on.
    return mode == H264Mode::kLossless ? AV_PIX_FMT_BGR0 : AV_PIX_FMT_YUV420P;
}

AVCodecContext* openH264(const H264Settings& s, std::string& error) {
    const bool rgb = s.mode == H264Mode::kLossless;
    const AVCodec* codec = avcodec_find_encoder_by_name(rgb ? "libx264rgb" : "libx264");
    if (codec == nullptr && !rgb) codec = avcodec_find_encoder(AV_CODEC_ID_H264);
    if (codec == nullptr) {
        avFail(error, rgb ? "this FFmpeg has no RGB H.264 encoder (libx264rgb)"
                          : "this FFmpeg has no H.264 encoder");
        return nullptr;
    }
    AVCodecContext* c = avcodec_alloc_context3(codec);
    if (c == nullptr) {
        avFail(error, "out of memory for the encoder");
        return nullptr;
    }
    const int step = s.frameStep < 1 ? 1 : s.frameStep;
    c->width = s.width;
    c->height = s.height;
    c->time_base = AVRational{1, kVideoFramesPerSecond};
    c->framerate = AVRational{kVideoFramesPerSecond, step};
    c->sample_aspect_ratio = AVRational{1, 1};
    c->pix_fmt = static_cast<AVPixelFormat>(h264PixelFormat(s.mode));
    if (!rgb) {
        // The conversion is BT.601 in limited range; say so.
        c->colorspace = AVCOL_SPC_SMPTE170M;
        c->color_primaries = AVCOL_PRI_SMPTE170M;
        c->color_trc = AVCOL_TRC_SMPTE170M;
        c->color_range = AVCOL_RANGE_MPEG;
    }
    if (s.globalHeader) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    switch (s.mode) {
        case H264Mode::kFile:
            av_opt_set(c->priv_data, "preset", kFilePreset, 0);
            av_opt_set(c->priv_data, "crf", kFileQuality, 0);
            break;
        case H264Mode::kLive: {
            const int64_t bits = static_cast<int64_t>(s.bitrateKbits) * 1000;
            c->bit_rate = bits;
            c->rc_max_rate = bits;
            c->rc_min_rate = bits;
            c->rc_buffer_size = static_cast<int>(bits * kLiveBufferSeconds);
            c->qmin = kLiveQpMin;
            [[fallthrough]];
        }
        case H264Mode::kLossless:
            c->max_b_frames = 0;
            // One thread: a channel costs one core's share, and a machine runs
            // as many channels as it has cores for.
            c->thread_count = 1;
            av_opt_set(c->priv_data, "preset", rgb ? kLosslessPreset : kLivePreset, 0);
            av_opt_set(c->priv_data, "tune", kLiveTune, 0);
            // A frame asked to be a keyframe is one a player can start at.
            av_opt_set(c->priv_data, "forced-idr", "1", 0);
            if (rgb) av_opt_set(c->priv_data, "qp", "0", 0);
            av_opt_set(c->priv_data, "x264-params", rgb ? kLosslessParams : kLiveParams, 0);
            break;
    }
    const int rc = avcodec_open2(c, codec, nullptr);
    if (rc < 0) {
        avFail(error, "cannot open the H.264 encoder", rc);
        avcodec_free_context(&c);
        return nullptr;
    }
    return c;
}

AVFrame* newPicture(int format, int width, int height) {
    AVFrame* frame = av_frame_alloc();
    if (frame == nullptr) return nullptr;
    frame->format = format;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame, 0) < 0) av_frame_free(&frame);
    return frame;
}
