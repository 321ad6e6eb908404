// Running the real program under a private X server, looking at it and talking to it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace e2e {

// X11's own headers define macros (None, Status) that clash with the test framework.
using Window = unsigned long;

// An Xvfb of 1920 x 1080 on a display number that was free.
class XServer {
 public:
  XServer();
  ~XServer();
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;

  bool ok() const { return dpy_ != nullptr; }
  // Ends the server at once, as a crash would.
  void Kill();
  const std::string& name() const { return name_; }
  pid_t pid() const { return pid_; }

  // The whole screen, as RGB.
  struct Shot {
    int w = 0, h = 0;
    std::vector<testutil::Rgb> px;
    testutil::Rgb at(int x, int y) const { return px[static_cast<size_t>(y * w + x)]; }
  };
  Shot Screenshot() const;
  // The mapped top-level window of a process, or 0.
  Window WindowOf(pid_t pid) const;
  // A key pressed and released in window `w`, as the keyboard would.
  void TapKey(Window w, unsigned long keysym) const;
  // What a window manager sends when the user closes the window.
  void RequestClose(Window w) const;

 private:
  pid_t pid_ = -1;
  std::string name_;
  void* dpy_ = nullptr;  // Display*
};

// A PulseAudio server of the test's own with one null sink, reached through PULSE_SERVER. Its
// clock paces whoever plays to it in real time.
class PulseServer {
 public:
  PulseServer();
  ~PulseServer();
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;
  bool ok() const { return ok_; }
  const std::string& address() const { return address_; }
  void Kill();
  // Starts recording what the sink plays, as 16-bit stereo at 44.1 kHz, into `path`.
  void RecordMonitor(const std::string& path);

 private:
  testutil::TempDir dir_;
  pid_t pid_ = -1;
  pid_t recorder_ = -1;
  bool ok_ = false;
  std::string address_;
};

// The first line of standard error that starts with "panic: ", or "".
std::string PanicLine(const std::string& stderrText);

// Errors in a memcheck XML report whose stack starts in the program's own code: invalid
// accesses and uses of undefined values at a frame of the program, definite leaks allocated
// from it. One line each, kind and function.
std::vector<std::string> OwnMemcheckErrors(const std::string& xml, const std::string& program);

// Size of a file, or -1.
long long FileSize(const std::string& path);

struct Options {
  std::string cwd;
  std::map<std::string, std::string> env;  // on top of a minimal environment
  std::vector<std::string> unset;          // names removed from it
  bool ignoreInterrupt = false;            // start with SIGINT and SIGHUP ignored
  std::vector<std::string> prefix{};       // a command to run the program under
};

// The program, started with the given working directory and environment; standard error goes
// to a file.
class Program {
 public:
  explicit Program(const Options& options);
  ~Program();
  pid_t pid() const { return pid_; }
  // The wait status once it has ended within `timeout`, else nothing. A capture file (see
  // TEST_ALSA_CAPTURE) that outgrows 256 MiB meanwhile ends the program with SIGKILL.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  bool Running();
  std::string Stderr() const;

 private:
  static constexpr long long kCaptureLimit = 256LL << 20;
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::string capture_;
  testutil::TempDir scratch_;
};

}  // namespace e2e
