// What the stream tests share: free ports of their own, the stream started on
// this build's fonts, and what a recording or a receiver's
// file holds, decoded with FFmpeg's libraries as a player would.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_support.h"

namespace stream_media {

namespace fs = std::filesystem;

constexpr const char* kTime = "2026-12-06 09:05:07";  // the clock line of every frame
constexpr int kThumbWidth = 90, kThumbHeight = 60;    // a picture shrunk for comparing many

// A loopback port nobody uses at the moment, for TCP or UDP.
inline int freePort(int type = SOCK_STREAM) {
    const int sock = socket(AF_INET, type, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    bind(sock, reinterpret_cast<sockaddr*>(&at), sizeof at);
    getsockname(sock, reinterpret_cast<sockaddr*>(&at), &length);
    close(sock);
    return ntohs(at.sin_port);
}

// Waits until the file holds text; false when limit passed first.
inline bool waitFor(const fs::path& file, const std::string& text, std::chrono::seconds limit) {
    for (const auto end = std::chrono::steady_clock::now() + limit;
         std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(std::chrono::milliseconds(50)))
        if (readWhole(file).find(text) != std::string::npos) return true;
    return false;
}

// vantrel-stream on the test fonts, a still clock, pages taken on port.
inline std::vector<std::string> streamArgs(int port, std::vector<std::string> more) {
    std::vector<std::string> args = {
        VANTREL_STREAM, "--fonts",  VANTREL_TEST_FONT_DIR,
        "--time",       kTime,      "--clock",
        "fixed",        "--listen", "127.0.0.1:" + std::to_string(port)};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// A figure of the stream's summary line ("frames 540"), -1 when missing.
inline long summaryFigure(const std::string& said, const std::string& name) {
    const size_t at = said.rfind(name + " ");
    return at == std::string::npos ? -1 : std::atol(said.c_str() + at + name.size() + 1);
}

// The files of folder whose names start with prefix and end with ending, sorted.
inline std::vector<std::string> filesLike(const fs::path& folder, const std::string& prefix,
                                          const std::string& ending) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0 && name.size() >= ending.size() &&
            name.compare(name.size() - ending.size(), ending.size(), ending) == 0)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Sends a message file to port; the sender's exit status.
inline int sendFile(int port, const std::string& path) {
    std::string output;
    return runProgram(VANTREL_SEND, "--port " + std::to_string(port) + " '" + path + "'", output);
}

// What a video file (or one picture) holds.
struct Decoded {
    int width = 0, height = 0;
    bool audio = false;                 // it has a sound track
    bool clean = false;                 // decoding ran to the end of the file without an error
    int errors = 0;                     // packets refused at the strictest error detection
    std::vector<int64_t> pts;           // every picture's timestamp, in frames of 1/60 s
    std::vector<size_t> keys;           // which pictures are keyframes
    std::vector<int> sizes;             // every video packet's size in bytes
    std::vector<std::string> pictures;  // RGB, each one once in a row (thumbnails when asked)
    double drift = 0;                   // the most a picture's time and the latest sound's
                                        // time before it stood apart, in seconds
    double firstPicture = -1, firstSound = -1;  // when each stream starts, in seconds
};

// Decodes the file's pictures (every thumbEvery-th one as a 90 x 60
// thumbnail when thumbEvery > 0, else each distinct one whole), with FFmpeg's
// strictest error detection: a decoder that would conceal a fault refuses the
// packet instead. each, when given, takes every picture whole (RGB) with its
// timestamp in frames.
inline Decoded decode(const fs::path& path, int thumbEvery = 0,
                      const std::function<void(const std::string&, int64_t)>& each = {}) {
    // A receiver killed mid-packet leaves a torn last packet: no news.
    av_log_set_level(AV_LOG_FATAL);
    Decoded d;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return d;
    avformat_find_stream_info(format, nullptr);
    const int v = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const int a = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    d.audio = a >= 0;
    if (v < 0) return avformat_close_input(&format), d;
    const AVStream* stream = format->streams[v];
    AVCodecContext* codec =
        avcodec_alloc_context3(avcodec_find_decoder(stream->codecpar->codec_id));
    avcodec_parameters_to_context(codec, stream->codecpar);
    codec->err_recognition = AV_EF_EXPLODE | AV_EF_CRCCHECK | AV_EF_BITSTREAM | AV_EF_BUFFER;
    codec->strict_std_compliance = FF_COMPLIANCE_STRICT;
    avcodec_open2(codec, codec->codec, nullptr);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    SwsContext* rgb = nullptr;
    size_t seen = 0;
    const auto take = [&] {
        while (avcodec_receive_frame(codec, frame) == 0) {
            d.width = frame->width, d.height = frame->height;
            if (frame->key_frame) d.keys.push_back(d.pts.size());
            d.pts.push_back(av_rescale_q(frame->best_effort_timestamp, stream->time_base, {1, 60}));
            if (thumbEvery > 0 && seen++ % thumbEvery != 0) continue;
            const int w = thumbEvery > 0 ? kThumbWidth : d.width;
            const int h = thumbEvery > 0 ? kThumbHeight : d.height;
            rgb = sws_getCachedContext(rgb, d.width, d.height, AVPixelFormat(frame->format), w, h,
                                       AV_PIX_FMT_RGB24, thumbEvery > 0 ? SWS_AREA : SWS_POINT,
                                       nullptr, nullptr, nullptr);
            std::string picture(static_cast<size_t>(w) * h * 3, '\0');
            uint8_t* to[1] = {reinterpret_cast<uint8_t*>(picture.data())};
            const int stride[1] = {w * 3};
            sws_scale(rgb, frame->data, frame->linesize, 0, d.height, to, stride);
            if (each) each(picture, d.pts.back());
            if (d.pictures.empty() || d.pictures.back() != picture) d.pictures.push_back(picture);
        }
    };
    // Both streams start together and keep their times, so in a file in time
    // order a picture's time is never far from the sound's just before it; a
    // picture skipped or dropped leaves a gap, not a drift.
    double audioAt = -1;
    int rc = 0;
    while ((rc = av_read_frame(format, packet)) >= 0) {
        const double at = packet->pts * av_q2d(format->streams[packet->stream_index]->time_base);
        if (packet->stream_index == a) audioAt = at;
        if (packet->stream_index == a && d.firstSound < 0) d.firstSound = at;
        if (packet->stream_index == v && d.firstPicture < 0) d.firstPicture = at;
        if (packet->stream_index == v) d.sizes.push_back(packet->size);
        if (packet->stream_index == v && audioAt >= 0)
            d.drift = std::max(d.drift, std::abs(at - audioAt));
        if (packet->stream_index == v) {
            d.errors += avcodec_send_packet(codec, packet) < 0;
            take();
        }
        av_packet_unref(packet);
    }
    d.clean = rc == AVERROR_EOF;
    avcodec_send_packet(codec, nullptr);
    take();
    sws_freeContext(rgb);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    avformat_close_input(&format);
    return d;
}

// What vantrel-snapshot shows once the message files have arrived, as RGB
// (or as a thumbnail).
inline std::string snapshot(const fs::path& dir, const std::vector<std::string>& files,
                            bool thumbnail = false) {
    std::string args =
                    std::string("-q --fonts '" VANTREL_TEST_FONT_DIR "' --clock fixed --time '") +
                    kTime + "' -o '" + (dir / "snap.png").string() + "'",
                output;
    for (const std::string& f : files)
        args += " '" + f + "'";
    runProgram(VANTREL_SNAPSHOT, args, output);
    const Decoded d = decode(dir / "snap.png", thumbnail ? 1 : 0);
    return d.pictures.empty() ? std::string() : d.pictures.back();
}

// The mean difference of two RGB pictures of one size, per byte.
inline double meanDifference(const std::string& a, const std::string& b) {
    if (a.size() != b.size() || a.empty()) return 255;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i)
        sum += std::abs(static_cast<uint8_t>(a[i]) - static_cast<uint8_t>(b[i]));
    return sum / static_cast<double>(a.size());
}

}  // namespace stream_media
