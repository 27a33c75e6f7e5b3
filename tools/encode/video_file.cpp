#include "tools/encode/video_file.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
}

#include <cstdio>
#include <cstring>

#include "tools/encode/av_error.h"
#include "tools/encode/h264.h"
#include "tools/encode/yuv.h"

// ---------------------------------------------------------------------------
// Constants
// The display has few colours, so the frames' own 256 are exact almost
// everywhere: no dithering, which would only add noise to flat bands, and only
// the changed rectangle of each frame is mapped again.
constexpr const char* kPaletteGen = "max_colors=256:reserve_transparent=0:stats_mode=full";
constexpr const char* kPaletteUse = "dither=none:diff_mode=rectangle";
constexpr uint32_t kOpaque = 0xFF000000u;  // alpha of every pixel handed to the library

// ---------------------------------------------------------------------------
// Internal helpers

namespace {

// Adds a filter named name with args to the graph; null when it cannot.
AVFilterContext* addFilter(AVFilterGraph* graph, const char* name, const char* label,
                           const char* args) {
    AVFilterContext* filter = nullptr;
    if (avfilter_graph_create_filter(&filter, avfilter_get_by_name(name), label, args, nullptr,
                                     graph) < 0)
        return nullptr;
    return filter;
}

// Arguments of a frame input of width x height 0xAARRGGBB words at 60 frames/s.
std::string sourceArgs(int width, int height) {
    char args[160];
    std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=1/%d:pixel_aspect=1/1",
                  width, height, static_cast<int>(AV_PIX_FMT_RGB32), kVideoFramesPerSecond);
    return args;
}

// The first pass: every frame goes into palettegen, which gives its palette at
// the end of the stream.
bool openPaletteGraph(VideoWriter& v, std::string& error) {
    v.graph = avfilter_graph_alloc();
    if (v.graph == nullptr) return avFail(error, "out of memory for the palette filter");
    v.source = addFilter(v.graph, "buffer", "in", sourceArgs(v.width, v.height).c_str());
    AVFilterContext* gen = addFilter(v.graph, "palettegen", "palettegen", kPaletteGen);
    v.sink = addFilter(v.graph, "buffersink", "out", nullptr);
    if (v.source == nullptr || gen == nullptr || v.sink == nullptr ||
        avfilter_link(v.source, 0, gen, 0) < 0 || avfilter_link(gen, 0, v.sink, 0) < 0)
        return avFail(error, "cannot set up the palettegen filter");
    const int rc = avfilter_graph_config(v.graph, nullptr);
    return rc >= 0 || avFail(error, "cannot set up the palettegen filter", rc);
}

// The second pass: frames and the chosen palette go into paletteuse.
bool openPaletteUseGraph(VideoWriter& v, std::string& error) {
    v.graph = avfilter_graph_alloc();
    if (v.graph == nullptr) return avFail(error, "out of memory for the palette filter");
    v.source = addFilter(v.graph, "buffer", "in", sourceArgs(v.width, v.height).c_str());
    v.paletteIn = addFilter(v.graph, "buffer", "palette",
                            sourceArgs(v.palette->width, v.palette->height).c_str());
    AVFilterContext* use = addFilter(v.graph, "paletteuse", "paletteuse", kPaletteUse);
    v.sink = addFilter(v.graph, "buffersink", "out", nullptr);
    if (v.source == nullptr || v.paletteIn == nullptr || use == nullptr || v.sink == nullptr ||
        avfilter_link(v.source, 0, use, 0) < 0 || avfilter_link(v.paletteIn, 0, use, 1) < 0 ||
        avfilter_link(use, 0, v.sink, 0) < 0)
        return avFail(error, "cannot set up the paletteuse filter");
    int rc = avfilter_graph_config(v.graph, nullptr);
    if (rc < 0) return avFail(error, "cannot set up the paletteuse filter", rc);
    // The palette is one picture that holds for every frame.
    rc = av_buffersrc_add_frame_flags(v.paletteIn, v.palette, AV_BUFFERSRC_FLAG_KEEP_REF);
    if (rc >= 0) rc = av_buffersrc_add_frame(v.paletteIn, nullptr);
    return rc >= 0 || avFail(error, "cannot hand the palette to paletteuse", rc);
}

bool openEncoder(VideoWriter& v, std::string& error) {
    const bool globalHeader = (v.format->oformat->flags & AVFMT_GLOBALHEADER) != 0;
    if (v.kind == VideoKind::kMp4) {
        const H264Settings settings = {H264Mode::kFile, v.width, v.height,
                                       v.frameStep,     0,       globalHeader};
        v.codec = openH264(settings, error);
        return v.codec != nullptr;
    }
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_GIF);
    if (codec == nullptr) return avFail(error, "this FFmpeg has no GIF encoder");
    v.codec = avcodec_alloc_context3(codec);
    if (v.codec == nullptr) return avFail(error, "out of memory for the encoder");
    v.codec->width = v.width;
    v.codec->height = v.height;
    v.codec->time_base = AVRational{1, kVideoFramesPerSecond};
    v.codec->framerate = AVRational{kVideoFramesPerSecond, v.frameStep};
    v.codec->sample_aspect_ratio = AVRational{1, 1};
    v.codec->pix_fmt = AV_PIX_FMT_PAL8;
    if (globalHeader) v.codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const int rc = avcodec_open2(v.codec, codec, nullptr);
    return rc >= 0 || avFail(error, "cannot open the encoder", rc);
}

// Opens the container, the encoder and the file, and writes the header.
bool openFile(VideoWriter& v, std::string& error) {
    int rc = avformat_alloc_output_context2(&v.format, nullptr,
                                            v.kind == VideoKind::kGif ? "gif" : "mp4", v.path);
    if (rc < 0 || v.format == nullptr) return avFail(error, "cannot set up the container", rc);
    if (!openEncoder(v, error)) return false;
    AVStream* stream = avformat_new_stream(v.format, nullptr);
    if (stream == nullptr) return avFail(error, "out of memory for the stream");
    stream->time_base = v.codec->time_base;
    stream->avg_frame_rate = v.codec->framerate;
    rc = avcodec_parameters_from_context(stream->codecpar, v.codec);
    if (rc < 0) return avFail(error, "cannot describe the stream", rc);
    rc = avio_open(&v.format->pb, v.path, AVIO_FLAG_WRITE);
    if (rc < 0) return avFail(error, "cannot open the file", rc);
    AVDictionary* options = nullptr;
    // The index goes first, so a browser plays the video while it loads.
    if (v.kind == VideoKind::kMp4) av_dict_set(&options, "movflags", "+faststart", 0);
    rc = avformat_write_header(v.format, &options);
    av_dict_free(&options);
    if (rc < 0) return avFail(error, "cannot write the file header", rc);
    v.packet = av_packet_alloc();
    if (v.packet == nullptr) return avFail(error, "out of memory for packets");
    if (v.kind == VideoKind::kMp4) {
        v.converted = newPicture(AV_PIX_FMT_YUV420P, v.width, v.height);
        if (v.converted == nullptr) return avFail(error, "out of memory for the colour conversion");
    } else {
        v.converted = av_frame_alloc();
        if (v.converted == nullptr) return avFail(error, "out of memory for the GIF frames");
    }
    return true;
}

// Hands frame (null: the end) to the encoder and writes every packet it gives.
bool encode(VideoWriter& v, AVFrame* frame, std::string& error) {
    int rc = avcodec_send_frame(v.codec, frame);
    if (rc < 0) return avFail(error, "cannot encode a frame", rc);
    for (;;) {
        rc = avcodec_receive_packet(v.codec, v.packet);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
        if (rc < 0) return avFail(error, "cannot encode a frame", rc);
        // Every frame stands for frameStep display frames; the GIF's delay
        // comes from this.
        v.packet->duration = v.frameStep;
        av_packet_rescale_ts(v.packet, v.codec->time_base, v.format->streams[0]->time_base);
        v.packet->stream_index = 0;
        rc = av_interleaved_write_frame(v.format, v.packet);
        if (rc < 0) return avFail(error, "cannot write to the file", rc);
    }
}

// Moves whatever paletteuse has ready into the encoder.
bool drainPaletteUse(VideoWriter& v, std::string& error) {
    for (;;) {
        const int rc = av_buffersink_get_frame(v.sink, v.converted);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
        if (rc < 0) return avFail(error, "cannot map a frame to the palette", rc);
        const bool ok = encode(v, v.converted, error);
        av_frame_unref(v.converted);
        if (!ok) return false;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Public functions

bool openVideo(VideoWriter& video, VideoKind kind, const char* path, int width, int height,
               int frameStep, std::string& error) {
    std::memset(&video, 0, sizeof video);
    // The libraries' own notes (encoder settings, statistics) would drown the
    // tool's lines; their errors still show.
    av_log_set_level(AV_LOG_ERROR);
    video.kind = kind;
    video.path = path;
    video.width = width;
    video.height = height;
    video.frameStep = frameStep < 1 ? 1 : frameStep;
    // Only the GIF's filters read it, but it also says the writer is open.
    video.input = newPicture(AV_PIX_FMT_RGB32, width, height);
    bool ok = video.input != nullptr || avFail(error, "out of memory for a frame");
    if (ok && kind == VideoKind::kGif) {
        video.choosingPalette = true;
        ok = openPaletteGraph(video, error);
    } else if (ok) {
        ok = openFile(video, error);
    }
    if (!ok) releaseVideo(video);
    return ok;
}

bool addVideoFrame(VideoWriter& v, const uint32_t* words, std::string& error) {
    if (v.input == nullptr) return avFail(error, "the video is not open");
    const int64_t pts = v.written * v.frameStep;
    ++v.written;
    if (v.kind == VideoKind::kMp4) {
        const int rc = av_frame_make_writable(v.converted);
        if (rc < 0) return avFail(error, "out of memory for a frame", rc);
        const YuvPlanes planes = {v.converted->data[0], v.converted->data[1], v.converted->data[2],
                                  v.converted->linesize[0], v.converted->linesize[1]};
        rgbToYuv420Rows(words, v.width, v.height, 0, v.height, planes);
        v.converted->pts = pts;
        return encode(v, v.converted, error);
    }
    int rc = av_frame_make_writable(v.input);
    if (rc < 0) return avFail(error, "out of memory for a frame", rc);
    for (int y = 0; y < v.height; ++y) {
        uint32_t* row = reinterpret_cast<uint32_t*>(v.input->data[0] + y * v.input->linesize[0]);
        const uint32_t* from = words + static_cast<size_t>(y) * v.width;
        for (int x = 0; x < v.width; ++x)
            row[x] = from[x] | kOpaque;
    }
    v.input->pts = pts;
    rc = av_buffersrc_add_frame_flags(v.source, v.input, AV_BUFFERSRC_FLAG_KEEP_REF);
    if (rc < 0) return avFail(error, "cannot filter a frame", rc);
    return v.choosingPalette || drainPaletteUse(v, error);
}

bool finishPalettePass(VideoWriter& v, std::string& error) {
    if (v.kind != VideoKind::kGif || !v.choosingPalette) return true;
    int rc = av_buffersrc_add_frame(v.source, nullptr);
    v.palette = av_frame_alloc();
    if (rc >= 0 && v.palette == nullptr) rc = AVERROR(ENOMEM);
    if (rc >= 0) rc = av_buffersink_get_frame(v.sink, v.palette);
    if (rc < 0) return avFail(error, "cannot choose the palette", rc);
    avfilter_graph_free(&v.graph);
    v.choosingPalette = false;
    v.written = 0;
    return openPaletteUseGraph(v, error) && openFile(v, error);
}

bool closeVideo(VideoWriter& v, std::string& error) {
    bool ok = v.format != nullptr && !v.choosingPalette;
    if (!ok) error = "the video was never written";
    if (ok && v.kind == VideoKind::kGif) {
        const int rc = av_buffersrc_add_frame(v.source, nullptr);
        ok = (rc >= 0 || avFail(error, "cannot finish the palette mapping", rc)) &&
             drainPaletteUse(v, error);
    }
    ok = ok && encode(v, nullptr, error);
    if (ok) {
        const int rc = av_write_trailer(v.format);
        ok = rc >= 0 || avFail(error, "cannot finish the file", rc);
    }
    if (v.format != nullptr && v.format->pb != nullptr) {
        const int rc = avio_closep(&v.format->pb);
        ok = ok && (rc >= 0 || avFail(error, "cannot close the file", rc));
    }
    releaseVideo(v);
    return ok;
}

void releaseVideo(VideoWriter& v) {
    if (v.format != nullptr) {
        if (v.format->pb != nullptr) avio_closep(&v.format->pb);
        avformat_free_context(v.format);
    }
    avcodec_free_context(&v.codec);
    av_frame_free(&v.input);
    av_frame_free(&v.converted);
    av_frame_free(&v.palette);
    av_packet_free(&v.packet);
    avfilter_graph_free(&v.graph);
    std::memset(&v, 0, sizeof v);
}
