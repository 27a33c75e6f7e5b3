#include "tools/stream/console.h"

#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "tools/stream/status.h"

constexpr size_t kLongestLine = 8192;  // a longer line is printed in pieces

// Copies lines from the pipe to the real standard output, each one whole.
static void passLines(int from, int to) {
    std::string line;
    char chunk[4096];
    for (ssize_t n; (n = read(from, chunk, sizeof chunk)) > 0;) {
        line.append(chunk, static_cast<size_t>(n));
        for (size_t end;
             (end = line.find('\n')) != std::string::npos || line.size() > kLongestLine;) {
            const size_t take = end != std::string::npos ? end + 1 : line.size();
            sayOutput(to, line.data(), take);
            line.erase(0, take);
        }
    }
}

void keepOutputAboveStatus(bool statusShown) {
    if (!statusShown || isatty(STDOUT_FILENO) == 0 || isatty(STDERR_FILENO) == 0) return;
    int ends[2];
    if (pipe(ends) != 0) return;
    const int terminal = dup(STDOUT_FILENO);
    if (terminal < 0 || dup2(ends[1], STDOUT_FILENO) < 0) return;
    close(ends[1]);
    // A pipe would otherwise hold lines back until its buffer fills.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::thread(passLines, ends[0], terminal).detach();
}
