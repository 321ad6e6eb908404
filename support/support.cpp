#include "support/support.h"

#include <execinfo.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>

namespace support {
namespace {

class TextError final : public ErrorInfo {
 public:
  explicit TextError(std::string text) : text_(std::move(text)) {}
  std::string Text() const override { return text_; }

 private:
  std::string text_;
};

thread_local Cleanup* topCleanup = nullptr;

void WriteAll(std::string_view s) {
  while (!s.empty()) {
    ssize_t n = ::write(STDERR_FILENO, s.data(), s.size());
    if (n <= 0) return;
    s.remove_prefix(static_cast<size_t>(n));
  }
}

// The held-back standard error: the memory file that stands in for it, and the real one.
std::mutex held;
int heldFd = -1;
int realStderr = -1;

// Puts standard error back and returns what was held. The caller holds `held`.
std::string Unhold() {
  std::string text;
  if (heldFd < 0) return text;
  dup2(realStderr, STDERR_FILENO);
  char buf[4096];
  for (off_t at = 0;;) {
    const ssize_t n = pread(heldFd, buf, sizeof buf, at);
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
    at += n;
  }
  close(heldFd);
  close(realStderr);
  heldFd = realStderr = -1;
  return text;
}

}  // namespace

void HoldStderr() {
  const std::lock_guard lock(held);
  if (heldFd >= 0) return;
  const int mem = memfd_create("held-stderr", MFD_CLOEXEC);
  if (mem < 0) return;
  const int real = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (real < 0 || dup2(mem, STDERR_FILENO) < 0) {
    close(mem);
    if (real >= 0) close(real);
    return;
  }
  heldFd = mem;
  realStderr = real;
}

void ReleaseStderr() {
  const std::lock_guard lock(held);
  (void)Unhold();
}

Error MakeError(std::string text) { return Error(std::make_shared<TextError>(std::move(text))); }

Cleanup::Cleanup(std::function<void()> action) : action_(std::move(action)), below_(topCleanup) {
  topCleanup = this;
}

Cleanup::~Cleanup() {
  Run();
  topCleanup = below_;
}

void Cleanup::Run() {
  if (!action_) return;
  auto action = std::move(action_);
  action_ = nullptr;
  action();
}

void RunThreadCleanups() {
  // A clean-up that itself fails fatally re-enters here and goes on with the ones below it.
  while (Cleanup* c = topCleanup) {
    topCleanup = c->below_;
    c->Run();
  }
}

[[noreturn]] void Fatal(std::string_view text, std::string_view advice) {
  // A clean-up that fails fatally comes back here: the first failure stays the one reported.
  thread_local std::string first, firstAdvice;
  thread_local bool failing = false;
  std::string during;
  if (!failing) {
    failing = true;
    first = text;
    firstAdvice = advice;
  } else {
    during = text;
  }
  RunThreadCleanups();

  // Both threads may fail at once: one message, one exit.
  static std::mutex exiting;
  exiting.lock();
  // Never released: a thread that would put standard error back now waits for the exit.
  held.lock();
  const std::string heldBack = Unhold();

  std::string msg = "panic: " + first + "\n";
  if (!during.empty()) msg += "during clean-up: " + during + "\n";
  if (!firstAdvice.empty()) msg += firstAdvice + "\n";
  if (!heldBack.empty()) {
    msg += "\nwritten meanwhile by the libraries:\n" + heldBack;
    if (heldBack.back() != '\n') msg += "\n";
  }
  msg += "\n";
  char name[32] = "?";
  pthread_getname_np(pthread_self(), name, sizeof name);
  const pid_t tid = gettid();
  char line[128];
  std::snprintf(line, sizeof line, "thread %d \"%s\"%s:\n", static_cast<int>(tid), name,
                tid == getpid() ? " (main)" : "");
  msg += line;
  msg += "backtrace:\n";
  WriteAll(msg);

  void* frames[64];
  const int depth = backtrace(frames, 64);
  backtrace_symbols_fd(frames, depth, STDERR_FILENO);
  _exit(2);
}

[[noreturn]] void Fatal(const Error& err) { Fatal(err.Text()); }

}  // namespace support
