// Soak: four senders on loopback feed the real listener thread thousands of
// messages, a tenth of them damaged (cut short, noise, or a peer that stalls
// for its whole deadline), while the main thread composes frames the way the
// preview does. At the end every page must be in the store exactly as the
// decoder leaves it for the messages answered, and the process must not have
// grown.
//
// VANTREL_SOAK_MESSAGES sets the number of messages (default 20000).

#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/buffers.h"
#include "app/frame.h"
#include "feed/decode.h"
#include "feed/listener.h"
#include "model/page_model.h"
#include "model/shared_bytes.h"
#include "render/resample.h"
#include "tests/feed/loopback.h"
#include "tests/test_support.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

constexpr int kSenders = 4;
constexpr int kPagesPerSender = 50;  // sender k owns pages 1 + 50k .. 50 + 50k
constexpr int kDamagedEvery = 10;    // one message in ten is damaged, naming pages 201..254
constexpr int kStalls = 4;           // each holds the listener for its 5-second deadline
constexpr int kReplyWaitMs = 15000;  // a stalled peer ahead of us in the queue costs 5 s

// A page of random rows, some of them past lineCount or past 64 characters.
// Texts are letters, digits and blanks, so no text spells a key.
std::string randomPage(std::mt19937& rng, int page) {
    std::string json = "{\"pageData\":{\"pageNumber\":" + std::to_string(page) +
                       ",\"lineCount\":" + std::to_string(1 + rng() % kRowCount) + ",\"rows\":[";
    for (int r = 0, rows = 1 + rng() % kRowCount; r < rows; ++r) {
        std::string text;
        for (int n = rng() % 70; n > 0; --n)
            text += "abcdefghijklmnopqrstuvwxyz0123456789 "[rng() % 37];
        json += std::string(r ? "," : "") + "{\"color\":" + std::to_string(rng() % 16) +
                ",\"height\":" + std::to_string(rng() % 4) +
                ",\"width\":" + std::to_string(rng() % 4) + ",\"textData\":\"" + text + "\"}";
    }
    return json + "]}}";
}

// A damaged message naming pages 201..254: cut short halfway through the
// object, or binary noise.
void sendDamaged(std::mt19937& rng, int port, int kind) {
    std::string bytes = framed(randomPage(rng, 201 + rng() % 54));
    if (kind % 2 == 0) {
        bytes.resize(bytes.size() / 2);
    } else {
        bytes.assign(1 + rng() % 3000, '\0');
        for (char& c : bytes)
            c = static_cast<char>(rng());
    }
    roundTrip(port, bytes, kReplyWaitMs);
}

long residentKiB() {
    FILE* f = fopen("/proc/self/status", "r");
    if (!f) return 0;
    char line[256];
    long kib = 0;
    while (fgets(line, sizeof line, f))
        if (strncmp(line, "VmRSS:", 6) == 0) kib = strtol(line + 6, nullptr, 10);
    fclose(f);
    return kib;
}

TEST(Soak, EveryValidPageArrivesWholeWhileDamagedPeersComeAndGo) {
    const char* env = getenv("VANTREL_SOAK_MESSAGES");
    const int total = env ? atoi(env) : 20000;
    ASSERT_GT(total, kSenders * kDamagedEvery);

    // The listener's trace would be tens of megabytes; keep gtest's own output.
    fflush(stdout);
    fflush(stderr);
    int saved_out = dup(1), saved_err = dup(2);
    ASSERT_TRUE(freopen("/dev/null", "w", stdout));
    ASSERT_TRUE(freopen("/dev/null", "w", stderr));

    presetPageModel();
    buildHtaps();
    ASSERT_TRUE(allocateRenderBuffers() && allocateImages());
    resetFrameState();
    tcpEst(kLoopback, 0);
    for (int i = 0; i < 1000 && feed_bound_port.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const int port = feed_bound_port.load();
    ASSERT_NE(port, 0);

    // A page model of each sender's own, into which it decodes every message
    // the listener answered.
    std::unique_ptr<PrivateModel> expected[kSenders];
    for (auto& model : expected)
        model = std::make_unique<PrivateModel>();
    std::atomic<int> lost{0}, sendersDone{0};
    std::vector<std::thread> senders;
    for (int k = 0; k < kSenders; ++k) {
        senders.emplace_back([&, k] {
            std::mt19937 rng(1234 + k);
            const int mine = total / kSenders, stallEvery = std::max(1, mine / kStalls);
            for (int i = 0; i < mine; ++i) {
                // Sender 0 stalls now and then, spread over its run, so the
                // others keep coming while the listener waits out a deadline.
                if (k == 0 && i % stallEvery == stallEvery - 1) {
                    roundTrip(port, "50#{\"pageData\":", kReplyWaitMs, 5500);
                } else if (i % kDamagedEvery == kDamagedEvery - 1) {
                    sendDamaged(rng, port, i / kDamagedEvery);
                } else {
                    const std::string json =
                        randomPage(rng, 1 + k * kPagesPerSender + rng() % kPagesPerSender);
                    if (roundTrip(port, framed(json), kReplyWaitMs) == kFeedReply)
                        decodeMessageInto(expected[k]->view(), json.c_str(), nullptr);
                    else
                        ++lost;
                }
            }
            ++sendersDone;
        });
    }

    // The frame loop's side, headless: compose frames until every sender is done.
    struct tm noon = {};
    noon.tm_hour = 12;
    long rssAfterWarmup = 0;
    for (int frames = 0; sendersDone.load() < kSenders;) {
        composeFrame(noon);
        if (++frames == 200) rssAfterWarmup = residentKiB();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (auto& t : senders)
        t.join();
    composeFrame(noon);
    const long rssAtEnd = residentKiB();

    fflush(stdout);
    fflush(stderr);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);

    EXPECT_EQ(lost.load(), 0) << "valid messages without the reply";
    for (int page = 1; page <= kSenders * kPagesPerSender; ++page) {
        PageRecord got;
        readPage(pagestore, page, got);
        const PageRecord& want = expected[(page - 1) / kPagesPerSender]->pages[page];
        EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0) << "page " << page;
    }
    // Nothing is allocated per message or per frame: allow only allocator noise.
    // Sanitizers keep freed memory in quarantine and grow shadow memory, so the
    // resident set says nothing there.
    ASSERT_GT(rssAfterWarmup, 0);
    if (!kSanitized) {
        EXPECT_LT(rssAtEnd - rssAfterWarmup, 4096) << "KiB grown";
    }
}

}  // namespace
