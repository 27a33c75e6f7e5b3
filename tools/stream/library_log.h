// What FFmpeg's libraries say while the stream runs: kept, not printed, so
// that the stream's own lines stay readable and can say in plain words why a
// connection failed (the library's first error names the host that did not
// resolve, or the server's refusal).
#pragma once

// Routes the libraries' messages here from now on.
void captureLibraryLog();

// Forgets what was kept on this thread, before an attempt whose failure is to be explained.
void clearLibraryError();

// The libraries' first error line on this thread since clearLibraryError (the cause, before
// what failed because of it), without its line end; empty when there was none.
void lastLibraryError(char* out, int size);
