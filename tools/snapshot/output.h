// Where vantrel-snapshot's pictures go: names made from a frame pattern, and
// temporary files beside the output, so that a failed run leaves nothing
// under the output's name.
#pragma once

#include <cstddef>

constexpr size_t kMaxPathBytes = 4096;  // the longest output name, terminator included

// Counts the frame-number fields of an output pattern: one "%d", "%5d" or
// "%05d" (widths up to 9) makes a pattern, "%%" stands for a '%'. Returns 0 or
// 1, or -1 for any other use of '%' or a second field.
int framePatternFields(const char* pattern);

// Writes pattern with its field replaced by frame into out (size bytes).
// Returns false when the pattern is malformed or the name does not fit.
bool formatFramePath(const char* pattern, long frame, char* out, size_t size);

// Creates a new empty file beside path, named path and a unique suffix, and
// writes its name into out (size bytes). Returns false, with errno set, when
// it cannot.
bool makeTempBeside(const char* path, char* out, size_t size);
