// A private X server to run the show on, look at it and talk to it as a user would.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/harness/process.h"

namespace harness {

struct Rgb {
  uint8_t r, g, b;
  bool operator==(const Rgb&) const = default;
};

// A whole screen, as RGB.
struct Shot {
  int w = 0, h = 0;
  // Bytes, three to a pixel: a sanitizer's build clears them at once, where it took a quarter
  // of a second over a screen of Rgb.
  std::vector<uint8_t> px;
  Rgb at(int x, int y) const {
    const auto i = static_cast<size_t>(y * w + x) * 3;
    return Rgb{px[i], px[i + 1], px[i + 2]};
  }
};

// A part of the screen. A shot of some parts only is quick on a busy machine; the rest of it
// stays black.
struct Area {
  int x, y, w, h;
};
// A pixel where the background shows (the frame's top-left corner) and the middle row and
// column of a `w` x `h` screen: where the show is checked. In that order, as the parts are
// taken one after the other: the background seen at the corner can then never be put beside a
// picture that came before it.
inline std::vector<Area> Cross(int w, int h, int cornerX = 5, int cornerY = 5) {
  return {{cornerX, cornerY, 1, 1}, {0, h / 2, w, 1}, {w / 2, 0, 1, h}};
}

// X11's own headers define macros (None, Status) that clash with the test framework.
using Window = unsigned long;

// An Xvfb with a screen of `w` x `h` on a display number that was free.
class XServer {
 public:
  explicit XServer(int w = 1920, int h = 1080);
  ~XServer();
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;

  bool ok() const { return dpy_ != nullptr; }
  // Ends the server at once, as a crash would.
  void Kill();
  const std::string& name() const { return name_; }

  Shot Screenshot(const std::vector<Area>& only = {}) const;
  // The mapped top-level window of a process, or 0.
  Window WindowOf(pid_t pid) const;
  // The program's window once it has stayed the same for `steady` (SDL replaces its first
  // window when the renderer, still starting, wants another visual); 0 after `timeout` or once
  // the program has ended.
  Window AwaitWindow(Process& p, std::chrono::milliseconds timeout,
                     std::chrono::milliseconds steady = {}) const;
  // Whether anything but black shows at the centre of the screen within `timeout`.
  bool AwaitCentreDrawn(std::chrono::milliseconds timeout) const;
  // A key pressed and released in window `w`, as the keyboard would.
  void TapKey(Window w, unsigned long keysym) const;
  // What a window manager sends when the user closes the window.
  void RequestClose(Window w) const;
  // Taps `keysym` (0: asks to close) on the program's window until it ends: a request can go to
  // a window that SDL is just replacing.
  void StopProgram(Process& p, unsigned long keysym, int attempts = 30,
                   std::chrono::milliseconds each = std::chrono::seconds(1)) const;

 private:
  std::unique_ptr<Process> server_;
  std::string name_;
  void* dpy_ = nullptr;  // Display*
};

}  // namespace harness
