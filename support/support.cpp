#include "support/support.h"

#include <execinfo.h>
#include <pthread.h>
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

}  // namespace

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

  std::string msg = "panic: " + first + "\n";
  if (!during.empty()) msg += "during clean-up: " + during + "\n";
  if (!firstAdvice.empty()) msg += firstAdvice + "\n";
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
