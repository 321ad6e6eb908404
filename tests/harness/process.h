// Programs run by the tests, the benchmarks and the tools: one way to start a process with its
// environment, working folder and captured output, and the files around it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace harness {

// A fresh temporary folder, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Runs the test body inside a folder and goes back to the previous one afterwards.
class ChangeDir {
 public:
  explicit ChangeDir(const std::string& dir);
  ~ChangeDir();

 private:
  std::string previous_;
};

std::string ReadFile(const std::string& path);
// Size of a file, or -1.
long long FileSize(const std::string& path);

struct Options {
  std::vector<std::string> argv{};
  std::string cwd{};                         // empty: the caller's
  std::map<std::string, std::string> env{};  // on top of a minimal environment
  std::vector<std::string> unset{};          // names removed from it
  std::vector<std::string> prefix{};         // a command to run it under
  bool ignoreInterrupt = false;              // start with SIGINT and SIGHUP ignored
  std::string stdoutPath{};                  // empty: captured, see Stdout()
  bool unprivileged = false;                 // as root: run as nobody
};

// A started process. Standard input is /dev/null; standard error (and standard output unless
// redirected) go to files that outlive the process. One that is still running when the object
// goes is killed.
class Process {
 public:
  explicit Process(const Options& options);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  // The wait status once it has ended within `timeout`, else nothing. A sound capture file (see
  // TEST_ALSA_CAPTURE) that outgrows 256 MiB meanwhile ends it with SIGKILL.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  bool Running();
  // Sends `sig` to it and to what it started, and waits for its end.
  void Kill(int sig = SIGKILL);
  std::string Stdout() const;
  std::string Stderr() const;

 private:
  static constexpr long long kCaptureLimit = 256LL << 20;
  TempDir scratch_;
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::string capture_;
};

// The folder `path`, made for a process run unprivileged to own it.
void MakeOwnedDir(const std::string& path);

// Runs a command to its end: its wait status and what it wrote on standard output and error.
struct Ended {
  int status = -1;
  std::string out, err;
};
Ended RunToEnd(const Options& options);

// The first line of standard error that starts with "panic: ", or "".
std::string PanicLine(const std::string& stderrText);

// Errors in a memcheck XML report whose stack starts in the program's own code: invalid
// accesses and uses of undefined values at a frame of the program, definite leaks allocated
// from it. One line each, kind and function.
std::vector<std::string> OwnMemcheckErrors(const std::string& xml, const std::string& program);

}  // namespace harness
