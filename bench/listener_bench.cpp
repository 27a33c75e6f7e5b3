// Page messages per second end to end over loopback: a client connects, sends
// one framed page, reads the reply until the server closes. The listener's
// cycle (deadline-bounded reading, framing, trace lines, decoding, reply) is
// measured next to a bare accept/recv/send/close loop on the same kind of
// socket, which is the floor the kernel sets for one connection per message.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "feed/listener.h"
#include "model/page_model.h"

namespace {

// A front page of seven rows, as a page composer sends it (about 900 bytes).
std::string framedPage() {
    static const char* const kRows[] = {
        "Local Forecast",
        "Today",
        "Sunny, high near 17",
        "NW winds 10 to 15 km/h",
        "Tonight",
        "Clear skies, low 4",
        "Frost possible in valleys",
    };
    std::string text = R"({"topPage": 1, "pageData": {"pageNumber": 1, "lineCount": 7, "lines": [)";
    for (int r = 0; r < 7; ++r) {
        if (r > 0) text += ", ";
        text += R"({"rowNumber": )" + std::to_string(r) + R"(, "height": 1, "width": 0, )" +
                R"("color": 2, "border": true, "textData": ")" + kRows[r] + R"("})";
    }
    text += "]}}";
    return std::to_string(text.size()) + "#" + text;
}

int connectTo(int port) {
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(sock);
        return -1;
    }
    return sock;
}

// One message from connect to the server's close; true when it was answered.
bool roundTrip(int port, const std::string& frame) {
    int sock = connectTo(port);
    if (sock < 0) return false;
    (void)send(sock, frame.data(), frame.size(), MSG_NOSIGNAL);
    char reply[64];
    int got = 0;
    ssize_t n;
    while (got < static_cast<int>(sizeof reply) &&
           (n = recv(sock, reply + got, sizeof reply - got, 0)) > 0)
        got += static_cast<int>(n);
    close(sock);
    return got == kFeedReplySize;
}

// The floor: take the whole message, answer, close.
void bareCycle(int listen_sock, int size) {
    int conn = accept(listen_sock, nullptr, nullptr);
    if (conn < 0) return;
    char chunk[kReceiveChunk];
    int received = 0;
    ssize_t n;
    while (received < size && (n = recv(conn, chunk, sizeof chunk, 0)) > 0)
        received += static_cast<int>(n);
    (void)send(conn, kFeedReply, kFeedReplySize, MSG_NOSIGNAL);
    close(conn);
}

// Runs cycle on a server thread while the benchmark loop sends messages.
template <typename Cycle>
void serveAndMeasure(benchmark::State& state, Cycle cycle) {
    presetPageModel();
    int listen_sock = openListener(0x7f000001, 0);  // 127.0.0.1
    int port = feed_bound_port.load();
    const std::string frame = framedPage();
    std::atomic<bool> stop{false};
    std::thread server([&] {
        while (!stop.load())
            cycle(listen_sock, static_cast<int>(frame.size()));
    });
    for (auto _ : state)
        if (!roundTrip(port, frame)) state.SkipWithError("a message was not answered");
    stop.store(true);
    close(connectTo(port));  // wakes the server from accept
    server.join();
    close(listen_sock);
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(std::to_string(frame.size()) + "-byte message");
}

void BM_BareAcceptRecvSendClose(benchmark::State& state) {
    serveAndMeasure(state, bareCycle);
}

void BM_Listener(benchmark::State& state) {
    // The trace goes where a console would take it without slowing anything.
    FILE* quiet = fopen("/dev/null", "w");
    serveAndMeasure(state, [&](int listen_sock, int) { createSock(listen_sock, quiet, quiet); });
    fclose(quiet);
}

}  // namespace

BENCHMARK(BM_BareAcceptRecvSendClose)->UseRealTime();
BENCHMARK(BM_Listener)->UseRealTime();
