// A headless Wayland compositor (sway, with XWayland) of the caller's own, to run the show on,
// look at it and talk to it as a user would. As root, the compositor and its clients run as
// nobody: sway refuses root.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/harness/process.h"
#include "tests/harness/screen.h"

namespace harness {

class Sway {
 public:
  Sway();
  bool ok() const { return !display_.empty(); }
  // How to start a client: on XWayland (DISPLAY set) or on Wayland itself.
  Options Client(std::vector<std::string> argv, bool x11) const;
  // Whether a window of process `pid` is on the screen.
  bool ShowsWindowOf(pid_t pid) const;
  Shot Screenshot(const std::vector<Area>& only = {}) const;
  // The output switched to another mode, as a screen plugged in would be.
  void SetMode(int w, int h);
  // A key (an XKB key name, "q" or "Escape") pressed and released through a virtual keyboard.
  void Type(const std::string& key) const;
  // What the user's close binding does: asks the focused window to close.
  void CloseFocused() const;
  // Ends it at once, as a crash would; XWayland goes with it.
  void Kill() { sway_.reset(); }

 private:
  std::string Swaymsg(std::vector<std::string> args) const;
  TempDir dir_;
  std::string runtime_ = dir_.path() + "/run", display_;
  std::unique_ptr<Process> sway_;
  int w_ = 1920, h_ = 1080;
};

}  // namespace harness
