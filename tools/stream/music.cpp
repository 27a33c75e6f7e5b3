#include "tools/stream/music.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "tools/encode/aac.h"
#include "tools/encode/av_error.h"
#include "tools/stream/status.h"

// ---------------------------------------------------------------------------
// Constants

constexpr int kRingFrames = 1 << 17;  // samples per channel the ring holds: 2.7 s
constexpr int kRoundPauseMs = 1000;   // a round in which nothing played waits this long
constexpr int kFullPauseMs = 10;      // a full ring is looked at again this soon

// ---------------------------------------------------------------------------
// Globals

// The ring: the music thread writes at music_tail, the frame thread reads at
// music_head; each index is written by one side only.
static float music_left[kRingFrames];
static float music_right[kRingFrames];
static std::atomic<uint64_t> music_head{0};        // samples taken; frame thread
static std::atomic<uint64_t> music_tail{0};        // samples written; music thread
static std::atomic<long long> music_shortfall{0};  // silence given in place of music; frame thread
static std::vector<std::string> music_files;       // the playlist; music thread from startMusic on

// ---------------------------------------------------------------------------
// Internal helpers

namespace {

// One file being played.
struct Track {
    AVFormatContext* format = nullptr;  // the file
    AVCodecContext* codec = nullptr;    // its sound decoder
    SwrContext* resample = nullptr;     // to 48 kHz planar float stereo
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    int stream = -1;                 // the sound stream's index
    std::vector<float> left, right;  // resampled sound on its way into the ring
};

void closeTrack(Track& t) {
    swr_free(&t.resample);
    avcodec_free_context(&t.codec);
    avformat_close_input(&t.format);
    av_packet_free(&t.packet);
    av_frame_free(&t.frame);
}

bool openTrack(Track& t, const std::string& path, std::string& error) {
    int rc = avformat_open_input(&t.format, path.c_str(), nullptr, nullptr);
    if (rc < 0) return avFail(error, "cannot open it", rc);
    rc = avformat_find_stream_info(t.format, nullptr);
    if (rc >= 0) rc = av_find_best_stream(t.format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (rc < 0) return closeTrack(t), avFail(error, "no sound in it", rc);
    t.stream = rc;
    const AVCodecParameters* par = t.format->streams[t.stream]->codecpar;
    const AVCodec* decoder = avcodec_find_decoder(par->codec_id);
    if (decoder == nullptr) return closeTrack(t), avFail(error, "no decoder for its sound");
    t.codec = avcodec_alloc_context3(decoder);
    t.packet = av_packet_alloc();
    t.frame = av_frame_alloc();
    if (t.codec == nullptr || t.packet == nullptr || t.frame == nullptr)
        return closeTrack(t), avFail(error, "out of memory");
    rc = avcodec_parameters_to_context(t.codec, par);
    if (rc >= 0) rc = avcodec_open2(t.codec, decoder, nullptr);
    if (rc < 0) return closeTrack(t), avFail(error, "cannot decode its sound", rc);
    if (t.codec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&t.codec->ch_layout, t.codec->ch_layout.nb_channels);
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    rc = swr_alloc_set_opts2(&t.resample, &stereo, AV_SAMPLE_FMT_FLTP, kAudioRate,
                             &t.codec->ch_layout, t.codec->sample_fmt, t.codec->sample_rate, 0,
                             nullptr);
    if (rc >= 0) rc = swr_init(t.resample);
    if (rc < 0) return closeTrack(t), avFail(error, "cannot resample its sound", rc);
    return true;
}

// Copies n samples per channel into the ring, waiting for room as it goes.
void putSamples(const float* left, const float* right, int n) {
    while (n > 0) {
        const uint64_t tail = music_tail.load(std::memory_order_relaxed);
        const uint64_t used = tail - music_head.load(std::memory_order_acquire);
        const int room = kRingFrames - static_cast<int>(used);
        if (room == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kFullPauseMs));
            continue;
        }
        const int take = n < room ? n : room;
        for (int i = 0; i < take; ++i) {
            music_left[(tail + i) % kRingFrames] = left[i];
            music_right[(tail + i) % kRingFrames] = right[i];
        }
        music_tail.store(tail + take, std::memory_order_release);
        left += take, right += take, n -= take;
    }
}

// Resamples one decoded frame into the ring; with a null frame, what the
// resampler still holds at the end of the file.
bool putFrame(Track& t, const AVFrame* frame, long long& played) {
    const int inCount = frame != nullptr ? frame->nb_samples : 0;
    const int room = swr_get_out_samples(t.resample, inCount);
    if (room < 0) return false;
    t.left.resize(static_cast<size_t>(room) + 1);
    t.right.resize(static_cast<size_t>(room) + 1);
    uint8_t* out[2] = {reinterpret_cast<uint8_t*>(t.left.data()),
                       reinterpret_cast<uint8_t*>(t.right.data())};
    const int n = swr_convert(
        t.resample, out, room + 1,
        frame != nullptr ? const_cast<const uint8_t**>(frame->extended_data) : nullptr, inCount);
    if (n < 0) return false;
    putSamples(t.left.data(), t.right.data(), n);
    played += n;
    return true;
}

// Plays one file into the ring to its end. Returns the samples it gave;
// error says why it stopped early.
long long playTrack(const std::string& path, std::string& error) {
    Track t;
    if (!openTrack(t, path, error)) return 0;
    long long played = 0;
    int rc = 0;
    while ((rc = av_read_frame(t.format, t.packet)) >= 0) {
        if (t.packet->stream_index == t.stream) rc = avcodec_send_packet(t.codec, t.packet);
        av_packet_unref(t.packet);
        // A damaged packet or two are passed over, as players do.
        while (rc >= 0 && (rc = avcodec_receive_frame(t.codec, t.frame)) >= 0) {
            const bool ok = putFrame(t, t.frame, played);
            av_frame_unref(t.frame);
            if (!ok) {
                avFail(error, "cannot resample its sound");
                closeTrack(t);
                return played;
            }
        }
    }
    if (rc != AVERROR_EOF && rc != AVERROR(EAGAIN) && rc < 0) avFail(error, "it broke off", rc);
    avcodec_send_packet(t.codec, nullptr);
    while (avcodec_receive_frame(t.codec, t.frame) >= 0) {
        putFrame(t, t.frame, played);
        av_frame_unref(t.frame);
    }
    putFrame(t, nullptr, played);
    closeTrack(t);
    return played;
}

void musicMain() {
    std::vector<bool> failing(music_files.size(), false);
    for (;;) {
        long long round = 0;
        for (size_t i = 0; i < music_files.size(); ++i) {
            std::string error;
            const long long played = playTrack(music_files[i], error);
            round += played;
            // A file that goes bad is said once, until it plays again.
            if ((played == 0 || !error.empty()) && !failing[i]) {
                const std::string line = "vantrel-stream: cannot play " + music_files[i] + ": " +
                                         (error.empty() ? "no sound in it" : error) +
                                         (played == 0 ? "; skipped" : "; the next file goes on");
                sayLine(line.c_str());
            }
            failing[i] = played == 0 || !error.empty();
        }
        if (round == 0) std::this_thread::sleep_for(std::chrono::milliseconds(kRoundPauseMs));
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Public functions

bool checkMusic(const std::vector<std::string>& files, std::string& error) {
    for (const std::string& path : files) {
        Track t;
        std::string why;
        if (!openTrack(t, path, why)) {
            error = "cannot play " + path + ": " + why;
            return false;
        }
        closeTrack(t);
    }
    return true;
}

bool startMusic(const std::vector<std::string>& files) {
    music_files = files;
    try {
        std::thread(musicMain).detach();
    } catch (...) {
        return false;
    }
    return true;
}

void takeMusic(float* left, float* right, int count) {
    const uint64_t head = music_head.load(std::memory_order_relaxed);
    const uint64_t ready = music_tail.load(std::memory_order_acquire) - head;
    const int n = ready < static_cast<uint64_t>(count) ? static_cast<int>(ready) : count;
    for (int i = 0; i < n; ++i) {
        left[i] = music_left[(head + i) % kRingFrames];
        right[i] = music_right[(head + i) % kRingFrames];
    }
    for (int i = n; i < count; ++i)
        left[i] = right[i] = 0.0f;
    if (n < count) music_shortfall.fetch_add(count - n, std::memory_order_relaxed);
    music_head.store(head + n, std::memory_order_release);
}

void waitForMusic(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (music_tail.load() < static_cast<uint64_t>(kAudioRate / 2) &&
           std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(kFullPauseMs));
}

long long musicShortfall() {
    return music_shortfall.load(std::memory_order_relaxed);
}
