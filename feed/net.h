// The platform under the page feed and its sender: TCP sockets, the socket
// library's start and end, a monotonic clock and a pause. feed/net_posix.cpp
// and feed/net_win32.cpp each give the whole set for one platform, so the
// listener and the sender are written once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

using NetSocket = std::intptr_t;  // a socket; Winsock's handles fit, as POSIX descriptors do
constexpr NetSocket kNoSocket = -1;
constexpr int kNetErrorTextSize = 256;  // room for any system error text

// Starts the socket library (Winsock 2.2 on Windows; nothing on POSIX).
// Returns false when it could not be started.
bool netStartup();

// Releases the socket library. From here on a listener whose accept fails
// because of it stays quiet (netStopping).
void netCleanup();

// True once netCleanup has begun: socket errors then come from the release,
// not from the network.
bool netStopping();

// The error code of the last failed socket call on this thread.
int netError();

// The system's text for a socket error code, as perror prints it, in text.
const char* netErrorText(int code, char* text, size_t size);

// Prints "what: text of code\n" on err, as perror would for that code.
void netPrintError(FILE* err, const char* what, int code);

// Error kinds: a non-blocking call found nothing to do yet; a signal broke in;
// a call ran past the bound of netSetTimeouts.
bool netWouldBlock(int code);
bool netInterrupted(int code);
bool netTimedOut(int code);

// Accept errors that say nothing about the listening socket: the client went
// away or broke the handshake, or descriptors or memory ran short for a moment
// (netShortage). None may end the display.
bool netAcceptMayRetry(int code);
bool netShortage(int code);

// A new IPv4 stream socket that child processes do not inherit, or kNoSocket.
NetSocket netStream();

// Makes the socket's port its own: a restarted listener binds at once while old
// connections sit in TIME_WAIT, and no other program can bind the port while
// it listens. Returns false (netError) on failure.
bool netClaimPort(NetSocket sock);

// Binds to IPv4 address addr (host byte order) and port. False on failure.
bool netBind(NetSocket sock, uint32_t addr, int port);

// Starts listening with the given backlog. False on failure.
bool netListen(NetSocket sock, int backlog);

// The local port the socket is bound to, 0 when unknown.
int netLocalPort(NetSocket sock);

// Accepts one connection (not inherited by children), or kNoSocket (netError).
NetSocket netAccept(NetSocket listener);

// The IPv4 address (host byte order) of a connected socket's peer. Returns
// false (netError) when it cannot be read.
bool netPeerAddress(NetSocket sock, uint32_t& addr);

// Connects to IPv4 address addr (host byte order) and port. False on failure.
bool netConnect(NetSocket sock, uint32_t addr, int port);

// Looks host up as an IPv4 address (host byte order). Returns false and the
// resolver's text in why when it cannot.
bool netResolve(const char* host, uint32_t& addr, const char*& why);

// Bounds every later send and receive on the socket; 0 leaves one unbounded.
void netSetTimeouts(NetSocket sock, int send_ms, int receive_ms);

// Lets every send leave at once instead of gathering small pieces.
void netNoDelay(NetSocket sock);

// Receives up to size bytes: the count, 0 when the peer has closed, -1 on an
// error (netError). With wait false it never blocks: -1 with a netWouldBlock
// code when nothing has arrived.
int netReceive(NetSocket sock, char* data, int size, bool wait);

// Waits up to ms for the socket to become readable (or, when it listens, for a
// connection to wait in its queue). Returns 1 when it is, 0 when the time ran
// out, -1 on an error (netError).
int netWaitReadable(NetSocket sock, int ms);

// Sends up to size bytes: the count sent, or -1 (netError). A peer that is
// gone gives an error, never a signal.
int netSend(NetSocket sock, const char* data, int size);

// Ends sending on the socket; the peer reads an end of stream.
void netShutdownSend(NetSocket sock);

// Resets the connection when it is closed, instead of ending it in order.
void netResetOnClose(NetSocket sock);

// Closes the socket. Returns 0, or -1 on failure.
int netClose(NetSocket sock);

// Milliseconds of a clock that never goes back.
int64_t netNowMs();

// Sleeps for ms milliseconds.
void netPauseMs(int ms);
