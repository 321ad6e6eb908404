// The program's shell: start-up, the main loop, input events and the way out.
#pragma once

#include <SDL.h>

#include <csignal>
#include <functional>

#include "slideshow/scene.h"

namespace app {

// Drains SDL's event queue: false as soon as an event asks to stop (window close, `q` or
// Escape pressed or released), true once the queue is empty.
bool handleEvent();

// Whether SDL settled on a video driver that shows nothing (`offscreen`, `dummy`) although
// SDL_VIDEODRIVER, here `requested` (may be null), did not ask for it.
bool InvisibleFallback(const char* driver, const char* requested);

// The dispositions of SIGINT, SIGTERM and SIGHUP, to be put back after SDL has taken them.
struct SignalDispositions {
  struct sigaction interrupt, terminate, hangup;
};
SignalDispositions SaveSignals();
void RestoreSignals(const SignalDispositions& saved);

// One pass of the main loop: drains the events, then clears and draws one frame unless one of
// them asks to stop. False means stop.
bool Frame(SDL_Renderer* renderer, slideshow::Scene& scene);

// Start-up, then `frame` over and over until it says stop; fatal errors end the process from
// inside. A caller that watches the show passes its own function around Frame.
using FrameFunction = std::function<bool(SDL_Renderer*, slideshow::Scene&)>;
void Run(const FrameFunction& frame = Frame);

}  // namespace app
