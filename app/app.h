// The program's shell: start-up, the main loop, input events and the way out.
#pragma once

#include <csignal>

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

// Runs the show until it is stopped; fatal errors end the process from inside.
void Run();

}  // namespace app
