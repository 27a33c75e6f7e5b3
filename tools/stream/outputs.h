// The stream's outputs: one composition and one encode feed every output
// named with -o (a platform, a recording, a playlist), each with its own
// queue, writer thread, state and counters, so that a slow, dead or failed
// output never holds back another one or the beat.
#pragma once

#include <atomic>
#include <cstdint>

#include "tools/stream/output.h"
#include "tools/stream/packet_queue.h"
#include "tools/stream/status.h"
#include "tools/stream/target.h"

struct AVPacket;

constexpr int kMaxOutputs = 8;  // -o given at most this many times

struct Output {
    const char* name;                // -o as given
    char shown[kShownNameSize];      // the name fit for a line: no stream key, no password
    StreamTarget target;             // where it goes and how failures are met
    PacketQueue queue;               // packets from the frame thread to its writer
    OutputStatus status;             // its figures
    OutputBounds bounds;             // how long its writer's blocking call may take
    StreamOutput opened;             // a recording opened before the start; the writer's after
    int retries;                     // failed attempts in a row before giving up; -1: never
    std::atomic<int64_t> stopDeadlineMs;  // 0 until the stream ends; set by stopOutputs
    std::atomic<bool> failed;        // it gave up for good; writer
    std::atomic<bool> done;          // its writer has ended; writer
};

extern Output outputs[kMaxOutputs];  // the first output_count are in use; set up before the start
extern int output_count;             // 0..kMaxOutputs; set by main before the writers start

// Hands one encoded packet to every output still going (each gets its own
// reference). A queue that refuses video counts it in that output's dropped.
void fanOutPacket(AVPacket* packet, PacketKind kind);

// Starts every output's writer thread. Returns false when one could not start.
bool startWriters(const EncodedStreams& streams);

// Whether any output still goes (not failed for good).
bool anyOutputGoes();

// Asks every writer to finish by deadlineMs: a live output writes what it
// holds and closes properly, one that is not live gives up at once.
void stopOutputs(int64_t deadlineMs);

// Waits until every writer has ended or deadlineMs passed; true when all ended.
bool waitForWriters(int64_t deadlineMs);

// Whether some output failed for good, or ended without ever going live.
bool someOutputFailed();
