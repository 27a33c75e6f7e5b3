// Soak: four senders on loopback feed the real listener thread thousands of
// messages, a tenth of them damaged in every way a peer can damage one, while
// the main thread composes frames the way the preview does. At the end every
// valid page must be in the store exactly as its last message gave it, and the
// process must not have grown.
//
// VANTREL_SOAK_MESSAGES sets the number of messages (default 20000).

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/buffers.h"
#include "app/frame.h"
#include "feed/listener.h"
#include "model/page_model.h"
#include "model/shared_bytes.h"
#include "render/resample.h"
#include "tests/feed/loopback.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

constexpr int kSenders = 4;
constexpr int kPagesPerSender = 50;     // sender k owns pages 1 + 50k .. 50 + 50k
constexpr int kDamagedPageFirst = 201;  // damaged messages only ever name pages 201..254
constexpr int kDamagedEvery = 10;       // one message in ten is damaged
constexpr int kStalledConnections = 4;  // each holds the listener for its 5-second deadline
constexpr int kReplyWaitMs = 15000;     // a stalled peer ahead of us in the queue costs 5 s

struct ExpectedPage {
    bool sent = false;
    int lineCount = 0;
    uint8_t color[kRowCount] = {};
    uint8_t size[kRowCount] = {};
    std::string text[kRowCount];
};

// Sends bytes (optionally only the first `cut` of them, then closes) and
// returns the reply; "" when the connection failed.
std::string roundTrip(int port, const std::string& bytes, size_t cut = std::string::npos,
                      int stallMs = 0) {
    NetSocket sock = connectTo(port, kReplyWaitMs);
    if (sock == kNoSocket) return "";
    sendText(sock, bytes.substr(0, cut));
    // A stalled peer keeps its side open; every other one says it has sent all
    // it will, so a message shorter than its declared length ends there.
    if (stallMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(stallMs));
    else
        netShutdownSend(sock);
    return takeReply(sock);
}

std::string framed(const std::string& json) {
    return std::to_string(json.size()) + "#" + json;
}

// A valid page for `page`, remembered in `expect`. Texts are made of letters,
// digits and blanks only, so no text can spell a key name.
std::string validPage(std::mt19937& rng, int page, ExpectedPage& expect) {
    std::uniform_int_distribution<int> lines(1, kRowCount), color(0, 15), height(0, 3), width(0, 3),
        len(0, kRowTextSize), ch(0, 35);
    expect = ExpectedPage{};
    expect.sent = true;
    expect.lineCount = lines(rng);
    std::string json = "{\"pageData\":{\"pageNumber\":" + std::to_string(page) +
                       ",\"lineCount\":" + std::to_string(expect.lineCount) + ",\"rows\":[";
    for (int r = 0; r < expect.lineCount; ++r) {
        int h = height(rng), w = width(rng);
        expect.color[r] = static_cast<uint8_t>(color(rng));
        expect.size[r] = static_cast<uint8_t>(h << 2 | w);
        std::string text = "p" + std::to_string(page) + " ";
        int n = len(rng);
        while (static_cast<int>(text.size()) < n) {
            int c = ch(rng);
            text += c < 26 ? static_cast<char>('a' + c) : static_cast<char>('0' + c - 26);
        }
        text.resize(std::min<size_t>(text.size(), kRowTextSize));
        expect.text[r] = text;
        json += std::string(r ? "," : "") + "{\"color\":" + std::to_string(expect.color[r]) +
                ",\"height\":" + std::to_string(h) + ",\"width\":" + std::to_string(w) +
                ",\"textData\":\"" + text + "\"}";
    }
    return json + "]}}";
}

// One damaged exchange of the given kind; all of them name only damaged pages.
void sendDamaged(std::mt19937& rng, int port, int kind) {
    std::uniform_int_distribution<int> page(kDamagedPageFirst, kMaxPageNumber);
    ExpectedPage ignored;
    std::string page_json = validPage(rng, page(rng), ignored);
    switch (kind % 5) {
        case 0:  // cut short: the peer closes halfway through the object
            roundTrip(port, framed(page_json), framed(page_json).size() / 2);
            break;
        case 1:  // not JSON at all
            roundTrip(port, "27#this is not a page message");
            break;
        case 2: {  // binary noise
            std::string noise(1 + rng() % 3000, '\0');
            for (char& c : noise)
                c = static_cast<char>(rng());
            roundTrip(port, noise);
            break;
        }
        case 3:  // over-long: declared and sent past the 4095-byte buffer
            roundTrip(port, "9000#{\"pageData\":1,\"rows\":\"" + std::string(8000, 'x') + "\"}");
            break;
        case 4:  // a declared length that lies about a cut-off object
            roundTrip(port, "3000#" + page_json.substr(0, page_json.size() / 3));
            break;
    }
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
    ASSERT_TRUE(allocateRenderBuffers());
    ASSERT_TRUE(allocateImages());
    resetFrameState();

    feed_port = 0;
    tcpEst();
    for (int i = 0; i < 1000 && feed_bound_port.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const int port = feed_bound_port.load();
    ASSERT_NE(port, 0);

    std::vector<ExpectedPage> expected(kPageCount);
    std::atomic<int> lost{0}, sendersDone{0};
    std::vector<std::thread> senders;
    for (int k = 0; k < kSenders; ++k) {
        senders.emplace_back([&, k] {
            std::mt19937 rng(1234 + k);
            const int mine = total / kSenders;
            const int stallSpacing = std::max(1, mine / kDamagedEvery / kStalledConnections);
            for (int i = 0; i < mine; ++i) {
                if (i % kDamagedEvery == kDamagedEvery - 1) {
                    // Sender 0 stalls now and then, spread over its run, so the
                    // others keep coming while the listener waits out a deadline.
                    const int slot = i / kDamagedEvery;
                    if (k == 0 && slot % stallSpacing == 0 &&
                        slot / stallSpacing < kStalledConnections)
                        roundTrip(port, "50#{\"pageData\":", std::string::npos, 5500);
                    else
                        sendDamaged(rng, port, slot);
                    continue;
                }
                int page = 1 + k * kPagesPerSender + static_cast<int>(rng() % kPagesPerSender);
                ExpectedPage next;
                std::string json = validPage(rng, page, next);
                if (roundTrip(port, framed(json)) == kFeedReply)
                    expected[page] = next;
                else
                    ++lost;
            }
            ++sendersDone;
        });
    }

    // The frame loop's side, headless: compose frames until every sender is done.
    struct tm noon {};
    noon.tm_year = 126;
    noon.tm_mday = 6;
    noon.tm_hour = 12;
    long rssAfterWarmup = 0;
    int frames = 0;
    while (sendersDone.load() < kSenders) {
        composeFrame(noon);
        if (++frames == 200) rssAfterWarmup = residentKiB();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (auto& t : senders)
        t.join();
    composeFrame(noon);
    long rssAtEnd = residentKiB();

    fflush(stdout);
    fflush(stderr);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);

    EXPECT_EQ(lost.load(), 0) << "valid messages without the reply";
    int checked = 0;
    for (int page = 1; page <= kSenders * kPagesPerSender; ++page) {
        const ExpectedPage& want = expected[page];
        if (!want.sent) continue;
        PageRecord got;
        readPage(pagestore, page, got);
        ASSERT_EQ(got.pageNumber, page);
        ASSERT_EQ(got.lineCount, want.lineCount) << "page " << page;
        for (int r = 0; r < want.lineCount; ++r) {
            EXPECT_EQ(got.style[r].rowColor, want.color[r]) << "page " << page << " row " << r;
            EXPECT_EQ(got.shape[r].rowSize, want.size[r]) << "page " << page << " row " << r;
            std::string text(reinterpret_cast<const char*>(got.rowText[r]),
                             strnlen(reinterpret_cast<const char*>(got.rowText[r]), kRowTextSize));
            EXPECT_EQ(text, want.text[r]) << "page " << page << " row " << r;
        }
        ++checked;
    }
    EXPECT_GT(checked, kSenders * kPagesPerSender / 2);
    EXPECT_GT(frames, 0);
    // Nothing is allocated per message or per frame: allow only allocator noise.
    // Sanitizers keep freed memory in quarantine and grow shadow memory, so the
    // resident set says nothing there.
    ASSERT_GT(rssAfterWarmup, 0);
    if (!kSanitized) {
        EXPECT_LT(rssAtEnd - rssAfterWarmup, 4096) << "KiB grown";
    }
}

}  // namespace
