// The stream's lines, and nobody waits for them. A channel's log reader (the
// journal, a pipe, a terminal) may stop reading at any time; the threads that
// make frames and take pages must go on all the same. So every line goes into
// a bounded queue, and a thread of its own writes the queue out: one for
// standard output, one for standard error, so that a reader who stops
// reading one of them holds up no line of the other. When the
// queue is full a line is counted and dropped, and the count is said once the
// log drains. A line said again and again (refused senders, the same failure)
// is said once a minute with "(N more like it)".
//
// Whatever else the process prints (the font loader, a library) is caught
// too: standard output and standard error become pipes that a reader thread
// empties into the same queues, so no printf can block either; those lines
// are never folded.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kLogQueueLines = 256;          // lines held at most before lines are dropped
constexpr int kLogLineBytes = 4352;          // a longer line is cut to this: a whole message fits
constexpr int64_t kLogLikeWindowMs = 60000;  // a line like an earlier one is said once this long

enum class LogTo : int { kOutput = 1, kError = 2 };  // standard output or standard error

// Takes over standard output and standard error and starts the threads.
// terminal: standard error is a terminal, where the status line is drawn in
// place at the bottom and every other line is printed above it. Returns false
// (with nothing changed) when a pipe or a thread could not be made.
bool startLog(bool terminal);

// Queues one line (no line end needed); never waits. Lines of standard error
// that differ only in their digits are alike: the second and later within a
// minute are counted and said as "(N more like it)", unless fold is false (a
// summary, which differs only in its figures by nature). Before startLog the
// line is written at once.
void logLine(LogTo to, const char* text, bool fold = true);

// Queues text made of whole lines, each one on its own; never waits. For
// standard output, which traces pages and is never folded.
void logText(LogTo to, const char* text, size_t size);

// The terminal's status line: replaces the one shown (nothing without a
// terminal).
void logStatusLine(const char* text);

// Waits until every queued line is written or deadlineMs (monotonic) passes;
// true when the queue is empty. For the end of the run.
bool drainLog(int64_t deadlineMs);

// Lines dropped so far because the queue was full.
int64_t logDroppedLines();
