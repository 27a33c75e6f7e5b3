// The POSIX console: a terminal stays open after the program ends.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "feed/console.h"

bool consoleInput() {
    return isatty(STDIN_FILENO) == 1;
}

const char* consoleEndOfInput() {
    return "Ctrl+D";
}

void exitFailed(int status) {
    fflush(stdout);
    fflush(stderr);
    std::_Exit(status);
}
