#include "tools/encode/aac.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

#include <cstring>

#include "tools/encode/av_error.h"

// ---------------------------------------------------------------------------
// Constants

constexpr int kSilenceChunk = 1024;  // samples of silence added in one piece

// ---------------------------------------------------------------------------
// Internal helpers

// Sends one frame of count samples from the fifo (padded with silence to the
// encoder's frame size when the stream ends).
static bool sendFrame(AudioTrack& t, int count, std::string& error) {
    int rc = av_frame_make_writable(t.frame);
    if (rc < 0) return avFail(error, "out of memory for sound", rc);
    const int size = t.codec->frame_size;
    if (count < size)
        av_samples_set_silence(t.frame->extended_data, count, size - count, kAudioChannels,
                               AV_SAMPLE_FMT_FLTP);
    if (av_audio_fifo_read(t.fifo, reinterpret_cast<void**>(t.frame->extended_data), count) !=
        count)
        return avFail(error, "cannot read waiting sound");
    t.frame->pts = t.nextSample;
    t.nextSample += size;
    rc = avcodec_send_frame(t.codec, t.frame);
    return rc >= 0 || avFail(error, "cannot encode sound", rc);
}

// ---------------------------------------------------------------------------
// Public functions

bool openAac(AudioTrack& t, bool globalHeader, std::string& error) {
    std::memset(&t, 0, sizeof t);
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (codec == nullptr) return avFail(error, "this FFmpeg has no AAC encoder");
    t.codec = avcodec_alloc_context3(codec);
    if (t.codec == nullptr) return avFail(error, "out of memory for the sound encoder");
    t.codec->sample_rate = kAudioRate;
    t.codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
    t.codec->bit_rate = kAudioBitrate;
    t.codec->time_base = AVRational{1, kAudioRate};
    av_channel_layout_default(&t.codec->ch_layout, kAudioChannels);
    if (globalHeader) t.codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int rc = avcodec_open2(t.codec, codec, nullptr);
    if (rc < 0) {
        closeAac(t);
        return avFail(error, "cannot open the AAC encoder", rc);
    }
    t.fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, kAudioChannels, t.codec->frame_size * 4);
    t.frame = av_frame_alloc();
    if (t.fifo == nullptr || t.frame == nullptr) {
        closeAac(t);
        return avFail(error, "out of memory for sound");
    }
    t.frame->format = AV_SAMPLE_FMT_FLTP;
    t.frame->sample_rate = kAudioRate;
    t.frame->nb_samples = t.codec->frame_size;
    av_channel_layout_copy(&t.frame->ch_layout, &t.codec->ch_layout);
    rc = av_frame_get_buffer(t.frame, 0);
    if (rc < 0) {
        closeAac(t);
        return avFail(error, "out of memory for sound", rc);
    }
    return true;
}

bool addSilence(AudioTrack& t, int count, std::string& error) {
    static const float zeros[kSilenceChunk] = {};
    const float* const planes[kAudioChannels] = {zeros, zeros};
    while (count > 0) {
        const int n = count < kSilenceChunk ? count : kSilenceChunk;
        if (!addSamples(t, planes, n, error)) return false;
        count -= n;
    }
    return true;
}

bool addSamples(AudioTrack& t, const float* const* planes, int count, std::string& error) {
    void* data[kAudioChannels] = {const_cast<float*>(planes[0]), const_cast<float*>(planes[1])};
    return av_audio_fifo_write(t.fifo, data, count) == count ||
           avFail(error, "out of memory for sound");
}

void restartAudioAt(AudioTrack& t, int64_t at) {
    av_audio_fifo_reset(t.fifo);
    t.nextSample = at;
}

bool feedAac(AudioTrack& t, bool flush, std::string& error) {
    const int size = t.codec->frame_size;
    while (av_audio_fifo_size(t.fifo) >= size)
        if (!sendFrame(t, size, error)) return false;
    if (!flush) return true;
    const int rest = av_audio_fifo_size(t.fifo);
    if (rest > 0 && !sendFrame(t, rest, error)) return false;
    const int rc = avcodec_send_frame(t.codec, nullptr);
    return rc >= 0 || rc == AVERROR_EOF || avFail(error, "cannot finish the sound", rc);
}

int receiveAac(AudioTrack& t, AVPacket* packet) {
    return avcodec_receive_packet(t.codec, packet);
}

void closeAac(AudioTrack& t) {
    avcodec_free_context(&t.codec);
    if (t.fifo != nullptr) av_audio_fifo_free(t.fifo);
    av_frame_free(&t.frame);
    std::memset(&t, 0, sizeof t);
}
