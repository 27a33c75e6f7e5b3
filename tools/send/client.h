// One framed page message over TCP, as vantrel-send sends it.
#pragma once

#include <cstdio>
#include <string>

#include "tools/send/options.h"

constexpr size_t kMaxInputSize = 1 << 20;  // bytes of one message file read at most
constexpr int kConnectTimeoutMs = 10 * 1000;
constexpr int kReplyTimeoutMs = 30 * 1000;  // the listener may serve others first
constexpr int kRetryPauseMs = 50;
constexpr int kMaxReplySize = 256;  // bytes of a reply kept; the listener sends 17

// Reads a message file whole ("-" = standard input) into text. On failure,
// or when it holds more than kMaxInputSize bytes, prints one line on err and
// returns false.
bool readMessageFile(const char* name, std::string& text, FILE* err);

// Sends text framed ("<length>#<text>") on a connection of its own to
// opts.host:opts.port, in opts.split pieces opts.delayMs apart, then reads the
// reply until the listener closes. Prints the reply and a line end on out.
// Returns true only when the reply is exactly "Hello from server"; otherwise,
// or when the connection fails, prints one line naming host and port on err.
bool sendMessage(const SendOptions& opts, const std::string& text, FILE* out, FILE* err);
