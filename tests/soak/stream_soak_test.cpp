// Soak of vantrel-stream: a stream to a local ingest (Debian's nginx with its
// RTMP module) that is killed and started again at random moments and once
// stops reading for a while, and beside it a recording cut into segments,
// while a sender puts a new page on air every 15 s, hostile peers send noise,
// messages cut short and stalls, 20 silent peers hold connections open, 2,000
// senders from outside the allowed network are refused, the page trace goes
// to a pipe that is left unread for half the run, and music plays from two
// short files in a loop. At the end: every page shows in what the ingest got,
// each restart was followed by the stream coming back (starting with a
// keyframe, with its sound), sound and picture never stood more than a frame
// apart, the recording holds every frame once, the process did not grow
// after its first minute, and the health file always told the truth.
//
// VANTREL_STREAM_SOAK_SECONDS sets how long it runs (default 90).
#include <fcntl.h>
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
#include "tests/tools/nginx.h"
#include "tests/tools/stream_media.h"

namespace {

using namespace stream_media;
using namespace test_nginx;
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
constexpr int kSilentPeers = 20;           // connections that never send, held open all along
constexpr int kRefusedSenders = 2000;      // connections from outside the allowed network
constexpr auto kStall = 30s;    // once, the ingest stops reading this long: its buffers fill, the
                                // output stalls, its write times out
constexpr auto kStallAt = 20s;  // when the ingest stops reading
constexpr int kLogPipeBytes = 4096;  // the smallest pipe, so that it fills at once
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
    if (!nginxInstalled()) GTEST_SKIP() << "no nginx with its RTMP module (scripts/install-deps)";
    const int port = freePort(), ingestPort = freePort();
    const std::string url = "rtmp://127.0.0.1:" + std::to_string(ingestPort) + "/live/soak";
    const auto receiver = [&](int part) {
        NginxSetup ingest;
        ingest.rtmpPort = ingestPort;
        return startNginx(dir / ("part" + std::to_string(part)), ingest);
    };
    Timeline timeline;
    int parts = 1;
    auto taker = receiver(parts);
    ASSERT_TRUE(taker != nullptr);
    timeline.up.push_back({Wall::now(), Wall::time_point::max()});
    // The page trace (every message whole) goes to a small pipe that is read
    // for the first third of the run and the last sixth, and left full between.
    ASSERT_EQ(mkfifo((dir / "stream.out").c_str(), 0600), 0);
    const int trace = open((dir / "stream.out").c_str(), O_RDONLY | O_NONBLOCK);
    fcntl(trace, F_SETPIPE_SZ, kLogPipeBytes);
    Child stream(streamArgs(port, {"--trace", "--allow", "127.0.0.1/32", "--audio", "a.flac",
                                   "--audio", "b.mp3", "--status", "status.json", "-o", url, "-o",
                                   "rec-%Y%m%d-%H%M%S.ts", "--segment", "20s"}),
                 dir, "stream");
    ASSERT_TRUE(waitFor(stream.err, "live on rtmp://", 30s)) << readWhole(stream.err);
    const auto start = std::chrono::steady_clock::now(), end = start + length;
    std::atomic<bool> over{false};
    std::string traced;  // what the trace reader took
    std::thread traceReader([&] {
        char chunk[65536];
        while (!over) {
            const auto at = std::chrono::steady_clock::now() - start;
            if (at < length / 3 || at > length * 5 / 6) {
                const ssize_t n = read(trace, chunk, sizeof chunk);
                if (n > 0) traced.append(chunk, static_cast<size_t>(n));
            }
            std::this_thread::sleep_for(50ms);
        }
    });
    // Peers that never send: each is cut after 5 s and comes straight back.
    std::thread silent([&] {
        std::vector<NetSocket> held;
        while (!over) {
            for (NetSocket& sock : held)
                if (sock != kNoSocket && netWaitReadable(sock, 0) > 0)
                    netClose(sock), sock = kNoSocket;
            held.erase(std::remove(held.begin(), held.end(), kNoSocket), held.end());
            while (static_cast<int>(held.size()) < kSilentPeers) {
                const NetSocket sock = connectTo(port, 8000);
                if (sock == kNoSocket) break;
                held.push_back(sock);
            }
            std::this_thread::sleep_for(200ms);
        }
        for (NetSocket sock : held)
            netClose(sock);
    });
    // Senders from outside --allow (127.0.0.2), each closed unread.
    std::thread refused([&] {
        for (int i = 0; i < kRefusedSenders && !over; ++i) {
            const int sock = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in from{}, to{};
            from.sin_family = to.sin_family = AF_INET;
            from.sin_addr.s_addr = htonl(0x7f000002);
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            to.sin_port = htons(static_cast<uint16_t>(port));
            if (bind(sock, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
                connect(sock, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
                recv(sock, nullptr, 0, 0);
            close(sock);
            std::this_thread::sleep_for(10ms);
        }
    });

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
    // Once, early, the ingest stops reading (SIGSTOP) before it is killed.
    // Its output's queue fills meanwhile; that is over before the first
    // minute's memory is taken, so what grows after it is a leak.
    const auto stallAt = start + kStallAt;
    bool stalled = false;
    std::pair<Wall::time_point, Wall::time_point> stall;
    int sent = 0;
    std::vector<Wall::time_point> sentAt;  // when each page went on air
    for (; std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(1s)) {
        const auto now = std::chrono::steady_clock::now();
        if (!stalled && now >= stallAt && now + kStall + 10s < end) {
            stalled = true;
            stall.first = Wall::now();
            kill(taker->pid, SIGSTOP);
            nextKill = now + kStall;
        }
        if (now >= nextPage) {
            EXPECT_EQ(
                sendFile(port, (dir / ("page" + std::to_string(sent % kPages) + ".json")).string()),
                0);
            ++sent;
            sentAt.push_back(Wall::now());
            nextPage += kHold;
        }
        if (now >= nextKill && now + 10s < end) {
            kill(taker->pid, SIGKILL);
            taker->ended(5s);
            timeline.up.back().second = Wall::now();
            if (stalled && stall.second == Wall::time_point{}) stall.second = Wall::now();
            std::this_thread::sleep_for(std::chrono::milliseconds(500 + random() % kDownMaxMs));
            taker = receiver(++parts);
            ASSERT_TRUE(taker != nullptr);
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
    silent.join();
    refused.join();
    traceReader.join();
    // A stop ends the stream within 5 s, with its trace still unread.
    kill(stream.pid, SIGTERM);
    ASSERT_TRUE(stream.ended(5s));
    EXPECT_EQ(stream.status, 0);
    close(trace);
    kill(taker->pid, SIGTERM);
    taker->ended(10s);
    const std::string err = readWhole(stream.err);
    std::printf("health at the end: %s", readWhole(dir / "status.json").c_str());
    std::printf("%s", err.substr(err.rfind("vantrel-stream: on air")).c_str());
    // A log gets a summary a minute, and the last one at the end.
    size_t summaries = 0;
    for (size_t at = 0; (at = err.find("vantrel-stream: on air", at)) != std::string::npos; ++at)
        ++summaries;
    EXPECT_GE(summaries, static_cast<size_t>(length / 60s) + 1);
    // The frames kept their beat all along: a slot every 1/60 s, each one
    // made or counted as skipped, whoever read the log or held a connection.
    EXPECT_GE(summaryFigure(err, "frames") + summaryFigure(err, "skipped"),
              60 * static_cast<long>(length / 1s));
    // The trace read again said what it had to drop while nobody read it.
    EXPECT_NE(traced.find("lines were dropped while the log was not read"), std::string::npos);
    EXPECT_NE(traced.find("page 10"), std::string::npos);
    // Refused senders were said, folded a minute at a time.
    EXPECT_NE(err.find("refused connection from 127.0.0.2: not an allowed sender"),
              std::string::npos);
    EXPECT_NE(err.find("more like it)"), std::string::npos);
    std::printf("resident memory: %ld KiB after the first minute, %ld KiB at the end\n",
                rssAfterMinute, rssAtEnd);
    if (!kSanitized && rssAfterMinute > 0) {
        EXPECT_LT(rssAtEnd - rssAfterMinute, 1024);
    }

    // The health file: "live" only while a receiver ran and read; "stalled"
    // while it did not read; anything else only when one had been away within
    // a minute and a half. The frames never stopped.
    EXPECT_NE(said.back().second.find("\"lastPage\": " + std::to_string(100 + (sent - 1) % kPages)),
              std::string::npos)
        << said.back().second;
    EXPECT_EQ(said.back().second.find("\"residentKbytes\": 0,"), std::string::npos);
    bool sawStalled = false;
    for (const auto& [written, text] : said) {
        EXPECT_EQ(text.find("\"frozen\""), std::string::npos) << text;
        if (text.rfind("{\"state\": \"stalled\"", 0) == 0) {
            sawStalled = true;
            EXPECT_TRUE(written >= stall.first + 4s && written <= stall.second + 1s) << text;
        } else if (text.rfind("{\"state\": \"live\"", 0) == 0) {
            // It may have just started, or been killed a moment ago (the next write finds out).
            EXPECT_TRUE(timeline.upAt(written) || timeline.upAt(written - 1s)) << text;
        } else if (text.rfind("{\"state\": \"retrying\"", 0) == 0 ||
                   text.rfind("{\"state\": \"connecting\"", 0) == 0) {
            bool away = false;
            for (auto t = written - 90s; t <= written && !away; t += 500ms)
                away = !timeline.upAt(t);
            EXPECT_TRUE(away || (written >= stall.first && written <= stall.second + 90s)) << text;
        }
    }
    EXPECT_TRUE(sawStalled || !stalled);

    // Every part a receiver got: a start at a keyframe, sound, and no drift;
    // and among them every page but one on air only while the ingest did not
    // read (the recording shows that one).
    std::vector<double> closest(kPages, 255), recordedClosest(kPages, 255);
    double drift = 0;
    for (int p = 1; p <= parts; ++p) {
        const Decoded got = decode(dir / ("part" + std::to_string(p)) / "records" / "soak.flv", 15);
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
    for (int n = 0; n < std::min(kPages, sent); ++n) {
        bool hidden = true;  // every time it went on air, the ingest was stalled
        for (int k = n; k < sent; k += kPages)
            hidden = hidden && sentAt[k] >= stall.first && sentAt[k] + kHold <= stall.second + 5s;
        if (!hidden) {
            EXPECT_LT(closest[n], kSeenBelow) << "page " << n << " never showed";
        }
    }

    // The recording beside it: every frame the stream made, once, in files
    // that each start at a keyframe, however the ingest came and went.
    size_t recorded = 0;
    const std::vector<std::string> files = filesLike(dir, "rec-", ".ts");
    for (const std::string& file : files) {
        const Decoded part = decode(dir / file, 15);
        EXPECT_TRUE(part.clean && !part.keys.empty() && part.keys.front() == 0) << file;
        recorded += part.pts.size();
        for (const std::string& thumb : part.pictures)
            for (int n = 0; n < kPages; ++n)
                recordedClosest[n] =
                    std::min(recordedClosest[n], meanDifference(thumb, expected[n]));
    }
    for (int n = 0; n < std::min(kPages, sent); ++n)
        EXPECT_LT(recordedClosest[n], kSeenBelow) << "page " << n << " is not in the recording";
    std::printf("recording: %zu files, %zu frames; the stream made %ld\n", files.size(), recorded,
                summaryFigure(err, "frames"));
    EXPECT_GE(files.size(), static_cast<size_t>(length / 20s));
    EXPECT_EQ(static_cast<long>(recorded), summaryFigure(err, "frames"));
    folder.keep = HasFailure();
}

}  // namespace
