#include "feed/listener.h"

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "model/page_model.h"
#include "model/shared_bytes.h"
#include "tests/feed/loopback.h"
#include "tests/test_support.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Bound on every wait for the other end: well past the 5-second cut of a
// connection that a reply may be queued behind.
constexpr int kWaitMs = 30000;
constexpr char kTopPage3[] = "13#{\"topPage\":3}";  // a 13-byte object, framed

// Socket error codes whose system text the listener and the sender print.
#ifdef _WIN32
constexpr int kRefusedCode = 10061;  // WSAECONNREFUSED
#else
constexpr int kResetCode = ECONNRESET;
constexpr int kRefusedCode = ECONNREFUSED;
#endif

std::string errorText(int code) {
    char text[kNetErrorTextSize];
    return netErrorText(code, text, sizeof text);
}

// True once a connection waits in the queue of a listening socket.
bool waiting(NetSocket sock) {
    return netWaitReadable(sock, kWaitMs) == 1;
}

// A listening socket on a free port; its trace and its errors go into files
// in a folder of the test's own, so that a client can wait for each line.
class Listener : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(netStartup());
        std::memset(pagestore, 0, sizeof pagestore);
        presetPageModel();
        listen_sock = openListener(kLoopback, 0);
        port = feed_bound_port.load();
        out = fopen(out_path.string().c_str(), "wb");
        err = fopen(err_path.string().c_str(), "wb");
        ASSERT_TRUE(out != nullptr && err != nullptr);
    }
    void TearDown() override {
        netClose(listen_sock);
        fclose(out);
        fclose(err);
    }
    int serve() { return createSock(listen_sock, out, err); }
    // Everything written so far, once the listener is done with a connection.
    std::string traced() { return fflush(out), readWhole(out_path); }
    std::string errors() { return fflush(err), readWhole(err_path); }

    NetSocket listen_sock = kNoSocket;
    int port = 0;
    TempFolder dir{"listener"};
    std::filesystem::path out_path = dir.path / "out", err_path = dir.path / "err";
    FILE* out = nullptr;
    FILE* err = nullptr;
};

enum class End {
    Stay,       // keeps the connection open and waits for the reply
    HalfClose,  // ends its sending after the last piece, then waits for the reply
    Close,      // closes before the listener accepts
    Reset,      // resets before the listener accepts
    SentReset,  // ends its sending after the message, then resets, before the listener accepts
};

struct FramingCase {
    const char* name;
    std::vector<std::string> pieces;  // one receive each
    End end;
    std::string out;       // exact trace on standard output
    std::string err;       // exact text on standard error
    int topPage, ldlPage;  // both start at 1; topPage 3 when the object was decoded
};

// expected = position of the first '#' + 1 + the prefix's digits read as one
// number, capped at 4095. A connection gets 5 s from its accept.
// clang-format off
const FramingCase kFramingCases[] = {
    {"OnePiece", {kTopPage3}, End::Stay,
     "expected: 16  received: 16\n13#{\"topPage\":3}\nsize: 16\n\n", "", 3, 1},
    {"SplitBeforeTheHash", {"1", "3#{\"top", "Page\":3}"}, End::Stay,
     "expected: -1  received: 1\nexpected: 16  received: 8\nexpected: 16  received: 16\n"
     "13#{\"topPage\":3}\nsize: 16\n\n", "", 3, 1},
    {"HashFirstStopsAfterOneReceive", {"#{\"top"}, End::Stay,
     "expected: 1  received: 6\n#{\"top\nsize: 6\n\n", "", 1, 1},
    {"PrefixWithoutDigitsDeclaresZero", {"ab#{\"topPage\":3}"}, End::Stay,
     "expected: 3  received: 16\nab#{\"topPage\":3}\nsize: 16\n\n", "", 3, 1},
    {"Declared5000IsCappedAndReadUntilClose", {"5000#{\"topPage\":3}"}, End::HalfClose,
     "expected: 4095  received: 18\n5000#{\"topPage\":3}\nsize: 18\n\n",
     "warning: declared length 5000 exceeds buffer; truncating\n", 3, 1},
    {"NoHashReadsUntilClose", {"{\"top", "Page\":3}"}, End::HalfClose,
     "expected: -1  received: 5\nexpected: -1  received: 13\n{\"topPage\":3}\nsize: 13\n\n", "",
     3, 1},
    // The second receive holds 1000 bytes; 95 of them fit.
    {"NoHashReadsUntil4095Bytes", {std::string(4000, 'a'), std::string(1000, 'a')}, End::Stay,
     "expected: -1  received: 4000\nexpected: -1  received: 4095\n" + std::string(4095, 'a') +
     "\nsize: 4095\n\n", "no JSON object in received data\n", 1, 1},
    {"EmptyConnection", {}, End::Close, "\nsize: 0\n\n", "no JSON object in received data\n", 1, 1},
#ifdef _WIN32  // Wine reads a connection reset in the queue as one closed in order
    {"ResetBeforeAccept", {}, End::Reset, "\nsize: 0\n\n", "no JSON object in received data\n", 1,
     1},
#else
    {"ResetBeforeAccept", {}, End::Reset, "\nsize: 0\n\n",
     "read: " + errorText(kResetCode) + "\nno JSON object in received data\n", 1, 1},
#endif
    // The message arrived whole before the reset: it is read and shown all the same.
    {"ResetInTheQueueAfterAWholeMessage", {kTopPage3}, End::SentReset,
     "expected: 16  received: 16\n13#{\"topPage\":3}\nsize: 16\n\n", "", 3, 1},
    {"HugeLengthIsCappedAtTheLargestInt", {"99999999999999999999#{\"topPage\":3}"}, End::HalfClose,
     "expected: 4095  received: 34\n99999999999999999999#{\"topPage\":3}\nsize: 34\n\n",
     "warning: declared length 2147483647 exceeds buffer; truncating\n", 3, 1},
    // Brackets before the object are blanked, however deep.
    {"BracketsBeforeTheObject", {std::string(2000, '[') + "{\"topPage\":3}"}, End::HalfClose,
     "expected: -1  received: 2013\n" + std::string(2000, '[') + "{\"topPage\":3}\nsize: 2013\n\n", "", 3, 1},
    // The alert switch is part of the message's trace, right after it.
    {"AlertSwitchIsTracedAfterTheMessage", {"44#{\"pageData\":{\"pageNumber\":5,\"warning\":true}}"},
     End::Stay, "expected: 47  received: 47\n44#{\"pageData\":{\"pageNumber\":5,\"warning\":true}}\n"
     "size: 47\n\nadvisory/warning page 5: switching display\n", "", 5, 1},
    {"SilentClientIsCutAfterFiveSeconds", {}, End::Stay, "\nsize: 0\n\n",
     "read: timed out\nno JSON object in received data\n", 1, 1},
    {"StalledClientIsCutAfterFiveSeconds", {"13#{\"topPage\""}, End::Stay,
     "expected: 16  received: 13\n13#{\"topPage\"\nsize: 13\n\n", "read: timed out\n", 1, 1},
};
// clang-format on

void PrintTo(const FramingCase& c, std::ostream* os) {
    *os << c.name;
}

class Framing : public Listener, public ::testing::WithParamInterface<FramingCase> {};

// The listener serves on a thread of its own while this thread is the client,
// with a second client queued behind it. The first piece is sent before the
// accept, and every further piece only once the trace shows all earlier bytes
// held, so no receive spans two pieces and no wait here runs into the cut.
TEST_P(Framing, TracesDecodesAnswersAndServesTheNextClient) {
    const FramingCase& c = GetParam();
    NetSocket sock = connectTo(port, kWaitMs);
    size_t held = c.pieces.empty() ? 0 : c.pieces[0].size();
    if (held > 0) sendText(sock, c.pieces[0]);
    ASSERT_TRUE(waiting(listen_sock));  // queued first; a reset before that is never accepted
    const bool gone = c.end == End::Close || c.end == End::Reset || c.end == End::SentReset;
    if (c.end == End::SentReset) netShutdownSend(sock);
    if (c.end == End::Reset || c.end == End::SentReset) netResetOnClose(sock);
    if (gone) netClose(sock);
    NetSocket next = connectTo(port, kWaitMs);
    sendText(next, "13#{\"topPage\":9}");

    milliseconds took{};
    std::thread server([&] {
        const auto start = steady_clock::now();
        serve();  // a reply to a reset peer must not raise SIGPIPE
        took = std::chrono::duration_cast<milliseconds>(steady_clock::now() - start);
    });
    for (size_t k = 1; k < c.pieces.size(); ++k) {
        const std::string mark = " received: " + std::to_string(held) + "\n";
        const auto until = steady_clock::now() + milliseconds(kWaitMs);
        while (readWhole(out_path).find(mark) == std::string::npos && steady_clock::now() < until)
            std::this_thread::sleep_for(milliseconds(10));
        sendText(sock, c.pieces[k]);
        held += c.pieces[k].size();
    }
    if (c.end == End::HalfClose) netShutdownSend(sock);
    EXPECT_EQ(gone ? kFeedReply : takeReply(sock), kFeedReply);
    server.join();
    EXPECT_EQ(traced(), c.out);
    EXPECT_EQ(errors(), c.err);
    EXPECT_EQ(loadShared(omcw[kTopPage]), c.topPage);
    EXPECT_EQ(loadShared(omcw[kLdlPage]), c.ldlPage);
    const bool cut = c.err.find("timed out") != std::string::npos;
    EXPECT_TRUE(!cut || took.count() >= kConnectionDeadlineMs - 10) << took.count();

    serve();
    EXPECT_EQ(takeReply(next), kFeedReply);
    EXPECT_EQ(loadShared(omcw[kTopPage]), 9);
}

INSTANTIATE_TEST_SUITE_P(Listener, Framing, ::testing::ValuesIn(kFramingCases),
                         [](const auto& info) { return std::string(info.param.name); });

#ifndef _WIN32  // descriptor limits are POSIX
TEST_F(Listener, AcceptOutOfDescriptorsIsReportedAndTheClientServedLater) {
    NetSocket waiting = connectTo(port, kWaitMs);
    sendText(waiting, kTopPage3);
    rlimit saved;
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit low = saved;
    low.rlim_cur = 64;  // every free descriptor below it is taken, so accept finds none
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> filler;
    for (int fd; (fd = dup(static_cast<int>(listen_sock))) >= 0;)
        filler.push_back(fd);
    const int result = serve();
    for (int fd : filler)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(errors(), "accept: Too many open files\n");
    serve();  // the connection waited in the queue
    EXPECT_EQ(takeReply(waiting), kFeedReply);
    EXPECT_EQ(loadShared(omcw[kTopPage]), 3);
}
#endif

// Set-up failures end the process with the perror text and status 1; main
// returning while the listener thread waits in accept, or holds a connection,
// or after shutdown released the sockets library under it, ends it quietly
// with main's status.
TEST(ListenerDeathTest, SetUpFailuresAreFatalAndTheEndIsQuiet) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A second listener on the same port must fail, on Windows too, where a
    // shared port would hand pages to a preview nobody looks at.
    EXPECT_EXIT(
        {
            netStartup();
            openListener(kAnyAddress, 0);
            openListener(kAnyAddress, feed_bound_port.load());  // the same port again: in use
        },
        ::testing::ExitedWithCode(1), "^bind failed: ");
    enum { InAccept, MidConnection, AfterCleanup };
    for (int end : {InAccept, MidConnection, AfterCleanup})
        EXPECT_EXIT(
            {
                netStartup();
                tcpEst(kLoopback, 0);
                for (int i = 0; i < kWaitMs && feed_bound_port.load() == 0; ++i)
                    std::this_thread::sleep_for(milliseconds(1));
                if (roundTrip(feed_bound_port.load(), kTopPage3, kWaitMs) != kFeedReply) exit(3);
                if (end != InAccept) sendText(connectTo(feed_bound_port.load(), kWaitMs), "13#{");
                if (end == AfterCleanup) {  // the read (or accept) fails under the listener
                    std::this_thread::sleep_for(milliseconds(200));
                    netCleanup();
                    std::this_thread::sleep_for(milliseconds(300));
                }
                exit(0);
            },
            ::testing::ExitedWithCode(0), "^$");
}

// vantrel-send runs while serve() plays the listener's side. serve() accepts
// only what waits in the queue, so that a sender that gave up cannot hold the test.
TEST_F(Listener, SenderSendsEachFileAndSaysWhenOneIsNotAnswered) {
    const std::string a = dir.write("a.json", "{\"topPage\":3}");
    const std::string b = dir.write("b.json", "{\"ldlPage\":2}");
    std::string output;
    // A file as it is, then standard input ("-"), each on its own connection in 3 pieces
    // with 2 pauses of 100 ms between them, and 300 ms between the first reply and the
    // second message.
    const auto start = steady_clock::now();
    EXPECT_EQ(runProgram(VANTREL_SEND,
                         "--port " + std::to_string(port) + " --split=3 --delay 100 --pause 300 " +
                             a + " - < " + b,
                         output,
                         [&] {
                             for (int i = 0; i < 2 && waiting(listen_sock); ++i)
                                 serve();
                         }),
              0);
    EXPECT_GE(steady_clock::now() - start, milliseconds(4 * 100 + 300));
    EXPECT_EQ(output, "Hello from server\nHello from server\n");
    EXPECT_EQ(loadShared(omcw[kTopPage]), 3);
    EXPECT_EQ(loadShared(omcw[kLdlPage]), 2);

    // A listener that takes the whole message and closes without a word.
    EXPECT_EQ(runProgram(VANTREL_SEND, "--port " + std::to_string(port) + " " + a, output,
                         [&] {
                             if (!waiting(listen_sock)) return;
                             NetSocket conn = netAccept(listen_sock);
                             char buf[16];
                             for (int got = 0, n = 1; got < 16 && n > 0; got += n)
                                 n = netReceive(conn, buf, sizeof buf - got, true);
                             netClose(conn);
                         }),
              1);
    EXPECT_EQ(output, "vantrel-send: no reply from 127.0.0.1:" + std::to_string(port) + "\n");

    // Bound but not listening: refused.
    NetSocket later = netStream();
    ASSERT_TRUE(netBind(later, kLoopback, 0));
    const std::string laterPort = std::to_string(netLocalPort(later));
    EXPECT_EQ(runProgram(VANTREL_SEND, "--port " + laterPort + " " + a, output), 1);
    EXPECT_EQ(output, "vantrel-send: cannot connect to 127.0.0.1:" + laterPort + ": " +
                          errorText(kRefusedCode) + "\n");
    netClose(later);
}

}  // namespace
