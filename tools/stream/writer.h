// An output's writer thread: it owns the output. It opens it (a recording is
// opened before the stream starts, a network output here, again and again
// when it fails), takes packets from the output's queue and writes them, and
// finishes the output when the stream ends. A network output that fails is
// reconnected after 2 s, each wait 1.5 times the one before with a little
// jitter, at most 60 s; while it is away, its queue is emptied so that the
// display goes on. Every connection starts at the next regular keyframe.
#pragma once

#include <cstdint>
#include <string>

#include "tools/stream/output.h"

struct Output;

constexpr int64_t kFirstRetryMs = 2000;     // the wait after the first failure
constexpr int64_t kLastRetryMs = 60000;     // waits grow no longer than this
constexpr int64_t kSteadyLiveMs = 10000;    // a connection live this long starts the waits afresh
constexpr int64_t kRefusedWithinMs = 2000;  // a server that hangs up this soon refused the stream

// The wait before the next attempt after attempt failures in a row (1 for
// the first): 2 s grown 1.5 times per failure, at most 60 s, then spread by
// jitter (-0.1..0.1) so that many channels do not knock at once; a spread
// wait never exceeds 60 s.
int64_t retryWaitMs(int failures, double jitter);

// The failure of an attempt in words a user acts on, told from the
// libraries' return value code (AVERROR), the protocol's answer in their
// first logged line (logged: the resolver's, an RTMP server's error status)
// and error, the stream's own text for it. early: the attempt failed while
// connecting or within kRefusedWithinMs of going live; a server that hangs up
// then without a word refuses the stream, as ingests do with a wrong key.
// mendable becomes false for an unknown host and a refusal, which waiting
// does not cure.
std::string describeFailure(int code, bool early, const std::string& error,
                            const std::string& logged, bool& mendable);

// Starts the writer thread of output, whose packets are described by streams
// (both must outlive the thread). Returns false when it could not be started.
bool startWriter(Output& output, const EncodedStreams& streams);
