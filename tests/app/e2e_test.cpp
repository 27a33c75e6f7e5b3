// End to end: the real vantrel-preview on a private Xvfb display, fed by the
// real vantrel-send, its window captured with xwd and compared pixel for
// pixel with what vantrel-snapshot renders for the same messages.
// GoogleTest before the X11 headers, whose macros (None, Bool) clash with it.
#include <gtest/gtest.h>

#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"

namespace {

using namespace e2e;

constexpr const char* kTitle = "van_trel preview";
constexpr int kFeedPort = 6867;
constexpr int kStartMs = 30000;    // font loading and the first window, on a busy machine
constexpr int kExitMs = 10000;     // from the stop request to the end of the process
constexpr int kPictureMs = 15000;  // from the last message to the expected picture
constexpr int kToolMs = 60000;
// The clock of every snapshot; the window's LDL text is switched off, so the
// two agree whatever the time.
constexpr const char* kSnapshotTime = "2025-01-05 09:05:07";

const char* const kFontFiles[] = {"FONT01.tiga", "FONT02.tiga", "FONT03.tiga", "FONT04.tiga",
                                  "FONT05.tiga", "FONT06.tiga", "FONT07.tiga", "SHDT01.tiga",
                                  "SHDT02.tiga", "SHDT03.tiga", "SHDT04.tiga", "SHDT05.tiga",
                                  "SHDT06.tiga", "SHDT07.tiga"};

// Whether a listener could bind the feed port right now.
bool feedPortFree() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return false;
    const int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(kFeedPort);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool free = bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(s);
    return free;
}

class PreviewTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(XVFB_PATH)) << "Xvfb missing: run scripts/install-deps";
        ASSERT_TRUE(fs::exists(XWD_PATH)) << "xwd missing: run scripts/install-deps";
        dir = fs::temp_directory_path() /
              ("vantrel-e2e-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir / "run");
        ASSERT_TRUE(feedPortFree())
            << "port " << kFeedPort << " is taken by another program; the preview needs it";
        std::string why;
        ASSERT_TRUE(startDisplay(display, dir, why)) << why;
        env = environmentWithout({"DISPLAY", "WAYLAND_DISPLAY"});
        env.push_back("DISPLAY=" + display.name);
        x = XOpenDisplay(display.name.c_str());
        ASSERT_NE(x, nullptr) << "cannot open " << display.name;
    }

    void TearDown() override {
        stop(preview);
        if (x != nullptr) XCloseDisplay(x);
        stopDisplay(display);
        if (!HasFailure()) fs::remove_all(dir);
    }

    void linkFonts() {
        for (const char* name : kFontFiles)
            fs::create_symlink(fs::path(VANTREL_TEST_FONT_DIR) / name, dir / "run" / name);
    }

    // Starts the preview in dir/run; returns its window (0 if none came).
    Window startPreview(std::vector<std::string> environment) {
        // A sanitizer build must not blame the preview for the system libraries' leaks.
        environment.push_back(
            "LSAN_OPTIONS=print_suppressions=0:suppressions=" VANTREL_LSAN_SUPPRESSIONS);
        preview = spawn({VANTREL_PREVIEW}, dir / "run", environment, dir / "preview.out",
                        dir / "preview.err");
        return waitForWindow(x, kTitle, preview, kStartMs);
    }

    Window startPreviewWithFonts() {
        linkFonts();
        const Window w = startPreview(env);
        EXPECT_NE(w, 0u) << "no window; stderr: " << readFile(preview.err);
        return w;
    }

    int previewExitStatus() {
        int status = -1;
        EXPECT_TRUE(waitExit(preview, kExitMs, status)) << "the preview did not end";
        return status;
    }

    fs::path writeMessage(const std::string& name, const std::string& json) {
        const fs::path path = dir / name;
        std::ofstream(path, std::ios::binary) << json;
        return path;
    }

    void send(const std::vector<fs::path>& messages) {
        std::vector<std::string> argv = {VANTREL_SEND, "--retry", "10000"};
        for (const fs::path& m : messages)
            argv.push_back(m.string());
        ASSERT_EQ(runToEnd(argv, dir, env, dir / "send.out", dir / "send.err", kToolMs), 0)
            << readFile(dir / "send.err");
    }

    void snapshot(const std::vector<fs::path>& messages, const fs::path& png) {
        std::vector<std::string> argv = {VANTREL_SNAPSHOT, "--fonts",     VANTREL_TEST_FONT_DIR,
                                         "--time",         kSnapshotTime, "-o",
                                         png.string()};
        for (const fs::path& m : messages)
            argv.push_back(m.string());
        ASSERT_EQ(runToEnd(argv, dir, env, dir / "snapshot.out", dir / "snapshot.err", kToolMs), 0)
            << readFile(dir / "snapshot.err");
    }

    bool capture(Window w, Picture& picture, std::string& why) {
        const fs::path xwd = dir / "window.xwd";
        char id[32];
        std::snprintf(id, sizeof id, "0x%lx", static_cast<unsigned long>(w));
        if (runToEnd({XWD_PATH, "-id", id, "-silent", "-out", xwd.string()}, dir, env,
                     dir / "xwd.out", dir / "xwd.err", kToolMs) != 0) {
            why = "xwd failed: " + readFile(dir / "xwd.err");
            return false;
        }
        return readXwd(xwd, picture, why);
    }

    // Captures the window until it shows want (the preview needs a frame or
    // two after the last message); returns the last difference, "" on a match.
    std::string waitForPicture(Window w, const Picture& want) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kPictureMs);
        std::string difference = "no capture";
        while (std::chrono::steady_clock::now() < deadline) {
            Picture got;
            if (capture(w, got, difference)) {
                difference = compare(got, want);
                if (difference.empty()) return "";
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return difference;
    }

    fs::path dir;
    VirtualDisplay display;
    std::vector<std::string> env;
    Display* x = nullptr;
    Child preview;
};

TEST_F(PreviewTest, WindowShowsWhatTheSnapshotRenders) {
    const Window w = startPreviewWithFonts();
    ASSERT_NE(w, 0u);
    // Steps of messages, applied cumulatively; after each one the window must
    // show what the snapshot tool renders for everything sent so far.
    const std::vector<std::vector<std::pair<std::string, std::string>>> steps = {
        {{"ldl-off.json", R"({"ldlPage": 0})"}},
        {{"front.json", R"({"topSolid": true, "topPage": 1, "pageData": {"pageNumber": 1,
            "lineCount": 6, "lines": [
            {"height": 3, "width": 0, "color": 4, "border": true, "textData": "Local Forecast"},
            {"height": 1, "width": 1, "color": 2, "border": true, "textData": "Wide and shadowed"},
            {"height": 2, "width": 1, "color": 1, "border": false, "textData": "Size 2 wide"},
            {"height": 0, "width": 0, "color": 0, "border": false,
             "textData": "0123456789012345678901234567890123456789012345678901234567890123"},
            {"height": 1, "width": 0, "color": 5, "border": true, "textData": "Purple row"},
            {"height": 0, "width": 3, "color": 9, "border": true, "textData": "Last row"}]}})"}},
        {{"chain-a.json", R"({"pageData": {"pageNumber": 10, "lineCount": 2, "chain": true,
            "lines": [{"height": 2, "color": 4, "border": true, "textData": "Chained start"},
                      {"height": 1, "color": 2, "textData": "second row"}]}})"},
         {"chain-b.json", R"({"topPage": 10, "pageData": {"pageNumber": 11, "lineCount": 2,
            "lines": [{"height": 1, "color": 3, "textData": "Page 11 follows"},
                      {"height": 0, "color": 0, "textData": "small text"}]}})"}},
        {{"top-off.json", R"({"topSolid": false})"}},
        {{"bottom-off.json", R"({"bottomSolid": false, "regionSeparator": false})"}},
        {{"warning.json", R"({"topSolid": true, "regionSeparator": true, "pageData": {
            "pageNumber": 30, "lineCount": 1, "warning": true,
            "lines": [{"height": 3, "width": 1, "color": 1, "border": true,
                       "textData": "WARNING"}]}})"}},
    };
    std::vector<fs::path> sent;
    int stepNumber = 0;
    for (const auto& step : steps) {
        std::vector<fs::path> messages;
        for (const auto& [name, json] : step)
            messages.push_back(writeMessage(name, json));
        send(messages);
        sent.insert(sent.end(), messages.begin(), messages.end());
        const fs::path png = dir / ("want-" + std::to_string(stepNumber) + ".png");
        snapshot(sent, png);
        Picture want;
        std::string why;
        ASSERT_TRUE(readPng(png, want, why)) << why;
        ASSERT_EQ(waitForPicture(w, want), "")
            << "after step " << stepNumber << " (" << step.front().first << ")";
        ++stepNumber;
    }
    sendKey(x, w, XK_Escape, 0);
    EXPECT_EQ(previewExitStatus(), 0);
    EXPECT_EQ(readFile(preview.err), "");
}

TEST_F(PreviewTest, WindowIs720By480NotResizableWithItsClass) {
    const Window w = startPreviewWithFonts();
    ASSERT_NE(w, 0u);
    XWindowAttributes attributes;
    ASSERT_TRUE(XGetWindowAttributes(x, w, &attributes));
    EXPECT_EQ(attributes.width, 720);
    EXPECT_EQ(attributes.height, 480);
    XClassHint hint = {};
    ASSERT_TRUE(XGetClassHint(x, w, &hint));
    EXPECT_STREQ(hint.res_class, "vantrel_preview");
    XFree(hint.res_name);
    XFree(hint.res_class);
    XSizeHints size = {};
    long supplied = 0;
    ASSERT_TRUE(XGetWMNormalHints(x, w, &size, &supplied));
    ASSERT_TRUE((size.flags & PMinSize) && (size.flags & PMaxSize));
    EXPECT_EQ(size.min_width, 720);
    EXPECT_EQ(size.max_width, 720);
    EXPECT_EQ(size.min_height, 480);
    EXPECT_EQ(size.max_height, 480);
    sendKey(x, w, XK_Escape, 0);
    EXPECT_EQ(previewExitStatus(), 0);
}

// A stop request and the keys that make it.
struct StopCase {
    const char* name;
    unsigned long keysym;  // 0: the close box
    unsigned int state;
};

void PrintTo(const StopCase& c, std::ostream* os) {
    *os << c.name;
}

class StopTest : public PreviewTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopTest, EndsTheRunWithStatusZeroAndNoOutput) {
    const Window w = startPreviewWithFonts();
    ASSERT_NE(w, 0u);
    if (GetParam().keysym == 0)
        sendClose(x, w);
    else
        sendKey(x, w, GetParam().keysym, GetParam().state);
    EXPECT_EQ(previewExitStatus(), 0);
    EXPECT_EQ(readFile(preview.err), "");
}

INSTANTIATE_TEST_SUITE_P(Stops, StopTest,
                         ::testing::Values(StopCase{"Escape", XK_Escape, 0}, StopCase{"q", XK_q, 0},
                                           StopCase{"ShiftQ", XK_q, ShiftMask},
                                           StopCase{"CapsLockQ", XK_q, LockMask},
                                           StopCase{"CloseBox", 0, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PreviewTest, OtherKeysChangeNothing) {
    const Window w = startPreviewWithFonts();
    ASSERT_NE(w, 0u);
    for (unsigned long key : {XK_Return, XK_Up, XK_w, XK_space, XK_F1})
        sendKey(x, w, key, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // about 30 frames
    EXPECT_TRUE(running(preview));
    sendKey(x, w, XK_q, 0);
    EXPECT_EQ(previewExitStatus(), 0);
}

TEST_F(PreviewTest, StopsQuietlyWhileAClientIsMidMessage) {
    const Window w = startPreviewWithFonts();
    ASSERT_NE(w, 0u);
    // A client that sent half a message holds the listener in its read.
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(kFeedPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const char half[] = "40#{\"topPage\":";
    ASSERT_EQ(::send(s, half, sizeof half - 1, 0), ssize_t(sizeof half - 1));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (readFile(preview.out).find("expected:") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_NE(readFile(preview.out).find("expected:"), std::string::npos);
    sendKey(x, w, XK_Escape, 0);
    EXPECT_EQ(previewExitStatus(), 0);
    EXPECT_EQ(readFile(preview.err), "");
    close(s);
}

TEST_F(PreviewTest, NoFontsEndsWithStatusOne) {
    const Window w = startPreview(env);  // dir/run holds no font
    EXPECT_EQ(w, 0u);
    EXPECT_EQ(previewExitStatus(), 1);
    EXPECT_NE(readFile(preview.err).find("no TIGA fonts could be loaded"), std::string::npos)
        << readFile(preview.err);
}

TEST_F(PreviewTest, NoDisplayEndsWithStatusOne) {
    linkFonts();
    const Window w =
        startPreview(environmentWithout({"DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR"}));
    EXPECT_EQ(w, 0u);
    EXPECT_EQ(previewExitStatus(), 1);
    EXPECT_EQ(readFile(preview.err), "preview window init failed\n");
}

}  // namespace
