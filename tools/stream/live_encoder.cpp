#include "tools/stream/live_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstring>

#include "app/buffers.h"
#include "tools/encode/av_error.h"
#include "tools/encode/yuv.h"
#include "tools/stream/music.h"
#include "tools/stream/outputs.h"

// ---------------------------------------------------------------------------
// Constants

// Skip pictures stand in for x264 once it has written still pictures (the
// same content as the frame before, every macroblock skipped at its floor QP,
// and at a constant bitrate a buffer full enough to pad) some frames in a
// row. x264's rate control remembers the pictures it saw: an expensive one
// (a page change, a keyframe) weighs on what it decides for the next change
// until enough cheap ones have followed, and it does not see the frames that
// skip pictures stand for. With kStillPictures at kStillReferenceKbits, and
// more at lower rates (with the square of the ratio of the rates), the stream
// after a stretch of skip pictures is the one x264 alone would have written:
// measured frame for frame, decoded, on pages changing at random times.
// Below kSkipMinKbits no number was enough, and x264 writes every frame.
constexpr int kStillPictures = 5;
constexpr int64_t kStillReferenceKbits = 2500;
constexpr int64_t kSkipMinKbits = 2000;

// The filler's books are kept in 1/60 bits, so that a frame's share of the
// bitrate is a whole number: a frame adds the bitrate, a byte takes 8 * 60.
constexpr int64_t kOwedPerByte = 8 * kVideoFramesPerSecond;

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

// Renumbers one of x264's pictures after the skip pictures before it (and
// learns from it whether the next frame may be one).
static bool splicePicture(LiveEncoder& enc, AVPacket* packet, std::string& error) {
    const size_t size = static_cast<size_t>(packet->size);
    const size_t outBytes = size * 3 / 2 + 16;
    if (enc.scratchBytes < outBytes + size) {
        // Grows seldom: to the largest picture so far, with room to spare.
        av_freep(&enc.scratch);
        enc.scratchBytes = (outBytes + size) * 2;
        enc.scratch = static_cast<uint8_t*>(av_malloc(enc.scratchBytes));
        if (enc.scratch == nullptr) {
            enc.scratchBytes = 0;
            return avFail(error, "out of memory for the picture");
        }
    }
    const size_t n = takeEncoderPicture(enc.splice, packet->data, size, enc.scratch, outBytes,
                                        enc.scratch + outBytes, size);
    if (!(packet->flags & AV_PKT_FLAG_KEY)) {
        enc.skipFlags = packet->flags;
        enc.skipDuration = packet->duration;
    }
    if (n == 0) return true;
    int rc = av_packet_make_writable(packet);
    if (rc >= 0 && n > size) rc = av_grow_packet(packet, static_cast<int>(n - size));
    if (rc < 0) return avFail(error, "out of memory for the picture", rc);
    if (n < size) av_shrink_packet(packet, static_cast<int>(n));
    std::memcpy(packet->data, enc.scratch, n);
    return true;
}

// Writes the skip picture for frame index into packet, padded with filler to
// its share of the bitrate.
static int makeSkipPicture(LiveEncoder& enc, AVPacket* packet, int64_t index) {
    const size_t room = enc.skipBytes - AV_INPUT_BUFFER_PADDING_SIZE;
    size_t fillTo = 0;
    if (enc.bitrate > 0) {
        enc.owed += enc.bitrate;
        fillTo = enc.owed > 0 ? static_cast<size_t>(enc.owed / kOwedPerByte) : 0;
    }
    AVBufferRef* buffer = av_buffer_pool_get(enc.pool);
    if (buffer == nullptr) return AVERROR(ENOMEM);
    const size_t n =
        writeSkipPicture(enc.splice, fillTo < room ? fillTo : room, buffer->data, room);
    if (n == 0) {
        av_buffer_unref(&buffer);
        return AVERROR_BUG;
    }
    if (enc.bitrate > 0) enc.owed -= static_cast<int64_t>(n) * kOwedPerByte;
    std::memset(buffer->data + n, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    av_packet_unref(packet);
    packet->buf = buffer;
    packet->data = buffer->data;
    packet->size = static_cast<int>(n);
    packet->pts = packet->dts = index;
    packet->flags = enc.skipFlags;
    packet->duration = enc.skipDuration;
    ++enc.skipPictures;
    return 0;
}

// The next video packet: the skip picture for frame skipIndex when there is
// one (>= 0), else x264's next one.
static int receiveVideo(LiveEncoder& enc, AVPacket* packet, int64_t& skipIndex,
                        std::string& error) {
    if (skipIndex >= 0) {
        const int64_t index = skipIndex;
        skipIndex = -1;
        return makeSkipPicture(enc, packet, index);
    }
    const int rc = avcodec_receive_packet(enc.video, packet);
    if (rc == 0) --enc.x264Holds;
    if (rc == 0 && enc.skips && !splicePicture(enc, packet, error)) return AVERROR(ENOMEM);
    return rc;
}

// Hands every packet of kind that is ready (and the skip picture for frame
// skipIndex, when >= 0) to the outputs. Every packet leaves through here.
static bool drain(LiveEncoder& enc, PacketKind kind, int64_t skipIndex, std::string& error) {
    for (;;) {
        const int rc = kind == PacketKind::kVideo ? receiveVideo(enc, enc.packet, skipIndex, error)
                                                  : receiveAac(enc.audio, enc.packet);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
        if (rc < 0) return error.empty() ? avFail(error, "cannot encode", rc) : false;
        fanOutPacket(enc.packet, kind);
    }
}

// Sets up skip pictures: what x264's global header says, the buffers, the rate.
static bool startSkips(LiveEncoder& enc, const LiveSettings& s, std::string& error) {
    startSkipSplice(enc.splice, kVideoFramesPerSecond);
    if (enc.video->extradata != nullptr)
        readParameterSets(enc.splice, enc.video->extradata,
                          static_cast<size_t>(enc.video->extradata_size));
    enc.skips = !s.everyFrame && (enc.lossless || s.bitrateKbits >= kSkipMinKbits);
    // kStillPictures * (kStillReferenceKbits / kbits)^2, rounded up.
    const int64_t kbits = s.bitrateKbits > 0 ? s.bitrateKbits : kStillReferenceKbits;
    const int64_t scaled = kStillPictures * kStillReferenceKbits * kStillReferenceKbits;
    enc.stillNeeded = static_cast<int32_t>(
        std::max<int64_t>(kStillPictures, (scaled + kbits * kbits - 1) / (kbits * kbits)));
    // x264 refines a lossy picture down to its floor.
    enc.qpFloor = enc.video->qmin;
    enc.bitrate = enc.lossless ? 0 : int64_t{s.bitrateKbits} * 1000;
    enc.skipBytes = static_cast<size_t>(enc.bitrate / kOwedPerByte) + 2 * kSkipPictureBytes +
                    AV_INPUT_BUFFER_PADDING_SIZE;
    enc.pool = av_buffer_pool_init(enc.skipBytes, nullptr);
    return enc.pool != nullptr || avFail(error, "out of memory for the skip pictures");
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
    if (ok) ok = startSkips(enc, s, error);
    if (ok && s.audio) ok = openAac(enc.audio, s.globalHeader, error);
    // Silence is encoded until it repeats, then repeated.
    if (ok && s.audio) enc.audio.silentOnly = !s.music && !s.everyFrame;
    if (!ok) {
        closeLiveEncoder(enc);
        return false;
    }
    enc.lastKeyframe = -1;
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
    const bool changed = enc.changedFirst < enc.changedEnd;
    const bool due = keyframe || enc.lastKeyframe < 0 ||
                     index / kKeyframeFrames != enc.lastKeyframe / kKeyframeFrames;
    // Nothing new to show, and x264 has nothing left to refine (a lossless
    // picture is the source itself): the picture the decoder holds stands again.
    if (!due && !changed && enc.skips && enc.x264Holds == 0 &&
        (enc.lossless || enc.stillPictures >= enc.stillNeeded) &&
        skipPictureReady(enc.splice, enc.qpFloor, enc.lossless))
        return drain(enc, PacketKind::kVideo, index, error);
    if (due) enc.lastKeyframe = index;
    // Should the encoder still hold the picture, this gives it a copy first.
    const int rc = av_frame_make_writable(enc.picture);
    if (rc < 0) return avFail(error, "out of memory for the picture", rc);
    if (changed) convertRows(enc, words, enc.changedFirst, enc.changedEnd);
    enc.changedFirst = enc.changedEnd = 0;
    enc.picture->pts = index;
    enc.picture->pict_type = due ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    const int sent = avcodec_send_frame(enc.video, enc.picture);
    if (sent < 0) return avFail(error, "cannot encode a frame", sent);
    ++enc.x264Holds;
    if (!drain(enc, PacketKind::kVideo, -1, error)) return false;
    const PictureFacts& f = enc.splice.last;
    const bool still = !changed && enc.x264Holds == 0 && enc.splice.lastRead && f.allSkipped &&
                       f.qp <= enc.qpFloor && (enc.bitrate == 0 || f.filler);
    enc.stillPictures = still ? enc.stillPictures + 1 : 0;
    return true;
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
    return ok && feedAac(enc.audio, false, error) && drain(enc, PacketKind::kAudio, -1, error);
}

void restartAudio(LiveEncoder& enc, int64_t index) {
    if (enc.audio.codec != nullptr) restartAudioAt(enc.audio, index * kSamplesPerFrame);
}

bool flushLiveEncoder(LiveEncoder& enc, std::string& error) {
    int rc = avcodec_send_frame(enc.video, nullptr);
    if (rc < 0 && rc != AVERROR_EOF) return avFail(error, "cannot finish the video", rc);
    if (!drain(enc, PacketKind::kVideo, -1, error)) return false;
    if (enc.audio.codec == nullptr) return true;
    return feedAac(enc.audio, true, error) && drain(enc, PacketKind::kAudio, -1, error);
}

void closeLiveEncoder(LiveEncoder& enc) {
    avcodec_free_context(&enc.video);
    av_frame_free(&enc.picture);
    av_packet_free(&enc.packet);
    sws_freeContext(enc.scale);
    av_buffer_pool_uninit(&enc.pool);
    av_freep(&enc.scratch);
    if (enc.audio.codec != nullptr) closeAac(enc.audio);
    std::memset(&enc, 0, sizeof enc);
}
