// Support for the end-to-end tests: child processes with bounded waits, a
// private Xvfb display, X11 lookups and synthetic input, and the two picture
// formats compared (the window captured by xwd, the snapshot tool's PNG).
#pragma once

#include <X11/Xlib.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace e2e {

namespace fs = std::filesystem;

// A started child process whose output goes to two files.
struct Child {
    pid_t pid = -1;      // -1 when never started or already reaped
    bool ended = false;  // reaped; status holds how it ended
    int status = -1;     // exit status, or 128 + signal
    fs::path out;        // its standard output
    fs::path err;        // its standard error
};

// Starts argv[0] (a path) in dir with the given environment ("NAME=value"),
// standard input from /dev/null and its output into out and err. Returns a
// Child with pid -1 when fork fails; an exec failure shows as status 127.
Child spawn(const std::vector<std::string>& argv, const fs::path& dir,
            const std::vector<std::string>& env, const fs::path& out, const fs::path& err);

// Waits up to timeoutMs for the child to end. Returns true with its exit
// status in status (or 128 + signal) when it ended; the child is then reaped.
bool waitExit(Child& child, int timeoutMs, int& status);

// Whether the child is still running (not ended and not reaped).
bool running(Child& child);

// Ends a child that is still running (SIGKILL) and reaps it.
void stop(Child& child);

// Runs a program to its end (at most timeoutMs) and returns its exit status,
// -1 when it did not end in time (it is killed then).
int runToEnd(const std::vector<std::string>& argv, const fs::path& dir,
             const std::vector<std::string>& env, const fs::path& out, const fs::path& err,
             int timeoutMs);

std::string readFile(const fs::path& path);

// The current environment, without the variables named in drop.
std::vector<std::string> environmentWithout(const std::vector<std::string>& drop);

// A private X server: Xvfb on the first free display it finds itself
// (-displayfd), so parallel test processes never pick the same number.
struct VirtualDisplay {
    Child server;
    std::string name;  // ":N"
};

// Starts Xvfb (1024 x 768, 24-bit) and waits until it accepts clients.
// Returns false, with the reason in why, when it cannot.
bool startDisplay(VirtualDisplay& display, const fs::path& logDir, std::string& why);

void stopDisplay(VirtualDisplay& display);

// The first window (depth first from the root) whose WM_NAME is title; 0 if none.
Window findWindow(Display* x, const char* title);

// Waits up to timeoutMs for a viewable window named title; 0 when none came.
// Gives up early when the child ends (its status in status, ended set).
Window waitForWindow(Display* x, const char* title, Child& child, int timeoutMs);

// Sends a key press and release with the given keysym and modifier state.
void sendKey(Display* x, Window window, unsigned long keysym, unsigned int state);

// Asks the window to close as a window manager does for its close box.
void sendClose(Display* x, Window window);

// An RGB picture, 0x00RRGGBB per pixel, rows top first.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;
};

// Reads an XWD file of a TrueColor window (24 or 32 bits per pixel).
bool readXwd(const fs::path& path, Picture& picture, std::string& why);

// Reads a PNG file as 8-bit RGB.
bool readPng(const fs::path& path, Picture& picture, std::string& why);

// Describes how two pictures differ ("" when they are equal).
std::string compare(const Picture& got, const Picture& want);

}  // namespace e2e
