#include "feed/listener.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "model/page_model.h"
#include "model/shared_bytes.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Bound on every wait for the other end: well past the 5-second cut of a
// connection that a reply may be queued behind.
constexpr int kWaitMs = 30000;
constexpr char kTopPage3[] = "13#{\"topPage\":3}";  // a 13-byte object, framed

int connectTo(int port) {
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{kWaitMs / 1000, 0};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    int one = 1;  // each piece leaves at once
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return sock;
    close(sock);
    return -1;
}

void sendText(int sock, const std::string& text) {
    (void)send(sock, text.data(), text.size(), MSG_NOSIGNAL);
}

// What the listener answers, read until it closes; closes the socket.
std::string takeReply(int sock) {
    std::string reply;
    char buf[256];
    for (ssize_t n; reply.size() < 1024 && (n = recv(sock, buf, sizeof buf, 0)) > 0;)
        reply.append(buf, n);
    close(sock);
    return reply;
}

// One framed message on a connection of its own: the reply, "" when refused.
std::string sendFramed(int port, const std::string& text) {
    int sock = connectTo(port);
    if (sock < 0) return "";
    sendText(sock, std::to_string(text.size()) + "#" + text);
    return takeReply(sock);
}

// True once a connection waits in the queue of a listening socket.
bool waiting(int sock) {
    pollfd p{sock, POLLIN, 0};
    return poll(&p, 1, kWaitMs) == 1;
}

// Appends what a non-blocking pipe holds now to text.
const std::string& drain(int fd, std::string& text) {
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        text.append(buf, n);
    return text;
}

// A listening socket on a free port; its trace and its errors go into pipes,
// so that a client can wait for each line.
class Listener : public ::testing::Test {
protected:
    void SetUp() override {
        std::memset(pagestore, 0, sizeof pagestore);
        presetPageModel();
        feed_port = 0;
        listen_sock = openListener();
        port = feed_bound_port.load();
        ASSERT_EQ(pipe(out_pipe), 0);
        ASSERT_EQ(pipe(err_pipe), 0);
        fcntl(out_pipe[0], F_SETFL, O_NONBLOCK);
        fcntl(err_pipe[0], F_SETFL, O_NONBLOCK);
        out = fdopen(out_pipe[1], "w");
        err = fdopen(err_pipe[1], "w");
    }
    void TearDown() override {
        close(listen_sock);
        fclose(out);
        fclose(err);
        close(out_pipe[0]);
        close(err_pipe[0]);
    }
    int serve() { return createSock(listen_sock, out, err); }
    // Everything written so far, once the listener is done with a connection.
    const std::string& traced() { return fflush(out), drain(out_pipe[0], out_text); }
    const std::string& errors() { return fflush(err), drain(err_pipe[0], err_text); }

    int listen_sock = -1;
    int port = 0;
    int out_pipe[2] = {-1, -1};
    int err_pipe[2] = {-1, -1};
    FILE* out = nullptr;
    FILE* err = nullptr;
    std::string out_text, err_text;
};

enum class End {
    Stay,       // keeps the connection open and waits for the reply
    HalfClose,  // ends its sending after the last piece, then waits for the reply
    Close,      // closes before the listener accepts
    Reset,      // resets before the listener accepts
};

struct FramingCase {
    const char* name;
    std::vector<std::string> pieces;  // one receive each
    End end;
    std::string out;       // exact trace on standard output
    const char* err;       // exact text on standard error
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
    {"OtherPrefixCharactersAreSkipped", {"len=1 3#{\"topPage\":3}"}, End::Stay,
     "expected: 21  received: 21\nlen=1 3#{\"topPage\":3}\nsize: 21\n\n", "", 3, 1},
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
    {"NoBraceIsNotDecoded", {"23#\"topPage\":3,\"ldlPage\":2"}, End::Stay,
     "expected: 26  received: 26\n23#\"topPage\":3,\"ldlPage\":2\nsize: 26\n\n",
     "no JSON object in received data\n", 1, 1},
    // Bytes past the announced size stay in the buffer and reach the decoder.
    {"MoreThanAnnouncedReachesTheDecoder", {"13#{\"topPage\":3}{\"ldlPage\":2}"}, End::Stay,
     "expected: 16  received: 29\n13#{\"topPage\":3}{\"ldlPage\":2}\nsize: 29\n\n", "", 3, 2},
    {"EmptyConnection", {}, End::Close, "\nsize: 0\n\n", "no JSON object in received data\n", 1, 1},
    {"ResetBeforeAccept", {}, End::Reset, "\nsize: 0\n\n",
     "read: Connection reset by peer\nno JSON object in received data\n", 1, 1},
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
    int sock = connectTo(port);
    size_t held = c.pieces.empty() ? 0 : c.pieces[0].size();
    if (held > 0) sendText(sock, c.pieces[0]);
    ASSERT_TRUE(waiting(listen_sock));  // queued first; a reset before that is never accepted
    const linger reset{1, 0};
    if (c.end == End::Reset) setsockopt(sock, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    if (c.end == End::Close || c.end == End::Reset) close(sock);
    int next = connectTo(port);
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
        while (drain(out_pipe[0], out_text).find(mark) == std::string::npos &&
               steady_clock::now() < until) {
            pollfd p{out_pipe[0], POLLIN, 0};
            poll(&p, 1, 100);
        }
        sendText(sock, c.pieces[k]);
        held += c.pieces[k].size();
    }
    if (c.end == End::HalfClose) shutdown(sock, SHUT_WR);
    const bool gone = c.end == End::Close || c.end == End::Reset;
    EXPECT_EQ(gone ? kFeedReply : takeReply(sock), kFeedReply);
    server.join();
    EXPECT_EQ(traced(), c.out);
    EXPECT_EQ(errors(), c.err);
    EXPECT_EQ(loadShared(omcw[kTopPage]), c.topPage);
    EXPECT_EQ(loadShared(omcw[kLdlPage]), c.ldlPage);
    const bool cut = std::strstr(c.err, "timed out") != nullptr;
    EXPECT_TRUE(!cut || took.count() >= kConnectionDeadlineMs - 10) << took.count();

    serve();
    EXPECT_EQ(takeReply(next), kFeedReply);
    EXPECT_EQ(loadShared(omcw[kTopPage]), 9);
}

INSTANTIATE_TEST_SUITE_P(Listener, Framing, ::testing::ValuesIn(kFramingCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Listener, AcceptOutOfDescriptorsIsReportedAndTheClientServedLater) {
    int waiting = connectTo(port);
    sendText(waiting, kTopPage3);
    rlimit saved;
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit low = saved;
    low.rlim_cur = 64;  // every free descriptor below it is taken, so accept finds none
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> filler;
    for (int fd; (fd = dup(listen_sock)) >= 0;)
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

TEST_F(Listener, FourConcurrentSendersAreAllAnsweredAndCommitted) {
    constexpr int kSenders = 4, kMessages = 500, kPagesPerSender = 50;  // pages 1..200
    std::atomic<bool> stop{false};
    std::thread server([&] {  // one connection per message, unless a sender gave up
        FILE* quiet = fopen("/dev/null", "w");
        for (int i = 0; i < kSenders * kMessages && !stop.load(); ++i)
            createSock(listen_sock, quiet, err);
        fclose(quiet);
    });
    std::atomic<int> answered{0};
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s)
        senders.emplace_back([&, s] {
            for (int i = 0; i < kMessages; ++i) {
                char text[128];
                snprintf(text, sizeof text,
                         R"({"pageData":1,"pageNumber":%d,"lineCount":1,"textData":"m%d"})",
                         s * kPagesPerSender + i % kPagesPerSender + 1, i);
                answered += sendFramed(port, text) == kFeedReply;  // "" when refused or reset
            }
        });
    for (auto& sender : senders)
        sender.join();
    stop.store(true);
    close(connectTo(port));  // wakes a server still waiting for a lost message
    server.join();
    EXPECT_EQ(answered.load(), kSenders * kMessages);
    EXPECT_EQ(errors(), "");  // no accept failure, no cut, no message without an object
    // Each sender waits for every reply, so its last message to a page is the one stored.
    for (int page = 1; page <= kSenders * kPagesPerSender; ++page) {
        PageRecord rec;
        readPage(pagestore, page, rec);
        EXPECT_EQ(rec.pageNumber, page);
        EXPECT_STREQ(
            reinterpret_cast<const char*>(rec.rowText[0]),
            ("m" + std::to_string(kMessages - kPagesPerSender + (page - 1) % kPagesPerSender))
                .c_str());
    }
}

// Set-up failures end the process with the perror text and status 1; main
// returning while the listener thread waits in accept, or holds a connection,
// ends it quietly with main's status.
TEST(ListenerDeathTest, SetUpFailuresAreFatalAndTheEndIsQuiet) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            feed_port = 0;
            openListener();
            feed_port = feed_bound_port.load();
            openListener();  // the same port again: in use
        },
        ::testing::ExitedWithCode(1), "^bind failed: Address already in use\n$");
    EXPECT_EXIT(
        {
            rlimit none = {};  // no descriptor left for the socket
            setrlimit(RLIMIT_NOFILE, &none);
            openListener();
        },
        ::testing::ExitedWithCode(1), "^socket failed: Too many open files\n$");
    for (bool midConnection : {false, true})
        EXPECT_EXIT(
            {
                feed_port = 0;
                tcpEst();
                for (int i = 0; i < kWaitMs && feed_bound_port.load() == 0; ++i)
                    std::this_thread::sleep_for(milliseconds(1));
                if (sendFramed(feed_bound_port.load(), "{\"topPage\":3}") != kFeedReply) _exit(3);
                if (midConnection) sendText(connectTo(feed_bound_port.load()), "13#{");
                exit(0);
            },
            ::testing::ExitedWithCode(0), "^$");
}

// Runs vantrel-send with args (a shell command line) while serve() plays the
// listener's side; returns its exit status and, in output, what it printed on
// standard output and standard error. serve() accepts only what waits in the
// queue, so that a sender that gave up cannot hold the test.
template <typename Serve>
int runSender(const std::string& args, std::string& output, Serve serve) {
    FILE* tool = popen((std::string(VANTREL_SEND) + " " + args + " 2>&1").c_str(), "r");
    if (tool == nullptr) return -1;
    serve();
    output.clear();
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, tool)) > 0;)
        output.append(buf, n);
    const int status = pclose(tool);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(Listener, SenderSendsEachFileAndSaysWhenOneIsNotAnswered) {
    const std::string base = "/tmp/vantrel-send-" + std::to_string(port);
    std::ofstream(base + "-a.json") << "{\"topPage\":3}";
    std::ofstream(base + "-b.json") << "{\"ldlPage\":2}";
    std::string output;
    // A file as it is, then standard input ("-"), each on its own connection in 3 pieces
    // with 2 pauses of 100 ms between them.
    const auto start = steady_clock::now();
    EXPECT_EQ(runSender("--port " + std::to_string(port) + " --split=3 --delay 100 " + base +
                            "-a.json - < " + base + "-b.json",
                        output,
                        [&] {
                            for (int i = 0; i < 2 && waiting(listen_sock); ++i)
                                serve();
                        }),
              0);
    EXPECT_GE(steady_clock::now() - start, milliseconds(4 * 100));
    EXPECT_EQ(output, "Hello from server\nHello from server\n");
    EXPECT_NE(traced().find("\n13#{\"topPage\":3}\nsize: 16\n\n"), std::string::npos);
    EXPECT_NE(traced().find("\n13#{\"ldlPage\":2}\nsize: 16\n\n"), std::string::npos);
    EXPECT_EQ(loadShared(omcw[kTopPage]), 3);
    EXPECT_EQ(loadShared(omcw[kLdlPage]), 2);

    // A listener that takes the whole message and closes without a word.
    EXPECT_EQ(runSender("--port " + std::to_string(port) + " " + base + "-a.json", output,
                        [&] {
                            if (!waiting(listen_sock)) return;
                            int conn = accept(listen_sock, nullptr, nullptr);
                            char buf[16];
                            recv(conn, buf, sizeof buf, MSG_WAITALL);
                            close(conn);
                        }),
              1);
    EXPECT_EQ(output, "vantrel-send: no reply from 127.0.0.1:" + std::to_string(port) + "\n");

    // Bound but not listening: refused, unless the sender retries until listen().
    int later = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(later, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    getsockname(later, reinterpret_cast<sockaddr*>(&addr), &len);
    const std::string laterPort = std::to_string(ntohs(addr.sin_port));
    EXPECT_EQ(runSender("--port " + laterPort + " " + base + "-a.json", output, [] {}), 1);
    EXPECT_EQ(output,
              "vantrel-send: cannot connect to 127.0.0.1:" + laterPort + ": Connection refused\n");
    EXPECT_EQ(runSender("--retry 30000 --port " + laterPort + " " + base + "-a.json", output,
                        [&] {
                            std::this_thread::sleep_for(milliseconds(200));
                            listen(later, kListenBacklog);
                            if (waiting(later)) createSock(later, out, err);
                        }),
              0);
    EXPECT_EQ(output, "Hello from server\n");
    close(later);
    unlink((base + "-a.json").c_str());
    unlink((base + "-b.json").c_str());
}

TEST(Sender, OptionsAndFilesAreCheckedBeforeAnythingIsSent) {
    // clang-format off
    const std::pair<const char*, int> cases[] = {
        {"--help", 0}, {"--port 0", 2}, {"--port=70000", 2}, {"--split x", 2}, {"--delay -1", 2},
        {"--retry", 2}, {"--host=", 2}, {"--frobnicate", 2}, {"-v", 2},
        {"--json page", 2}, {"--verbose page", 2},  // both go with --check
        {"/nonexistent/page.json", 1},
    };
    // clang-format on
    for (const auto& [args, status] : cases) {
        std::string output;
        EXPECT_EQ(runSender(args, output, [] {}), status) << args;
        if (status == 0)
            EXPECT_EQ(output.rfind("usage: vantrel-send [options] [FILE...]\n", 0), 0u);
        else  // one line says what is wrong
            EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
    }
}

}  // namespace
