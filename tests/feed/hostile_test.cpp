// What a damaged or hostile peer gets from the listener and decoder: each kind
// of bad input has one documented reaction (a line on standard error, or
// nothing), and the message that follows it on the next connection is served
// and applied as if nothing had happened.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "feed/listener.h"
#include "model/page_model.h"
#include "model/shared_bytes.h"
#include "tests/feed/loopback.h"

namespace {

constexpr int kPeerWaitMs = 30000;  // bound on the peer's every wait for the listener

using namespace std::string_literals;

struct HostileCase {
    const char* name;
    std::string bytes;  // what the peer sends before it closes its side
    const char* err;    // exact standard error of the connection
    int topPage;        // topPage afterwards (starts at 1)
};

const std::string kLong(8000, 'x');

std::string repeat(const std::string& unit, int times) {
    std::string text;
    while (times-- > 0)
        text += unit;
    return text;
}

std::string framedText(const std::string& json) {
    return std::to_string(json.size()) + "#" + json;
}

// clang-format off
const HostileCase kHostileCases[] = {
    // The peer closes halfway through the object: it fails to parse, silently.
    {"CutShort", "40#{\"topPage\":9,\"pageData\":1,\"pageNumber\":", "", 1},
    {"NotJson", "hello, is this the display?", "no JSON object in received data\n", 1},
    // NULs end the text the decoder sees; nothing before them is a page.
    {"BinaryWithNuls", "\x01\x02\0{\"topPage\":9}\xff\xfe"s, "", 1},
    {"ObjectThenNul", "{\"topPage\":9}\0{\"topPage\":4}"s, "", 9},
    // Declared and sent past the buffer: cut at 4095 bytes, so the object never
    // closes. (Exactly 4095 are sent, so no unread byte makes the close a reset.)
    {"OverLong", ("9000#{\"topPage\":9,\"t\":\"" + kLong).substr(0, 4095),
     "warning: declared length 9000 exceeds buffer; truncating\n", 1},
    {"DeclaredTooShort", "2#{\"topPage\":9}", "", 9},  // extra bytes reach the decoder
    {"DeclaredTooLong", "300#{\"topPage\":9}", "", 9},  // read until the peer closes
    {"NegativeLength", "-13#{\"topPage\":9}", "", 9},   // '-' is skipped like any non-digit
    {"HugeLength", "99999999999999999999#{\"topPage\":9}",
     "warning: declared length 2147483647 exceeds buffer; truncating\n", 9},
    // The densest message the buffer holds still tokenizes and applies.
    {"BufferFullOfTokens", framedText("{\"topPage\":9,\"a\":[" + repeat("1,", 2034) + "1]}"), "", 9},
    // Brackets before the object are blanked; unclosed ones inside it never parse.
    {"BracketsBeforeTheObject", std::string(2000, '[') + "{\"topPage\":9}", "", 9},
    {"DeepUnclosedNesting", "{\"topPage\":9,\"a\":" + std::string(2000, '['), "", 1},
    {"UnclosedString", "{\"topPage\":\"9", "", 1},
    {"KeysOnlyNoValues", "{\"topPage\"", "", 1},
};
// clang-format on

void PrintTo(const HostileCase& c, std::ostream* os) {
    *os << c.name;
}

class HostileInput : public ::testing::TestWithParam<HostileCase> {
protected:
    void SetUp() override {
        std::memset(pagestore, 0, sizeof pagestore);
        presetPageModel();
        page_dirty = 0;
        feed_port = 0;
        ASSERT_TRUE(netStartup());
        listen_sock = openListener();
        port = netLocalPort(listen_sock);
        out_path = tracePath(std::to_string(port) + ".hostile");
        out = fopen(out_path.string().c_str(), "wb");
    }
    void TearDown() override {
        netClose(listen_sock);
        fclose(out);
        std::filesystem::remove(out_path);
    }

    // Serves one connection on which a peer sends bytes and closes its side;
    // returns the peer's reply and, in errText, what went to standard error.
    std::string serve(const std::string& bytes, std::string* errText) {
        std::string reply;
        std::thread peer([&] {
            NetSocket sock = connectTo(port, kPeerWaitMs);
            if (sock == kNoSocket) return;
            sendText(sock, bytes);
            netShutdownSend(sock);
            reply = takeReply(sock);
        });
        const auto err_path = tracePath(std::to_string(port) + ".hostile-err");
        FILE* err = fopen(err_path.string().c_str(), "wb");
        createSock(listen_sock, out, err);
        peer.join();
        fclose(err);
        *errText = readWhole(err_path);
        std::filesystem::remove(err_path);
        return reply;
    }

    NetSocket listen_sock = kNoSocket;
    int port = 0;
    std::filesystem::path out_path;
    FILE* out = nullptr;  // the trace of every connection, not looked at here
};

TEST_P(HostileInput, GetsItsDocumentedReactionAndTheNextMessageIsServed) {
    const HostileCase& c = GetParam();
    std::string errText;
    EXPECT_EQ(serve(c.bytes, &errText), kFeedReply);
    EXPECT_EQ(errText, c.err);
    EXPECT_EQ(loadShared(omcw[kTopPage]), c.topPage);

    EXPECT_EQ(serve("13#{\"ldlPage\":3}", &errText), kFeedReply);
    EXPECT_EQ(errText, "");
    EXPECT_EQ(loadShared(omcw[kLdlPage]), 3);
}

INSTANTIATE_TEST_SUITE_P(Feed, HostileInput, ::testing::ValuesIn(kHostileCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
