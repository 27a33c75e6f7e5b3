// The platform's socket library: started before the listener exists and
// released at shutdown. On POSIX systems sockets need no start-up.
#pragma once

// Starts the socket library. Returns false when it could not be started.
bool netStartup();

// Releases the socket library.
void netCleanup();
