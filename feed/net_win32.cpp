// Windows Sockets 2.2, clock and sleep for the page feed and its sender.
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which must come before windows.h.
#include <windows.h>

#include <atomic>
#include <cstring>

#include "feed/net.h"

constexpr WORD kWinsockVersion = 0x0202;  // Windows Sockets 2.2

static std::atomic<bool> net_stopping{false};  // set by netCleanup, never cleared

static SOCKET handle(NetSocket sock) {
    return static_cast<SOCKET>(sock);
}

// Socket handles are inheritable by default; a child started by the program
// (or by a test) must not keep the port or a connection open.
static NetSocket notInherited(SOCKET sock) {
    if (sock == INVALID_SOCKET) return kNoSocket;
    SetHandleInformation(reinterpret_cast<HANDLE>(sock), HANDLE_FLAG_INHERIT, 0);
    return static_cast<NetSocket>(sock);
}

static sockaddr_in ipv4(uint32_t addr, int port) {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(addr);
    at.sin_port = htons(static_cast<u_short>(port));
    return at;
}

bool netStartup() {
    WSADATA data;
    return WSAStartup(kWinsockVersion, &data) == 0;
}

void netCleanup() {
    net_stopping.store(true);
    WSACleanup();
}

bool netStopping() {
    return net_stopping.load();
}

int netError() {
    return WSAGetLastError();
}

const char* netErrorText(int code, char* text, size_t size) {
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                             text, static_cast<DWORD>(size), nullptr);
    if (n == 0) {
        snprintf(text, size, "error %d", code);
        return text;
    }
    // The system's texts end in a full stop and a line end; perror's do not.
    while (n > 0 &&
           (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' || text[n - 1] == '.'))
        text[--n] = '\0';
    return text;
}

void netPrintError(FILE* err, const char* what, int code) {
    char text[kNetErrorTextSize];
    fprintf(err, "%s: %s\n", what, netErrorText(code, text, sizeof text));
}

bool netWouldBlock(int code) {
    return code == WSAEWOULDBLOCK || code == WSAEINPROGRESS;
}

bool netInterrupted(int code) {
    return code == WSAEINTR;
}

bool netTimedOut(int code) {
    return netWouldBlock(code) || code == WSAETIMEDOUT;
}

bool netAcceptMayRetry(int code) {
    switch (code) {
        case WSAENOTCONN:  // Wine's word for a connection reset while it waited in the queue
        case WSAECONNRESET:
        case WSAECONNABORTED:
        case WSAEINTR:
        case WSAENETDOWN:
        case WSAEHOSTUNREACH:
        case WSAENETUNREACH:
        case WSAETIMEDOUT:
            return true;
        default:
            return netShortage(code);
    }
}

bool netShortage(int code) {
    return code == WSAEMFILE || code == WSAENOBUFS;
}

NetSocket netStream() {
    return notInherited(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
}

bool netClaimPort(NetSocket sock) {
    // SO_REUSEADDR on Windows lets a second program bind a port that is being
    // listened on, and the two then share its connections: pages would go to
    // a preview nobody looks at. Exclusive use refuses that second bind.
    BOOL one = TRUE;
    return setsockopt(handle(sock), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                      reinterpret_cast<const char*>(&one), sizeof one) == 0;
}

bool netBind(NetSocket sock, uint32_t addr, int port) {
    sockaddr_in at = ipv4(addr, port);
    return bind(handle(sock), reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
}

bool netListen(NetSocket sock, int backlog) {
    return listen(handle(sock), backlog) == 0;
}

int netLocalPort(NetSocket sock) {
    sockaddr_in at{};
    int len = sizeof at;
    if (getsockname(handle(sock), reinterpret_cast<sockaddr*>(&at), &len) != 0) return 0;
    return ntohs(at.sin_port);
}

NetSocket netAccept(NetSocket listener) {
    // No peer address is asked for: Wine fails the accept of a connection that
    // was reset in the queue when it has one to fill, and loses the message
    // that connection delivered before the reset.
    return notInherited(accept(handle(listener), nullptr, nullptr));
}

bool netConnect(NetSocket sock, uint32_t addr, int port) {
    sockaddr_in at = ipv4(addr, port);
    return connect(handle(sock), reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
}

bool netResolve(const char* host, uint32_t& addr, const char*& why) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host, nullptr, &hints, &found);
    if (rc != 0) {
        why = gai_strerrorA(rc);
        return false;
    }
    addr = ntohl(reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(found);
    return true;
}

bool netPeerAddress(NetSocket sock, uint32_t& addr) {
    sockaddr_in at{};
    int len = sizeof at;
    if (getpeername(handle(sock), reinterpret_cast<sockaddr*>(&at), &len) != 0) return false;
    if (at.sin_family != AF_INET) return false;
    addr = ntohl(at.sin_addr.s_addr);
    return true;
}

void netSetTimeouts(NetSocket sock, int send_ms, int receive_ms) {
    DWORD ms = static_cast<DWORD>(send_ms);
    setsockopt(handle(sock), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms),
               sizeof ms);
    ms = static_cast<DWORD>(receive_ms);
    setsockopt(handle(sock), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms),
               sizeof ms);
}

void netNoDelay(NetSocket sock) {
    BOOL one = TRUE;
    setsockopt(handle(sock), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
               sizeof one);
}

int netReceive(NetSocket sock, char* data, int size, bool wait) {
    // Winsock has no per-call non-blocking flag; a socket that polls readable
    // has data or an end of stream, so recv then returns at once.
    if (!wait) {
        WSAPOLLFD ready{handle(sock), POLLRDNORM, 0};
        int n = WSAPoll(&ready, 1, 0);
        if (n < 0) return -1;
        if (n == 0) {
            WSASetLastError(WSAEWOULDBLOCK);
            return -1;
        }
    }
    return recv(handle(sock), data, size, 0);
}

int netWaitReadable(NetSocket sock, int ms) {
    WSAPOLLFD ready{handle(sock), POLLRDNORM, 0};
    int n = WSAPoll(&ready, 1, ms);
    return n < 0 ? -1 : n > 0 ? 1 : 0;
}

int netSend(NetSocket sock, const char* data, int size) {
    return send(handle(sock), data, size, 0);
}

void netShutdownSend(NetSocket sock) {
    shutdown(handle(sock), SD_SEND);
}

void netResetOnClose(NetSocket sock) {
    linger reset{1, 0};
    setsockopt(handle(sock), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset),
               sizeof reset);
}

int netClose(NetSocket sock) {
    return closesocket(handle(sock)) == 0 ? 0 : -1;
}

int64_t netNowMs() {
    return static_cast<int64_t>(GetTickCount64());
}

void netPauseMs(int ms) {
    Sleep(static_cast<DWORD>(ms));
}
