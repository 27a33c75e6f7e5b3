// What many tests share: a scratch folder, a program run as a user runs it,
// a page model of a test's own, and pages stored as the feed stores them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "model/page_model.h"
#include "model/shared_bytes.h"

// A new, empty folder under the system's temporary folder, removed with
// everything in it when the record goes, unless keep is set (to look at a failure).
struct TempFolder {
    std::filesystem::path path;
    bool keep = false;

    // A random name: the same tests of other checkouts may run beside these.
    explicit TempFolder(const std::string& name)
        : path(std::filesystem::temp_directory_path() /
               ("vantrel-" + name + "-" + std::to_string(std::random_device{}()))) {
        std::filesystem::create_directories(path);
    }
    ~TempFolder() {
        std::error_code ignored;  // a folder still open elsewhere stays
        if (!keep) std::filesystem::remove_all(path, ignored);
    }
    // Writes text into the file name in the folder; returns its path.
    std::string write(const std::string& name, const std::string& text) const {
        std::ofstream(path / name, std::ios::binary) << text;
        return (path / name).string();
    }
};

inline std::string readWhole(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Runs program with args through the shell, as a user would (args may redirect
// standard input), with standard error joined to standard output, calling
// serve() once it has started, so that the test can play the other end (a
// listener, say). Returns its exit status (-1 when it did not run or exit),
// with what it printed in output.
template <typename Serve = void (*)()>
int runProgram(
    std::string program, const std::string& args, std::string& output, Serve serve = [] {}) {
#ifdef _WIN32  // the command interpreter takes '/' for an option
    std::replace(program.begin(), program.end(), '/', '\\');
#else
    program = "'" + program + "'";
#endif
    output.clear();
    FILE* pipe = popen((program + " " + args + " 2>&1").c_str(), "r");
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

// A page model apart from the live one, in the start-up state. Large: keep it
// static or on the heap.
struct PrivateModel {
    PageRecord pages[kPageCount] = {};
    uint8_t omcw[kOmcwSize] = {}, solidDirty = 0, pageDirty = 0;

    PrivateModel() { presetPageModel(view()); }
    PageModel view() { return {pages, omcw, &solidDirty, &pageDirty}; }
};

constexpr uint8_t rowSize(int height, int width) {
    return static_cast<uint8_t>(height << 2 | width);
}

struct RowSpec {
    uint8_t size, color;  // rowSize and rowColor
    std::string text = "A";
    uint8_t attr = 0;  // kRow* bits
};

struct PageSetup {
    uint8_t motion;  // kMotion* bits
    std::vector<RowSpec> rows;
    int pageNumber = -1, lineCount = -1;  // record fields, when not its number and rows.size()
};

// Stores page n in the live store as the feed does: the whole record, then page_dirty.
inline void storePage(int n, const PageSetup& setup) {
    PageRecord& p = pagestore[n] = PageRecord{};
    p.pageNumber = static_cast<uint8_t>(setup.pageNumber < 0 ? n : setup.pageNumber);
    p.lineCount = static_cast<uint8_t>(setup.lineCount < 0 ? setup.rows.size() : setup.lineCount);
    p.motionFlags = setup.motion;
    for (size_t i = 0; i < setup.rows.size(); ++i) {
        p.style[i] = {.rowAttr = setup.rows[i].attr, .rowColor = setup.rows[i].color};
        p.shape[i].rowSize = setup.rows[i].size;
        setup.rows[i].text.copy(reinterpret_cast<char*>(p.rowText[i]), kRowTextSize);
    }
    raiseFlag(page_dirty);
}
