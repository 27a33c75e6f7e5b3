// The Windows console: one that Explorer opened for the program closes when the
// program ends, taking its last message with it.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "feed/console.h"

constexpr DWORD kIdleMs = 1000;  // sleep of a thread that waits for another to end the process

static std::atomic_flag exiting = ATOMIC_FLAG_INIT;  // set by the first exitFailed, never cleared

// Waits for the thread that is ending the process.
[[noreturn]] static void idle() {
    for (;;)
        Sleep(kIdleMs);
}

// GetConsoleMode succeeds only on a console: a file, a pipe or the NUL device fail.
static bool isConsole(DWORD which) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

// A program started from cmd, PowerShell or a script shares the console of
// its shell; one started from Explorer is the only process on a console of its
// own.
static bool consoleClosesWithProcess() {
    DWORD ids[2];
    return GetConsoleProcessList(ids, 2) == 1 && isConsole(STD_INPUT_HANDLE) &&
           isConsole(STD_ERROR_HANDLE);
}

bool consoleInput() {
    return isConsole(STD_INPUT_HANDLE);
}

const char* consoleEndOfInput() {
    return "Ctrl+Z then Enter";
}

void exitFailed(int status) {
    fflush(stdout);
    fflush(stderr);
    if (exiting.test_and_set()) idle();
    if (consoleClosesWithProcess()) {
        // Another thread that ends the program normally meanwhile must not end
        // it with status 0 and close the console under the prompt.
        std::atexit(idle);
        fputs("press Enter to close\n", stderr);
        fflush(stderr);
        for (int c = getchar(); c != EOF && c != '\n';)
            c = getchar();
    }
    std::_Exit(status);
}
