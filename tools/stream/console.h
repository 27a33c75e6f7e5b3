// The terminal a stream runs in: its status line stands at the bottom, and
// what goes to standard output (the fonts loaded, the trace of every page
// message) is printed above it, line by line, instead of through it.
#pragma once

// When standard output and standard error are the same kind of terminal the
// status line is drawn on, passes standard output through a pipe and a thread
// of its own that prints each whole line above the status line. Does nothing
// otherwise (a log, a file, --quiet). Call before anything is printed.
void keepOutputAboveStatus(bool statusShown);
