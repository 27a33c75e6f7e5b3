// Soak of vantrel-stream: a stream to a local RTMP receiver (FFmpeg's own
// program) that is killed and started again at random moments, while a sender
// puts a new page on air every 15 s, hostile peers send noise, messages cut
// short and stalls, and music plays from two short files in a loop. At the
// end: every page shows in what the receivers got, each restart was followed
// by the stream coming back (starting with a keyframe, with its sound), sound
// and picture never stood more than a frame apart, the process did not grow
// after its first minute, and the health file always told the truth.
//
// VANTREL_STREAM_SOAK_SECONDS sets how long it runs (default 90).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/child_process.h"
#include "tests/feed/loopback.h"
#include "tests/tools/stream_media.h"

namespace {

using namespace stream_media;
using namespace std::chrono_literals;
using Wall = std::chrono::system_clock;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

constexpr int kPages = 5;    // the pages put on air, in turn, each a picture of its own
constexpr auto kHold = 15s;  // how long each stays on air: longer than any outage here
constexpr int kUpMinS = 20, kUpMaxS = 40;  // the receiver runs this long between kills
constexpr int kDownMaxMs = 4000;           // and is away up to this long
constexpr double kSeenBelow = 6.0;         // a thumbnail this close to a page's shows it
// A picture and the sound packet before it in the file may stand a sound
// packet (1024 samples) and a picture (1/60 s) apart without either having moved.
constexpr double kDriftLimit = 1024.0 / 48000 + 1.0 / 60;

// A page of its own: number n, its own colours and text.
std::string page(int n) {
    const int colours[] = {0, 1, 2, 4, 5};
    char text[512];
    std::snprintf(text, sizeof text,
                  "{\"topSolid\": true, \"topPage\": %d, \"pageData\": {\"pageNumber\": %d, "
                  "\"lineCount\": 3, \"height\": 3, \"color\": %d, \"textData\": \"PAGE %d\", "
                  "\"height\": 1, \"color\": %d, \"textData\": \"soak line %d\", \"height\": 2, "
                  "\"color\": %d, \"textData\": \"on air\"}}",
                  100 + n, 100 + n, colours[n % 5], n, colours[(n + 2) % 5], n,
                  colours[(n + 4) % 5]);
    return text;
}

long residentKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// When the receiver was running.
struct Timeline {
    std::mutex lock;
    std::vector<std::pair<Wall::time_point, Wall::time_point>> up;  // end: max() while running
    bool upAt(Wall::time_point t) {
        std::lock_guard<std::mutex> hold(lock);
        for (const auto& [from, to] : up)
            if (from <= t && t <= to) return true;
        return false;
    }
};

TEST(StreamSoak, StaysOnAirThroughRestartsAndHostilePeers) {
    const char* seconds = std::getenv("VANTREL_STREAM_SOAK_SECONDS");
    const auto length = std::chrono::seconds(seconds != nullptr ? std::atol(seconds) : 90);
    TempFolder folder("stream-soak");
    const fs::path& dir = folder.path;
    const std::pair<const char*, const char*> tones[] = {
        {"sine=f=440:d=2.5 -ac 1 -ar 44100", "a.flac"},
        {"sine=f=660:d=3.5 -ac 2 -ar 22050", "b.mp3"}};
    for (const auto& [tone, name] : tones) {
        std::string output;
        ASSERT_EQ(runProgram(FFMPEG_PROGRAM,
                             std::string("-v error -f lavfi -i ") + tone + " '" +
                                 (dir / name).string() + "'",
                             output),
                  0)
            << output;
    }
    std::vector<std::string> expected;
    for (int n = 0; n < kPages; ++n) {
        std::ofstream(dir / ("page" + std::to_string(n) + ".json")) << page(n);
        expected.push_back(
            snapshot(dir, {(dir / ("page" + std::to_string(n) + ".json")).string()}, true));
    }
    const int port = freePort();
    const std::string url = "rtmp://127.0.0.1:" + std::to_string(freePort()) + "/live/soak";
    const auto receiver = [&](int part) {
        return std::make_unique<Child>(
            std::vector<std::string>{FFMPEG_PROGRAM, "-nostdin", "-v", "error", "-y", "-listen",
                                     "1", "-i", url, "-c", "copy",
                                     "part" + std::to_string(part) + ".flv"},
            dir, "receiver" + std::to_string(part));
    };
    Timeline timeline;
    int parts = 1;
    auto taker = receiver(parts);
    timeline.up.push_back({Wall::now(), Wall::time_point::max()});
    Child stream(streamArgs(port, {"--audio", "a.flac", "--audio", "b.mp3", "--status",
                                   "status.json", "-o", url}),
                 dir, "stream");
    ASSERT_TRUE(waitFor(stream.err, "live on", 30s)) << readWhole(stream.err);
    const auto start = std::chrono::steady_clock::now(), end = start + length;
    std::atomic<bool> over{false};

    std::thread hostile([&] {
        std::mt19937 random(1);
        const std::string cut = page(0).substr(0, 90);
        while (!over) {
            NetSocket sock = connectTo(port, 8000);
            if (sock == kNoSocket) continue;
            switch (random() % 4) {
                case 0:
                    sendText(sock, "5000#" + std::string(3000, 'x'));
                    break;
                case 1:
                    sendText(sock, std::to_string(cut.size() + 40) + "#" + cut);
                    break;
                case 2:
                    std::this_thread::sleep_for(1500ms);
                    break;  // a peer that stalls
                default:
                    sendText(sock, "]]]]\x01\x02 not a message");
                    break;
            }
            netShutdownSend(sock);
            takeReply(sock);
            std::this_thread::sleep_for(std::chrono::milliseconds(200 + random() % 400));
        }
    });
    std::vector<std::pair<Wall::time_point, std::string>> said;  // the health file as read
    long rssAfterMinute = -1;
    std::mt19937 random(7);
    auto nextPage = start, nextKill = start + std::chrono::seconds(kUpMinS + random() % 10);
    int sent = 0;
    for (; std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(1s)) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= nextPage) {
            EXPECT_EQ(
                sendFile(port, (dir / ("page" + std::to_string(sent % kPages) + ".json")).string()),
                0);
            ++sent;
            nextPage += kHold;
        }
        if (now >= nextKill && now + 10s < end) {
            kill(taker->pid, SIGKILL);
            taker->ended(5s);
            timeline.up.back().second = Wall::now();
            std::this_thread::sleep_for(std::chrono::milliseconds(500 + random() % kDownMaxMs));
            taker = receiver(++parts);
            timeline.up.push_back({Wall::now(), Wall::time_point::max()});
            nextKill = std::chrono::steady_clock::now() +
                       std::chrono::seconds(kUpMinS + random() % (kUpMaxS - kUpMinS));
        }
        if (rssAfterMinute < 0 && now - start >= 60s) rssAfterMinute = residentKb(stream.pid);
        struct stat file = {};
        if (stat((dir / "status.json").c_str(), &file) == 0) {
            const auto written = Wall::from_time_t(file.st_mtim.tv_sec) +
                                 std::chrono::nanoseconds(file.st_mtim.tv_nsec);
            EXPECT_LT(Wall::now() - written, 7s) << "the health file went stale";
            said.push_back({written, readWhole(dir / "status.json")});
        }
    }
    const long rssAtEnd = residentKb(stream.pid);
    over = true;
    hostile.join();
    kill(stream.pid, SIGTERM);
    ASSERT_TRUE(stream.ended(15s));
    EXPECT_EQ(stream.status, 0);
    taker->ended(10s);
    const std::string err = readWhole(stream.err);
    std::printf("%s", err.substr(err.rfind("vantrel-stream: on air")).c_str());
    // A log gets a summary a minute, and the last one at the end.
    size_t summaries = 0;
    for (size_t at = 0; (at = err.find("vantrel-stream: on air", at)) != std::string::npos; ++at)
        ++summaries;
    EXPECT_GE(summaries, static_cast<size_t>(length / 60s) + 1);
    std::printf("resident memory: %ld KiB after the first minute, %ld KiB at the end\n",
                rssAfterMinute, rssAtEnd);
    if (!kSanitized && rssAfterMinute > 0) {
        EXPECT_LT(rssAtEnd - rssAfterMinute, 1024);
    }

    // The health file: "live" only while a receiver ran; anything else only
    // when one had been away within a minute and a half.
    EXPECT_NE(said.back().second.find("\"lastPage\": " + std::to_string(100 + (sent - 1) % kPages)),
              std::string::npos)
        << said.back().second;
    EXPECT_EQ(said.back().second.find("\"residentKbytes\": 0,"), std::string::npos);
    for (const auto& [written, text] : said) {
        if (text.find("\"state\": \"live\"") != std::string::npos) {
            // It may have just started, or been killed a moment ago (the next write finds out).
            EXPECT_TRUE(timeline.upAt(written) || timeline.upAt(written - 1s)) << text;
        } else if (text.find("\"state\": \"retrying\"") != std::string::npos ||
                   text.find("\"state\": \"connecting\"") != std::string::npos) {
            bool away = false;
            for (auto t = written - 90s; t <= written && !away; t += 500ms)
                away = !timeline.upAt(t);
            EXPECT_TRUE(away) << text;
        }
    }

    // Every part a receiver got: a start at a keyframe, sound, and no drift;
    // and among them every page.
    std::vector<double> closest(kPages, 255);
    double drift = 0;
    for (int p = 1; p <= parts; ++p) {
        const Decoded got = decode(dir / ("part" + std::to_string(p) + ".flv"), 15);
        ASSERT_GE(got.pts.size(), 60u) << "part " << p << " of " << parts;
        EXPECT_EQ(got.keys.front(), 0u) << "part " << p;
        EXPECT_TRUE(got.audio) << "part " << p;
        EXPECT_LT(got.drift, kDriftLimit) << "part " << p;
        drift = std::max(drift, got.drift);
        for (const std::string& thumb : got.pictures)
            for (int n = 0; n < kPages; ++n)
                closest[n] = std::min(closest[n], meanDifference(thumb, expected[n]));
    }
    std::printf("%d receiver sessions; sound and picture at most %.1f ms apart\n", parts,
                drift * 1000);
    for (int n = 0; n < std::min(kPages, sent); ++n)
        EXPECT_LT(closest[n], kSeenBelow) << "page " << n << " never showed";
    folder.keep = HasFailure();
}

}  // namespace
