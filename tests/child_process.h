// A program run by a test in the background, with its output in files: the
// end-to-end and stream tests start the real programs this way and end them
// with a signal of their choice.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

// A child process started in dir, input from /dev/null, output into
// dir/NAME.out and dir/NAME.err, except the descriptors in terminal, which go
// to a terminal that nobody types into. Ended (SIGTERM, then SIGKILL) when it
// goes out of scope.
struct Child {
    pid_t pid = -1;
    int status = -1;  // exit status, or 128 + signal, once ended
    std::filesystem::path out, err;
    int terminal_side = -1;  // our side of the terminal, open while the child runs

    Child(const std::vector<std::string>& argv, const std::filesystem::path& dir,
          const std::string& name, const std::vector<int>& terminal = {})
        : out(dir / (name + ".out")), err(dir / (name + ".err")) {
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        std::string terminal_name;
        if (!terminal.empty() && (terminal_side = posix_openpt(O_RDWR | O_NOCTTY)) >= 0 &&
            grantpt(terminal_side) == 0 && unlockpt(terminal_side) == 0)
            terminal_name = ptsname(terminal_side);
        if ((pid = fork()) != 0) return;
        const int in = open("/dev/null", O_RDONLY);
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int t = terminal.empty() ? 0 : open(terminal_name.c_str(), O_RDWR | O_NOCTTY);
        if (in < 0 || o < 0 || e < 0 || t < 0 || chdir(dir.c_str()) != 0) _exit(126);
        dup2(in, 0), dup2(o, 1), dup2(e, 2);
        for (int fd : terminal)
            dup2(t, fd);
        execv(args[0], args.data());
        _exit(127);
    }
    ~Child() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            if (!ended(std::chrono::seconds(5))) kill(pid, SIGKILL), ended(std::chrono::seconds(5));
        }
        if (terminal_side >= 0) close(terminal_side);
    }
    // Whether the process ended within limit; it is reaped then.
    bool ended(std::chrono::steady_clock::duration limit = {}) {
        for (const auto end = std::chrono::steady_clock::now() + limit; pid > 0;
             std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
            int raw = 0;
            if (waitpid(pid, &raw, WNOHANG) == pid) {
                pid = -1;
                status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            } else if (std::chrono::steady_clock::now() >= end) {
                return false;
            }
        }
        return true;
    }
};
