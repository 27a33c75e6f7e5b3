#include "tools/stream/live_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

#include <cstring>

#include "app/buffers.h"
#include "tools/encode/av_error.h"
#include "tools/encode/yuv.h"
#include "tools/stream/music.h"
#include "tools/stream/outputs.h"

// ---------------------------------------------------------------------------
// Internal helpers

// Brings rows first .. end - 1 of the encoder's picture up to date.
static void convertRows(LiveEncoder& enc, const uint32_t* words, int32_t first, int32_t end) {
    AVFrame* p = enc.picture;
    if (enc.scale != nullptr) {
        // Scaling mixes columns only, but the scaler takes whole pictures.
        const uint8_t* src[1] = {reinterpret_cast<const uint8_t*>(words)};
        const int stride[1] = {kFrameWidth * 4};
        sws_scale(enc.scale, src, stride, 0, kFrameRows, p->data, p->linesize);
    } else if (enc.lossless) {
        for (int32_t y = first; y < end; ++y)
            std::memcpy(p->data[0] + static_cast<size_t>(y) * p->linesize[0],
                        words + static_cast<size_t>(y) * kFrameWidth, kFrameWidth * 4);
    } else {
        const YuvPlanes planes = {p->data[0], p->data[1], p->data[2], p->linesize[0],
                                  p->linesize[1]};
        rgbToYuv420Rows(words, kFrameWidth, kFrameRows, first, end, planes);
    }
}

// Hands every packet the encoder has ready to the outputs.
static bool drain(AVCodecContext* codec, AVPacket* packet, PacketKind kind, std::string& error) {
    for (;;) {
        const int rc = avcodec_receive_packet(codec, packet);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
        if (rc < 0) return avFail(error, "cannot encode", rc);
        fanOutPacket(packet, kind);
    }
}

// ---------------------------------------------------------------------------
// Public functions

bool openLiveEncoder(LiveEncoder& enc, const LiveSettings& s, std::string& error) {
    std::memset(&enc, 0, sizeof enc);
    enc.lossless = s.mode == H264Mode::kLossless;
    enc.music = s.music;
    const int width = s.aspect43 ? kAspect43Width : kFrameWidth;
    const H264Settings h264 = {s.mode, width, kFrameRows, 1, s.bitrateKbits, s.globalHeader};
    enc.video = openH264(h264, error);
    bool ok = enc.video != nullptr;
    if (ok) {
        enc.picture = newPicture(enc.video->pix_fmt, width, kFrameRows);
        enc.packet = av_packet_alloc();
        ok = (enc.picture != nullptr && enc.packet != nullptr) ||
             avFail(error, "out of memory for the picture");
    }
    if (ok && s.aspect43) {
        enc.scale = sws_getContext(kFrameWidth, kFrameRows, AV_PIX_FMT_BGR0, width, kFrameRows,
                                   enc.video->pix_fmt, SWS_BICUBIC, nullptr, nullptr, nullptr);
        ok = enc.scale != nullptr || avFail(error, "cannot set up the 4:3 scaling");
    }
    if (ok && s.audio) ok = openAac(enc.audio, s.globalHeader, error);
    if (!ok) {
        closeLiveEncoder(enc);
        return false;
    }
    // The first frame converts every row.
    enc.changedFirst = 0;
    enc.changedEnd = kFrameRows;
    return true;
}

bool describeLiveStreams(const LiveEncoder& enc, EncodedStreams& streams) {
    std::memset(&streams, 0, sizeof streams);
    streams.video = avcodec_parameters_alloc();
    if (streams.video == nullptr || avcodec_parameters_from_context(streams.video, enc.video) < 0)
        return false;
    streams.videoBase = enc.video->time_base;
    streams.frameRate = enc.video->framerate;
    if (enc.audio.codec == nullptr) return true;
    streams.audio = avcodec_parameters_alloc();
    streams.audioBase = enc.audio.codec->time_base;
    return streams.audio != nullptr &&
           avcodec_parameters_from_context(streams.audio, enc.audio.codec) >= 0;
}

void freeLiveStreams(EncodedStreams& streams) {
    avcodec_parameters_free(&streams.video);
    avcodec_parameters_free(&streams.audio);
}

void noteChangedRows(LiveEncoder& enc, int32_t first, int32_t end) {
    if (first >= end) return;
    if (enc.changedFirst >= enc.changedEnd) {
        enc.changedFirst = first;
        enc.changedEnd = end;
        return;
    }
    if (first < enc.changedFirst) enc.changedFirst = first;
    if (end > enc.changedEnd) enc.changedEnd = end;
}

bool encodeVideo(LiveEncoder& enc, const uint32_t* words, int64_t index, bool keyframe,
                 std::string& error) {
    // Should the encoder still hold the picture, this gives it a copy first.
    const int rc = av_frame_make_writable(enc.picture);
    if (rc < 0) return avFail(error, "out of memory for the picture", rc);
    if (enc.changedFirst < enc.changedEnd)
        convertRows(enc, words, enc.changedFirst, enc.changedEnd);
    enc.changedFirst = enc.changedEnd = 0;
    enc.picture->pts = index;
    enc.picture->pict_type = keyframe ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    const int sent = avcodec_send_frame(enc.video, enc.picture);
    if (sent < 0) return avFail(error, "cannot encode a frame", sent);
    return drain(enc.video, enc.packet, PacketKind::kVideo, error);
}

bool encodeAudio(LiveEncoder& enc, std::string& error) {
    if (enc.audio.codec == nullptr) return true;
    bool ok;
    if (enc.music) {
        float left[kSamplesPerFrame], right[kSamplesPerFrame];
        takeMusic(left, right, kSamplesPerFrame);
        const float* const planes[kAudioChannels] = {left, right};
        ok = addSamples(enc.audio, planes, kSamplesPerFrame, error);
    } else {
        ok = addSilence(enc.audio, kSamplesPerFrame, error);
    }
    return ok && feedAac(enc.audio, false, error) &&
           drain(enc.audio.codec, enc.packet, PacketKind::kAudio, error);
}

void restartAudio(LiveEncoder& enc, int64_t index) {
    if (enc.audio.codec != nullptr) restartAudioAt(enc.audio, index * kSamplesPerFrame);
}

bool flushLiveEncoder(LiveEncoder& enc, std::string& error) {
    int rc = avcodec_send_frame(enc.video, nullptr);
    if (rc < 0 && rc != AVERROR_EOF) return avFail(error, "cannot finish the video", rc);
    if (!drain(enc.video, enc.packet, PacketKind::kVideo, error)) return false;
    if (enc.audio.codec == nullptr) return true;
    return feedAac(enc.audio, true, error) &&
           drain(enc.audio.codec, enc.packet, PacketKind::kAudio, error);
}

void closeLiveEncoder(LiveEncoder& enc) {
    avcodec_free_context(&enc.video);
    av_frame_free(&enc.picture);
    av_packet_free(&enc.packet);
    sws_freeContext(enc.scale);
    if (enc.audio.codec != nullptr) closeAac(enc.audio);
    std::memset(&enc, 0, sizeof enc);
}
