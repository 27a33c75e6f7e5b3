#include "tools/stream/output.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <strings.h>

#include <cstring>

#include "feed/net.h"
#include "tools/encode/av_error.h"

// ---------------------------------------------------------------------------
// Constants

// A recording is written in fragments that each start at a keyframe, every
// fragment complete on disk as soon as it is written: a crash or a power cut
// leaves a file that plays to its last fragment.
constexpr const char* kMp4Flags = "frag_keyframe+empty_moov+default_base_moof";
// HLS: segments of one keyframe interval, a playlist of the last six, and
// older segments deleted so that a channel that runs for weeks fills no disk.
constexpr const char* kHlsSegmentSeconds = "2";
constexpr const char* kHlsListSize = "6";
constexpr const char* kHlsFlags = "delete_segments+independent_segments";
// MPEG-TS over UDP: seven whole 188-byte packets a datagram, as receivers expect.
constexpr const char* kUdpPacketBytes = "1316";
// SRT in live mode throws away what the peer has not acknowledged yet when
// the socket closes (its linger is 0 there): the last fifth of a second of
// every stream. A linger keeps the socket until the peer has it all. A stop
// then takes about a second longer (the library ends the socket on its own
// thread's next round), up to three with a peer that no longer answers,
// inside the stop's 5 s.
constexpr const char* kSrtLingerSeconds = "2";

// ---------------------------------------------------------------------------
// Globals

std::atomic<int64_t> output_deadline_ms{0};  // set by the writer before each blocking call
std::atomic<bool> output_abort{false};       // set once by the frame thread

// ---------------------------------------------------------------------------
// Internal helpers

static int interruptOutput(void*) {
    return output_abort.load() || netNowMs() > output_deadline_ms.load();
}

static bool addStream(StreamOutput& out, const AVCodecParameters* codec, AVRational base,
                      AVRational rate, int& index, std::string& error) {
    AVStream* stream = avformat_new_stream(out.format, nullptr);
    if (stream == nullptr) return avFail(error, "out of memory for a stream");
    const int rc = avcodec_parameters_copy(stream->codecpar, codec);
    if (rc < 0) return avFail(error, "cannot describe a stream", rc);
    stream->time_base = base;
    stream->avg_frame_rate = rate;
    index = stream->index;
    return true;
}

static void muxerOptions(const StreamTarget& target, AVDictionary** options) {
    if (std::strcmp(target.muxer, "mp4") == 0) av_dict_set(options, "movflags", kMp4Flags, 0);
    if (std::strcmp(target.muxer, "hls") == 0) {
        av_dict_set(options, "hls_time", kHlsSegmentSeconds, 0);
        av_dict_set(options, "hls_list_size", kHlsListSize, 0);
        av_dict_set(options, "hls_flags", kHlsFlags, 0);
    }
    // A platform reads neither; without them FLV would seek back at the end.
    if (std::strcmp(target.muxer, "flv") == 0)
        av_dict_set(options, "flvflags", "no_duration_filesize", 0);
}

// ---------------------------------------------------------------------------
// Public functions

bool openStreamOutput(StreamOutput& out, const StreamTarget& target, const EncodedStreams& streams,
                      std::string& error) {
    std::memset(&out, 0, sizeof out);
    out.audioIndex = -1;
    out.waitingForKey = true;
    int rc = avformat_alloc_output_context2(&out.format, nullptr, target.muxer, target.url);
    if (rc < 0 || out.format == nullptr) return avFail(error, "cannot set up the container", rc);
    out.format->interrupt_callback = AVIOInterruptCB{interruptOutput, nullptr};
    // Each packet reaches the file or the network when it is written, not
    // when a buffer happens to fill.
    out.format->flags |= AVFMT_FLAG_FLUSH_PACKETS;
    bool ok = addStream(out, streams.video, streams.videoBase, streams.frameRate, out.videoIndex,
                        error) &&
              (streams.audio == nullptr || addStream(out, streams.audio, streams.audioBase,
                                                     AVRational{0, 1}, out.audioIndex, error));
    out.videoBase = streams.videoBase;
    out.audioBase = streams.audioBase;
    if (ok && !(out.format->oformat->flags & AVFMT_NOFILE)) {
        AVDictionary* protocol = nullptr;
        if (target.udp && std::strstr(target.url, "pkt_size") == nullptr)
            av_dict_set(&protocol, "pkt_size", kUdpPacketBytes, 0);
        if (strncasecmp(target.url, "srt://", 6) == 0 &&
            std::strstr(target.url, "linger") == nullptr)
            av_dict_set(&protocol, "linger", kSrtLingerSeconds, 0);
        rc = avio_open2(&out.format->pb, target.url, AVIO_FLAG_WRITE,
                        &out.format->interrupt_callback, &protocol);
        av_dict_free(&protocol);
        ok = rc >= 0 || avFail(error, "cannot open the output", rc);
    }
    if (ok) {
        AVDictionary* options = nullptr;
        muxerOptions(target, &options);
        rc = avformat_write_header(out.format, &options);
        av_dict_free(&options);
        ok = rc >= 0 || avFail(error, "cannot write the stream header", rc);
    }
    if (!ok) {
        std::string ignored;
        closeStreamOutput(out, false, ignored);
    }
    return ok;
}

bool writeStreamPacket(StreamOutput& out, AVPacket* packet, PacketKind kind, bool& dropped,
                       int& bytes, std::string& error) {
    dropped = false;
    bytes = 0;
    const bool isVideo = kind == PacketKind::kVideo;
    if (out.waitingForKey) {
        if (!isVideo || !(packet->flags & AV_PKT_FLAG_KEY)) {
            dropped = isVideo;
            av_packet_unref(packet);
            return true;
        }
        out.waitingForKey = false;
        out.videoOffset = packet->pts;
        out.audioOffset = av_rescale_q(packet->pts, out.videoBase, out.audioBase);
    }
    // Sound from before the first picture goes, the encoder's priming packet
    // at the very start too: every connection starts at 0 with both streams,
    // which fragmented MP4 (no edit list) and platforms both want.
    if (!isVideo && (out.audioIndex < 0 || packet->pts < out.audioOffset)) {
        av_packet_unref(packet);
        return true;
    }
    const int64_t offset = isVideo ? out.videoOffset : out.audioOffset;
    if (packet->pts != AV_NOPTS_VALUE) packet->pts -= offset;
    if (packet->dts != AV_NOPTS_VALUE) packet->dts -= offset;
    packet->stream_index = isVideo ? out.videoIndex : out.audioIndex;
    av_packet_rescale_ts(packet, isVideo ? out.videoBase : out.audioBase,
                         out.format->streams[packet->stream_index]->time_base);
    const int size = packet->size;
    const int rc = av_interleaved_write_frame(out.format, packet);
    if (rc < 0) return avFail(error, "cannot write", rc);
    bytes = size;
    return true;
}

bool closeStreamOutput(StreamOutput& out, bool trailer, std::string& error) {
    bool ok = true;
    if (out.format == nullptr) return true;
    if (trailer) {
        const int rc = av_write_trailer(out.format);
        ok = rc >= 0 || avFail(error, "cannot finish the output", rc);
    }
    if (out.format->pb != nullptr && !(out.format->oformat->flags & AVFMT_NOFILE)) {
        const int rc = avio_closep(&out.format->pb);
        ok = (rc >= 0 || avFail(error, "cannot close the output", rc)) && ok;
    }
    avformat_free_context(out.format);
    out.format = nullptr;
    return ok;
}
