#include "tools/stream/output.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <strings.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "feed/net.h"
#include "tools/encode/av_error.h"
#include "tools/stream/hls.h"
#include "tools/stream/recording.h"
#include "tools/stream/status.h"

// ---------------------------------------------------------------------------
// Constants

constexpr const char* kProgram = "vantrel-stream";

// A recording is written in fragments that each start at a keyframe, every
// fragment complete on disk as soon as it is written: a crash or a power cut
// leaves a file that plays to its last fragment.
constexpr const char* kMp4Flags = "frag_keyframe+empty_moov+default_base_moof";
// HLS: segments of one keyframe interval, a playlist of the last six, and
// older segments deleted so that a channel that runs for weeks fills no disk.
constexpr const char* kHlsSegmentSeconds = "2";
constexpr const char* kHlsListSize = "6";
// Each playlist is written beside and renamed, each segment carries its wall
// clock time, and a playlist that names segments is appended to: its
// sequence numbers and segment names go on across restarts.
constexpr const char* kHlsFlags =
    "delete_segments+independent_segments+program_date_time+temp_file";
constexpr const char* kHlsContinueFlags =
    "delete_segments+independent_segments+program_date_time+temp_file+append_list";
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
// Internal helpers

static int interruptOutput(void* opaque) {
    const OutputBounds* bounds = static_cast<const OutputBounds*>(opaque);
    return bounds->abort.load() || netNowMs() > bounds->deadlineMs.load();
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

static void muxerOptions(const StreamTarget& target, bool continues, AVDictionary** options) {
    if (std::strcmp(target.muxer, "mp4") == 0) av_dict_set(options, "movflags", kMp4Flags, 0);
    if (std::strcmp(target.muxer, "hls") == 0) {
        av_dict_set(options, "hls_time", kHlsSegmentSeconds, 0);
        av_dict_set(options, "hls_list_size", kHlsListSize, 0);
        av_dict_set(options, "hls_segment_filename", hlsSegmentPattern(target.url).c_str(), 0);
        // Only a playlist that names segments is appended to: on a new one
        // the muxer would mark its first segment as a break.
        av_dict_set(options, "hls_flags", continues ? kHlsContinueFlags : kHlsFlags, 0);
    }
    // A platform reads neither; without them FLV would seek back at the end.
    if (std::strcmp(target.muxer, "flv") == 0)
        av_dict_set(options, "flvflags", "no_duration_filesize", 0);
}

static void sayRecording(const char* name) {
    sayLine((std::string(kProgram) + ": recording to " + name).c_str());
}

// Writes the trailer (when asked) and closes the container; false with the
// reason when either failed. The container is gone either way.
static bool finishContainer(AVFormatContext*& format, bool trailer, std::string& error) {
    bool ok = true;
    if (format == nullptr) return true;
    if (trailer) {
        const int rc = av_write_trailer(format);
        ok = rc >= 0 || avFail(error, "cannot finish the output", rc);
    }
    if (format->pb != nullptr && !(format->oformat->flags & AVFMT_NOFILE)) {
        const int rc = avio_closep(&format->pb);
        ok = (rc >= 0 || avFail(error, "cannot close the output", rc)) && ok;
    }
    avformat_free_context(format);
    format = nullptr;
    return ok;
}

// Opens the container on name (the file of a recording, the playlist, the
// URL) into out.format with its streams, and writes its header. A local file
// that was not there before and cannot be made whole is removed again.
static bool openContainer(StreamOutput& out, const char* name, bool continues, std::string& error) {
    const StreamTarget& target = *out.target;
    AVFormatContext*& format = out.format;
    int rc = avformat_alloc_output_context2(&format, nullptr, target.muxer, name);
    if (rc < 0) out.failure = rc;
    if (rc < 0 || format == nullptr) return avFail(error, "cannot set up the container", rc);
    format->interrupt_callback = AVIOInterruptCB{interruptOutput, out.bounds};
    // Each packet reaches the file or the network when it is written, not
    // when a buffer happens to fill.
    format->flags |= AVFMT_FLAG_FLUSH_PACKETS;
    if (out.watch != nullptr) watchHlsFiles(format, name, *out.watch);
    out.audioIndex = -1;
    bool ok =
        addStream(out, out.streams->video, out.streams->videoBase, out.streams->frameRate,
                  out.videoIndex, error) &&
        (out.streams->audio == nullptr || addStream(out, out.streams->audio, out.streams->audioBase,
                                                    AVRational{0, 1}, out.audioIndex, error));
    bool created = false;
    if (ok && !(format->oformat->flags & AVFMT_NOFILE)) {
        struct stat st;
        const bool local = target.kind != TargetKind::kNetwork;
        const bool existed = local && stat(name, &st) == 0;
        if (existed && !S_ISREG(st.st_mode)) {
            error = std::string(name) + " is not a regular file";
            ok = false;
        } else {
            AVDictionary* protocol = nullptr;
            if (target.udp && std::strstr(name, "pkt_size") == nullptr)
                av_dict_set(&protocol, "pkt_size", kUdpPacketBytes, 0);
            if (strncasecmp(name, "srt://", 6) == 0 && std::strstr(name, "linger") == nullptr)
                av_dict_set(&protocol, "linger", kSrtLingerSeconds, 0);
            rc = avio_open2(&format->pb, name, AVIO_FLAG_WRITE, &format->interrupt_callback,
                            &protocol);
            av_dict_free(&protocol);
            if (rc < 0) out.failure = rc;
            ok = rc >= 0 || avFail(error, "cannot open the output", rc);
            created = ok && local && !existed;
        }
    }
    if (ok) {
        AVDictionary* options = nullptr;
        muxerOptions(target, continues, &options);
        rc = avformat_write_header(format, &options);
        av_dict_free(&options);
        if (rc < 0) out.failure = rc;
        ok = rc >= 0 || avFail(error, "cannot write the stream header", rc);
        if (ok && out.watch != nullptr) ok = !hlsWriteFailed(*out.watch, error);
    }
    if (!ok) {
        std::string ignored;
        finishContainer(format, false, ignored);
        if (created) std::remove(name);
    }
    return ok;
}

// The recording's next file name: the pattern filled in with the local time
// now, made unique. False when every name is taken.
static bool nextFileName(StreamOutput& out, std::string& error) {
    const char* pattern = out.target->url;
    std::string name = pattern;
    if (out.target->kind == TargetKind::kFile && hasTimeFields(pattern)) {
        const time_t now = std::time(nullptr);
        struct tm local = {};
        localtime_r(&now, &local);
        name = unusedName(expandNamePattern(pattern, local));
        if (name.empty()) {
            error = std::string("no free name for ") + pattern + " (" +
                    std::to_string(kMaxNameSuffix) + " taken)";
            return false;
        }
    }
    if (name.size() >= sizeof out.name) {
        error = "the name is too long";
        return false;
    }
    std::snprintf(out.name, sizeof out.name, "%s", name.c_str());
    return true;
}

static void removeExpired(const StreamOutput& out) {
    if (recording_keep_seconds <= 0 || out.target->kind != TargetKind::kFile ||
        !hasTimeFields(out.target->url))
        return;
    const char* writing[] = {out.name, out.ending != nullptr ? out.endingName : nullptr};
    removeExpiredRecordings(out.target->url, writing, 2, recording_keep_seconds,
                            std::time(nullptr));
}

// Finishes the file before the cut: its sound has reached the cut.
static bool finishEnding(StreamOutput& out, bool trailer, std::string& error) {
    if (out.ending == nullptr) return true;
    const bool ok = finishContainer(out.ending, trailer, error);
    if (!ok) error = std::string(out.endingName) + ": " + error;
    return ok;
}

// Cuts a recording at the keyframe with timestamp keyPts: the file written
// so far stays open for its last sound, the next one starts with the
// keyframe.
static bool cutRecording(StreamOutput& out, int64_t keyPts, std::string& error) {
    if (!finishEnding(out, true, error)) return false;
    out.ending = out.format;
    out.endingAudioIndex = out.audioIndex;
    out.endingAudioOffset = out.audioOffset;
    std::memcpy(out.endingName, out.name, sizeof out.name);
    out.format = nullptr;
    const bool named = nextFileName(out, error);
    if (!named || !openContainer(out, out.name, false, error)) {
        if (named) error = std::string("cannot write ") + out.name + ": " + error;
        std::string ignored;
        finishEnding(out, true, ignored);
        return false;
    }
    sayRecording(out.name);
    out.videoOffset = keyPts;
    out.audioOffset = av_rescale_q(keyPts, out.videoBase, out.audioBase);
    if (out.audioIndex < 0 && !finishEnding(out, true, error)) return false;
    removeExpired(out);
    return true;
}

// Writes packet into format's stream index, its timestamps moved back by
// offset (in base) and put in the stream's own time base. A failure's code
// goes into failure.
static bool writeInto(AVFormatContext* format, int index, int64_t offset, AVRational base,
                      AVPacket* packet, int& bytes, int& failure, std::string& error) {
    if (packet->pts != AV_NOPTS_VALUE) packet->pts -= offset;
    if (packet->dts != AV_NOPTS_VALUE) packet->dts -= offset;
    packet->stream_index = index;
    av_packet_rescale_ts(packet, base, format->streams[index]->time_base);
    const int size = packet->size;
    const int rc = av_interleaved_write_frame(format, packet);
    if (rc < 0) {
        failure = rc;
        return avFail(error, "cannot write", rc);
    }
    bytes = size;
    return true;
}

// ---------------------------------------------------------------------------
// Public functions

bool openStreamOutput(StreamOutput& out, const StreamTarget& target, const EncodedStreams& streams,
                      OutputBounds& bounds, std::string& error) {
    std::memset(&out, 0, sizeof out);
    out.bounds = &bounds;
    out.audioIndex = -1;
    out.endingAudioIndex = -1;
    out.waitingForKey = true;
    out.videoBase = streams.videoBase;
    out.audioBase = streams.audioBase;
    out.target = &target;
    out.streams = &streams;
    bool continues = false;
    if (target.kind == TargetKind::kHls) {
        if (!prepareHlsFolder(target.url, continues, error)) return false;
        out.watch = new HlsWatch{};
    }
    if (!nextFileName(out, error) || !openContainer(out, out.name, continues, error)) {
        delete out.watch;
        out.watch = nullptr;
        return false;
    }
    if (target.kind == TargetKind::kFile && hasTimeFields(target.url)) sayRecording(out.name);
    removeExpired(out);
    return true;
}

bool writeStreamPacket(StreamOutput& out, AVPacket* packet, PacketKind kind, bool& dropped,
                       int& bytes, std::string& error) {
    dropped = false;
    bytes = 0;
    const bool isVideo = kind == PacketKind::kVideo;
    const bool key = isVideo && (packet->flags & AV_PKT_FLAG_KEY);
    if (out.waitingForKey) {
        if (!key) {
            dropped = isVideo;
            av_packet_unref(packet);
            return true;
        }
        out.waitingForKey = false;
        out.videoOffset = packet->pts;
        out.audioOffset = av_rescale_q(packet->pts, out.videoBase, out.audioBase);
    } else if (key && recording_segment_frames > 0 && out.target->kind == TargetKind::kFile &&
               hasTimeFields(out.target->url) &&
               packet->pts - out.videoOffset >= recording_segment_frames) {
        if (!cutRecording(out, packet->pts, error)) {
            av_packet_unref(packet);
            return false;
        }
    }
    bool ok = true;
    if (isVideo) {
        ok = writeInto(out.format, out.videoIndex, out.videoOffset, out.videoBase, packet, bytes,
                       out.failure, error);
    } else if (out.ending != nullptr && packet->pts < out.audioOffset) {
        // Sound from before the cut goes into the file before it.
        if (packet->pts >= out.endingAudioOffset)
            ok = writeInto(out.ending, out.endingAudioIndex, out.endingAudioOffset, out.audioBase,
                           packet, bytes, out.failure, error);
    } else if (!finishEnding(out, true, error)) {
        ok = false;
    } else if (out.audioIndex >= 0 && packet->pts >= out.audioOffset) {
        // Sound from before the first picture goes, the encoder's priming
        // packet at the very start too: every file and connection starts at
        // 0 with both streams, which fragmented MP4 (no edit list) and
        // platforms both want.
        ok = writeInto(out.format, out.audioIndex, out.audioOffset, out.audioBase, packet, bytes,
                       out.failure, error);
    }
    av_packet_unref(packet);
    if (ok && out.watch != nullptr && hlsWriteFailed(*out.watch, error)) ok = false;
    return ok;
}

bool closeStreamOutput(StreamOutput& out, bool trailer, std::string& error) {
    if (out.format == nullptr && out.ending == nullptr) return true;
    bool ok = finishEnding(out, trailer, error);
    std::string last;
    if (!finishContainer(out.format, trailer, last)) {
        if (ok) error = last;
        ok = false;
    }
    if (out.watch != nullptr) {
        if (ok && hlsWriteFailed(*out.watch, error)) ok = false;
        // What the muxer kept for players still fetching it goes at the end.
        bool continues = false;
        std::string ignored;
        if (ok && trailer) prepareHlsFolder(out.target->url, continues, ignored);
        delete out.watch;
        out.watch = nullptr;
    }
    return ok;
}
