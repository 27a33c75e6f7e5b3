#include "feed/listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "model/page_model.h"
#include "model/shared_bytes.h"

extern char** environ;

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr int kWaitMs = 10000;  // bound on every wait for the other end of a socket or pipe
constexpr char kTopPage3[] = R"({"topPage":3})";  // 13 bytes

int connectTo(int port) {
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{kWaitMs / 1000, 0};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    int one = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(sock);
        return -1;
    }
    return sock;
}

void sendText(int sock, const std::string& text) {
    (void)send(sock, text.data(), text.size(), MSG_NOSIGNAL);
}

// Reads what the listener answers until it closes, then closes the socket.
std::string takeReply(int sock) {
    std::string reply;
    char buf[256];
    ssize_t n;
    while (reply.size() < 1024 && (n = recv(sock, buf, sizeof buf, 0)) > 0)
        reply.append(buf, n);
    close(sock);
    return reply;
}

// One message on its own connection: the listener's reply, or "" when the
// connection was refused or reset.
std::string sendFramed(int port, const std::string& text) {
    int sock = connectTo(port);
    if (sock < 0) return "";
    sendText(sock, std::to_string(text.size()) + "#" + text);
    return takeReply(sock);
}

// Appends what the pipe holds to text until done(text) or kWaitMs pass.
template <typename Done>
void readPipeUntil(int fd, std::string& text, Done done) {
    const auto until = steady_clock::now() + milliseconds(kWaitMs);
    char buf[4096];
    while (!done(text) && steady_clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return;
        text.append(buf, n);
    }
}

// Everything a pipe holds now; its writer has flushed before.
std::string drainPipe(int fd) {
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, n);
    return text;
}

int countOf(const std::string& text, const std::string& what) {
    int count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

std::string fileText(FILE* file) {
    fflush(file);
    std::string text;
    char buf[4096];
    rewind(file);
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, file)) > 0)
        text.append(buf, n);
    return text;
}

struct Exchange {
    std::string out;    // the trace lines on standard output
    std::string err;    // warnings and errors
    std::string reply;  // what the client received
};

// A listener socket on a free port, a trace pipe for its standard output (so
// a client can wait for each "expected" line) and a file for its errors.
class ListenerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::memset(pagestore, 0, sizeof pagestore);
        presetPageModel();
        feed_port = 0;
        listen_sock = openListener();
        port = feed_bound_port.load();
        ASSERT_EQ(pipe(trace), 0);
        fcntl(trace[0], F_SETFL, O_NONBLOCK);
        out = fdopen(trace[1], "w");
        err = tmpfile();
    }
    void TearDown() override {
        close(listen_sock);
        fclose(out);
        close(trace[0]);
        fclose(err);
    }

    // Serves one connection here while a client sends pieces, each only once
    // the listener has traced the receive of the one before, so every piece is
    // one receive. halfClose ends the client's sending after the last piece;
    // with no pieces the client closes at once.
    Exchange exchange(const std::vector<std::string>& pieces, bool halfClose = false) {
        Exchange ex;
        std::thread client([&] {
            int sock = connectTo(port);
            for (size_t k = 0; k < pieces.size(); ++k) {
                sendText(sock, pieces[k]);
                if (k + 1 < pieces.size())
                    readPipeUntil(trace[0], ex.out, [&](const std::string& t) {
                        return countOf(t, "expected: ") > static_cast<int>(k);
                    });
            }
            if (pieces.empty()) {
                close(sock);
                return;
            }
            if (halfClose) shutdown(sock, SHUT_WR);
            ex.reply = takeReply(sock);
        });
        createSock(listen_sock, out, err);
        client.join();
        ex.out += traceText();
        ex.err = fileText(err);
        return ex;
    }

    // A client that stalls after sending sent is cut kConnectionDeadlineMs
    // after its accept; what it sent is traced and answered, and the client
    // queued behind it is served next.
    void stallThenServeNext(const std::string& sent, const std::string& trace,
                            const std::string& errors) {
        int stalled = connectTo(port);
        sendText(stalled, sent);
        int next = connectTo(port);
        sendText(next, "13#{\"topPage\":3}");

        // Bounds the test should the listener wait for the stalled client forever.
        std::promise<void> served;
        std::thread watchdog([&, done = served.get_future()] {
            if (done.wait_for(milliseconds(3 * kConnectionDeadlineMs)) != std::future_status::ready)
                shutdown(stalled, SHUT_RDWR);
        });
        const auto start = steady_clock::now();
        createSock(listen_sock, out, err);
        served.set_value();
        watchdog.join();
        EXPECT_GE(steady_clock::now() - start, milliseconds(kConnectionDeadlineMs - 10));
        EXPECT_EQ(takeReply(stalled), kFeedReply);
        EXPECT_EQ(traceText(), trace);
        EXPECT_EQ(fileText(err), errors);
        EXPECT_EQ(loadShared(omcw[kTopPage]), 1);  // a cut object does not parse

        createSock(listen_sock, out, err);
        EXPECT_EQ(takeReply(next), kFeedReply);
        EXPECT_EQ(loadShared(omcw[kTopPage]), 3);
    }

    std::string traceText() {
        fflush(out);
        return drainPipe(trace[0]);
    }

    int listen_sock = -1;
    int port = 0;
    int trace[2] = {-1, -1};
    FILE* out = nullptr;
    FILE* err = nullptr;
};

struct FramingCase {
    const char* name;
    std::vector<std::string> pieces;
    bool halfClose;
    const char* out;  // exact trace on standard output
    const char* err;  // exact text on standard error
    int topPage;      // 3 when the object was decoded; starts at 1
    int ldlPage;      // starts at 1
};

// Expected lines follow the framing rules: expected = position of the first
// '#' + 1 + the prefix's digits read as one number, capped at 4095.
// clang-format off
const FramingCase kFramingCases[] = {
    {"OnePiece", {"13#{\"topPage\":3}"}, false,
     "expected: 16  received: 16\n13#{\"topPage\":3}\nsize: 16\n\n", "", 3, 1},
    {"SplitBeforeTheHash", {"1", "3#{\"top", "Page\":3}"}, false,
     "expected: -1  received: 1\nexpected: 16  received: 8\nexpected: 16  received: 16\n"
     "13#{\"topPage\":3}\nsize: 16\n\n", "", 3, 1},
    {"OtherPrefixCharactersAreSkipped", {"len=1 3#{\"topPage\":3}"}, false,
     "expected: 21  received: 21\nlen=1 3#{\"topPage\":3}\nsize: 21\n\n", "", 3, 1},
    // '#' first: expected 1, so the first receive ends the reading, whatever it held.
    {"HashFirstStopsAfterOneReceive", {"#{\"top", "Page\":3}"}, false,
     "expected: 1  received: 6\n#{\"top\nsize: 6\n\n", "", 1, 1},
    {"PrefixWithoutDigitsDeclaresZero", {"ab#{\"topPage\":3}"}, false,
     "expected: 3  received: 16\nab#{\"topPage\":3}\nsize: 16\n\n", "", 3, 1},
    {"Declared5000IsCappedAndReadUntilClose", {"5000#{\"topPage\":3}"}, true,
     "expected: 4095  received: 18\n5000#{\"topPage\":3}\nsize: 18\n\n",
     "warning: declared length 5000 exceeds buffer; truncating\n", 3, 1},
    {"NoHashReadsUntilClose", {"{\"top", "Page\":3}"}, true,
     "expected: -1  received: 5\nexpected: -1  received: 13\n{\"topPage\":3}\nsize: 13\n\n",
     "", 3, 1},
    {"NoBraceIsNotDecoded", {"23#\"topPage\":3,\"ldlPage\":2"}, false,
     "expected: 26  received: 26\n23#\"topPage\":3,\"ldlPage\":2\nsize: 26\n\n",
     "no JSON object in received data\n", 1, 1},
    // Bytes past the announced size stay in the buffer and reach the decoder.
    {"MoreThanAnnouncedReachesTheDecoder", {"13#{\"topPage\":3}{\"ldlPage\":2}"}, false,
     "expected: 16  received: 29\n13#{\"topPage\":3}{\"ldlPage\":2}\nsize: 29\n\n", "", 3, 2},
    {"EmptyConnection", {}, false, "\nsize: 0\n\n", "no JSON object in received data\n", 1, 1},
};
// clang-format on

void PrintTo(const FramingCase& c, std::ostream* os) {
    *os << c.name;
}

class FramingTest : public ListenerTest, public ::testing::WithParamInterface<FramingCase> {};

TEST_P(FramingTest, TracesDecodesAndAnswers) {
    const FramingCase& c = GetParam();
    Exchange ex = exchange(c.pieces, c.halfClose);
    EXPECT_EQ(ex.out, c.out);
    EXPECT_EQ(ex.err, c.err);
    if (!c.pieces.empty()) {
        EXPECT_EQ(ex.reply, kFeedReply);
    }
    EXPECT_EQ(loadShared(omcw[kTopPage]), c.topPage);
    EXPECT_EQ(loadShared(omcw[kLdlPage]), c.ldlPage);
}

INSTANTIATE_TEST_SUITE_P(Listener, FramingTest, ::testing::ValuesIn(kFramingCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ListenerTest, ReadingStopsAt4095BytesAndStillAnswers) {
    // No '#' ever: every receive reports -1 until the buffer is full.
    Exchange ex = exchange({std::string(5000, 'a')});
    const std::string tail =
        "expected: -1  received: 4095\n" + std::string(4095, 'a') + "\nsize: 4095\n\n";
    ASSERT_GE(ex.out.size(), tail.size());
    EXPECT_EQ(ex.out.substr(ex.out.size() - tail.size()), tail);
    EXPECT_EQ(ex.err, "no JSON object in received data\n");
    EXPECT_EQ(ex.reply, kFeedReply);
}

TEST_F(ListenerTest, ClientResetBeforeAcceptIsTracedAndTheNextOneServed) {
    int gone = connectTo(port);
    linger reset{1, 0};
    setsockopt(gone, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(gone);  // RST while still in the backlog
    // The reply to the reset peer must not raise SIGPIPE, which would end this process.
    createSock(listen_sock, out, err);
    EXPECT_EQ(fileText(err), "read: Connection reset by peer\nno JSON object in received data\n");
    EXPECT_EQ(traceText(), "\nsize: 0\n\n");

    Exchange ex = exchange({"13#{\"topPage\":3}"});
    EXPECT_EQ(ex.reply, kFeedReply);
    EXPECT_EQ(loadShared(omcw[kTopPage]), 3);
}

TEST_F(ListenerTest, AcceptOutOfDescriptorsIsReportedAndTheClientServedLater) {
    int waiting = connectTo(port);
    sendText(waiting, "13#{\"topPage\":3}");
    rlimit saved;
    getrlimit(RLIMIT_NOFILE, &saved);
    // Fill every free descriptor below a lowered limit so accept finds none.
    rlimit low = saved;
    low.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> filler;
    for (int fd; (fd = dup(0)) >= 0;)
        filler.push_back(fd);
    int result = createSock(listen_sock, out, err);
    for (int fd : filler)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(fileText(err), "accept: Too many open files\n");

    createSock(listen_sock, out, err);  // the connection waited in the backlog
    EXPECT_EQ(takeReply(waiting), kFeedReply);
    EXPECT_EQ(loadShared(omcw[kTopPage]), 3);
}

TEST_F(ListenerTest, SilentClientIsCutAfterFiveSecondsAndTheNextServed) {
    stallThenServeNext("", "\nsize: 0\n\n", "read: timed out\nno JSON object in received data\n");
}

TEST_F(ListenerTest, ClientStalledMidMessageIsCutAfterFiveSecondsAndTheNextServed) {
    stallThenServeNext("13#{\"topPage\"",
                       "expected: 16  received: 13\n13#{\"topPage\"\nsize: 13\n\n",
                       "read: timed out\n");
}

TEST_F(ListenerTest, FourConcurrentSendersAreAllAnsweredAndCommitted) {
    constexpr int kSenders = 4;
    constexpr int kMessages = 500;
    constexpr int kPagesPerSender = 60;  // 4 x 60 distinct pages, all below 255
    FILE* quiet = fopen("/dev/null", "w");
    std::atomic<bool> stop{false};
    int served = 0;
    std::thread server([&] {
        while (!stop.load())
            if (createSock(listen_sock, quiet, err) == 0) ++served;
    });
    std::atomic<int> answered{0};
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s)
        senders.emplace_back([&, s] {
            for (int i = 0; i < kMessages; ++i) {
                char text[128];
                snprintf(text, sizeof text,
                         R"({"pageData":1,"pageNumber":%d,"lineCount":1,"textData":"s%d m%d"})",
                         s * kPagesPerSender + i % kPagesPerSender + 1, s, i);
                if (sendFramed(port, text) == kFeedReply) ++answered;
            }
        });
    for (auto& sender : senders)
        sender.join();
    stop.store(true);
    close(connectTo(port));  // wakes the server from accept
    server.join();
    fclose(quiet);

    EXPECT_EQ(answered.load(), kSenders * kMessages);
    EXPECT_EQ(served, kSenders * kMessages + 1);
    EXPECT_EQ(fileText(err), "no JSON object in received data\n");  // the wake-up only
    // Each sender waits for every reply, so its last message to a page is the one stored.
    for (int s = 0; s < kSenders; ++s)
        for (int j = 0; j < kPagesPerSender; ++j) {
            int page = s * kPagesPerSender + j + 1;
            int last = j + (kMessages - 1 - j) / kPagesPerSender * kPagesPerSender;
            PageRecord rec;
            readPage(pagestore, page, rec);
            EXPECT_EQ(rec.pageNumber, page);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(rec.rowText[0])),
                      "s" + std::to_string(s) + " m" + std::to_string(last));
        }
}

// Set-up failures end the process with the perror text and status 1.
TEST(ListenerDeathTest, SetUpFailuresAreFatalWithThePerrorText) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            feed_port = 0;
            openListener();  // any free port
            feed_port = feed_bound_port.load();
            openListener();  // the same port again: in use
        },
        ::testing::ExitedWithCode(1), "^bind failed: Address already in use\n$");
    EXPECT_EXIT(
        {
            rlimit none;
            getrlimit(RLIMIT_NOFILE, &none);
            none.rlim_cur = 0;  // no descriptor left for the socket
            setrlimit(RLIMIT_NOFILE, &none);
            openListener();
        },
        ::testing::ExitedWithCode(1), "^socket failed: Too many open files\n$");
}

// main returning while the listener thread waits in accept or holds a
// connection must end the process quietly, with main's status.
TEST(ListenerDeathTest, ProcessEndsQuietlyWithTheListenerRunning) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (bool midConnection : {false, true}) {
        EXPECT_EXIT(
            {
                feed_port = 0;
                tcpEst();
                for (int i = 0; i < kWaitMs && feed_bound_port.load() == 0; ++i)
                    std::this_thread::sleep_for(milliseconds(1));
                // The thread serves a whole message first, answered as any other.
                if (sendFramed(feed_bound_port.load(), kTopPage3) != kFeedReply) _exit(3);
                if (midConnection) sendText(connectTo(feed_bound_port.load()), "13#{");
                std::this_thread::sleep_for(milliseconds(100));
                exit(0);
            },
            ::testing::ExitedWithCode(0), "^$");
    }
}

struct ToolRun {
    int status = -1;  // exit status, -1 when it did not exit normally
    std::string out;
    std::string err;
};

// Starts vantrel-send with args and input on its standard input; serve() runs
// here while it works (the listener's side), then the tool's results are taken.
template <typename Serve>
ToolRun runSender(std::vector<std::string> args, const std::string& input, Serve serve) {
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    for (int fd : {in[1], out[0], err[0]})
        posix_spawn_file_actions_addclose(&actions, fd);
    args.insert(args.begin(), VANTREL_SEND);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    int spawned = posix_spawn(&pid, VANTREL_SEND, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : {in[0], out[1], err[1]})
        close(fd);
    (void)write(in[1], input.data(), input.size());  // well below a pipe's capacity
    close(in[1]);
    ToolRun run;
    if (spawned != 0) return run;
    serve();
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
    run.out = drainPipe(out[0]);  // the tool has exited: the pipes end
    run.err = drainPipe(err[0]);
    close(out[0]);
    close(err[0]);
    return run;
}

TEST_F(ListenerTest, SenderFramesEachFileOnItsOwnConnection) {
    char path[] = "/tmp/vantrel-send-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, kTopPage3, 13), 13);
    close(fd);
    // The file as it is, then standard input ("-") sent in 3 pieces.
    ToolRun run =
        runSender({"--port", std::to_string(port), "--split=3", "--delay", "20", path, "-"},
                  R"({"ldlPage":2})", [&] {
                      createSock(listen_sock, out, err);
                      createSock(listen_sock, out, err);
                  });
    unlink(path);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "Hello from server\nHello from server\n");
    EXPECT_EQ(run.err, "");
    std::string trace = traceText();
    EXPECT_NE(trace.find("13#{\"topPage\":3}\nsize: 16\n\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("13#{\"ldlPage\":2}\nsize: 16\n\n"), std::string::npos) << trace;
    EXPECT_EQ(loadShared(omcw[kTopPage]), 3);
    EXPECT_EQ(loadShared(omcw[kLdlPage]), 2);
}

TEST_F(ListenerTest, SenderRetriesUntilTheListenerListens) {
    // Bound but not listening: connections are refused until listen().
    int later = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(later, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    getsockname(later, reinterpret_cast<sockaddr*>(&addr), &len);
    const std::string laterPort = std::to_string(ntohs(addr.sin_port));

    ToolRun refused = runSender({"--port", laterPort}, kTopPage3, [] {});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err,
              "vantrel-send: cannot connect to 127.0.0.1:" + laterPort + ": Connection refused\n");

    ToolRun retried = runSender({"--retry", "8000", "--port", laterPort}, kTopPage3, [&] {
        std::this_thread::sleep_for(milliseconds(200));
        listen(later, kListenBacklog);
        createSock(later, out, err);
    });
    close(later);
    EXPECT_EQ(retried.status, 0) << retried.err;
    EXPECT_EQ(retried.out, "Hello from server\n");
}

TEST_F(ListenerTest, SenderFailsWithoutTheReply) {
    ToolRun run = runSender({"--port", std::to_string(port)}, kTopPage3, [&] {
        // Takes the whole message, then closes without a word.
        int conn = accept(listen_sock, nullptr, nullptr);
        char buf[16];
        recv(conn, buf, sizeof buf, MSG_WAITALL);
        close(conn);
    });
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "vantrel-send: no reply from 127.0.0.1:" + std::to_string(port) + "\n");

    ToolRun missing =
        runSender({"--port", std::to_string(port), "/nonexistent/page.json"}, "", [] {});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "vantrel-send: /nonexistent/page.json: No such file or directory\n");
}

TEST(Sender, OptionsAreCheckedBeforeAnythingIsSent) {
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"--help"}, 0},       {{"--port", "0"}, 2},  // ports are 1..65535
        {{"--port=70000"}, 2}, {{"--split", "x"}, 2}, {{"--delay", "-1"}, 2},
        {{"--retry"}, 2},  // value missing
        {{"--host="}, 2},      {{"--frobnicate"}, 2}, {{"-v"}, 2},
    };
    for (const auto& [args, status] : cases) {
        ToolRun run = runSender(args, "", [] {});
        EXPECT_EQ(run.status, status) << args[0];
        if (status == 0) {
            EXPECT_EQ(run.out.rfind("usage: vantrel-send [options] [FILE...]\n", 0), 0u);
        } else {
            EXPECT_EQ(countOf(run.err, "\n"), 1) << run.err;  // one line says what is wrong
        }
    }
}

}  // namespace
