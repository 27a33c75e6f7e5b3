// vantrel-stream run as a program: recordings decoded and compared with what
// vantrel-snapshot renders, network streams taken by a real receiver (FFmpeg's
// own program) that goes away and comes back, and the ways it refuses to start.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/child_process.h"
#include "tests/run_command.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kTime = "2026-12-06 09:05:07";  // the clock line of every frame
constexpr auto kStart = 30s;                          // fonts, encoders, the first packet

fs::path testFolder(const std::string& name) {
    const fs::path dir = fs::temp_directory_path() /
                         ("vantrel-stream-" + name + "-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

// A loopback port nobody uses at the moment, for TCP or UDP.
int freePort(int type = SOCK_STREAM) {
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
bool waitFor(const fs::path& file, const std::string& text, std::chrono::seconds limit) {
    for (const auto end = std::chrono::steady_clock::now() + limit;
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(50ms))
        if (readWhole(file).find(text) != std::string::npos) return true;
    return false;
}

std::vector<std::string> streamArgs(int port, std::vector<std::string> more) {
    std::vector<std::string> args = {VANTREL_STREAM, "--fonts", VANTREL_TEST_FONT_DIR, "--time",
                                     kTime, "--clock", "fixed", "--listen",
                                     "127.0.0.1:" + std::to_string(port)};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

int sendPage(int port, const std::string& example) {
    std::string output;
    return runCommand(std::string("'" VANTREL_SEND "' --port ") + std::to_string(port) + " '" +
                          VANTREL_EXAMPLES "/" + example + "'",
                      output);
}

// What a video file (or one picture) holds, decoded as a player would.
struct Decoded {
    int width = 0, height = 0;
    bool audio = false;                 // it has a sound track
    bool clean = false;                 // decoding ran to the end of the file without an error
    std::vector<int64_t> pts;           // every picture's timestamp, in frames of 1/60 s
    std::vector<size_t> keys;           // which pictures are keyframes
    std::vector<std::string> pictures;  // RGB, each one once in a row
};

Decoded decode(const fs::path& path) {
    Decoded d;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return d;
    avformat_find_stream_info(format, nullptr);
    const int v = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    d.audio = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0) >= 0;
    if (v < 0) return avformat_close_input(&format), d;
    const AVStream* stream = format->streams[v];
    AVCodecContext* codec = avcodec_alloc_context3(avcodec_find_decoder(stream->codecpar->codec_id));
    avcodec_parameters_to_context(codec, stream->codecpar);
    avcodec_open2(codec, codec->codec, nullptr);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    SwsContext* rgb = nullptr;
    const auto take = [&] {
        while (avcodec_receive_frame(codec, frame) == 0) {
            d.width = frame->width, d.height = frame->height;
            rgb = sws_getCachedContext(rgb, d.width, d.height, AVPixelFormat(frame->format),
                                       d.width, d.height, AV_PIX_FMT_RGB24, SWS_POINT, nullptr,
                                       nullptr, nullptr);
            std::string picture(static_cast<size_t>(d.width) * d.height * 3, '\0');
            uint8_t* to[1] = {reinterpret_cast<uint8_t*>(picture.data())};
            const int stride[1] = {d.width * 3};
            sws_scale(rgb, frame->data, frame->linesize, 0, d.height, to, stride);
            if (frame->key_frame) d.keys.push_back(d.pts.size());
            d.pts.push_back(av_rescale_q(frame->best_effort_timestamp, stream->time_base, {1, 60}));
            if (d.pictures.empty() || d.pictures.back() != picture) d.pictures.push_back(picture);
        }
    };
    int rc = 0;
    while ((rc = av_read_frame(format, packet)) >= 0) {
        if (packet->stream_index == v && avcodec_send_packet(codec, packet) >= 0) take();
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

// What vantrel-snapshot shows once the examples have arrived, as RGB.
std::string snapshot(const fs::path& dir, const std::vector<std::string>& examples) {
    std::string args, output;
    for (const std::string& e : examples)
        args += std::string(" '" VANTREL_EXAMPLES "/") + e + "'";
    runCommand(std::string("'" VANTREL_SNAPSHOT "' -q --fonts '" VANTREL_TEST_FONT_DIR
                           "' --clock fixed --time '") +
                   kTime + "' -o '" + (dir / "snap.png").string() + "'" + args,
               output);
    const Decoded d = decode(dir / "snap.png");
    return d.pictures.empty() ? std::string() : d.pictures.back();
}

// The mean difference of two RGB pictures, per byte.
double meanDifference(const std::string& a, const std::string& b) {
    if (a.size() != b.size() || a.empty()) return 255;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i)
        sum += std::abs(static_cast<uint8_t>(a[i]) - static_cast<uint8_t>(b[i]));
    return sum / static_cast<double>(a.size());
}

// Keyframes come every 2 s from the first on, and nowhere else.
void expectKeyframesEvery120(const Decoded& d, const std::string& what) {
    ASSERT_FALSE(d.keys.empty()) << what;
    EXPECT_EQ(d.keys.front(), 0u) << what;
    for (size_t i = 1; i < d.keys.size(); ++i)
        EXPECT_EQ(d.keys[i] - d.keys[i - 1], 120u) << what;
}

// A lossless recording while pages arrive, ended by SIGTERM: once each page
// has settled, the frame is exactly what vantrel-snapshot renders for the
// messages so far, and the frames follow each other without a gap.
TEST(StreamRecording, LosslessFramesAreTheSnapshots) {
    const fs::path dir = testFolder("lossless");
    const int port = freePort();
    const std::vector<std::string> pages = {"02-front-page.json", "03-chain-first.json",
                                            "04-chain-second.json", "06-warning.json"};
    {
        Child stream(streamArgs(port, {"--lossless", "-o", "rec.mp4"}), dir, "stream");
        ASSERT_TRUE(waitFor(stream.err, "live on rec.mp4", kStart)) << readWhole(stream.err);
        for (const std::string& page : pages) {
            std::this_thread::sleep_for(300ms);
            ASSERT_EQ(sendPage(port, page), 0) << page;
        }
        std::this_thread::sleep_for(500ms);
        kill(stream.pid, SIGTERM);
        ASSERT_TRUE(stream.ended(10s));
        EXPECT_EQ(stream.status, 0) << readWhole(stream.err);
    }
    // A busy machine may skip frames, each one counted; nothing is dropped.
    const std::string said = readWhole(dir / "stream.err");
    const size_t at = said.rfind("skipped ");
    ASSERT_NE(at, std::string::npos) << said;
    const long skipped = std::atol(said.c_str() + at + 8);
    EXPECT_NE(said.find("dropped 0 "), std::string::npos) << said;
    const Decoded rec = decode(dir / "rec.mp4");
    EXPECT_TRUE(rec.clean && rec.audio);
    std::vector<std::string> expected = {snapshot(dir, {})};
    for (size_t i = 0; i < pages.size(); ++i) {
        std::string settled = snapshot(dir, std::vector<std::string>(pages.begin(), pages.begin() + i + 1));
        if (settled != expected.back()) expected.push_back(settled);
    }
    // In order, each settled picture; a frame composed while a page was being
    // stored may show it half old and half new.
    size_t found = 0;
    for (const std::string& picture : rec.pictures)
        found += found < expected.size() && picture == expected[found];
    EXPECT_EQ(found, expected.size()) << rec.pictures.size() << " pictures";
    EXPECT_EQ(rec.pictures.back(), expected.back());
    int64_t gaps = 0;
    for (size_t i = 1; i < rec.pts.size(); ++i) {
        ASSERT_GT(rec.pts[i], rec.pts[i - 1]) << "frame " << i;
        gaps += rec.pts[i] - rec.pts[i - 1] - 1;
    }
    EXPECT_EQ(gaps, skipped);
    fs::remove_all(dir);
}

// SIGKILL halfway through a recording leaves a file that plays up to its
// last complete fragment.
TEST(StreamRecording, AKilledRecordingStillPlays) {
    const fs::path dir = testFolder("killed");
    {
        Child stream(streamArgs(freePort(), {"-o", "rec.mp4"}), dir, "stream");
        ASSERT_TRUE(waitFor(stream.err, "live on", kStart));
        std::this_thread::sleep_for(5s);
        kill(stream.pid, SIGKILL);
        ASSERT_TRUE(stream.ended(5s));
    }
    const Decoded rec = decode(dir / "rec.mp4");
    EXPECT_TRUE(rec.clean);
    EXPECT_GE(rec.pts.size(), 240u);  // two whole fragments of 2 s
    EXPECT_EQ(rec.width, 720);
    fs::remove_all(dir);
}

// A platform's ingest (RTMP) and a studio feed (UDP), each taken by FFmpeg's
// own program: the frames arrive at 720 x 480 with sound and a keyframe every
// 120 frames. The RTMP receiver is killed and started again: the stream comes
// back by itself, and a page sent while it was away is on air after it.
TEST(StreamNetwork, ReceiversGetTheStreamAndItComesBack) {
    const fs::path dir = testFolder("network");
    const int port = freePort();
    const std::string rtmp = "rtmp://127.0.0.1:" + std::to_string(freePort()) + "/live/test";
    const auto receiver = [&](const std::string& input, const std::string& file) {
        return std::vector<std::string>{FFMPEG_PROGRAM, "-nostdin", "-v", "error", "-y", "-listen",
                                        "1", "-i", input, "-c", "copy", file};
    };
    {
        auto first = std::make_unique<Child>(receiver(rtmp, "first.flv"), dir, "first");
        Child stream(streamArgs(port, {"-o", rtmp}), dir, "stream");
        ASSERT_TRUE(waitFor(stream.err, "live on", kStart)) << readWhole(stream.err);
        ASSERT_EQ(sendPage(port, "02-front-page.json"), 0);
        std::this_thread::sleep_for(4500ms);
        kill(first->pid, SIGKILL);
        first.reset();
        ASSERT_TRUE(waitFor(stream.err, "lost", 15s)) << readWhole(stream.err);
        ASSERT_EQ(sendPage(port, "06-warning.json"), 0);  // while the receiver is away
        Child second(receiver(rtmp, "second.flv"), dir, "second");
        ASSERT_TRUE(waitFor(stream.err, "reconnected", 30s)) << readWhole(stream.err);
        std::this_thread::sleep_for(2500ms);
        kill(stream.pid, SIGTERM);
        ASSERT_TRUE(stream.ended(10s) && second.ended(10s));
        EXPECT_EQ(stream.status, 0);
    }
    const Decoded first = decode(dir / "first.flv"), second = decode(dir / "second.flv");
    EXPECT_EQ(first.width * 1000 + first.height, 720480);
    EXPECT_TRUE(first.audio && second.audio);
    expectKeyframesEvery120(first, "first connection");
    expectKeyframesEvery120(second, "second connection");
    ASSERT_FALSE(second.pictures.empty());
    const std::string warning = snapshot(dir, {"02-front-page.json", "06-warning.json"});
    const std::string front = snapshot(dir, {"02-front-page.json"});
    EXPECT_LT(meanDifference(second.pictures.back(), warning), 3.0);
    EXPECT_GT(meanDifference(second.pictures.back(), front), 10.0);

    // UDP: the receiver listens first; the stream ends by itself.
    const std::string udp = "udp://127.0.0.1:" + std::to_string(freePort(SOCK_DGRAM));
    {
        Child taker({FFMPEG_PROGRAM, "-nostdin", "-v", "error", "-y", "-i", udp + "?timeout=3000000",
                     "-c", "copy", "udp.ts"},
                    dir, "udp");
        std::this_thread::sleep_for(500ms);
        Child stream(streamArgs(port, {"--duration", "5s", "-o", udp}), dir, "stream");
        ASSERT_TRUE(stream.ended(kStart) && taker.ended(15s));
        EXPECT_EQ(stream.status, 0) << readWhole(stream.err);
    }
    const Decoded ts = decode(dir / "udp.ts");
    EXPECT_EQ(ts.width * 1000 + ts.height, 720480);
    EXPECT_TRUE(ts.audio);
    EXPECT_GE(ts.pts.size(), 240u);
    fs::remove_all(dir);
}

// What the stream refuses, and what it says: bad options (2), a start it
// cannot make (1, nothing left behind), a recording that fails (1); and what
// it goes on through (0): a sender from outside the allowed networks (closed
// unread), a status file it cannot write, a music file that disappears.
TEST(StreamTool, RefusesWhatItCannotDo) {
    const fs::path dir = testFolder("refusals");
    std::ofstream(dir / "taken.mp4") << "an earlier recording";
    for (const char* tone : {"gone", "stays"}) {
        std::string output;
        ASSERT_EQ(runCommand(std::string("'" FFMPEG_PROGRAM "' -v error -f lavfi -i "
                                         "sine=duration=0.5 '") +
                                 (dir / tone).string() + ".wav'",
                             output),
                  0)
            << output;
    }
    enum Action { kNothing, kSend, kDeleteMusic };
    const int busy = freePort();
    const int held = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    at.sin_port = htons(static_cast<uint16_t>(busy));
    ASSERT_EQ(bind(held, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    listen(held, 1);
    const struct {
        std::vector<std::string> args;
        int status;
        const char* says;  // on standard error
        Action during;     // what happens while it runs
    } cases[] = {
        {{"--help"}, 0, "", kNothing},
        {{"--duration", "2s"}, 2, "-o OUTPUT is required", kNothing},
        {{"-o", "x.mp4", "--bitrate", "5"}, 2, "--bitrate wants 100 to 50000", kNothing},
        {{"-o", "x.mp4", "--allow", "10.1.2.3/8"}, 2, "--allow wants a network", kNothing},
        {{"-o", "x.avi"}, 2, "cannot tell the container from the name", kNothing},
        {{"-o", "ftp://example.org/x"}, 2, "unknown scheme", kNothing},
        {{"-o", "taken.mp4"}, 1, "taken.mp4 exists; -y replaces it", kNothing},
        {{"-o", "no/such/folder/x.mp4"}, 1, "cannot write no/such/folder/x.mp4", kNothing},
        {{"--fonts", ".", "-o", "x.mp4"}, 1, "no FONT01.tiga", kNothing},
        {{"--listen", "127.0.0.1:" + std::to_string(busy), "-o", "x.mp4"}, 1, "bind failed", kNothing},
        {{"-y", "--format", "mpegts", "-o", "/dev/full", "--duration", "10s"}, 1,
         "No space left on device", kNothing},
        {{"--allow", "10.0.0.0/8", "--duration", "3s", "-o", "allowed.ts"}, 0,
         "refused connection from 127.0.0.1: not an allowed sender", kSend},
        {{"--audio", "missing.mp3", "-o", "x.mp4"}, 1, "cannot play missing.mp3", kNothing},
        {{"--status", "no/such/folder/s.json", "--duration", "2s", "-o", "status.ts"}, 0,
         "cannot write status file no/such/folder/s.json", kNothing},
        {{"--audio", "gone.wav", "--audio", "stays.wav", "--duration", "5s", "-o", "music.ts"},
         0, "cannot play gone.wav", kDeleteMusic},
    };
    int row = 0;
    for (const auto& c : cases) {
        const int port = freePort();
        // A later option wins over streamArgs' own.
        Child stream(streamArgs(port, c.args), dir, "row" + std::to_string(++row));
        if (c.during != kNothing) {
            ASSERT_TRUE(waitFor(stream.err, "live on", kStart));
        }
        if (c.during == kSend) {
            EXPECT_NE(sendPage(port, "02-front-page.json"), 0);
        }
        if (c.during == kDeleteMusic) fs::remove(dir / "gone.wav");
        ASSERT_TRUE(stream.ended(kStart)) << c.args.back();
        EXPECT_EQ(stream.status, c.status) << c.args.back();
        EXPECT_NE(readWhole(stream.err).find(c.says), std::string::npos)
            << c.args.back() << ": " << readWhole(stream.err);
    }
    close(held);
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().extension() != ".out" && entry.path().extension() != ".err")
            left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"allowed.ts", "music.ts", "status.ts", "stays.wav",
                                              "taken.mp4"}));
    EXPECT_EQ(readWhole(dir / "taken.mp4"), "an earlier recording");
    fs::remove_all(dir);
}

// The channel unit as installed, on this build's program and fonts.
TEST(StreamService, TheUnitVerifies) {
    if (access("/usr/bin/systemd-analyze", X_OK) != 0) GTEST_SKIP() << "no systemd-analyze here";
    std::string output;
    EXPECT_EQ(runCommand("systemd-analyze verify '" VANTREL_STREAM_UNIT "'", output), 0) << output;
    EXPECT_EQ(output, "");
}

}  // namespace
