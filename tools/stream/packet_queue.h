// The bounded queue between the frame thread, which encodes on the beat, and
// the writer thread, which owns the output. Neither waits on the other beyond
// a push or a pop: when the output is slow and the queue fills, video is
// dropped up to the next keyframe (a frame that refers to a dropped one could
// not be shown) while sound always gets through.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

struct AVPacket;

constexpr int kQueueSlots = 2048;      // packets held at most: about 20 s of picture and sound
constexpr int kQueueVideoLimit = 600;  // video packets held at most: 10 s at 60 a second

enum class PacketKind : uint8_t { kVideo, kAudio };

struct QueuedPacket {
    AVPacket* packet;  // owned by the queue's slot; its contents move in and out
    PacketKind kind;   // which encoder made it
};

struct PacketQueue {
    std::mutex lock;                  // guards everything below
    std::condition_variable ready;    // signalled when a packet or the end arrives
    QueuedPacket slots[kQueueSlots];  // a ring of packets allocated once
    int head;                         // index of the oldest packet
    int count;                        // packets held, 0..kQueueSlots
    int videoCount;                   // of them video
    bool skippingVideo;               // video is dropped until the next keyframe
    bool ended;                       // no packet comes after the ones held
};

// Allocates the slots. Returns false when memory runs out.
bool openPacketQueue(PacketQueue& queue);

// Frees the slots and every packet held.
void closePacketQueue(PacketQueue& queue);

// Moves packet (left empty) into the queue. Returns false when it was dropped
// instead: video while the queue holds kQueueVideoLimit video packets, and
// every video packet after that up to the next keyframe; any packet when all
// slots are full.
bool pushPacket(PacketQueue& queue, AVPacket* packet, PacketKind kind);

// Moves the oldest packet into out and returns true; waits at most waitMs for
// one. Returns false when none came in time, or when the queue has ended and
// is empty (then *ended is set).
bool popPacket(PacketQueue& queue, AVPacket* out, PacketKind& kind, int waitMs, bool* ended);

// No packet comes after the ones held; a waiting pop wakes.
void endPacketQueue(PacketQueue& queue);

// Drops every packet held; returns how many of them were video.
int discardPackets(PacketQueue& queue);
