// The pieces of vantrel-snapshot: what it reads, and the PNG it writes.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "feed/listener.h"

// Turns the text of a message file into what the listener hands the decoder
// when a sender sends that text framed as "<length>#<text>": at most
// kMessageCapacity bytes of the framed message, everything before the first
// '{' blanked. Returns false, leaving out empty, when no '{' survives.
bool frameAsListener(const std::string& text, std::string& out);

// Reads a whole message file. Returns false when it cannot be read or holds
// more than maxBytes (its length goes into the frame, so it is read whole).
bool readMessageText(const char* path, size_t maxBytes, std::string& out);

// Writes width x height 0x00RRGGBB words as an 8-bit RGB PNG. Returns false,
// with the reason in error, when the file cannot be written. Not reentrant:
// the RGB rows are kept in one buffer for the next call.
bool writeRgbPng(const char* path, const uint32_t* words, int width, int height,
                 std::string& error);
