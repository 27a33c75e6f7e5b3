#include "tools/stream/log.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "feed/net.h"

// ---------------------------------------------------------------------------
// Constants

constexpr const char* kProgram = "vantrel-stream";
constexpr int kLikeSlots = 32;      // kinds of line folded at once; the oldest goes
constexpr int kStatusBytes = 512;   // the terminal's status line
constexpr int kPipeChunk = 4096;    // bytes read from a caught pipe at a time
constexpr int kLookEveryMs = 1000;  // the writer looks at folded lines this often
constexpr const char* kEraseLine = "\r\033[K";

// ---------------------------------------------------------------------------
// Globals

namespace {

struct QueuedLine {
    int fd;                    // where it goes: the original standard output or error
    bool fold;                 // a standard error line that may be folded with its like
    int size;                  // bytes of text, 0..kLogLineBytes
    char text[kLogLineBytes];  // the line, without its end
};

// A kind of standard error line lately said: lines that differ only in
// their digits are one kind.
struct LikeSlot {
    uint64_t key;    // hash of the line with its digits masked; 0: free
    int64_t saidMs;  // when a line of this kind was last written
    int64_t held;    // lines of this kind held back since
    int size;        // the last one held back
    char text[kLogLineBytes];
};

// One stream's lines (standard output or standard error), with a writer
// thread of its own: a reader that stops reading one stream holds up no line
// of the other.
struct LogSink {
    std::mutex lock;                  // guards the ring and the status line
    std::condition_variable ready;    // a line, a status line or the end came
    std::condition_variable drained;  // the ring ran empty and nothing is being written
    QueuedLine ring[kLogQueueLines];  // lines waiting to be written
    int head = 0;                     // the oldest line
    int count = 0;                    // lines held, 0..kLogQueueLines
    bool writing = false;             // the writer holds a line it took
    char status[kStatusBytes] = {};   // the status line to draw
    bool statusChanged = false;       // status differs from what the terminal shows
    bool terminal = false;            // standard error, and a terminal; set by startLog
    int fd = STDOUT_FILENO;           // where its lines go (the original stream)
    LikeSlot like[kLikeSlots] = {};   // the writer's own
    bool sayHeld = false;             // drainLog asks for every held-back line now
    bool statusShown = false;         // the writer's own: the status line stands now
    std::atomic<int64_t> dropped{0};  // lines dropped since the start; producers
    int64_t droppedSaid = 0;          // the writer's own: dropped lines already said
};

// Made once and never freed: threads that still write at the end of the
// process must not find it destroyed.
LogSink* log_sinks[2] = {};  // standard output's, standard error's; set by startLog. One sink
                             // for both when they are the terminal the status line is drawn on
int log_fds[2] = {STDOUT_FILENO, STDERR_FILENO};  // the original streams; set by startLog

}  // namespace

// ---------------------------------------------------------------------------
// Internal helpers

namespace {

int64_t nowMs() {
    return netNowMs();
}

// Writes all of text to fd; gives up on an error (a reader that went away).
void writeAll(int fd, const char* text, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, text, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text += n;
        size -= static_cast<size_t>(n);
    }
}

// The kind of a line: FNV-1a over its bytes with each run of digits as one '#'.
uint64_t likeKey(const char* text, int size) {
    uint64_t hash = 14695981039346656037ull;
    bool inDigits = false;
    for (int i = 0; i < size; ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (digit && inDigits) continue;
        inDigits = digit;
        hash = (hash ^ static_cast<uint8_t>(digit ? '#' : text[i])) * 1099511628211ull;
    }
    return hash | 1;  // never 0, which marks a free slot
}

void push(LogTo to, const char* text, size_t size, bool fold = true) {
    LogSink& s = *log_sinks[to == LogTo::kOutput ? 0 : 1];
    if (size > static_cast<size_t>(kLogLineBytes)) size = kLogLineBytes;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        if (s.count == kLogQueueLines) {
            s.dropped.fetch_add(1);
            return;
        }
        QueuedLine& line = s.ring[(s.head + s.count) % kLogQueueLines];
        line.fd = log_fds[to == LogTo::kOutput ? 0 : 1];
        line.fold = fold && to == LogTo::kError;
        line.size = static_cast<int>(size);
        std::memcpy(line.text, text, size);
        ++s.count;
    }
    s.ready.notify_one();
}

// Writes one whole line to fd (above the status line, on a terminal).
void writeLine(LogSink& s, int fd, const char* text, int size, const char* suffix) {
    char line[kLogLineBytes + 64];
    const int n = std::snprintf(line, sizeof line, "%.*s%s\n", size, text, suffix);
    if (s.statusShown) writeAll(s.fd, kEraseLine, std::strlen(kEraseLine));
    s.statusShown = false;
    writeAll(fd, line,
             static_cast<size_t>(n < static_cast<int>(sizeof line) ? n : sizeof line - 1));
}

// Writes a line that a minute's folding held back, with how many it stands for.
void sayHeld(LogSink& s, LikeSlot& slot, int64_t now) {
    char suffix[64] = "";
    if (slot.held > 1)
        std::snprintf(suffix, sizeof suffix, " (%lld more like it)",
                      static_cast<long long>(slot.held - 1));
    writeLine(s, s.fd, slot.text, slot.size, suffix);
    slot.held = 0;
    slot.saidMs = now;
}

// A standard error line: written, or held back when its kind was said less
// than a minute ago.
void writeFolded(LogSink& s, const QueuedLine& line, int64_t now) {
    const uint64_t key = likeKey(line.text, line.size);
    LikeSlot* slot = nullptr;
    LikeSlot* oldest = &s.like[0];
    for (LikeSlot& l : s.like) {
        if (l.key == key) slot = &l;
        if (l.saidMs < oldest->saidMs) oldest = &l;
    }
    if (slot != nullptr && now - slot->saidMs < kLogLikeWindowMs) {
        ++slot->held;
        slot->size = line.size;
        std::memcpy(slot->text, line.text, static_cast<size_t>(line.size));
        return;
    }
    if (slot == nullptr) {
        slot = oldest;
        if (slot->held > 0) sayHeld(s, *slot, now);
        slot->key = key;
        slot->held = 0;
    } else if (slot->held > 0) {
        // A minute has passed: what it held back comes first.
        sayHeld(s, *slot, now);
    }
    writeLine(s, line.fd, line.text, line.size, "");
    slot->saidMs = now;
}

// Says the lines folding held back for a minute (all of them at the end),
// and how many lines a full queue dropped.
void sayWhatWasHeld(LogSink& s, int64_t now, bool all) {
    for (LikeSlot& slot : s.like)
        if (slot.held > 0 && (all || now - slot.saidMs >= kLogLikeWindowMs)) sayHeld(s, slot, now);
    const int64_t dropped = s.dropped.load();
    if (dropped > s.droppedSaid) {
        char text[128];
        const int n = std::snprintf(text, sizeof text,
                                    "%s: %lld lines were dropped while the log was not read",
                                    kProgram, static_cast<long long>(dropped - s.droppedSaid));
        writeLine(s, s.fd, text, n, "");
        s.droppedSaid = dropped;
    }
}

void writerMain(LogSink* sink) {
    LogSink& s = *sink;
    QueuedLine line;
    char status[kStatusBytes] = "";  // the status line the terminal shows, or is to show
    bool statusNew = false;          // status is not on the terminal yet
    for (;;) {
        bool haveLine = false, sayAll = false;
        int waiting = 0;
        {
            std::unique_lock<std::mutex> hold(s.lock);
            s.writing = false;
            if (s.count == 0) s.drained.notify_all();
            s.ready.wait_for(hold, std::chrono::milliseconds(kLookEveryMs),
                             [&] { return s.count > 0 || s.statusChanged || s.sayHeld; });
            s.writing = true;
            if (s.count > 0) {
                line = s.ring[s.head];
                s.head = (s.head + 1) % kLogQueueLines;
                --s.count;
                haveLine = true;
            }
            if (s.statusChanged) {
                std::memcpy(status, s.status, sizeof status);
                s.statusChanged = false;
                statusNew = true;
            }
            waiting = s.count;
            sayAll = s.sayHeld && waiting == 0;
            if (sayAll) s.sayHeld = false;
        }
        const int64_t now = nowMs();
        if (haveLine) {
            if (line.fold)
                writeFolded(s, line, now);
            else
                writeLine(s, line.fd, line.text, line.size, "");
        }
        // What was held or dropped is said once the queue has room again.
        if (waiting < kLogQueueLines / 2) sayWhatWasHeld(s, now, sayAll);
        // The status line stands below the last line, drawn again when it changed.
        if (s.terminal && waiting == 0 && (statusNew || !s.statusShown)) {
            if (s.statusShown) writeAll(s.fd, kEraseLine, std::strlen(kEraseLine));
            writeAll(s.fd, status, std::strlen(status));
            s.statusShown = status[0] != '\0';
            statusNew = false;
        }
    }
}

// Splits what arrives on the caught pipes into lines for the queues.
void readerMain(int outPipe, int errPipe) {
    static char pending[2][kLogLineBytes];
    int pendingSize[2] = {0, 0};
    pollfd fds[2] = {{outPipe, POLLIN, 0}, {errPipe, POLLIN, 0}};
    char chunk[kPipeChunk];
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0) continue;
            const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
            if (n <= 0) {
                fds[i].fd = -1;  // nobody writes there any more
                continue;
            }
            for (ssize_t k = 0; k < n; ++k) {
                if (chunk[k] == '\n' || pendingSize[i] == kLogLineBytes) {
                    // Other code's lines (a library's, a sanitizer's report) go as they are.
                    push(i == 0 ? LogTo::kOutput : LogTo::kError, pending[i],
                         static_cast<size_t>(pendingSize[i]), false);
                    pendingSize[i] = 0;
                    if (chunk[k] == '\n') continue;
                }
                pending[i][pendingSize[i]++] = chunk[k];
            }
        }
    }
}

// Makes fd a pipe whose reading end is returned; the old fd is kept as *saved.
bool catchFd(int fd, int& readEnd, int& saved) {
    int ends[2];
    if (pipe(ends) != 0) return false;
    saved = dup(fd);
    if (saved < 0 || dup2(ends[1], fd) < 0) {
        close(ends[0]);
        close(ends[1]);
        if (saved >= 0) close(saved);
        return false;
    }
    close(ends[1]);
    fcntl(saved, F_SETFD, FD_CLOEXEC);
    fcntl(ends[0], F_SETFD, FD_CLOEXEC);
    readEnd = ends[0];
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Public functions

bool startLog(bool terminal) {
    if (log_sinks[0] != nullptr) return true;
    std::fflush(stdout);
    std::fflush(stderr);
    int outRead = -1, errRead = -1, outFd = -1, errFd = -1;
    if (!catchFd(STDOUT_FILENO, outRead, outFd)) return false;
    if (!catchFd(STDERR_FILENO, errRead, errFd)) {
        dup2(outFd, STDOUT_FILENO);
        close(outFd);
        close(outRead);
        return false;
    }
    // Whole lines reach the pipe as they are printed, not when a buffer fills.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // Value-initialised: every page of the queues is there from the start,
    // so a log that fills them later does not grow the process.
    LogSink* err = new LogSink();
    err->terminal = terminal;
    err->fd = errFd;
    // On the terminal that shows the status line, the page trace is printed
    // above it, in turn with everything else.
    LogSink* out = terminal && isatty(outFd) != 0 ? err : new LogSink();
    out->fd = out == err ? errFd : outFd;
    log_fds[0] = outFd;
    log_fds[1] = errFd;
    log_sinks[0] = out;
    log_sinks[1] = err;
    try {
        if (out != err) std::thread(writerMain, out).detach();
        std::thread(writerMain, err).detach();
        std::thread(readerMain, outRead, errRead).detach();
    } catch (...) {
        return false;
    }
    return true;
}

void logLine(LogTo to, const char* text, bool fold) {
    if (log_sinks[0] == nullptr) {
        std::fprintf(to == LogTo::kOutput ? stdout : stderr, "%s\n", text);
        std::fflush(to == LogTo::kOutput ? stdout : stderr);
        return;
    }
    push(to, text, std::strlen(text), fold);
}

void logText(LogTo to, const char* text, size_t size) {
    while (size > 0) {
        const char* end = static_cast<const char*>(std::memchr(text, '\n', size));
        const size_t line = end != nullptr ? static_cast<size_t>(end - text) : size;
        if (log_sinks[0] == nullptr) {
            std::fprintf(to == LogTo::kOutput ? stdout : stderr, "%.*s\n", static_cast<int>(line),
                         text);
        } else {
            // A line longer than the queue's lines goes in pieces.
            size_t at = 0;
            do {
                const size_t piece = line - at < static_cast<size_t>(kLogLineBytes)
                                         ? line - at
                                         : static_cast<size_t>(kLogLineBytes);
                push(to, text + at, piece, false);
                at += piece;
            } while (at < line);
        }
        const size_t used = end != nullptr ? line + 1 : line;
        text += used;
        size -= used;
    }
    if (log_sinks[0] == nullptr) std::fflush(to == LogTo::kOutput ? stdout : stderr);
}

void logStatusLine(const char* text) {
    if (log_sinks[1] == nullptr || !log_sinks[1]->terminal) return;
    LogSink& s = *log_sinks[1];
    {
        std::lock_guard<std::mutex> hold(s.lock);
        std::snprintf(s.status, sizeof s.status, "%s", text);
        s.statusChanged = true;
    }
    s.ready.notify_one();
}

bool drainLog(int64_t deadlineMs) {
    if (log_sinks[0] == nullptr) return true;
    std::fflush(stdout);
    bool drained = true;
    // Standard error first: the summary matters more than the page trace.
    for (LogSink* sink : {log_sinks[1], log_sinks[0]}) {
        std::unique_lock<std::mutex> hold(sink->lock);
        sink->sayHeld = true;
        // The end: the last lines stand, with no status line after them.
        sink->status[0] = '\0';
        sink->statusChanged = true;
        sink->ready.notify_one();
        for (;;) {
            if (sink->count == 0 && !sink->writing && !sink->sayHeld) break;
            const int64_t left = deadlineMs - nowMs();
            if (left <= 0) {
                drained = false;
                break;
            }
            sink->drained.wait_for(hold, std::chrono::milliseconds(left < 50 ? left : 50));
        }
    }
    return drained;
}

int64_t logDroppedLines() {
    if (log_sinks[0] == nullptr) return 0;
    return log_sinks[1]->dropped.load() +
           (log_sinks[0] != log_sinks[1] ? log_sinks[0]->dropped.load() : 0);
}
