#include "tools/send/client.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "feed/net.h"

namespace {

// What a failed socket call says, in words a user expects after a time-out.
const char* errorText(int code, char* text, size_t size) {
    if (netTimedOut(code)) return "timed out";
    return netErrorText(code, text, size);
}

// Connects to the listener, trying again every kRetryPauseMs while
// opts.retryMs lasts. Returns the socket, or kNoSocket after printing why.
NetSocket connectToListener(const SendOptions& opts, FILE* err) {
    uint32_t addr = 0;
    const char* why = nullptr;
    if (!netResolve(opts.host, addr, why)) {
        fprintf(err, "vantrel-send: cannot resolve %s:%d: %s\n", opts.host, opts.port, why);
        return kNoSocket;
    }

    const int64_t deadline = netNowMs() + opts.retryMs;
    NetSocket sock = kNoSocket;
    int code = 0;
    for (;;) {
        sock = netStream();
        if (sock == kNoSocket) {
            code = netError();
            break;
        }
        netSetTimeouts(sock, kConnectTimeoutMs, kReplyTimeoutMs);  // bounds connect and send
        if (netConnect(sock, addr, opts.port)) break;
        code = netError();
        netClose(sock);
        sock = kNoSocket;
        int64_t left = deadline - netNowMs();
        if (left <= 0) break;
        netPauseMs(left < kRetryPauseMs ? static_cast<int>(left) : kRetryPauseMs);
    }
    if (sock == kNoSocket) {
        char text[kNetErrorTextSize];
        fprintf(err, "vantrel-send: cannot connect to %s:%d: %s\n", opts.host, opts.port,
                errorText(code, text, sizeof text));
        return kNoSocket;
    }
    // Each piece must leave at once, or a split message reaches the listener whole.
    netNoDelay(sock);
    return sock;
}

// Sends all of data; returns 0, or the error code of the failed send.
int sendAll(NetSocket sock, const char* data, size_t size) {
    while (size > 0) {
        int n = netSend(sock, data, static_cast<int>(size));
        if (n < 0) {
            if (netInterrupted(netError())) continue;
            return netError();
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

    NetSocket sock = connectToListener(opts, err);
    if (sock == kNoSocket) return false;

    // Piece k covers bytes [k * size / split, (k + 1) * size / split); never
    // more pieces than bytes, so none is empty.
    size_t pieces = static_cast<size_t>(opts.split);
    if (pieces > frame.size()) pieces = frame.size();
    if (pieces == 0) pieces = 1;
    int sendError = 0;
    for (size_t k = 0; k < pieces && sendError == 0; ++k) {
        size_t begin = k * frame.size() / pieces;
        size_t end = (k + 1) * frame.size() / pieces;
        if (k > 0 && opts.delayMs > 0) netPauseMs(opts.delayMs);
        sendError = sendAll(sock, frame.data() + begin, end - begin);
    }
    // A listener that stopped reading (4095 bytes held, or its deadline) still
    // answers, so a failed send is reported and the reply read all the same.
    char why[kNetErrorTextSize];
    if (sendError != 0)
        fprintf(err, "vantrel-send: sending to %s:%d stopped: %s\n", opts.host, opts.port,
                errorText(sendError, why, sizeof why));

    char reply[kMaxReplySize];
    size_t got = 0;
    int readError = 0;
    while (got < sizeof reply) {
        int n = netReceive(sock, reply + got, static_cast<int>(sizeof reply - got), true);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n == 0) {
            break;
        } else if (!netInterrupted(netError())) {
            readError = netError();
            break;
        }
    }
    netClose(sock);

    if (got == 0) {
        if (readError != 0)
            fprintf(err, "vantrel-send: no reply from %s:%d: %s\n", opts.host, opts.port,
                    errorText(readError, why, sizeof why));
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
