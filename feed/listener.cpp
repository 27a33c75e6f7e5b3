#include "feed/listener.h"

#include <pthread.h>

#include <climits>
#include <cstdint>
#include <cstring>

#include "feed/console.h"
#include "feed/decode.h"
#include "feed/net.h"

FeedAllowList feed_allowed = {};      // set before the listener starts; empty serves everyone
std::atomic<int> feed_bound_port{0};  // set by openListener, read by tests

// Where tcpEst's thread listens; handed over on the heap, since the thread
// outlives the call.
struct ListenAt {
    uint32_t address;  // host byte order
    int port;          // 0: any free port
};

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
        if (err != nullptr)
            fprintf(err, "warning: declared length %d exceeds buffer; truncating\n",
                    static_cast<int>(declared));
        expected = kMessageCapacity;
    }
    return static_cast<int>(expected);
}

// The socket lives as long as the thread: closing it between connections
// would refuse senders in the gap and reset the ones already queued.
[[noreturn]] static void serveForever(NetSocket listen_sock) {
    for (;;)
        createSock(listen_sock, stdout, stderr);
}

// Whether the peer of conn may send; a refused one is said on err.
static bool admitPeer(NetSocket conn, FILE* err) {
    if (feed_allowed.count == 0) return true;
    char peer[kPeerTextSize];
    if (feedPeerOf(conn, peer)) return true;
    fprintf(err, kRefusedSender, peer);
    fputc('\n', err);
    fflush(err);
    return false;
}

bool parseIpv4(const char* text, uint32_t& address) {
    uint32_t value = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *text++ != '.') return false;
        int digits = 0, byte = 0;
        for (; *text >= '0' && *text <= '9' && digits < 3; ++text, ++digits)
            byte = byte * 10 + (*text - '0');
        if (digits == 0 || byte > 255) return false;
        value = value << 8 | static_cast<uint32_t>(byte);
    }
    if (*text != '\0') return false;
    address = value;
    return true;
}

bool parseNetRange(const char* text, NetRange& range) {
    char address[16];
    const char* slash = strchr(text, '/');
    const size_t length = slash != nullptr ? static_cast<size_t>(slash - text) : strlen(text);
    if (length >= sizeof address) return false;
    memcpy(address, text, length);
    address[length] = '\0';
    int bits = 32;
    if (slash != nullptr) {
        const char* b = slash + 1;
        if (*b < '0' || *b > '9' || (b[1] != '\0' && (b[1] < '0' || b[1] > '9' || b[2] != '\0')))
            return false;
        bits = atoi(b);
        if (bits > 32) return false;
    }
    uint32_t value = 0;
    if (!parseIpv4(address, value)) return false;
    // A shift by 32 is undefined, so /0 is spelled out.
    const uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
    if ((value & ~mask) != 0) return false;  // 10.1.2.3/8 is a typing error, not a network
    range = {value, mask};
    return true;
}

void formatIpv4(uint32_t address, char* text, size_t size) {
    snprintf(text, size, "%u.%u.%u.%u", address >> 24, address >> 16 & 0xFF, address >> 8 & 0xFF,
             address & 0xFF);
}

bool feedPeerAllowed(uint32_t address) {
    if (feed_allowed.count == 0) return true;
    for (int i = 0; i < feed_allowed.count && i < kMaxAllowedNets; ++i)
        if ((address & feed_allowed.nets[i].mask) == feed_allowed.nets[i].address) return true;
    return false;
}

bool feedPeerOf(NetSocket conn, char* peer) {
    uint32_t address = 0;
    const bool known = netPeerAddress(conn, address);
    if (known)
        formatIpv4(address, peer, kPeerTextSize);
    else
        snprintf(peer, kPeerTextSize, "unknown");
    return feed_allowed.count == 0 || (known && feedPeerAllowed(address));
}

void startMessage(FeedMessage& message) {
    memset(message.text, 0, sizeof message.text);
    message.received = 0;
    message.expected = kNoExpectation;
}

bool takeBytes(FeedMessage& message, const char* data, int n, FILE* out, FILE* err) {
    const int room = kMessageCapacity - message.received;
    const int take = n < room ? n : room;
    memcpy(message.text + message.received, data, take);
    message.received += take;
    if (message.expected == kNoExpectation) {
        const char* hash = static_cast<const char*>(memchr(message.text, '#', message.received));
        if (hash != nullptr)
            message.expected =
                expectedSize(message.text, static_cast<int>(hash - message.text), err);
    }
    if (out != nullptr)
        fprintf(out, "expected: %d  received: %d\n", message.expected, message.received);
    const bool complete =
        message.expected != kNoExpectation && message.received >= message.expected;
    if (complete || message.received >= kMessageCapacity) return true;
    // Someone watching a slow sender sees each receive as it lands.
    if (out != nullptr) fflush(out);
    return false;
}

int finishMessage(FeedMessage& message, NetSocket conn, FILE* out, FILE* err) {
    char* text = message.text;
    const int received = message.received;
    text[received] = '\0';
    if (out != nullptr) {
        fprintf(out, "%s\nsize: %i\n\n", text, received);
        fflush(out);
    }

    // Blanks keep every byte of the object at its received position.
    const char* brace = static_cast<const char*>(memchr(text, '{', received));
    const int before = brace != nullptr ? static_cast<int>(brace - text) : received;
    memset(text, ' ', before);
    int page = 0;
    if (brace != nullptr)
        page = decodeMessage(text, out);  // may trace an alert switch
    else if (err != nullptr)
        fputs("no JSON object in received data\n", err);
    // Whoever reads the trace sees the switch when it happens, not with the next connection.
    if (out != nullptr) fflush(out);
    if (err != nullptr) fflush(err);

    // The peer may be gone already; the result does not matter either way.
    (void)netSend(conn, kFeedReply, kFeedReplySize);
    return page;
}

void tcpEst(uint32_t address, int port) {
    pthread_t thread;
    ListenAt* at = new ListenAt{address, port};
    if (pthread_create(&thread, nullptr, tcpServ, at) != 0) delete at;
}

void* tcpServ(void* where) {
    pthread_detach(pthread_self());
    const ListenAt at = *static_cast<ListenAt*>(where);
    delete static_cast<ListenAt*>(where);
    serveForever(openListener(at.address, at.port));
}

bool tryOpenListener(uint32_t address, int port, NetSocket& sock, const char*& failed, int& code) {
    sock = netStream();
    failed = sock == kNoSocket                  ? "socket failed"
             : !netClaimPort(sock)              ? "setsockopt"
             : !netBind(sock, address, port)    ? "bind failed"
             : !netListen(sock, kListenBacklog) ? "listen"
                                                : nullptr;
    if (failed == nullptr) {
        feed_bound_port.store(netLocalPort(sock));
        return true;
    }
    code = netError();
    if (sock != kNoSocket) netClose(sock);
    sock = kNoSocket;
    return false;
}

NetSocket openListener(uint32_t address, int port) {
    NetSocket sock = kNoSocket;
    const char* failed = nullptr;
    int code = 0;
    if (!tryOpenListener(address, port, sock, failed, code)) fatal(failed, code);
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
    if (!admitPeer(conn, err)) {
        netClose(conn);
        return -1;
    }
    serveConnection(conn, out, err);
    return netClose(conn);
}

void serveConnection(NetSocket conn, FILE* out, FILE* err) {
    FeedMessage message;  // on the stack: nothing survives the connection
    startMessage(message);
    char chunk[kReceiveChunk];
    const int64_t deadline = netNowMs() + kConnectionDeadlineMs;
    for (;;) {
        const int n = receiveWithin(conn, chunk, deadline, err);
        if (n == 0 || takeBytes(message, chunk, n, out, err)) break;
    }
    finishMessage(message, conn, out, err);
}
