#include "tools/stream/intake.h"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "feed/console.h"
#include "feed/listener.h"
#include "tools/stream/log.h"

// ---------------------------------------------------------------------------
// Constants

constexpr int kIntakeBacklog = kIntakeConnections;  // senders the kernel queues for accept
constexpr int kAcceptsPerRound = 16;   // new senders taken per wake-up, so reading goes on too
constexpr int kLineSize = 160;         // a page line or an error line, with its address
constexpr int64_t kFatalLogMs = 1000;  // time the log gets to say a fatal accept failure

// ---------------------------------------------------------------------------
// Globals

// One sender's connection. A slot is free while sock is kNoSocket.
struct IntakeConnection {
    NetSocket sock;            // the connection; kNoSocket: a free slot
    char peer[kPeerTextSize];  // the sender's address as text
    int64_t deadlineMs;        // monotonic ms: accept + kConnectionDeadlineMs
    int64_t heardMs;           // monotonic ms of the accept or the last bytes: the idlest is cut
    FILE* trace;               // with --trace, the message's trace in memory; else null
    char* traceText;           // what trace holds once it is closed (open_memstream)
    size_t traceSize;          // bytes in traceText
    FeedMessage message;       // the framed message so far
};

// Owned by the intake thread alone, set once before it starts.
static IntakeConnection intake_slots[kIntakeConnections];  // the connections being served
static NetSocket intake_listener = kNoSocket;              // the listening socket, non-blocking
static bool intake_trace = false;                          // --trace: every message whole

// ---------------------------------------------------------------------------
// Internal helpers

// A failed socket call on standard error: what failed, then the system's text.
static void sayFailure(const char* what, int code) {
    char text[kNetErrorTextSize];
    char line[kLineSize + kNetErrorTextSize];
    snprintf(line, sizeof line, "%s: %s", what, netErrorText(code, text, sizeof text));
    logLine(LogTo::kError, line);
}

// Ends a connection however its reading stopped (why, when it was cut, goes to
// standard error first): the message is traced, decoded and answered as the
// preview does, its page line follows, and the slot is free again.
static void endConnection(IntakeConnection& c, const char* why) {
    if (why != nullptr) {
        char line[kLineSize];
        snprintf(line, sizeof line, "read from %s: %s", c.peer, why);
        logLine(LogTo::kError, line);
    }
    const int page = finishMessage(c.message, c.sock, c.trace, c.trace);
    char line[kLineSize];
    if (page > 0)
        snprintf(line, sizeof line, "page %d stored, %d bytes, from %s", page, c.message.received,
                 c.peer);
    else
        snprintf(line, sizeof line, "message of %d bytes from %s: no page", c.message.received,
                 c.peer);
    if (c.trace != nullptr) {
        // One piece, so that another message's lines never land inside this one.
        fprintf(c.trace, "%s\n", line);
        fclose(c.trace);
        logText(LogTo::kOutput, c.traceText, c.traceSize);
        free(c.traceText);
        c.trace = nullptr;
        c.traceText = nullptr;
    } else {
        logLine(LogTo::kOutput, line);
    }
    netClose(c.sock);
    c.sock = kNoSocket;
}

// Takes what has arrived on c; a complete message, the peer's close or a
// failed read ends the connection at once.
static void readConnection(IntakeConnection& c, int64_t nowMs) {
    char chunk[kReceiveChunk];
    const int n = netReceive(c.sock, chunk, kReceiveChunk, false);
    if (n < 0) {
        const int code = netError();
        if (netWouldBlock(code) || netInterrupted(code)) return;
        char what[kLineSize];
        snprintf(what, sizeof what, "read from %s", c.peer);
        sayFailure(what, code);
        endConnection(c, nullptr);
        return;
    }
    c.heardMs = nowMs;
    if (n == 0 || takeBytes(c.message, chunk, n, c.trace, c.trace)) endConnection(c, nullptr);
}

// A free slot, made by cutting the connection idle longest when all are taken.
static IntakeConnection& freeSlot() {
    IntakeConnection* idlest = &intake_slots[0];
    for (IntakeConnection& c : intake_slots) {
        if (c.sock == kNoSocket) return c;
        if (c.heardMs < idlest->heardMs) idlest = &c;
    }
    endConnection(*idlest, "cut, idle longest while a new sender waited");
    return *idlest;
}

static void openConnection(NetSocket sock, const char* peer, int64_t nowMs) {
    // The reply then never waits either, whatever the peer does.
    const int flags = fcntl(static_cast<int>(sock), F_GETFL);
    if (flags >= 0) fcntl(static_cast<int>(sock), F_SETFL, flags | O_NONBLOCK);
    IntakeConnection& c = freeSlot();
    c.sock = sock;
    snprintf(c.peer, sizeof c.peer, "%s", peer);
    c.deadlineMs = nowMs + kConnectionDeadlineMs;
    c.heardMs = nowMs;
    startMessage(c.message);
    // Without memory for the trace the message is still served, untraced.
    c.trace = intake_trace ? open_memstream(&c.traceText, &c.traceSize) : nullptr;
}

// Takes the senders waiting in the listening socket's queue. Returns the
// monotonic ms before which no accept is tried again: 0, or a moment later when
// descriptors or memory ran short. Any other failure than the ones a client
// or a passing shortage can cause ends the stream, as it ends the preview.
static int64_t acceptSenders(int64_t nowMs) {
    for (int i = 0; i < kAcceptsPerRound; ++i) {
        const NetSocket sock = netAccept(intake_listener);
        if (sock == kNoSocket) {
            const int code = netError();
            if (netWouldBlock(code)) return 0;
            if (netInterrupted(code)) continue;
            sayFailure("accept", code);
            if (!netAcceptMayRetry(code)) {
                drainLog(netNowMs() + kFatalLogMs);
                exitFailed(1);
            }
            if (netShortage(code)) return nowMs + kAcceptPauseMs;
            continue;
        }
        char peer[kPeerTextSize];
        if (!feedPeerOf(sock, peer)) {
            char line[kLineSize];
            snprintf(line, sizeof line, kRefusedSender, peer);
            logLine(LogTo::kError, line);
            netClose(sock);
            continue;
        }
        openConnection(sock, peer, nowMs);
    }
    return 0;
}

// The intake thread: one poll over the listening socket and every connection,
// then the reads, then the new senders, then the connections out of time.
[[noreturn]] static void intakeMain() {
    pollfd polls[kIntakeConnections + 1];
    int slotOf[kIntakeConnections + 1];
    int64_t acceptAfterMs = 0;
    for (;;) {
        int64_t nowMs = netNowMs();
        int count = 0;
        int64_t wakeMs = -1;  // none: only a sender or a byte ends the wait
        if (acceptAfterMs <= nowMs) {
            polls[count] = {static_cast<int>(intake_listener), POLLIN, 0};
            slotOf[count++] = -1;
        } else {
            wakeMs = acceptAfterMs;
        }
        for (int i = 0; i < kIntakeConnections; ++i) {
            const IntakeConnection& c = intake_slots[i];
            if (c.sock == kNoSocket) continue;
            polls[count] = {static_cast<int>(c.sock), POLLIN, 0};
            slotOf[count++] = i;
            if (wakeMs < 0 || c.deadlineMs < wakeMs) wakeMs = c.deadlineMs;
        }
        const int waitMs = wakeMs < 0 ? -1 : wakeMs > nowMs ? static_cast<int>(wakeMs - nowMs) : 0;
        if (poll(polls, count, waitMs) < 0 && errno != EINTR) {
            sayFailure("poll", errno);
            netPauseMs(kAcceptPauseMs);
            continue;
        }
        nowMs = netNowMs();
        bool accept = false;
        for (int k = 0; k < count; ++k) {
            if (polls[k].revents == 0) continue;
            if (slotOf[k] < 0)
                accept = true;
            else if (intake_slots[slotOf[k]].sock != kNoSocket)
                readConnection(intake_slots[slotOf[k]], nowMs);
        }
        if (accept) acceptAfterMs = acceptSenders(nowMs);
        for (IntakeConnection& c : intake_slots)
            if (c.sock != kNoSocket && c.deadlineMs <= nowMs) endConnection(c, "timed out");
    }
}

// ---------------------------------------------------------------------------
// Public functions

bool startIntake(NetSocket listen_sock, bool trace) {
    // A burst of senders waits in the kernel's queue rather than being
    // dropped; the accepts then take them a round at a time.
    const int fd = static_cast<int>(listen_sock);
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return false;
    if (!netListen(listen_sock, kIntakeBacklog)) return false;
    intake_listener = listen_sock;
    intake_trace = trace;
    for (IntakeConnection& c : intake_slots)
        c.sock = kNoSocket;
    try {
        std::thread(intakeMain).detach();
    } catch (...) {
        return false;
    }
    return true;
}
