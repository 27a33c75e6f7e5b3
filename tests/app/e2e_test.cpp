// End to end: the real vantrel-preview on a private Xvfb display, fed by the
// real vantrel-send, its window read back from the X server and compared pixel
// for pixel with what vantrel-snapshot renders for the same messages. The
// Windows build runs the same driver on vantrel-preview.exe:
// VANTREL_E2E_PREVIEW names the program and VANTREL_E2E_EMULATOR what runs it
// (Wine).
// GoogleTest before the X11 headers, whose macros (None, Bool) clash with it.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <png.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/child_process.h"
#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kStart = 30s;    // fonts and the first window, on a busy machine
constexpr auto kExit = 10s;     // from the stop request to the end of the process
constexpr auto kPicture = 15s;  // from the last message to the expected picture

const char* const kPreview =
    std::getenv("VANTREL_E2E_PREVIEW") ? std::getenv("VANTREL_E2E_PREVIEW") : VANTREL_PREVIEW;
const char* const kEmulator = std::getenv("VANTREL_E2E_EMULATOR");
// A window manager for the display, a command line split at blanks; none unless
// named (Wine's DestroyWindow waits for a window manager).
const char* const kWindowManager = std::getenv("VANTREL_E2E_WM");
// The emulator's server, ended with the display it bound its desktop to.
const char* const kEmulatorServer = std::getenv("VANTREL_E2E_WINESERVER");

class Preview : public ::testing::Test {
protected:
    // One private X server per test process, on the first free display it
    // finds (-displayfd), so parallel runs never pick the same number.
    static void SetUpTestSuite() {
        root.emplace("e2e");
        endEmulatorServer();  // one left by an earlier run knows only its own display
        int fds[2];
        if (pipe(fds) != 0) return;
        xvfb.emplace(std::vector<std::string>{XVFB_PATH, "-displayfd", std::to_string(fds[1]),
                                              "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
                     root->path, "xvfb");
        close(fds[1]);
        std::string number;  // the display's number and a newline, perhaps in two writes
        pollfd p = {fds[0], POLLIN, 0};
        for (char c = 0; c != '\n' && poll(&p, 1, 20000) > 0 && read(fds[0], &c, 1) == 1;)
            number += c;
        close(fds[0]);
        if (number.empty() || number.back() != '\n') return;
        setenv("DISPLAY", (":" + std::to_string(std::atoi(number.c_str()))).c_str(), 1);
        unsetenv("WAYLAND_DISPLAY");
        // A sanitizer build must not blame the preview for the system libraries' leaks.
        setenv("LSAN_OPTIONS", "print_suppressions=0:suppressions=" VANTREL_LSAN_SUPPRESSIONS, 1);
        x = XOpenDisplay(nullptr);
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });  // a window gone is no crash
        if (kWindowManager != nullptr) {
            std::vector<std::string> argv;
            std::istringstream words(kWindowManager);
            for (std::string word; words >> word;)
                argv.push_back(word);
            wm.emplace(argv, root->path, "wm");
        }
    }
    static void endEmulatorServer() {
        if (kEmulatorServer != nullptr)
            Child({kEmulatorServer, "-k"}, root->path, "wineserver").ended(kExit);
    }
    static void TearDownTestSuite() {
        endEmulatorServer();
        if (x != nullptr) XCloseDisplay(x);
        x = nullptr;
        wm.reset();
        xvfb.reset();
        root->keep = ::testing::UnitTest::GetInstance()->Failed();  // to look at
        root.reset();
    }

    void SetUp() override {
        ASSERT_NE(x, nullptr) << "no Xvfb display (run scripts/install-deps): "
                              << (xvfb ? readWhole(xvfb->err) : "");
        dir = root->path / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(dir);
        fs::current_path(dir);  // where the tools run
    }

    // Starts the preview in a folder of its own, with the default fonts or
    // none, through argv (a wrapper) and under the emulator through shell (a
    // Windows shell), with the descriptors in terminal on a terminal; returns
    // its window, 0 if none came.
    Window startPreview(bool fonts, std::vector<std::string> argv = {},
                        const std::vector<std::string>& shell = {},
                        const std::vector<int>& terminal = {}) {
        const fs::path run = dir / ("run" + std::to_string(++runs));
        fs::create_directories(run);
        for (const auto& file : fs::directory_iterator(VANTREL_TEST_FONT_DIR))
            if (fonts && file.path().extension() == ".tiga")
                fs::create_symlink(file.path(), run / file.path().filename());
        preview.reset();
        if (kEmulator != nullptr) {
            argv.push_back(kEmulator);
            argv.insert(argv.end(), shell.begin(), shell.end());
        }
        argv.push_back(kPreview);
        preview.emplace(argv, run, "preview", terminal);
        for (auto end = Clock::now() + kStart; Clock::now() < end && !preview->ended();
             std::this_thread::sleep_for(40ms))
            if (const Window found = findPreview(DefaultRootWindow(x), 0)) return found;
        return 0;
    }

    // The viewable window titled "van_trel preview" below parent: a child of
    // the root, or of a window manager's frame.
    Window findPreview(Window parent, int depth) {
        Window root_, up, *children = nullptr, found = 0;
        unsigned int count = 0;
        XQueryTree(x, parent, &root_, &up, &children, &count);
        for (unsigned int i = 0; i < count && found == 0; ++i) {
            char* name = nullptr;
            XWindowAttributes a;
            if (XFetchName(x, children[i], &name) && std::strcmp(name, "van_trel preview") == 0 &&
                XGetWindowAttributes(x, children[i], &a) && a.map_state == IsViewable)
                found = children[i];
            XFree(name);
            if (found == 0 && depth < 2) found = findPreview(children[i], depth + 1);
        }
        XFree(children);
        return found;
    }

    // A key press and release, or (keysym 0) a window manager's close request.
    // With Mod1Mask in state the key goes between a press and a release of
    // Alt, as window systems track modifiers from their own keys.
    void sendInput(Window w, unsigned long keysym, unsigned int state = 0) {
        XEvent e = {};
        if (keysym == 0) {
            e.xclient = {
                ClientMessage, 0, False, x, w, XInternAtom(x, "WM_PROTOCOLS", False), 32, {}};
            e.xclient.data.l[0] = long(XInternAtom(x, "WM_DELETE_WINDOW", False));
            XSendEvent(x, w, False, NoEventMask, &e);
        }
        const bool alt = keysym != 0 && (state & Mod1Mask) != 0;
        const std::pair<unsigned long, int> keys[] = {
            {XK_Alt_L, KeyPress}, {keysym, KeyPress}, {keysym, KeyRelease}, {XK_Alt_L, KeyRelease}};
        for (auto [sym, type] : keys) {
            if (keysym == 0 || (sym == XK_Alt_L && !alt)) continue;
            e.xkey = XKeyEvent{};
            e.xkey.type = type, e.xkey.display = x, e.xkey.window = w, e.xkey.same_screen = True;
            e.xkey.root = DefaultRootWindow(x), e.xkey.keycode = XKeysymToKeycode(x, sym);
            e.xkey.state = sym == XK_Alt_L && type == KeyPress ? 0 : state;
            XSendEvent(x, w, True, type == KeyPress ? KeyPressMask : KeyReleaseMask, &e);
        }
        XFlush(x);
    }

    // The window's pixels in 0x00RRGGBB words, as the 24-bit display holds them.
    std::vector<uint32_t> capture(Window w) {
        XWindowAttributes a = {};
        XImage* image = XGetWindowAttributes(x, w, &a)
                            ? XGetImage(x, w, 0, 0, a.width, a.height, AllPlanes, ZPixmap)
                            : nullptr;
        if (image == nullptr) return {};
        std::vector<uint32_t> pixels;
        for (int r = 0; r < image->height; ++r)
            for (int c = 0; c < image->width; ++c)
                pixels.push_back(XGetPixel(image, c, r) & 0xffffff);
        XDestroyImage(image);
        return pixels;
    }

    // Reads the window until it shows want (a frame or two after the last
    // message); "" then, else where the last capture differed.
    std::string waitForPicture(Window w, const std::vector<uint32_t>& want) {
        std::string why = "no capture";
        for (auto end = Clock::now() + kPicture; Clock::now() < end;
             std::this_thread::sleep_for(100ms)) {
            const std::vector<uint32_t> got = capture(w);
            if (got == want) return "";
            if (got.size() != want.size()) continue;
            const size_t at =
                std::mismatch(got.begin(), got.end(), want.begin()).first - got.begin();
            why = "first difference at (" + std::to_string(at % 720) + ", " +
                  std::to_string(at / 720) + "): " + std::to_string(got[at]) + ", want " +
                  std::to_string(want[at]);
        }
        return why;
    }

    static std::vector<uint32_t> readPng(const fs::path& path) {
        png_image image = {};
        image.version = PNG_IMAGE_VERSION;
        if (!png_image_begin_read_from_file(&image, path.c_str())) return {};
        image.format = PNG_FORMAT_RGB;
        std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
        if (!png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) return {};
        std::vector<uint32_t> pixels;
        for (size_t i = 0; i < rgb.size(); i += 3)
            pixels.push_back(uint32_t(rgb[i]) << 16 | rgb[i + 1] << 8 | rgb[i + 2]);
        return pixels;
    }

    static inline std::optional<TempFolder> root;
    static inline std::optional<Child> xvfb, wm;
    static inline Display* x = nullptr;
    fs::path dir;
    int runs = 0;
    std::optional<Child> preview;
};

TEST_F(Preview, WindowShowsWhatTheSnapshotRendersForTheSameMessages) {
    const Window w = startPreview(true);
    ASSERT_NE(w, 0u) << readWhole(preview->err);
    XWindowAttributes area = {};
    ASSERT_TRUE(XGetWindowAttributes(x, w, &area));
    EXPECT_TRUE(area.width == 720 && area.height == 480) << area.width << " x " << area.height;
    for (unsigned long key : {XK_Return, XK_w, XK_F1})
        sendInput(w, key);  // keys that change nothing

    // The examples sent step by step to port 6867; after each step the window must show what
    // the snapshot tool renders for everything sent so far (no clock: ldlPage 0).
    std::ofstream(dir / "no-clock.json") << R"({"ldlPage": 0})";
    const std::vector<std::vector<std::string>> steps = {
        {"no-clock.json", VANTREL_EXAMPLES "/02-front-page.json"},
        {VANTREL_EXAMPLES "/03-chain-first.json", VANTREL_EXAMPLES "/04-chain-second.json"},
        {VANTREL_EXAMPLES "/07-solids-top-off.json", VANTREL_EXAMPLES "/08-solids-bottom-off.json"},
        {VANTREL_EXAMPLES "/09-solids-restore.json", VANTREL_EXAMPLES "/06-warning.json"},
    };
    std::string snapshot =
        "--fonts '" VANTREL_TEST_FONT_DIR "' --time '2025-01-05 09:05:07' -o want.png";
    for (const auto& step : steps) {
        std::string files, out;
        for (const std::string& file : step)
            files += " '" + file + "'";
        snapshot += files;
        ASSERT_EQ(runProgram(VANTREL_SEND, "--port 6867 --retry 10000" + files, out), 0) << out;
        ASSERT_EQ(runProgram(VANTREL_SNAPSHOT, snapshot, out), 0) << out;
        const std::vector<uint32_t> want = readPng(dir / "want.png");
        ASSERT_EQ(want.size(), 720u * 480u);
        ASSERT_EQ(waitForPicture(w, want), "") << "after " << step.back();
    }
    // The last step's warning page switched the display: the trace says so at
    // once, not only when the next connection's lines flush it.
    EXPECT_NE(readWhole(preview->out).find("advisory/warning page 30: switching display\n"),
              std::string::npos);
    sendInput(w, XK_Escape);
    EXPECT_TRUE(preview->ended(kExit));
    EXPECT_EQ(preview->status, 0);
    EXPECT_EQ(readWhole(preview->err), "");
}

TEST_F(Preview, EscapeQAndTheCloseBoxEndWithStatusZeroAndStartFailuresWithOne) {
    const struct {
        const char* name;
        bool fonts;
        std::vector<std::string> wrapper;  // what runs the preview
        unsigned long keysym;              // 0: the close box
        unsigned int state;                // with Mod1Mask (Alt) the key must change nothing
        int status;
        const char* message;                  // the start of the last line of standard error
        std::vector<std::string> shell = {};  // what starts the preview under the emulator
        std::vector<int> terminal = {};       // descriptors on a terminal, not in files
    } cases[] = {
        {"Escape", true, {}, XK_Escape, 0, 0, ""},
        {"q", true, {}, XK_q, 0, 0, ""},
        {"Shift+Q", true, {}, XK_q, ShiftMask, 0, ""},
        {"Alt+Q", true, {}, XK_q, Mod1Mask, 0, ""},
        {"close box", true, {}, 0, 0, 0, ""},
        {"no fonts", false, {}, 0, 0, 1, "no TIGA fonts could be loaded\n"},
        {"no display",
         true,
         {"/usr/bin/env", "-u", "DISPLAY", "-u", "XDG_RUNTIME_DIR"},
         0,
         0,
         1,
         "preview window init failed\n"},
        // A failing start asks for Enter only on a console that would close with
        // it: not when its errors go to a file, nor when a shell shares the console.
        {"no fonts, alone on a console, errors in a file",
         false,
         {},
         0,
         0,
         1,
         "no TIGA fonts could be loaded\n",
         {},
         {0}},
        {"no fonts, from cmd on its console", false, {}, 0, 0, 1, "", {"cmd", "/c"}, {0, 2}},
    };
    for (const auto& c : cases) {
        const Window w = startPreview(c.fonts, c.wrapper, c.shell, c.terminal);
        ASSERT_EQ(w != 0, c.status == 0) << c.name << ": " << readWhole(preview->err);
        if (w != 0) sendInput(w, c.keysym, c.state);
        if ((c.state & Mod1Mask) != 0) {  // a key with Alt is the window system's
            EXPECT_FALSE(preview->ended(1s)) << c.name;
            sendInput(w, XK_Escape);
        }
        EXPECT_TRUE(preview->ended(kExit)) << c.name;
        EXPECT_EQ(preview->status, c.status) << c.name;
        std::string err = readWhole(preview->err);
        // Wine may report its own server connection breaking under a thread
        // (the listener's) as the process exits: that line is the emulator's.
        for (size_t at;
             kEmulator != nullptr && (at = err.rfind("wine client error:")) != std::string::npos;)
            err.erase(at);
        const std::string last = err.substr(err.find_last_of('\n', err.size() - 2) + 1);
        EXPECT_EQ(c.status == 0 ? err : last.substr(0, std::strlen(c.message)), c.message)
            << c.name << ": " << err;
    }
}

}  // namespace
