// vantrel-stream run as a program: recordings decoded and compared with what
// vantrel-snapshot renders, network streams taken by a real receiver (FFmpeg's
// own program) that goes away and comes back, and the ways it refuses to start.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/child_process.h"
#include "tests/tools/stream_media.h"

namespace {

using namespace stream_media;
using namespace std::chrono_literals;

constexpr auto kStart = 30s;  // fonts, encoders, the first packet

int sendPage(int port, const std::string& example) {
    return sendFile(port, VANTREL_EXAMPLES "/" + example);
}

// The picture vantrel-snapshot shows once these examples have arrived.
std::string snapshotOf(const fs::path& dir, const std::vector<std::string>& examples) {
    std::vector<std::string> files;
    for (const std::string& e : examples)
        files.push_back(VANTREL_EXAMPLES "/" + e);
    return snapshot(dir, files);
}

// Keyframes come every 2 s of the stream's frame count, and nowhere else; a
// connection starts at a keyframe of its own, so the second may come sooner.
void expectKeyframesEvery120(const Decoded& d, const std::string& what) {
    ASSERT_FALSE(d.keys.empty()) << what;
    EXPECT_EQ(d.keys.front(), 0u) << what;
    for (size_t i = 1; i < d.keys.size(); ++i) {
        if (i == 1)
            EXPECT_LE(d.keys[i] - d.keys[i - 1], 120u) << what;
        else
            EXPECT_EQ(d.keys[i] - d.keys[i - 1], 120u) << what;
    }
}

constexpr int kClockSeconds = 12;  // seconds of a running clock that a recording may show

// What the display shows once each prefix of pages has arrived (each
// picture once, in order), at every second of a clock that runs from kTime
// on: [picture][second], RGB.
std::vector<std::vector<std::string>> settledPictures(const fs::path& dir,
                                                      const std::vector<std::string>& pages) {
    std::vector<std::vector<std::string>> settled;
    for (size_t k = 0; k <= pages.size(); ++k) {
        // Frame 1 shows kTime; every 60th frame after it the next second.
        std::string args = std::string("-q --fonts '" VANTREL_TEST_FONT_DIR "' --time '") + kTime +
                           "' --clock run --from 1 --to " +
                           std::to_string(60 * (kClockSeconds - 1) + 1) + " --step 60 -o '" +
                           (dir / "second-%05d.png").string() + "'",
                    output;
        for (size_t i = 0; i < k; ++i)
            args += " '" VANTREL_EXAMPLES "/" + pages[i] + "'";
        EXPECT_EQ(runProgram(VANTREL_SNAPSHOT, args, output), 0) << output;
        std::vector<std::string> seconds;
        for (int second = 0; second < kClockSeconds; ++second) {
            char name[32];
            std::snprintf(name, sizeof name, "second-%05d.png", 60 * second + 1);
            const Decoded d = decode(dir / name);
            seconds.push_back(d.pictures.empty() ? std::string() : d.pictures.back());
        }
        if (settled.empty() || seconds != settled.back()) settled.push_back(seconds);
    }
    return settled;
}

// A lossless recording while pages arrive, on a running clock, ended by
// SIGTERM: skip pictures meet page changes, keyframes and the clock's
// seconds. Every frame decodes at FFmpeg's strictest error detection to
// exactly what vantrel-snapshot renders for the messages so far at that
// frame's second (a frame composed while a page was being stored may show it
// half old and half new); each settled picture comes, in order; the frames
// follow each other without a gap; most are skip pictures of a few bytes.
TEST(StreamRecording, LosslessFramesAreTheSnapshots) {
    TempFolder folder("stream-lossless");
    const fs::path& dir = folder.path;
    const int port = freePort();
    const std::vector<std::string> pages = {"02-front-page.json", "03-chain-first.json",
                                            "04-chain-second.json", "06-warning.json"};
    {
        Child stream(streamArgs(port, {"--lossless", "--clock", "run", "-o", "rec.mp4"}), dir,
                     "stream");
        ASSERT_TRUE(waitFor(stream.err, "live on rec.mp4", kStart)) << readWhole(stream.err);
        for (const std::string& page : pages) {
            std::this_thread::sleep_for(300ms);
            ASSERT_EQ(sendPage(port, page), 0) << page;
        }
        // A still stretch: skip pictures, a keyframe and the clock's seconds.
        std::this_thread::sleep_for(3s);
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
    const auto settled = settledPictures(dir, pages);
    size_t shown = 0, torn = 0;
    const Decoded rec = decode(dir / "rec.mp4", 0, [&](const std::string& picture, int64_t pts) {
        const int64_t second = pts / 60;  // frame 0 shows kTime
        ASSERT_LT(second, kClockSeconds) << "frame " << pts;
        size_t k = shown;
        while (k < settled.size() && picture != settled[k][second])
            ++k;
        EXPECT_LE(k, shown + 1) << "a page never shown, frame " << pts;
        if (k < settled.size())
            shown = k;
        else
            ++torn;
    });
    EXPECT_TRUE(rec.clean && rec.audio && rec.errors == 0);
    EXPECT_NEAR(rec.firstSound, rec.firstPicture, 0.001);  // both start at the first keyframe
    EXPECT_GE(rec.keys.size(), 2u);
    EXPECT_EQ(shown + 1, settled.size()) << rec.pts.size() << " frames";
    EXPECT_LE(torn, pages.size());
    int64_t gaps = 0;
    for (size_t i = 1; i < rec.pts.size(); ++i) {
        ASSERT_GT(rec.pts[i], rec.pts[i - 1]) << "frame " << i;
        gaps += rec.pts[i] - rec.pts[i - 1] - 1;
    }
    EXPECT_EQ(gaps, skipped);
    // x264's own lossless picture of a still frame has about 1.5 kB.
    const auto few =
        std::count_if(rec.sizes.begin(), rec.sizes.end(), [](int n) { return n < 64; });
    EXPECT_GT(few * 2, static_cast<long>(rec.sizes.size()));
    folder.keep = HasFailure();
}

// SIGKILL halfway through a recording (for a 4:3 television) leaves a file
// that plays up to its last complete fragment.
TEST(StreamRecording, AKilledRecordingStillPlays) {
    TempFolder folder("stream-killed");
    const fs::path& dir = folder.path;
    {
        Child stream(streamArgs(freePort(), {"--aspect", "4:3", "-o", "rec.mp4"}), dir, "stream");
        ASSERT_TRUE(waitFor(stream.err, "live on", kStart));
        std::this_thread::sleep_for(5s);
        kill(stream.pid, SIGKILL);
        ASSERT_TRUE(stream.ended(5s));
    }
    const Decoded rec = decode(dir / "rec.mp4");
    EXPECT_TRUE(rec.clean);
    EXPECT_GE(rec.pts.size(), 240u);                   // two whole fragments of 2 s
    EXPECT_EQ(rec.width * 1000 + rec.height, 640480);  // 4:3 on square pixels
    folder.keep = HasFailure();
}

// A platform's ingest (RTMP) and a studio feed (UDP), each taken by FFmpeg's
// own program: the frames arrive at 720 x 480 with sound and a keyframe every
// 120 frames. The RTMP receiver is killed and started again: the stream comes
// back by itself, and a page sent while it was away is on air after it.
TEST(StreamNetwork, ReceiversGetTheStreamAndItComesBack) {
    TempFolder folder("stream-network");
    const fs::path& dir = folder.path;
    const int port = freePort();
    const std::string rtmp = "rtmp://127.0.0.1:" + std::to_string(freePort()) + "/live/test";
    const auto receiver = [&](const std::string& input, const std::string& file) {
        return std::vector<std::string>{FFMPEG_PROGRAM, "-nostdin", "-v",   "error",
                                        "-y",           "-listen",  "1",    "-i",
                                        input,          "-c",       "copy", file};
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
    const std::string warning = snapshotOf(dir, {"02-front-page.json", "06-warning.json"});
    const std::string front = snapshotOf(dir, {"02-front-page.json"});
    EXPECT_LT(meanDifference(second.pictures.back(), warning), 3.0);
    EXPECT_GT(meanDifference(second.pictures.back(), front), 10.0);

    // UDP: the receiver listens first; the stream ends by itself.
    const std::string udp = "udp://127.0.0.1:" + std::to_string(freePort(SOCK_DGRAM));
    {
        Child taker({FFMPEG_PROGRAM, "-nostdin", "-v", "error", "-y", "-i",
                     udp + "?timeout=3000000", "-c", "copy", "udp.ts"},
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
    folder.keep = HasFailure();
}

// What the stream refuses, and what it says: bad options (2), a start it
// cannot make (1, nothing left behind), a recording that fails (1); and what
// it goes on through (0): a sender from outside the allowed networks (closed
// unread), a status file it cannot write, a music file that disappears.
TEST(StreamTool, RefusesWhatItCannotDo) {
    TempFolder folder("stream-refusals");
    const fs::path& dir = folder.path;
    std::ofstream(dir / "taken.mp4") << "an earlier recording";
    for (const char* tone : {"gone", "stays"}) {
        std::string output;
        ASSERT_EQ(
            runProgram(FFMPEG_PROGRAM,
                       "-v error -f lavfi -i sine=duration=0.5 '" + (dir / tone).string() + ".wav'",
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
        {{"--listen", "127.0.0.1:" + std::to_string(busy), "-o", "x.mp4"},
         1,
         "bind failed",
         kNothing},
        {{"-y", "--format", "mpegts", "-o", "/dev/full", "--duration", "10s"},
         1,
         "No space left on device",
         kNothing},
        {{"--allow", "10.0.0.0/8", "--duration", "3s", "-o", "allowed.ts"},
         0,
         "refused connection from 127.0.0.1: not an allowed sender",
         kSend},
        {{"--audio", "missing.mp3", "-o", "x.mp4"}, 1, "cannot play missing.mp3", kNothing},
        {{"--retries", "0", "-o", "rtmp://nowhere.invalid/live/key"}, 1, "unknown host", kNothing},
        {{"--status", "no/such/folder/s.json", "--duration", "2s", "-o", "status.ts"},
         0,
         "cannot write status file no/such/folder/s.json",
         kNothing},
        {{"--audio", "gone.wav", "--audio", "stays.wav", "--duration", "5s", "-o", "music.ts"},
         0,
         "cannot play gone.wav",
         kDeleteMusic},
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
    folder.keep = HasFailure();
}

// The channel unit as installed, on this build's program and fonts.
TEST(StreamService, TheUnitVerifies) {
    if (access("/usr/bin/systemd-analyze", X_OK) != 0) GTEST_SKIP() << "no systemd-analyze here";
    std::string output;
    EXPECT_EQ(runProgram("systemd-analyze", "verify '" VANTREL_STREAM_UNIT "'", output), 0)
        << output;
    EXPECT_EQ(output, "");
}

}  // namespace
