// The preview window on SDL2. The present buffer is wrapped once in an SDL
// surface of 0x00RRGGBB words and blitted to the window's own framebuffer
// surface, so the window shows its words unscaled and unconverted wherever the
// display itself is 32-bit.
#define SDL_MAIN_HANDLED
#include <SDL.h>

#include <cstdlib>
#include <cstring>

#include "app/buffers.h"
#include "app/frame.h"
#include "app/window.h"

// Video drivers that put a window on a desktop. SDL also offers drivers that
// draw nowhere (offscreen, dummy) or take the whole console (KMSDRM); with one
// of those the preview would run without being seen, so they count as no display.
static const char* const kDesktopDrivers[] = {"x11", "wayland", "windows", "cocoa"};

SDL_Window* win_window = nullptr;   // the preview window; null until created
SDL_Surface* win_source = nullptr;  // win_present_buf seen as an SDL surface
// The window surface that last showed win_present_buf whole; null until the
// first present. Another surface (a new window, a size change) holds nothing
// of ours yet, so the next present shows the whole buffer whatever its band.
SDL_Surface* win_shown_surface = nullptr;

static bool isDesktopDriver(const char* name) {
    for (const char* desktop : kDesktopDrivers)
        if (std::strcmp(name, desktop) == 0) return true;
    return false;
}

// A Wayland client finds its compositor through these; without them the
// Wayland library only prints a complaint of its own.
static bool waylandReachable() {
    return std::getenv("WAYLAND_DISPLAY") != nullptr || std::getenv("XDG_RUNTIME_DIR") != nullptr;
}

// Starts the first desktop video driver that finds a display.
static bool startVideo() {
    for (int i = 0; i < SDL_GetNumVideoDrivers(); ++i) {
        const char* name = SDL_GetVideoDriver(i);
        if (name == nullptr || !isDesktopDriver(name)) continue;
        if (std::strcmp(name, "wayland") == 0 && !waylandReachable()) continue;
        if (SDL_VideoInit(name) == 0) return true;
    }
    return false;
}

bool winCreate() {
    // The framebuffer must be the window system's own (shared memory on X11):
    // a texture-backed one would go through the GL driver for no benefit.
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    // Console program: Ctrl+C and SIGTERM end it the ordinary way.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    // The X11 window class comes from the environment or the executable's name.
    setenv("SDL_VIDEO_X11_WMCLASS", kWindowClass, 1);
    if (win_present_buf == nullptr) return false;
    SDL_SetMainReady();
    if (!startVideo()) return false;
    win_window = SDL_CreateWindow(kWindowTitle, SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED,
                                  kFrameWidth, kFrameRows, SDL_WINDOW_SHOWN);
    if (win_window == nullptr) return false;
    win_source = SDL_CreateRGBSurfaceWithFormatFrom(win_present_buf, kFrameWidth, kFrameRows, 32,
                                                    kFrameWidth * 4, SDL_PIXELFORMAT_RGB888);
    if (win_source == nullptr) return false;
    SDL_SetSurfaceBlendMode(win_source, SDL_BLENDMODE_NONE);
    return SDL_GetWindowSurface(win_window) != nullptr;
}

// Copies rows first .. end - 1 of win_present_buf to the window and puts just
// that band on screen.
static void showRows(SDL_Surface* target, int first, int end) {
    if (first < 0) first = 0;
    if (end > kFrameRows) end = kFrameRows;
    if (first >= end) return;
    SDL_Rect band = {0, first, kFrameWidth, end - first};
    SDL_Rect at = band;  // the blit may clip the destination rectangle it is given
    SDL_BlitSurface(win_source, &band, target, &at);
    SDL_UpdateWindowSurfaceRects(win_window, &band, 1);
}

// Shows the whole present buffer, as a repaint request needs it.
static void showWhole() {
    if (win_window == nullptr || win_source == nullptr || win_present_buf == nullptr) return;
    SDL_Surface* target = SDL_GetWindowSurface(win_window);
    if (target == nullptr) return;
    showRows(target, 0, kFrameRows);
    win_shown_surface = target;
}

void winPresent() {
    if (win_window == nullptr || win_source == nullptr || win_present_buf == nullptr) return;
    SDL_Surface* target = SDL_GetWindowSurface(win_window);
    if (target == nullptr) return;
    if (target != win_shown_surface) {
        showWhole();
        return;
    }
    showRows(target, present_first_row, present_end_row);
}

// Handles one event: close, Escape and Q clear `run`; an exposed or restored
// window is shown again from win_present_buf; everything else is ignored.
static void winProc(const SDL_Event& event) {
    switch (event.type) {
        case SDL_QUIT:
            run = false;
            break;
        case SDL_WINDOWEVENT:
            if (event.window.event == SDL_WINDOWEVENT_CLOSE) run = false;
            if (event.window.event == SDL_WINDOWEVENT_EXPOSED ||
                event.window.event == SDL_WINDOWEVENT_RESTORED)
                showWhole();
            break;
        case SDL_KEYDOWN:
            // Key codes name the key, not the character: Shift and Caps Lock
            // do not change SDLK_q. Keys held with Alt belong to the window system.
            if ((event.key.keysym.mod & KMOD_ALT) != 0) break;
            if (event.key.keysym.sym == SDLK_ESCAPE || event.key.keysym.sym == SDLK_q) run = false;
            break;
        default:
            break;
    }
}

void winPump() {
    SDL_Event event;
    while (SDL_PollEvent(&event))
        winProc(event);
}

void winDestroy() {
    if (win_source != nullptr) SDL_FreeSurface(win_source);
    win_source = nullptr;
    win_shown_surface = nullptr;
    if (win_window != nullptr) SDL_DestroyWindow(win_window);
    win_window = nullptr;
    SDL_Quit();
}
