// Runs a program through the shell, as a user would, while the test plays its
// other end (a listener, say) in this process; and reads back the files it wrote.
#pragma once

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#ifndef _WIN32
#include <sys/wait.h>
#endif

// A program's path as the shell takes it: the Windows command interpreter
// reads '/' as the start of an option.
inline std::string shellPath(std::string path) {
#ifdef _WIN32
    std::replace(path.begin(), path.end(), '/', '\\');
#endif
    return path;
}

// Runs command with standard error joined to standard output, calling serve()
// once it has started; returns its exit status (-1 when it did not run or
// exit), with what it printed in output.
template <typename Serve>
int runCommand(const std::string& command, std::string& output, Serve serve) {
    output.clear();
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return -1;
    serve();
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;)
        output.append(buf, n);
    const int status = pclose(pipe);
#ifdef _WIN32
    return status;
#else
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

inline int runCommand(const std::string& command, std::string& output) {
    return runCommand(command, output, [] {});
}

inline std::string readWhole(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
