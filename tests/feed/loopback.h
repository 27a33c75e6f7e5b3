// Loopback clients and trace files for the listener tests, on the platform's
// own sockets (feed/net.h).
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

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

// A file in the temporary folder for a trace that a test reads back by name.
inline std::filesystem::path tracePath(const std::string& name) {
    return std::filesystem::temp_directory_path() / ("vantrel-" + name);
}
