#include "feed/listener.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "feed/decode.h"

constexpr int kNoExpectation = -1;  // expected size before the first '#' has arrived
constexpr int kErrorTextSize = 256;

int feed_port = kFeedPort;            // set by tests before the listener starts
std::atomic<int> feed_bound_port{0};  // set by openListener, read by tests

// Set-up failures end the whole process, although they happen on the listener
// thread: the display cannot run without its feed. stdout is flushed so the
// trace before the failure is not lost; nothing else is torn down, because the
// main thread may still be using it.
[[noreturn]] static void fatal(const char* what) {
    perror(what);
    fflush(stdout);
    _exit(1);
}

// Prints what perror prints, on any stream.
static void printError(FILE* err, const char* what, int code) {
    char text[kErrorTextSize];
    fprintf(err, "%s: %s\n", what, strerror_r(code, text, sizeof text));
}

static int64_t nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

static void pauseMs(int ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Errors of accept that say nothing about the listening socket itself: the
// client went away or broke the handshake (Linux also passes pending network
// errors of the new connection through accept), a signal arrived, or
// descriptors or memory ran short for a moment. None may end the display.
static bool acceptMayRetry(int code) {
    switch (code) {
        case ECONNABORTED:
        case EPROTO:
        case EINTR:
        case EPERM:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
        case ETIMEDOUT:
            return true;
        default:
            return false;
    }
}

static bool isShortage(int code) {
    return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM;
}

// Receives the next bytes of the connection into chunk, waiting no later than
// deadline. Returns the number of bytes, or 0 when reading must stop: the peer
// closed, a receive failed ("read" and the error on err) or the deadline passed
// ("read: timed out" on err).
static int receiveWithin(int conn, char* chunk, int64_t deadline, FILE* err) {
    for (;;) {
        ssize_t n = recv(conn, chunk, kReceiveChunk, MSG_DONTWAIT);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            printError(err, "read", errno);
            return 0;
        }
        int64_t left = deadline - nowMs();
        if (left <= 0) {
            fputs("read: timed out\n", err);
            return 0;
        }
        pollfd waiting{conn, POLLIN, 0};
        if (poll(&waiting, 1, static_cast<int>(left)) < 0 && errno != EINTR) {
            printError(err, "read", errno);
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
    int listen_sock = openListener();
    for (;;)
        createSock(listen_sock, stdout, stderr);
    return nullptr;
}

int openListener() {
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) fatal("socket failed");
    // A restarted display must be able to bind at once, while connections of
    // the previous run still sit in TIME_WAIT.
    int one = 1;
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) fatal("setsockopt");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(feed_port));
    if (bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) fatal("bind failed");
    if (listen(sock, kListenBacklog) < 0) fatal("listen");
    socklen_t len = sizeof addr;
    if (getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        feed_bound_port.store(ntohs(addr.sin_port));
    return sock;
}

int createSock(int listen_sock, FILE* out, FILE* err) {
    sockaddr_in peer{};  // not used
    socklen_t len = sizeof peer;
    int conn = accept4(listen_sock, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (conn < 0) {
        int code = errno;
        if (!acceptMayRetry(code) && !isShortage(code)) {
            errno = code;
            fatal("accept");
        }
        printError(err, "accept", code);
        fflush(err);
        if (isShortage(code)) pauseMs(kAcceptPauseMs);
        return -1;
    }
    serveConnection(conn, out, err);
    return close(conn);
}

void serveConnection(int conn, FILE* out, FILE* err) {
    char message[kMessageCapacity + 1] = {};  // data and a terminating NUL
    char chunk[kReceiveChunk];
    int received = 0;
    int expected = kNoExpectation;
    const int64_t deadline = nowMs() + kConnectionDeadlineMs;

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
        decodeMessage(message);
    else
        fputs("no JSON object in received data\n", err);
    fflush(err);

    // The peer may be gone already; MSG_NOSIGNAL keeps that from killing the
    // process with SIGPIPE. The result does not matter either way.
    (void)send(conn, kFeedReply, kFeedReplySize, MSG_NOSIGNAL);
}
