// Loopback clients for the listener tests, on the platform's own sockets
// (feed/net.h).
#pragma once

#include <chrono>
#include <string>
#include <thread>

#include "feed/net.h"

constexpr uint32_t kLoopback = 0x7f000001;  // 127.0.0.1

// A connection to the listener on port, every piece sent at once and every
// wait bounded by wait_ms; kNoSocket when refused.
inline NetSocket connectTo(int port, int wait_ms) {
    netStartup();  // counted: the process keeps its sockets library
    NetSocket sock = netStream();
    netSetTimeouts(sock, wait_ms, wait_ms);
    netNoDelay(sock);
    if (netConnect(sock, kLoopback, port)) return sock;
    netClose(sock);
    return kNoSocket;
}

inline void sendText(NetSocket sock, const std::string& text) {
    (void)netSend(sock, text.data(), static_cast<int>(text.size()));
}

// What the listener answers, read until it closes; closes the socket.
inline std::string takeReply(NetSocket sock) {
    std::string reply;
    char buf[256];
    for (int n; reply.size() < 1024 && (n = netReceive(sock, buf, sizeof buf, true)) > 0;)
        reply.append(buf, n);
    netClose(sock);
    return reply;
}

// A JSON text as a sender frames it: its length, '#', the text.
inline std::string framed(const std::string& json) {
    return std::to_string(json.size()) + "#" + json;
}

// Sends bytes on a connection of its own and returns the reply; "" when the
// connection failed. A stalling peer keeps its side open for stall_ms; every
// other one says it has sent all it will.
inline std::string roundTrip(int port, const std::string& bytes, int wait_ms, int stall_ms = 0) {
    NetSocket sock = connectTo(port, wait_ms);
    if (sock == kNoSocket) return "";
    sendText(sock, bytes);
    if (stall_ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(stall_ms));
    else
        netShutdownSend(sock);
    return takeReply(sock);
}
