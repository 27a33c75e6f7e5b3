// POSIX sockets, clock and sleep for the page feed and its sender.
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "feed/net.h"

static std::atomic<bool> net_stopping{false};  // set by netCleanup, never cleared

static int fd(NetSocket sock) {
    return static_cast<int>(sock);
}

bool netStartup() {
    return true;
}

void netCleanup() {
    net_stopping.store(true);
}

bool netStopping() {
    return net_stopping.load();
}

int netError() {
    return errno;
}

const char* netErrorText(int code, char* text, size_t size) {
    // The GNU strerror_r may return a static string instead of filling text.
    return strerror_r(code, text, size);
}

void netPrintError(FILE* err, const char* what, int code) {
    char text[kNetErrorTextSize];
    fprintf(err, "%s: %s\n", what, netErrorText(code, text, sizeof text));
}

bool netWouldBlock(int code) {
    return code == EAGAIN || code == EWOULDBLOCK || code == EINPROGRESS;
}

bool netInterrupted(int code) {
    return code == EINTR;
}

bool netTimedOut(int code) {
    return netWouldBlock(code);  // what a call bounded by SO_RCVTIMEO or SO_SNDTIMEO gives
}

bool netAcceptMayRetry(int code) {
    // Linux also passes pending network errors of the new connection through accept.
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
            return netShortage(code);
    }
}

bool netShortage(int code) {
    return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM;
}

NetSocket netStream() {
    return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

bool netClaimPort(NetSocket sock) {
    // SO_REUSEADDR on Linux still refuses a port that another socket listens on.
    int one = 1;
    return setsockopt(fd(sock), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0;
}

static sockaddr_in ipv4(uint32_t addr, int port) {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(addr);
    at.sin_port = htons(static_cast<uint16_t>(port));
    return at;
}

bool netBind(NetSocket sock, uint32_t addr, int port) {
    sockaddr_in at = ipv4(addr, port);
    return bind(fd(sock), reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
}

bool netListen(NetSocket sock, int backlog) {
    return listen(fd(sock), backlog) == 0;
}

int netLocalPort(NetSocket sock) {
    sockaddr_in at{};
    socklen_t len = sizeof at;
    if (getsockname(fd(sock), reinterpret_cast<sockaddr*>(&at), &len) != 0) return 0;
    return ntohs(at.sin_port);
}

NetSocket netAccept(NetSocket listener) {
    return accept4(fd(listener), nullptr, nullptr, SOCK_CLOEXEC);  // the peer's address is not used
}

bool netConnect(NetSocket sock, uint32_t addr, int port) {
    sockaddr_in at = ipv4(addr, port);
    return connect(fd(sock), reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
}

bool netResolve(const char* host, uint32_t& addr, const char*& why) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host, nullptr, &hints, &found);
    if (rc != 0) {
        why = gai_strerror(rc);
        return false;
    }
    addr = ntohl(reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(found);
    return true;
}

bool netPeerAddress(NetSocket sock, uint32_t& addr) {
    sockaddr_in at{};
    socklen_t len = sizeof at;
    if (getpeername(fd(sock), reinterpret_cast<sockaddr*>(&at), &len) != 0) return false;
    if (at.sin_family != AF_INET) return false;
    addr = ntohl(at.sin_addr.s_addr);
    return true;
}

void netSetTimeouts(NetSocket sock, int send_ms, int receive_ms) {
    timeval tv{send_ms / 1000, (send_ms % 1000) * 1000};
    setsockopt(fd(sock), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    tv = {receive_ms / 1000, (receive_ms % 1000) * 1000};
    setsockopt(fd(sock), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

void netNoDelay(NetSocket sock) {
    int one = 1;
    setsockopt(fd(sock), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int netReceive(NetSocket sock, char* data, int size, bool wait) {
    return static_cast<int>(recv(fd(sock), data, size, wait ? 0 : MSG_DONTWAIT));
}

int netWaitReadable(NetSocket sock, int ms) {
    pollfd waiting{fd(sock), POLLIN, 0};
    int n = poll(&waiting, 1, ms);
    return n < 0 ? -1 : n > 0 ? 1 : 0;
}

int netSend(NetSocket sock, const char* data, int size) {
    // MSG_NOSIGNAL: a peer that is gone must not end the process with SIGPIPE.
    return static_cast<int>(send(fd(sock), data, size, MSG_NOSIGNAL));
}

void netShutdownSend(NetSocket sock) {
    shutdown(fd(sock), SHUT_WR);
}

void netResetOnClose(NetSocket sock) {
    const linger reset{1, 0};
    setsockopt(fd(sock), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
}

int netClose(NetSocket sock) {
    return close(fd(sock));
}

int64_t netNowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void netPauseMs(int ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}
