// What the preview needs of its platform besides the window and the sockets:
// the local time of the clock line and a frame sleep that lasts what it says.
// app/platform_posix.cpp and app/platform_win32.cpp each give the whole set.
#pragma once

#include <ctime>

// Makes standard output and standard error write their bytes as they are (no
// CR before each line end on Windows), so the trace reads the same everywhere.
void rawConsole();

// The calendar time now, broken down into local time.
struct tm localTimeNow();

// Makes short sleeps precise until frameTimerStop: a 16 ms sleep on Windows
// otherwise lasts up to a whole 15.6 ms timer tick longer.
void frameTimerStart();

// Gives back what frameTimerStart took.
void frameTimerStop();
