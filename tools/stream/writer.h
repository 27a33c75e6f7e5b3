// The writer thread: it owns the output. It opens it (a recording is opened
// before the stream starts, a network output here, again and again when it
// fails), takes packets from the queue and writes them, and finishes the
// output when the stream ends. A network output that fails is reconnected
// after 2 s, each wait 1.5 times the one before with a little jitter, at most
// 60 s; while it is away, the queue is emptied so that the display goes on.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "tools/stream/output.h"
#include "tools/stream/packet_queue.h"
#include "tools/stream/target.h"

constexpr int64_t kFirstRetryMs = 2000;   // the wait after the first failure
constexpr int64_t kLastRetryMs = 60000;   // waits grow no longer than this
constexpr int64_t kSteadyLiveMs = 10000;  // a connection live this long starts the waits afresh

// What the writer needs; it must outlive the thread.
struct WriterSetup {
    const StreamTarget* target;     // where the stream goes
    const EncodedStreams* streams;  // what every connection carries
    PacketQueue* queue;             // packets from the frame thread
    int retries;                    // failed attempts in a row before giving up; -1: never
    StreamOutput opened;            // a recording opened before the start; closed otherwise
};

extern std::atomic<bool> keyframe_wanted;  // set by the writer when a connection opens;
                                           // taken by the frame thread for its next frame
extern std::atomic<bool> writer_failed;    // set by the writer when it gave up for good
extern std::atomic<bool> writer_done;      // set by the writer as it ends

// The wait before the next attempt after attempt failures in a row (1 for
// the first): 2 s grown 1.5 times per failure, at most 60 s, then spread by
// jitter (-0.1..0.1) so that many channels do not knock at once; a spread
// wait never exceeds 60 s.
int64_t retryWaitMs(int failures, double jitter);

// The failure of an attempt in words a user acts on, from the libraries' own
// text (error, and their last logged line): an unknown host, a refused stream
// key. mendable becomes false for those, which waiting does not cure.
std::string describeFailure(const std::string& error, const std::string& logged, bool& mendable);

// Starts the writer thread. Returns false when it could not be started.
bool startWriter(WriterSetup& setup);

// Asks the writer to finish: write what is queued (the queue has ended),
// close the output, all before deadlineMs (monotonic), then end.
void finishWriter(int64_t deadlineMs);

// Waits until the writer has ended or deadlineMs has passed; true when it ended.
bool waitForWriter(int64_t deadlineMs);
