// The page feed listener: a detached thread that serves one TCP connection at a
// time (the preview listens on port 6867 of every IPv4 interface), reads one
// framed message per connection, traces it, hands its JSON object to the
// decoder and answers "Hello from server".
//
// A message is the decimal length of the JSON text, '#', and the text, with no
// terminator. At most 4095 bytes of a connection are read. The framing
// (FeedMessage, takeBytes, finishMessage) is the same for every server of the
// feed: the preview's one connection after another here, and the stream's many
// at once.
#pragma once

#include <atomic>
#include <cstddef>
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
constexpr int kMaxAllowedNets = 32;          // networks an allow list names at most
constexpr int kNoExpectation = -1;           // expected size before the first '#' has arrived
constexpr int kPeerTextSize = 16;            // "A.B.C.D" and its NUL, or "unknown"
constexpr char kFeedReply[] = "Hello from server";     // sent without terminator or line end
constexpr int kFeedReplySize = sizeof kFeedReply - 1;  // 17 bytes
constexpr char kRefusedSender[] = "refused connection from %s: not an allowed sender";  // peer

// An IPv4 network: the addresses whose top bits equal those of address.
struct NetRange {
    uint32_t address;  // host byte order, bits below the prefix 0
    uint32_t mask;     // the prefix as a mask: /24 is 0xFFFFFF00, /0 is 0
};

// The senders the listener serves. Empty (count 0) serves everyone, as the
// preview does; otherwise a peer outside every range is closed before anything
// is read. Set before the listener starts, read-only afterwards.
struct FeedAllowList {
    NetRange nets[kMaxAllowedNets];  // the allowed networks
    int count;                       // 0..kMaxAllowedNets; 0 allows every peer
};

// One framed message as it arrives on a connection: the bytes held so far and
// the size the sender announced. Starts afresh with every connection.
struct FeedMessage {
    char text[kMessageCapacity + 1];  // the bytes received and a terminating NUL
    int received;                     // bytes held, 0..kMessageCapacity
    int expected;  // the whole message's size, prefix and '#' included; kNoExpectation before '#'
};

extern FeedAllowList feed_allowed;        // empty: every peer is served
extern std::atomic<int> feed_bound_port;  // set by openListener once its socket listens; 0 before

// Parses "A.B.C.D/BITS" (BITS 0..32; a bare address is /32) into range.
// Returns false for anything else, or when bits are set below the prefix.
bool parseNetRange(const char* text, NetRange& range);

// Parses "A.B.C.D" into address (host byte order). Returns false otherwise.
bool parseIpv4(const char* text, uint32_t& address);

// Writes address (host byte order) as "A.B.C.D" into text (16 bytes suffice).
void formatIpv4(uint32_t address, char* text, size_t size);

// Whether a peer at address (host byte order) may send pages: always with an
// empty allow list, otherwise when one of its ranges holds the address.
bool feedPeerAllowed(uint32_t address);

// Reads the address of conn's peer as "A.B.C.D" into peer (kPeerTextSize
// bytes; "unknown" when it cannot be read) and says whether it may send
// (feedPeerAllowed; a peer whose address cannot be read only with an empty
// allow list). A refused peer is closed unread, with kRefusedSender said.
bool feedPeerOf(NetSocket conn, char* peer);

// Empties message for a new connection: nothing held, nothing expected.
void startMessage(FeedMessage& message);

// Appends what fits of the n received bytes in data (the rest is dropped),
// works out the expected size at the first '#' (a declared length past the
// buffer is capped with "warning: declared length %d exceeds buffer;
// truncating" on err) and traces "expected: %d  received: %d" on out. Returns
// true when reading must stop: the expected size or kMessageCapacity bytes are
// held. out and err may be null: nothing is written there.
bool takeBytes(FeedMessage& message, const char* data, int n, FILE* out, FILE* err);

// Ends the message, however reading stopped: traces it on out ("%s\nsize:
// %i\n\n"), blanks every byte before the first '{' and hands the text to the
// decoder (the alert switch line on out), or writes "no JSON object in received
// data" on err; then sends the reply on conn, whether or not the peer is still
// there. Does not close conn. Returns the page stored, 0 when the message
// stored none. out and err may be null.
int finishMessage(FeedMessage& message, NetSocket conn, FILE* out, FILE* err);

// Starts the listener on address (host byte order; kAnyAddress for every
// interface) and port (0: any free one): a thread with default attributes that
// opens the listening socket and runs tcpServ on it. Returns at once; whether
// the thread could be created is not looked at.
void tcpEst(uint32_t address, int port);

// The listener thread body; its argument is a heap copy of where to listen
// (tcpEst), never returned. It detaches itself, opens the listening socket
// once and then serves one connection per createSock call, forever.
//
// NOTE: the thread is never stopped or joined. When main returns, the process
// ends with the thread wherever it is (blocked in accept or mid-connection).
// Releasing Winsock at shutdown makes a waiting accept fail; the thread then
// sees netStopping and waits quietly, so the exit keeps main's status.
void* tcpServ(void* where);

// Creates the listening socket on address and port as openListener does, but
// a failure is the caller's to say: false, with the operation's text as
// openListener would print it in failed and the system's error code in code.
bool tryOpenListener(uint32_t address, int port, NetSocket& sock, const char*& failed, int& code);

// Creates the listening socket on address and port, with its port claimed
// (netClaimPort) and a backlog of 3, and returns it. Every failure is fatal:
// the operation's text as perror prints it ("socket failed", "setsockopt",
// "bind failed", "listen") and exit status 1.
NetSocket openListener(uint32_t address, int port);

// One connection cycle on a listening socket: accepts one client, serves it
// (serveConnection) and closes the connection; returns the result of that
// close. A peer that feed_allowed leaves out is closed at once, unread and
// unanswered, with "refused connection from A.B.C.D: not an allowed sender" on
// err, and -1 is returned. An accept failure that a client or a passing shortage of descriptors
// or memory can cause is reported as perror("accept") would, on err, and
// returns -1 (after a short pause for a shortage); any other accept failure is
// fatal, with status 1.
int createSock(NetSocket listen_sock, FILE* out, FILE* err);

// Serves one accepted connection: reads one framed message for at most
// kConnectionDeadlineMs, writes the "expected" lines and the message line to
// out and warnings and errors to err, hands the JSON object to decodeMessage
// and sends the reply whatever happened. Does not close the connection.
void serveConnection(NetSocket conn, FILE* out, FILE* err);
