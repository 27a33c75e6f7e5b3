#include "tools/send/client.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

int64_t nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void pauseMs(int ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void setTimeout(int sock, int option, int ms) {
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    setsockopt(sock, SOL_SOCKET, option, &tv, sizeof tv);
}

// What errno says after a timed-out socket call, in words a user expects.
const char* errorText(int code) {
    if (code == EAGAIN || code == EWOULDBLOCK || code == EINPROGRESS) return "timed out";
    return strerror(code);
}

// Connects to the listener, trying again every kRetryPauseMs while
// opts.retryMs lasts. Returns the socket, or -1 after printing why.
int connectToListener(const SendOptions& opts, FILE* err) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    char port[16];
    snprintf(port, sizeof port, "%d", opts.port);
    addrinfo* found = nullptr;
    int rc = getaddrinfo(opts.host, port, &hints, &found);
    if (rc != 0) {
        fprintf(err, "vantrel-send: cannot resolve %s:%d: %s\n", opts.host, opts.port,
                gai_strerror(rc));
        return -1;
    }

    const int64_t deadline = nowMs() + opts.retryMs;
    int sock = -1;
    int code = 0;
    for (;;) {
        sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (sock < 0) {
            code = errno;
            break;
        }
        setTimeout(sock, SO_SNDTIMEO, kConnectTimeoutMs);  // bounds connect and send
        setTimeout(sock, SO_RCVTIMEO, kReplyTimeoutMs);
        if (connect(sock, found->ai_addr, found->ai_addrlen) == 0) break;
        code = errno;
        close(sock);
        sock = -1;
        int64_t left = deadline - nowMs();
        if (left <= 0) break;
        pauseMs(left < kRetryPauseMs ? static_cast<int>(left) : kRetryPauseMs);
    }
    freeaddrinfo(found);
    if (sock < 0) {
        fprintf(err, "vantrel-send: cannot connect to %s:%d: %s\n", opts.host, opts.port,
                errorText(code));
        return -1;
    }
    // Each piece must leave at once, or a split message reaches the listener whole.
    int one = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return sock;
}

// Sends all of data; returns 0, or the errno of the failed send.
int sendAll(int sock, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = send(sock, data, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

}  // namespace

bool readMessageFile(const char* name, std::string& text, FILE* err) {
    bool isStdin = std::strcmp(name, "-") == 0;
    FILE* file = isStdin ? stdin : fopen(name, "rb");
    if (file == nullptr) {
        fprintf(err, "vantrel-send: %s: %s\n", name, strerror(errno));
        return false;
    }
    text.clear();
    char block[4096];
    bool ok = true;
    for (;;) {
        size_t n = fread(block, 1, sizeof block, file);
        text.append(block, n);
        if (text.size() > kMaxInputSize) {
            fprintf(err, "vantrel-send: %s: more than %zu bytes\n",
                    isStdin ? "standard input" : name, kMaxInputSize);
            ok = false;
            break;
        }
        if (n < sizeof block) {
            if (ferror(file)) {
                fprintf(err, "vantrel-send: %s: %s\n", isStdin ? "standard input" : name,
                        strerror(errno));
                ok = false;
            }
            break;
        }
    }
    if (!isStdin) fclose(file);
    return ok;
}

bool sendMessage(const SendOptions& opts, const std::string& text, FILE* out, FILE* err) {
    std::string frame = std::to_string(text.size()) + "#" + text;
    if (frame.size() > static_cast<size_t>(kMessageCapacity))
        fprintf(err,
                "vantrel-send: warning: a %zu-byte message is cut at the %d bytes the "
                "listener reads\n",
                frame.size(), kMessageCapacity);

    int sock = connectToListener(opts, err);
    if (sock < 0) return false;

    // Piece k covers bytes [k * size / split, (k + 1) * size / split); never
    // more pieces than bytes, so none is empty.
    size_t pieces = static_cast<size_t>(opts.split);
    if (pieces > frame.size()) pieces = frame.size();
    if (pieces == 0) pieces = 1;
    int sendError = 0;
    for (size_t k = 0; k < pieces && sendError == 0; ++k) {
        size_t begin = k * frame.size() / pieces;
        size_t end = (k + 1) * frame.size() / pieces;
        if (k > 0 && opts.delayMs > 0) pauseMs(opts.delayMs);
        sendError = sendAll(sock, frame.data() + begin, end - begin);
    }
    // A listener that stopped reading (4095 bytes held, or its deadline) still
    // answers, so a failed send is reported and the reply read all the same.
    if (sendError != 0)
        fprintf(err, "vantrel-send: sending to %s:%d stopped: %s\n", opts.host, opts.port,
                errorText(sendError));

    char reply[kMaxReplySize];
    size_t got = 0;
    int readError = 0;
    while (got < sizeof reply) {
        ssize_t n = recv(sock, reply + got, sizeof reply - got, 0);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            readError = errno;
            break;
        }
    }
    close(sock);

    if (got == 0) {
        if (readError != 0)
            fprintf(err, "vantrel-send: no reply from %s:%d: %s\n", opts.host, opts.port,
                    errorText(readError));
        else
            fprintf(err, "vantrel-send: no reply from %s:%d\n", opts.host, opts.port);
        return false;
    }
    fwrite(reply, 1, got, out);
    fputc('\n', out);
    fflush(out);
    if (got != static_cast<size_t>(kFeedReplySize) || std::memcmp(reply, kFeedReply, got) != 0) {
        fprintf(err, "vantrel-send: unexpected reply from %s:%d\n", opts.host, opts.port);
        return false;
    }
    return true;
}
