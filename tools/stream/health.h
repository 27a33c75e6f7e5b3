// The stream's health for a monitoring system: a small JSON object in a file,
// rewritten every 5 seconds by a thread of its own, each time whole (written
// beside, then renamed over the old one), so that a reader never sees half
// of one. A file that cannot be written is said once, and the stream goes on.
#pragma once

#include <string>

constexpr int kHealthEveryMs = 5000;  // how often the file is rewritten

// The object as it stands now, on one line.
std::string healthJson();

// Writes the file now. Returns false with the reason in error.
bool writeHealth(const char* path, std::string& error);

// Starts the thread that rewrites path every 5 s (path must outlive it).
bool startHealth(const char* path);
