// The preview window: a 720 x 480 client area that shows win_present_buf, and
// the system's only input (close box, Escape, Q). Only app/window_sdl.cpp
// (Linux) and app/window_win32.cpp (Windows) know their window system.
#pragma once

constexpr const char* kWindowTitle = "van_trel preview";
constexpr const char* kWindowClass = "vantrel_preview";

// Creates and shows the window, client area exactly 720 x 480, not resizable.
// Returns false on any failure (no display, no video driver, no window).
bool winCreate();

// Shows win_present_buf at the client area's top-left, pixel for pixel: only
// the rows the last frame rewrote (present_first_row..present_end_row - 1;
// nothing for an empty band), except on the first present into a window
// surface, which shows the whole buffer. Does nothing without a window or a
// present buffer.
void winPresent();

// Handles every pending window event without waiting.
void winPump();

// Destroys the window and shuts the window system down.
void winDestroy();
