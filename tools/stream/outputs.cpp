#include "tools/stream/outputs.h"

extern "C" {
#include <libavcodec/packet.h>
}

#include <chrono>
#include <thread>

#include "feed/net.h"
#include "tools/stream/writer.h"

// ---------------------------------------------------------------------------
// Constants

constexpr int kWaitStepMs = 10;  // how often waitForWriters looks

// ---------------------------------------------------------------------------
// Globals

Output outputs[kMaxOutputs];  // set up by main; then each one's writer and the frame thread
int output_count = 0;         // set by main before the writers start

// ---------------------------------------------------------------------------
// Internal helpers

static AVPacket* fan_copy = nullptr;  // frame thread's own, allocated once: a packet on its way
                                      // to one output

// ---------------------------------------------------------------------------
// Public functions

void fanOutPacket(AVPacket* packet, PacketKind kind) {
    if (fan_copy == nullptr) fan_copy = av_packet_alloc();
    int last = -1;
    for (int i = 0; i < output_count; ++i)
        if (!outputs[i].failed.load() && !outputs[i].done.load()) last = i;
    for (int i = 0; i <= last; ++i) {
        Output& o = outputs[i];
        if (o.failed.load() || o.done.load()) continue;
        // The last output takes the packet itself; the others a copy each
        // of their own, so that no two writers ever share a buffer's count.
        AVPacket* mine = packet;
        if (i != last) {
            if (fan_copy == nullptr || av_packet_ref(fan_copy, packet) < 0 ||
                av_packet_make_writable(fan_copy) < 0) {
                if (fan_copy != nullptr) av_packet_unref(fan_copy);
                if (kind == PacketKind::kVideo) o.status.dropped.fetch_add(1);
                continue;
            }
            mine = fan_copy;
        }
        if (!pushPacket(o.queue, mine, kind) && kind == PacketKind::kVideo)
            o.status.dropped.fetch_add(1);
    }
    av_packet_unref(packet);
}

bool startWriters(const EncodedStreams& streams) {
    for (int i = 0; i < output_count; ++i)
        if (!startWriter(outputs[i], streams)) return false;
    return true;
}

bool anyOutputGoes() {
    for (int i = 0; i < output_count; ++i)
        if (!outputs[i].failed.load()) return true;
    return false;
}

void stopOutputs(int64_t deadlineMs) {
    for (int i = 0; i < output_count; ++i) {
        Output& o = outputs[i];
        // An output that is not live has nothing to finish: an attempt under
        // way gives up now instead of holding the stop.
        const bool live = o.status.state.load() == static_cast<int>(OutputState::kLive);
        if (!live) o.bounds.abort.store(true);
        o.stopDeadlineMs.store(deadlineMs);
        endPacketQueue(o.queue);
    }
}

bool waitForWriters(int64_t deadlineMs) {
    for (int i = 0; i < output_count; ++i) {
        while (!outputs[i].done.load()) {
            if (netNowMs() >= deadlineMs) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(kWaitStepMs));
        }
    }
    return true;
}

bool someOutputFailed() {
    for (int i = 0; i < output_count; ++i)
        if (outputs[i].failed.load() || !outputs[i].status.everLive.load()) return true;
    return false;
}
