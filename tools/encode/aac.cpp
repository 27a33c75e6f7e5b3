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
// Equal packets in a row before silence is repeated instead of encoded: the
// encoder's first packets differ (priming), the settled ones do not.
constexpr int kSameRunToRepeat = 3;

// ---------------------------------------------------------------------------
// Internal helpers

static void shiftOut(int64_t* list, int& count) {
    for (int i = 1; i < count; ++i)
        list[i - 1] = list[i];
    --count;
}

static bool writeFifo(AudioTrack& t, const float* const* planes, int count, std::string& error) {
    void* data[kAudioChannels] = {const_cast<float*>(planes[0]), const_cast<float*>(planes[1])};
    return av_audio_fifo_write(t.fifo, data, count) == count ||
           avFail(error, "out of memory for sound");
}

// Repeating: a frame that starts at pts goes in where the encoder would take
// it; the packet of the frame it held longest comes out, as the encoder's would.
static void sendRepeated(AudioTrack& t, int64_t pts) {
    t.heldPts[t.held++] = pts;
    while (t.held > t.delay) {
        t.readyPts[t.ready++] = t.heldPts[0];
        shiftOut(t.heldPts, t.held);
    }
}

// Watches the encoder's packets of silence; once they repeat, keeps their
// bytes and what the encoder holds, and the encoder rests from then on.
static void learnSilence(AudioTrack& t, const AVPacket* packet) {
    const bool small = packet->size <= kSilentPacketMax;
    const bool same = small && packet->size == t.lastSize &&
                      std::memcmp(packet->data, t.lastBytes, t.lastSize) == 0;
    t.sameRun = same ? t.sameRun + 1 : 0;
    t.lastSize = small ? packet->size : 0;
    if (small) std::memcpy(t.lastBytes, packet->data, packet->size);
    t.lastDuration = packet->duration;
    t.lastFlags = packet->flags;
    if (t.sameRun + 1 < kSameRunToRepeat) return;
    // The frames sent after this packet's own are what the encoder holds.
    int at = t.sent - 1;
    while (at >= 0 && t.sentPts[at] != packet->pts)
        --at;
    if (at < 0) return;
    t.repeated = av_buffer_alloc(packet->size + AV_INPUT_BUFFER_PADDING_SIZE);
    if (t.repeated == nullptr) return;
    std::memcpy(t.repeated->data, packet->data, packet->size);
    std::memset(t.repeated->data + packet->size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    t.held = t.delay = t.sent - 1 - at;
    for (int i = 0; i < t.held; ++i)
        t.heldPts[i] = t.sentPts[at + 1 + i];
    t.ready = 0;
    t.waiting = av_audio_fifo_size(t.fifo);
    av_audio_fifo_reset(t.fifo);
}

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
    if (t.sent == kAacHeldMax) shiftOut(t.sentPts, t.sent);
    t.sentPts[t.sent++] = t.nextSample;
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
    if (t.repeated != nullptr) {
        t.waiting += count;
        return true;
    }
    static const float zeros[kSilenceChunk] = {};
    const float* const planes[kAudioChannels] = {zeros, zeros};
    while (count > 0) {
        const int n = count < kSilenceChunk ? count : kSilenceChunk;
        if (!writeFifo(t, planes, n, error)) return false;
        count -= n;
    }
    return true;
}

bool addSamples(AudioTrack& t, const float* const* planes, int count, std::string& error) {
    if (t.repeated != nullptr) return avFail(error, "sound after silence that was repeated");
    t.silentOnly = false;
    return writeFifo(t, planes, count, error);
}

void restartAudioAt(AudioTrack& t, int64_t at) {
    av_audio_fifo_reset(t.fifo);
    t.waiting = 0;
    t.nextSample = at;
}

bool feedAac(AudioTrack& t, bool flush, std::string& error) {
    const int size = t.codec->frame_size;
    if (t.repeated != nullptr) {
        // At most kAacHeldMax packets wait to be received; more samples wait for the next call.
        for (; t.waiting >= size && t.ready < kAacHeldMax; t.waiting -= size, t.nextSample += size)
            sendRepeated(t, t.nextSample);
        if (!flush) return true;
        if (t.waiting > 0) sendRepeated(t, t.nextSample);
        t.nextSample += t.waiting > 0 ? size : 0;
        t.waiting = 0;
        // The end of the stream: what the encoder holds comes out.
        for (t.delay = 0; t.held > 0; shiftOut(t.heldPts, t.held))
            t.readyPts[t.ready++] = t.heldPts[0];
        return true;
    }
    while (av_audio_fifo_size(t.fifo) >= size)
        if (!sendFrame(t, size, error)) return false;
    if (!flush) return true;
    const int rest = av_audio_fifo_size(t.fifo);
    if (rest > 0 && !sendFrame(t, rest, error)) return false;
    const int rc = avcodec_send_frame(t.codec, nullptr);
    return rc >= 0 || rc == AVERROR_EOF || avFail(error, "cannot finish the sound", rc);
}

int receiveAac(AudioTrack& t, AVPacket* packet) {
    if (t.repeated == nullptr) {
        const int rc = avcodec_receive_packet(t.codec, packet);
        if (rc == 0 && t.silentOnly) learnSilence(t, packet);
        return rc;
    }
    if (t.ready == 0) return AVERROR(EAGAIN);
    av_packet_unref(packet);
    packet->buf = av_buffer_ref(t.repeated);
    if (packet->buf == nullptr) return AVERROR(ENOMEM);
    packet->data = packet->buf->data;
    packet->size = t.lastSize;
    packet->pts = packet->dts = t.readyPts[0];
    packet->duration = t.lastDuration;
    packet->flags = t.lastFlags;
    shiftOut(t.readyPts, t.ready);
    return 0;
}

void closeAac(AudioTrack& t) {
    avcodec_free_context(&t.codec);
    if (t.fifo != nullptr) av_audio_fifo_free(t.fifo);
    av_buffer_unref(&t.repeated);
    av_frame_free(&t.frame);
    std::memset(&t, 0, sizeof t);
}
