// The page feed listener: a detached thread that serves one TCP connection at a
// time on port 6867, reads one framed message per connection, traces it, hands
// its JSON object to the decoder and answers "Hello from server".
//
// A message is the decimal length of the JSON text, '#', and the text, with no
// terminator. At most 4095 bytes of a connection are read.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "feed/net.h"

constexpr int kFeedPort = 6867;              // TCP port of the page feed
constexpr int kListenBacklog = 3;            // connections the kernel queues while one is served
constexpr int kMessageCapacity = 4095;       // bytes of one message held; the buffer adds a NUL
constexpr int kReceiveChunk = 4096;          // bytes asked for by each receive
constexpr int kConnectionDeadlineMs = 5000;  // from accept to the end of the message
constexpr int kAcceptPauseMs = 100;          // wait after accept ran short of descriptors or memory
constexpr uint32_t kAnyAddress = 0;          // 0.0.0.0: every IPv4 interface
constexpr char kFeedReply[] = "Hello from server";     // sent without terminator or line end
constexpr int kFeedReplySize = sizeof kFeedReply - 1;  // 17 bytes

extern int feed_port;  // port the listener binds: kFeedPort; tests set another, or 0 for any
                       // free port, before the listener starts
extern std::atomic<int> feed_bound_port;  // set by openListener once its socket listens; 0 before

// Starts the listener: a thread with default attributes running tcpServ. Returns
// at once; whether the thread could be created is not looked at.
void tcpEst();

// The listener thread body; ignores its argument and never returns. It detaches
// itself, opens the listening socket once and then serves one connection per
// createSock call, forever.
//
// NOTE: the thread is never stopped or joined. When main returns, the process
// ends with the thread wherever it is (blocked in accept or mid-connection).
// Releasing Winsock at shutdown makes a waiting accept fail; the thread then
// sees netStopping and waits quietly, so the exit keeps main's status.
void* tcpServ(void* unused);

// Creates the listening socket on all IPv4 interfaces, port feed_port, with
// its port claimed (netClaimPort) and a backlog of 3, and returns it. Every failure is fatal: the
// operation's text as perror prints it ("socket failed", "setsockopt",
// "bind failed", "listen") and exit status 1.
NetSocket openListener();

// One connection cycle on a listening socket: accepts one client, serves it
// (serveConnection) and closes the connection; returns the result of that
// close. An accept failure that a client or a passing shortage of descriptors
// or memory can cause is reported as perror("accept") would, on err, and
// returns -1 (after a short pause for a shortage); any other accept failure is
// fatal, with status 1.
int createSock(NetSocket listen_sock, FILE* out, FILE* err);

// Serves one accepted connection: reads one framed message for at most
// kConnectionDeadlineMs, writes the "expected" lines and the message line to
// out and warnings and errors to err, hands the JSON object to decodeMessage
// and sends the reply whatever happened. Does not close the connection.
void serveConnection(NetSocket conn, FILE* out, FILE* err);
