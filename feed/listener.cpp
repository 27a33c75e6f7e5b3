#include "feed/listener.h"

#include <pthread.h>

#include <climits>
#include <cstdint>
#include <cstring>

#include "feed/console.h"
#include "feed/decode.h"
#include "feed/net.h"

constexpr int kNoExpectation = -1;  // expected size before the first '#' has arrived

int feed_port = kFeedPort;            // set by tests before the listener starts
std::atomic<int> feed_bound_port{0};  // set by openListener, read by tests

// Once shutdown has released the socket library, a failing socket call is the
// release at work, not a fault: the thread waits quietly for the process to
// end with main's status.
[[noreturn]] static void parkWhileStopping() {
    for (;;)
        netPauseMs(kAcceptPauseMs);
}

// Set-up failures end the whole process, although they happen on the listener
// thread: the display cannot run without its feed. stdout is flushed so the
// trace before the failure is not lost; nothing else is torn down, because the
// main thread may still be using it.
[[noreturn]] static void fatal(const char* what, int code) {
    if (netStopping()) parkWhileStopping();
    netPrintError(stderr, what, code);
    exitFailed(1);
}

// A receive that failed ends the reading with "read" and the error on err,
// unless shutdown released the sockets library under it.
static void readFailed(FILE* err, int code) {
    if (netStopping()) parkWhileStopping();
    netPrintError(err, "read", code);
}

// Receives the next bytes of the connection into chunk, waiting no later than
// deadline. Returns the number of bytes, or 0 when reading must stop: the peer
// closed, a receive failed ("read" and the error on err) or the deadline passed
// ("read: timed out" on err).
static int receiveWithin(NetSocket conn, char* chunk, int64_t deadline, FILE* err) {
    for (;;) {
        int n = netReceive(conn, chunk, kReceiveChunk, false);
        if (n >= 0) return n;
        int code = netError();
        if (netInterrupted(code)) continue;
        if (!netWouldBlock(code)) {
            readFailed(err, code);
            return 0;
        }
        int64_t left = deadline - netNowMs();
        if (left <= 0) {
            fputs("read: timed out\n", err);
            return 0;
        }
        if (netWaitReadable(conn, static_cast<int>(left)) < 0 && !netInterrupted(netError())) {
            readFailed(err, netError());
            return 0;
        }
    }
}

// The expected size of a message whose first '#' is at hash: the prefix's
// decimal digits, other characters skipped, give the declared length; the size
// counts the prefix and the '#' too. A size past the buffer is capped at
// kMessageCapacity with a warning that names the declared length (saturated at
// INT_MAX for absurd prefixes, which cannot otherwise be shown as %d).
static int expectedSize(const char* message, int hash, FILE* err) {
    int64_t declared = 0;
    for (int i = 0; i < hash; ++i) {
        if (message[i] < '0' || message[i] > '9') continue;
        declared = declared * 10 + (message[i] - '0');
        if (declared > INT_MAX) declared = INT_MAX;
    }
    int64_t expected = hash + 1 + declared;
    if (expected > kMessageCapacity) {
        fprintf(err, "warning: declared length %d exceeds buffer; truncating\n",
                static_cast<int>(declared));
        expected = kMessageCapacity;
    }
    return static_cast<int>(expected);
}

static void traceExpected(FILE* out, int expected, int received) {
    fprintf(out, "expected: %d  received: %d\n", expected, received);
}

void tcpEst() {
    pthread_t thread;
    pthread_create(&thread, nullptr, tcpServ, nullptr);
}

void* tcpServ(void*) {
    pthread_detach(pthread_self());
    // The socket lives as long as the thread: closing it between connections
    // would refuse senders in the gap and reset the ones already queued.
    NetSocket listen_sock = openListener();
    for (;;)
        createSock(listen_sock, stdout, stderr);
    return nullptr;
}

NetSocket openListener() {
    NetSocket sock = netStream();
    if (sock == kNoSocket) fatal("socket failed", netError());
    if (!netClaimPort(sock)) fatal("setsockopt", netError());
    if (!netBind(sock, kAnyAddress, feed_port)) fatal("bind failed", netError());
    if (!netListen(sock, kListenBacklog)) fatal("listen", netError());
    feed_bound_port.store(netLocalPort(sock));
    return sock;
}

int createSock(NetSocket listen_sock, FILE* out, FILE* err) {
    NetSocket conn = netAccept(listen_sock);
    if (conn == kNoSocket) {
        int code = netError();
        if (netStopping()) parkWhileStopping();
        if (!netAcceptMayRetry(code)) fatal("accept", code);
        netPrintError(err, "accept", code);
        fflush(err);
        if (netShortage(code)) netPauseMs(kAcceptPauseMs);
        return -1;
    }
    serveConnection(conn, out, err);
    return netClose(conn);
}

void serveConnection(NetSocket conn, FILE* out, FILE* err) {
    char message[kMessageCapacity + 1] = {};  // data and a terminating NUL
    char chunk[kReceiveChunk];
    int received = 0;
    int expected = kNoExpectation;
    const int64_t deadline = netNowMs() + kConnectionDeadlineMs;

    for (;;) {
        int n = receiveWithin(conn, chunk, deadline, err);
        if (n == 0) break;
        int take = n < kMessageCapacity - received ? n : kMessageCapacity - received;
        memcpy(message + received, chunk, take);
        received += take;
        if (expected == kNoExpectation) {
            const char* hash = static_cast<const char*>(memchr(message, '#', received));
            if (hash != nullptr)
                expected = expectedSize(message, static_cast<int>(hash - message), err);
        }
        traceExpected(out, expected, received);
        bool complete = expected != kNoExpectation && received >= expected;
        if (complete || received >= kMessageCapacity) break;
        // Someone watching a slow sender sees each receive as it lands.
        fflush(out);
    }

    message[received] = '\0';
    fprintf(out, "%s\nsize: %i\n\n", message, received);
    fflush(out);

    // Blanks keep every byte of the object at its received position.
    const char* brace = static_cast<const char*>(memchr(message, '{', received));
    int before = brace != nullptr ? static_cast<int>(brace - message) : received;
    memset(message, ' ', before);
    if (brace != nullptr)
        decodeMessage(message);  // may trace an alert switch on stdout
    else
        fputs("no JSON object in received data\n", err);
    // Whoever reads the trace sees the switch when it happens, not with the next connection.
    fflush(stdout);
    fflush(err);

    // The peer may be gone already; the result does not matter either way.
    (void)netSend(conn, kFeedReply, kFeedReplySize);
}
