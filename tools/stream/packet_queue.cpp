#include "tools/stream/packet_queue.h"

extern "C" {
#include <libavcodec/packet.h>
}

#include <chrono>

bool openPacketQueue(PacketQueue& q) {
    q.head = q.count = q.videoCount = 0;
    q.skippingVideo = q.ended = false;
    for (QueuedPacket& slot : q.slots) {
        slot.packet = av_packet_alloc();
        if (slot.packet == nullptr) return false;
    }
    return true;
}

void closePacketQueue(PacketQueue& q) {
    for (QueuedPacket& slot : q.slots)
        av_packet_free(&slot.packet);
    q.count = q.videoCount = 0;
}

bool pushPacket(PacketQueue& q, AVPacket* packet, PacketKind kind) {
    {
        std::lock_guard<std::mutex> hold(q.lock);
        if (kind == PacketKind::kVideo) {
            const bool key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
            if (q.videoCount >= kQueueVideoLimit || q.count == kQueueSlots)
                q.skippingVideo = true;
            else if (key)
                q.skippingVideo = false;
            if (q.skippingVideo) {
                av_packet_unref(packet);
                return false;
            }
        } else if (q.count == kQueueSlots) {
            av_packet_unref(packet);
            return false;
        }
        QueuedPacket& slot = q.slots[(q.head + q.count) % kQueueSlots];
        av_packet_move_ref(slot.packet, packet);
        slot.kind = kind;
        ++q.count;
        if (kind == PacketKind::kVideo) ++q.videoCount;
    }
    q.ready.notify_one();
    return true;
}

bool popPacket(PacketQueue& q, AVPacket* out, PacketKind& kind, int waitMs, bool* ended) {
    std::unique_lock<std::mutex> hold(q.lock);
    q.ready.wait_for(hold, std::chrono::milliseconds(waitMs),
                     [&] { return q.count > 0 || q.ended; });
    if (ended != nullptr) *ended = q.ended && q.count == 0;
    if (q.count == 0) return false;
    QueuedPacket& slot = q.slots[q.head];
    av_packet_move_ref(out, slot.packet);
    kind = slot.kind;
    q.head = (q.head + 1) % kQueueSlots;
    --q.count;
    if (kind == PacketKind::kVideo) --q.videoCount;
    return true;
}

void endPacketQueue(PacketQueue& q) {
    {
        std::lock_guard<std::mutex> hold(q.lock);
        q.ended = true;
    }
    q.ready.notify_all();
}

int discardPackets(PacketQueue& q) {
    std::lock_guard<std::mutex> hold(q.lock);
    const int video = q.videoCount;
    for (; q.count > 0; --q.count) {
        av_packet_unref(q.slots[q.head].packet);
        q.head = (q.head + 1) % kQueueSlots;
    }
    q.videoCount = 0;
    // What comes next may refer to what went: wait for a keyframe.
    if (video > 0) q.skippingVideo = true;
    return video;
}
