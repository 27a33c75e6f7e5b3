// The console the programs run in: whether a person types their standard
// input, and an end after a failure that leaves its message readable.
// feed/console_posix.cpp and feed/console_win32.cpp each give the whole set.
#pragma once

// True when standard input is a console or a terminal, where a person types
// it, rather than a file or a pipe.
bool consoleInput();

// The keys that end typed input: "Ctrl+Z then Enter" on Windows, "Ctrl+D"
// elsewhere.
const char* consoleEndOfInput();

// Ends the process with status after a failure whose message is written
// already; standard output and standard error are flushed, nothing else is
// released. On Windows, when the console would close with the process (it was
// started from Explorer, not from a shell, and its input and errors are that
// console), it first writes "press Enter to close" and waits for Enter, so
// that the message can be read. Safe from any thread; the first caller ends
// the process.
[[noreturn]] void exitFailed(int status);
