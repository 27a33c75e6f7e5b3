#include "app/window.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include "app/frame.h"

namespace {

SDL_Event keyDown(SDL_Keycode sym, uint16_t mod) {
    SDL_Event event = {};
    event.type = SDL_KEYDOWN;
    event.key.keysym.sym = sym;
    event.key.keysym.mod = mod;
    return event;
}

SDL_Event windowEvent(uint8_t what) {
    SDL_Event event = {};
    event.type = SDL_WINDOWEVENT;
    event.window.event = what;
    return event;
}

struct EventCase {
    const char* name;
    SDL_Event event;
    bool stops;
};

TEST(WinProc, CloseEscapeAndQStopTheRunAndNothingElseDoes) {
    SDL_Event quit = {};
    quit.type = SDL_QUIT;
    SDL_Event keyUpEscape = keyDown(SDLK_ESCAPE, KMOD_NONE);
    keyUpEscape.type = SDL_KEYUP;
    const EventCase cases[] = {
        {"Escape", keyDown(SDLK_ESCAPE, KMOD_NONE), true},
        {"q", keyDown(SDLK_q, KMOD_NONE), true},
        {"Shift+Q", keyDown(SDLK_q, KMOD_LSHIFT), true},
        {"Q with Caps Lock", keyDown(SDLK_q, KMOD_CAPS), true},
        {"close box", windowEvent(SDL_WINDOWEVENT_CLOSE), true},
        {"last window closed", quit, true},
        {"Enter", keyDown(SDLK_RETURN, KMOD_NONE), false},
        {"arrow key", keyDown(SDLK_UP, KMOD_NONE), false},
        {"w", keyDown(SDLK_w, KMOD_NONE), false},
        {"Escape released", keyUpEscape, false},
        {"exposed, without a window", windowEvent(SDL_WINDOWEVENT_EXPOSED), false},
        {"restored, without a window", windowEvent(SDL_WINDOWEVENT_RESTORED), false},
        {"focus lost", windowEvent(SDL_WINDOWEVENT_FOCUS_LOST), false},
    };
    for (const EventCase& c : cases) {
        run = true;
        winProc(c.event);
        EXPECT_EQ(!run, c.stops) << c.name;
    }
    run = true;
}

TEST(WinProc, StopIsFinal) {
    run = true;
    winProc(keyDown(SDLK_q, KMOD_NONE));
    winProc(keyDown(SDLK_RETURN, KMOD_NONE));
    winProc(keyDown(SDLK_q, KMOD_NONE));  // a repeating key only stops it again
    EXPECT_FALSE(run);
    run = true;
}

TEST(Window, PresentAndPumpWithoutAWindowDoNothing) {
    winPresent();
    winDestroy();
}

}  // namespace
