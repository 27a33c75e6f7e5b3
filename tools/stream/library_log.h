// What FFmpeg's libraries say while the stream runs: kept, not printed, so
// that the stream's own lines stay readable and can say in plain words why a
// connection failed (the library's last error names the host that did not
// resolve, or the server's refusal).
#pragma once

// Routes the libraries' messages here from now on.
void captureLibraryLog();

// Forgets the last error, before an attempt whose failure is to be explained.
void clearLibraryError();

// The libraries' last error line since clearLibraryError, without its line
// end; empty when there was none.
void lastLibraryError(char* out, int size);
