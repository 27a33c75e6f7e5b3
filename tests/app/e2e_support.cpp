#include "e2e_support.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <png.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace e2e {

namespace {

constexpr int kPollMs = 20;
constexpr int kXvfbStartMs = 20000;
constexpr size_t kXwdHeaderWords = 25;
constexpr size_t kXwdColorSize = 12;

using Clock = std::chrono::steady_clock;

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

uint32_t bigEndian32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

int maskShift(uint32_t mask) {
    int shift = 0;
    while (mask != 0 && (mask & 1) == 0) {
        mask >>= 1;
        ++shift;
    }
    return shift;
}

}  // namespace

Child spawn(const std::vector<std::string>& argv, const fs::path& dir,
            const std::vector<std::string>& env, const fs::path& out, const fs::path& err) {
    Child child;
    child.out = out;
    child.err = err;
    std::vector<char*> args, envp;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return child;
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        const int in = open("/dev/null", O_RDONLY);
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || o < 0 || e < 0 || chdir(dir.c_str()) != 0) _exit(126);
        dup2(in, 0);
        dup2(o, 1);
        dup2(e, 2);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    child.pid = pid;
    return child;
}

namespace {

// Reaps the child if it has ended (waiting when block is set); true once reaped.
bool reap(Child& child, bool block) {
    if (child.ended) return true;
    if (child.pid < 0) return false;
    int raw = 0;
    if (waitpid(child.pid, &raw, block ? 0 : WNOHANG) != child.pid) return false;
    child.pid = -1;
    child.ended = true;
    child.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return true;
}

}  // namespace

bool waitExit(Child& child, int timeoutMs, int& status) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!reap(child, false)) {
        if (child.pid < 0 || Clock::now() >= deadline) return false;
        sleepMs(kPollMs);
    }
    status = child.status;
    return true;
}

bool running(Child& child) {
    return child.pid >= 0 && !reap(child, false);
}

void stop(Child& child) {
    if (child.pid < 0) return;
    kill(child.pid, SIGKILL);
    reap(child, true);
}

int runToEnd(const std::vector<std::string>& argv, const fs::path& dir,
             const std::vector<std::string>& env, const fs::path& out, const fs::path& err,
             int timeoutMs) {
    Child child = spawn(argv, dir, env, out, err);
    int status = -1;
    if (!waitExit(child, timeoutMs, status)) {
        stop(child);
        return -1;
    }
    return status;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> environmentWithout(const std::vector<std::string>& drop) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool keep = true;
        for (const std::string& name : drop)
            if (entry.compare(0, name.size() + 1, name + "=") == 0) keep = false;
        if (keep) env.push_back(entry);
    }
    return env;
}

bool startDisplay(VirtualDisplay& display, const fs::path& logDir, std::string& why) {
    int fds[2];
    if (pipe(fds) != 0) {
        why = "pipe failed";
        return false;
    }
    const std::string fd = std::to_string(fds[1]);
    // The write end stays open across exec (no close-on-exec) for Xvfb to report on.
    display.server =
        spawn({XVFB_PATH, "-displayfd", fd, "-screen", "0", "1024x768x24", "-nolisten", "tcp",
               "-noreset"},
              logDir, environmentWithout({}), logDir / "xvfb.out", logDir / "xvfb.err");
    close(fds[1]);
    std::string number;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kXvfbStartMs);
    while (Clock::now() < deadline && number.find('\n') == std::string::npos) {
        pollfd p = {fds[0], POLLIN, 0};
        if (poll(&p, 1, kPollMs * 5) > 0) {
            char buf[16];
            const ssize_t n = read(fds[0], buf, sizeof buf);
            if (n <= 0) break;
            number.append(buf, static_cast<size_t>(n));
        }
    }
    close(fds[0]);
    if (number.empty() || number.find('\n') == std::string::npos) {
        why = "Xvfb did not report a display: " + readFile(logDir / "xvfb.err");
        stop(display.server);
        return false;
    }
    display.name = ":" + number.substr(0, number.find('\n'));
    return true;
}

void stopDisplay(VirtualDisplay& display) {
    if (display.server.pid < 0) return;
    kill(display.server.pid, SIGTERM);
    int status = 0;
    if (!waitExit(display.server, 5000, status)) stop(display.server);
}

Window findWindow(Display* x, const char* title) {
    std::vector<Window> pending = {DefaultRootWindow(x)};
    while (!pending.empty()) {
        const Window w = pending.back();
        pending.pop_back();
        char* name = nullptr;
        if (XFetchName(x, w, &name) && name != nullptr) {
            const bool match = std::strcmp(name, title) == 0;
            XFree(name);
            if (match) return w;
        }
        Window root, parent, *children = nullptr;
        unsigned int count = 0;
        if (XQueryTree(x, w, &root, &parent, &children, &count)) {
            for (unsigned int i = 0; i < count; ++i)
                pending.push_back(children[i]);
            if (children) XFree(children);
        }
    }
    return 0;
}

Window waitForWindow(Display* x, const char* title, Child& child, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline && running(child)) {
        const Window w = findWindow(x, title);
        XWindowAttributes attributes;
        if (w != 0 && XGetWindowAttributes(x, w, &attributes) && attributes.map_state == IsViewable)
            return w;
        sleepMs(kPollMs * 2);
    }
    return 0;
}

void sendKey(Display* x, Window window, unsigned long keysym, unsigned int state) {
    XKeyEvent event = {};
    event.display = x;
    event.window = window;
    event.root = DefaultRootWindow(x);
    event.subwindow = None;
    event.time = CurrentTime;
    event.same_screen = True;
    event.keycode = XKeysymToKeycode(x, keysym);
    event.state = state;
    event.type = KeyPress;
    XSendEvent(x, window, True, KeyPressMask, reinterpret_cast<XEvent*>(&event));
    event.type = KeyRelease;
    XSendEvent(x, window, True, KeyReleaseMask, reinterpret_cast<XEvent*>(&event));
    XFlush(x);
}

void sendClose(Display* x, Window window) {
    XEvent event = {};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(x, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(x, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(x, window, False, NoEventMask, &event);
    XFlush(x);
}

bool readXwd(const fs::path& path, Picture& picture, std::string& why) {
    const std::string data = readFile(path);
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
    if (data.size() < kXwdHeaderWords * 4) {
        why = "XWD file too short";
        return false;
    }
    uint32_t h[kXwdHeaderWords];  // the header is written most significant byte first
    for (size_t i = 0; i < kXwdHeaderWords; ++i)
        h[i] = bigEndian32(bytes + 4 * i);
    const uint32_t headerSize = h[0], format = h[2], width = h[4], height = h[5];
    const uint32_t byteOrder = h[7], bitsPerPixel = h[11], bytesPerLine = h[12];
    const uint32_t redMask = h[14], greenMask = h[15], blueMask = h[16], colors = h[19];
    const uint32_t bytesPerPixel = bitsPerPixel / 8;
    if (format != 2 || (bytesPerPixel != 3 && bytesPerPixel != 4) || width > 8192 ||
        height > 8192 || bytesPerLine < width * bytesPerPixel) {
        why = "unexpected XWD layout";
        return false;
    }
    const size_t offset = size_t(headerSize) + size_t(colors) * kXwdColorSize;
    if (data.size() < offset + size_t(bytesPerLine) * height) {
        why = "XWD image data cut short";
        return false;
    }
    picture.width = static_cast<int>(width);
    picture.height = static_cast<int>(height);
    picture.pixels.assign(size_t(width) * height, 0);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            const uint8_t* p = bytes + offset + size_t(y) * bytesPerLine + x * bytesPerPixel;
            uint32_t v = 0;
            for (uint32_t b = 0; b < bytesPerPixel; ++b) {
                const uint32_t shift = byteOrder == 0 ? 8 * b : 8 * (bytesPerPixel - 1 - b);
                v |= uint32_t(p[b]) << shift;
            }
            const uint32_t r = (v & redMask) >> maskShift(redMask);
            const uint32_t g = (v & greenMask) >> maskShift(greenMask);
            const uint32_t bl = (v & blueMask) >> maskShift(blueMask);
            picture.pixels[size_t(y) * width + x] =
                (r & 0xff) << 16 | (g & 0xff) << 8 | (bl & 0xff);
        }
    return true;
}

bool readPng(const fs::path& path, Picture& picture, std::string& why) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        why = image.message;
        return false;
    }
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) {
        why = image.message;
        return false;
    }
    picture.width = static_cast<int>(image.width);
    picture.height = static_cast<int>(image.height);
    picture.pixels.resize(size_t(image.width) * image.height);
    for (size_t i = 0; i < picture.pixels.size(); ++i)
        picture.pixels[i] =
            uint32_t(rgb[3 * i]) << 16 | uint32_t(rgb[3 * i + 1]) << 8 | rgb[3 * i + 2];
    return true;
}

std::string compare(const Picture& got, const Picture& want) {
    std::ostringstream why;
    if (got.width != want.width || got.height != want.height) {
        why << "size " << got.width << "x" << got.height << ", want " << want.width << "x"
            << want.height;
        return why.str();
    }
    size_t differing = 0, first = 0;
    for (size_t i = 0; i < got.pixels.size(); ++i)
        if (got.pixels[i] != want.pixels[i]) {
            if (differing++ == 0) first = i;
        }
    if (differing == 0) return "";
    why << differing << " pixels differ; first at (" << first % want.width << ", "
        << first / want.width << "): got 0x" << std::hex << got.pixels[first] << ", want 0x"
        << want.pixels[first];
    return why.str();
}

}  // namespace e2e
