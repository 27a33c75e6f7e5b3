// The names of a recording's files. A name may hold strftime fields
// (archive-%Y%m%d-%H%M%S.mp4), filled in with the local time when each file
// starts, so that a restart or the next segment makes a file of its own and
// never touches a finished one. The same pattern, read backwards, tells which
// files of a folder are the stream's own, so that --keep-for removes old
// segments and nothing else.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "tools/stream/target.h"

constexpr int kMaxNameSuffix = 999;  // name-1 .. name-999 are tried when a name is taken

extern int64_t recording_segment_frames;  // --segment: a file's length in frames; 0: one file.
                                          // Set by main before the writer starts
extern int64_t recording_keep_seconds;    // --keep-for: older files of the pattern go; 0: all
                                          // stay. Set by main before the writer starts

// Whether pattern holds a time field (a '%' other than "%%").
bool hasTimeFields(const char* pattern);

// Checks that pattern's time fields are ones the stream can read back from a
// name (%Y %m %d %H %M %S %y %j %s %F %T %R %G %g %V %U %W %u %w %C %%) and
// that they stand in the file's name, not its folder. False with one line's
// reason in why.
bool checkNamePattern(const char* pattern, std::string& why);

// The pattern with its fields filled in from when (strftime).
std::string expandNamePattern(const char* pattern, const struct tm& when);

// name when no file (of any kind) has it; else the first of name-1, name-2,
// ... (before the ending: archive-1.mp4) that is free. Empty when none is.
std::string unusedName(const std::string& name);

// Whether fileName (no folder) is a name pattern makes: its file part with
// every field matched by digits of the field's width, possibly with the -N
// that unusedName adds. A folder in pattern is left out of the match.
bool matchesNamePattern(const char* pattern, const char* fileName);

// Removes the regular files in pattern's folder whose names pattern makes,
// last written more than keepSeconds before now, except the files named in
// writing (null entries skipped; count of them in writingCount). Says a line
// for each file removed and each one that cannot be. Returns how many went.
int removeExpiredRecordings(const char* pattern, const char* const* writing, int writingCount,
                            int64_t keepSeconds, time_t now);

// Checks --segment and --keep-for against the output: both need a recording
// (not a playlist or a network stream) named with time fields.
// segmentFrames and keepSeconds are 0 when not given. False with one line's
// reason in why.
bool checkRecordingOptions(const StreamTarget& target, int64_t segmentFrames, int64_t keepSeconds,
                           std::string& why);

// Checks a local output's name before the start: a FIFO, a device or a
// folder is refused (a recording goes to a file of its own); a recording with
// a plain name that exists is refused unless overwrite. A name with time
// fields and a playlist that exists are fine (a new file; a continued
// playlist). False with one line's reason in why.
bool checkOutputPath(const StreamTarget& target, bool overwrite, std::string& why);
