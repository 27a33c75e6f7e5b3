// vantrel-preview: receives display pages on port 6867 and shows, in a
// 720 x 480 window, what the display shows, until the window is closed or
// Escape or Q is pressed.
#include <chrono>
#include <cstdio>
#include <thread>

#include "app/buffers.h"
#include "app/canvas.h"
#include "app/frame.h"
#include "app/platform.h"
#include "app/window.h"
#include "feed/console.h"
#include "feed/listener.h"
#include "feed/net.h"
#include "fonts/tiga_font.h"
#include "model/page_model.h"
#include "render/resample.h"

// A failure while starting: one line on standard error, status 1, nothing
// released (the listener thread ends with the process).
[[noreturn]] static void failStart(const char* message) {
    std::fputs(message, stderr);
    exitFailed(1);
}

static void frameLoop() {
    while (run) {
        composeFrame(localTimeNow());
        winPresent();
        winPump();
        std::this_thread::sleep_for(std::chrono::milliseconds(kFrameSleepMs));
    }
}

int main() {
    rawConsole();
    if (!netStartup()) failStart("WSAStartup failed\n");
    presetPageModel();
    tcpEst(kAnyAddress, kFeedPort);
    if (!loadFontSlots(nullptr)) exitFailed(1);  // its message is written
    buildHtaps();
    if (!allocateRenderBuffers()) failStart("failed to allocate render buffers\n");
    if (!allocateImages()) failStart("preview window init failed\n");
    if (!winCreate()) failStart("preview window init failed\n");
    repaintSolids();

    frameTimerStart();
    frameLoop();
    frameTimerStop();

    releaseFontSlots();
    releaseBuffers();
    winDestroy();
    netCleanup();
    return 0;
}
