// Page message decoding: one JSON page message becomes changes of a page model.
#pragma once

// Declarations only: the tokenizer's code is compiled once, in decode.cpp.
#ifndef JSMN_HEADER
#define JSMN_HEADER
#include <jsmn.h>
#undef JSMN_HEADER
#else
#include <jsmn.h>
#endif

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "model/page_model.h"

struct DecodeReport;  // optional trace of what a decode did (feed/decode_report.h)

// The page stored last into the live page model (0 before any) and when, in
// calendar seconds: what a stream's health report shows. Set by the decoder
// after each commit into the live model; read by anyone.
extern std::atomic<int> last_page_stored;
extern std::atomic<int64_t> last_page_stored_at;

// Applies one message to the live page model. text is the message buffer with
// every byte before the first '{' blanked; it is read up to its first NUL.
// A text that does not parse changes nothing. The alert switch line
// "advisory/warning page %d: switching display\n" goes to out (none when out
// is null). Returns the page stored, 0 when the message stored none.
int decodeMessage(const char* text, FILE* out = stdout);

// The same decoder, writing into any page model. When report is null it prints
// the alert switch line "advisory/warning page %d: switching display\n" on out
// (none when out is null); when report is not null it prints nothing and
// records, key by key, what it did (the page checker's view of a message).
// Returns the page stored, 0 when the message stored none.
int decodeMessageInto(const PageModel& model, const char* text, DecodeReport* report,
                      FILE* out = stdout);

// 0 when tok is a string token whose text is exactly name, -1 otherwise.
int jsoneq(const char* json, const jsmntok_t* tok, const char* name);
