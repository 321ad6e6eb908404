#include "app/app.h"

#include <SDL.h>
#include <SDL_syswm.h>
#include <X11/Xlib.h>
#include <pthread.h>
#include <strings.h>
#include <systemd/sd-daemon.h>
#include <wayland-client.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "slideshow/scene.h"
#include "soundtrack/sound.h"
#include "support/support.h"

namespace app {
namespace {

constexpr Uint32 kSubsystems = 0xF231;
constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr Uint32 kWindowFlags = 0x1;

[[noreturn]] void FatalSdl() { support::Fatal(SDL_GetError()); }

// Set once the display connection is gone: the clean-ups must not talk to it any more.
bool displayLost = false;

[[noreturn]] void FatalDisplayLost(const std::string& what) {
  displayLost = true;
  support::Fatal("lost the display connection (" + what + ")");
}

// Xlib's own handler would end the process with status 1, outside the program's statuses.
// errno tells nothing here: a server that went away leaves EAGAIN as often as EPIPE.
int XConnectionLost(Display* display) {
  FatalDisplayLost(std::string("X server ") + DisplayString(display));
}

// Xlib's own handler ends the process with status 1 on any refused request. SDL puts its
// fullscreen mode back when the screen changes under it, and a screen that lost that mode
// refuses it: the show goes on in the window it has.
int XRequestRefused(Display*, XErrorEvent*) { return 0; }

// A lost Wayland connection reaches the program only as a quit request.
void CheckDisplay(SDL_Window* window) {
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
  if (window == nullptr || !SDL_GetWindowWMInfo(window, &info)) return;
  if (info.subsystem != SDL_SYSWM_WAYLAND) return;
  if (const int err = wl_display_get_error(info.info.wl.display)) {
    const char* name = std::getenv("WAYLAND_DISPLAY");
    FatalDisplayLost(std::string("Wayland ") + (name ? name : "wayland-0") + ": " + strerror(err));
  }
}

// Drivers that draw only through a renderer cannot also hand out a window surface.
std::string SurfaceAdvice() {
  const char* driver = SDL_GetCurrentVideoDriver();
  const char* renderer = std::getenv("SDL_RENDER_DRIVER");
  if (driver == nullptr || std::string_view(driver) == "x11") return "";
  if (renderer != nullptr && strcasecmp(renderer, "software") == 0) return "";
  return std::string("The \"") + driver +
         "\" video driver has no window surface beside an accelerated renderer: run with "
         "SDL_RENDER_DRIVER=software, or on X11 (DISPLAY set, XWayland under a compositor).";
}

// Under systemd: READY=1 once the first frame is on the screen, then the watchdog fed from the
// main loop, so that a frozen loop is killed and brought back. Outside systemd, nothing.
class ServiceNotifier {
 public:
  ServiceNotifier() {
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0) interval_ = std::chrono::microseconds(usec / 4);
  }
  void Presented() {
    const auto now = std::chrono::steady_clock::now();
    if (!ready_) {
      ready_ = true;
      last_ = now;
      sd_notify(0, "READY=1\nWATCHDOG=1");
    } else if (interval_.count() > 0 && now - last_ >= interval_) {
      last_ = now;
      sd_notify(0, "WATCHDOG=1");
    }
  }

 private:
  bool ready_ = false;
  std::chrono::microseconds interval_{0};
  std::chrono::steady_clock::time_point last_;
};

// The frame is laid out for 1920 x 1080. Where the display shows that mode, the window takes
// it. Elsewhere SDL would give a window of another mode's size, or the screen's, while the X
// window itself stays 1920 x 1080, centred past the screen's edges, and the frame lands in a
// corner of it. A window the desktop's own size needs no mode change; the renderer scales the
// frame into it. A Wayland compositor has no modes to change: SDL would stretch the frame to
// the output, so there the window always takes the output's size, and follows it.
struct WindowShape {
  int w, h;
  Uint32 flags;
};
WindowShape Shape() {
  SDL_DisplayMode desktop;
  const bool known = SDL_GetDesktopDisplayMode(0, &desktop) == 0 && desktop.w > 0 && desktop.h > 0;
  const char* driver = SDL_GetCurrentVideoDriver();
  if (driver != nullptr && strcasecmp(driver, "wayland") == 0) {
    constexpr Uint32 kDesktop = SDL_WINDOW_FULLSCREEN_DESKTOP;
    return known ? WindowShape{desktop.w, desktop.h, kDesktop}
                 : WindowShape{kWidth, kHeight, kDesktop};
  }
  const SDL_DisplayMode wanted{SDL_PIXELFORMAT_UNKNOWN, kWidth, kHeight, 0, nullptr};
  SDL_DisplayMode mode;
  if (!known || (SDL_GetClosestDisplayMode(0, &wanted, &mode) != nullptr && mode.w == kWidth &&
                 mode.h == kHeight)) {
    return {kWidth, kHeight, kWindowFlags};
  }
  return {desktop.w, desktop.h, kWindowFlags};
}

// Music that stopped moving, stuck in its set-up or in a write, would leave a show that looks
// healthy and is silent, for good: that is fatal, so that whoever runs the show starts it
// again. The time counts only while the main loop itself runs: a process stopped or a machine
// suspended stalls both threads alike.
class MusicWatch {
 public:
  static constexpr std::chrono::seconds kLimit{30};
  void Check() {
    const auto now = std::chrono::steady_clock::now();
    if (now - lastCheck_ < std::chrono::milliseconds(500)) return;
    if (now - lastCheck_ > std::chrono::seconds(5)) lastMove_ = now;
    lastCheck_ = now;
    if (const uint64_t taken = soundtrack::WritesTaken(); taken != taken_) {
      taken_ = taken;
      lastMove_ = now;
    } else if (now - lastMove_ > kLimit) {
      support::Fatal("the music has stopped: the sound output took nothing for " +
                         std::to_string(kLimit.count()) + " s",
                     "Its device or sound server stopped taking samples, or a sound library hung "
                     "while starting; the show ends so that it can be started again.");
    }
  }

 private:
  uint64_t taken_ = 0;
  std::chrono::steady_clock::time_point lastCheck_ = std::chrono::steady_clock::now(),
                                        lastMove_ = lastCheck_;
};

void* PlaySoundtrack(void*) {
  pthread_setname_np(pthread_self(), "music");
  soundtrack::PlayMP3("music/dunk.mp3");
}

// The music runs for the rest of the process: nobody waits for it or tells it to stop.
void StartSoundtrack() {
  pthread_t thread;
  if (const int err = pthread_create(&thread, nullptr, PlaySoundtrack, nullptr)) {
    support::Fatal(std::string("cannot start the music thread: ") + strerror(err));
  }
  pthread_detach(thread);
}

}  // namespace

bool handleEvent() {
  SDL_Event event;
  while (SDL_PollEvent(&event)) {
    if (event.type == SDL_QUIT) return false;
    if (event.type == SDL_KEYDOWN || event.type == SDL_KEYUP) {
      const SDL_Keycode sym = event.key.keysym.sym;
      if (sym == SDLK_q || sym == SDLK_ESCAPE) return false;
    }
  }
  return true;
}

bool InvisibleFallback(const char* driver, const char* requested) {
  if (driver == nullptr) return false;
  const std::string_view name(driver);
  if (name != "offscreen" && name != "dummy") return false;
  // SDL_VIDEODRIVER may list several drivers, separated by commas.
  std::string_view list = requested ? requested : "";
  while (!list.empty()) {
    const size_t comma = list.find(',');
    const std::string_view item = list.substr(0, comma);
    if (item.size() == name.size() && strncasecmp(item.data(), driver, item.size()) == 0) {
      return false;
    }
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return true;
}

SignalDispositions SaveSignals() {
  SignalDispositions saved{};
  sigaction(SIGINT, nullptr, &saved.interrupt);
  sigaction(SIGTERM, nullptr, &saved.terminate);
  sigaction(SIGHUP, nullptr, &saved.hangup);
  return saved;
}

void RestoreSignals(const SignalDispositions& saved) {
  sigaction(SIGINT, &saved.interrupt, nullptr);
  sigaction(SIGTERM, &saved.terminate, nullptr);
  sigaction(SIGHUP, &saved.hangup, nullptr);
}

bool Frame(SDL_Renderer* renderer, slideshow::Scene& scene) {
  if (!handleEvent()) {
    CheckDisplay(SDL_RenderGetWindow(renderer));
    return false;
  }
  SDL_RenderClear(renderer);
  scene.Update();
  return true;
}

void Run(const FrameFunction& frame) {
  // SDL turns SIGINT and SIGTERM into quit events; they must end the process by themselves.
  const SignalDispositions signals = SaveSignals();
  if (SDL_Init(kSubsystems) != 0) FatalSdl();
  RestoreSignals(signals);
  support::Cleanup quitSdl([] {
    if (!displayLost) SDL_Quit();
  });
  XSetIOErrorHandler(XConnectionLost);
  XSetErrorHandler(XRequestRefused);

  // Without a display SDL quietly falls back to a driver that shows nothing.
  if (InvisibleFallback(SDL_GetCurrentVideoDriver(), std::getenv("SDL_VIDEODRIVER"))) {
    support::Fatal("No available video device");
  }
  // On the bare console SDL drew nothing visible although the loop ran: a black screen that
  // looks healthy is worse than an error.
  if (const char* driver = SDL_GetCurrentVideoDriver();
      driver != nullptr && strcasecmp(driver, "kmsdrm") == 0) {
    support::Fatal("the console (kmsdrm) is not supported",
                   "Run the show under an X server or a Wayland compositor; the showreel-kiosk "
                   "package boots a machine into one.");
  }

  SDL_Window* window = nullptr;
  SDL_Renderer* renderer = nullptr;
  const WindowShape shape = Shape();
  // A scaled frame keeps its thin lines; at 1920 x 1080 nothing is filtered, as ever.
  if (shape.w != kWidth || shape.h != kHeight) {
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "linear");
  }
  if (SDL_CreateWindowAndRenderer(shape.w, shape.h, shape.flags, &window, &renderer) != 0) {
    FatalSdl();
  }
  support::Cleanup destroyWindow([window] {
    if (!displayLost) SDL_DestroyWindow(window);
  });

  // The whole frame, centred, its aspect kept, black around it; SDL follows the window when
  // the X server or the compositor changes its size. At 1920 x 1080 it is drawn as it is.
  if (SDL_RenderSetLogicalSize(renderer, kWidth, kHeight) != 0) FatalSdl();

  SDL_Surface* surface = SDL_GetWindowSurface(window);
  if (surface == nullptr) support::Fatal(SDL_GetError(), SurfaceAdvice());

  slideshow::Scene scene = slideshow::Scene::New(renderer, surface);
  StartSoundtrack();

  ServiceNotifier notifier;
  MusicWatch music;
  while (frame(renderer, scene)) {
    notifier.Presented();
    music.Check();
  }
}

}  // namespace app
