// Page message decoding: one JSON page message becomes changes of a page model.
#pragma once

#include <jsmn.h>

#include "model/page_model.h"

struct DecodeReport;  // optional trace of what a decode did (feed/decode_report.h)

// Applies one message to the live page model. text is the message buffer with
// every byte before the first '{' blanked; it is read up to its first NUL.
void decodeMessage(const char* text);

// The same decoder, writing into any page model. When report is not null it
// also records, key by key, what the decoder did (used by the page checker).
void decodeMessageInto(const PageModel& model, const char* text, DecodeReport* report);

// 0 when tok is a string token whose text is exactly name, -1 otherwise.
int jsoneq(const char* json, const jsmntok_t* tok, const char* name);
