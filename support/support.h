// Error values, scope-bound clean-ups and the fatal path, shared by every module.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace support {

// What an error value points at. Kinds that carry more than a text (a library code, say)
// derive from it; callers reach them through Error::As.
class ErrorInfo {
 public:
  virtual ~ErrorInfo() = default;
  virtual std::string Text() const = 0;
};

// An error value: absent means success. Copies share the same information, so a value made
// once (an end-of-stream marker, say) can be recognised by identity with Is.
class [[nodiscard]] Error {
 public:
  Error() = default;
  explicit Error(std::shared_ptr<const ErrorInfo> info) : info_(std::move(info)) {}

  explicit operator bool() const { return info_ != nullptr; }
  std::string Text() const { return info_ ? info_->Text() : std::string(); }
  bool Is(const Error& other) const { return info_ != nullptr && info_ == other.info_; }

  template <class T>
  const T* As() const {
    return dynamic_cast<const T*>(info_.get());
  }

 private:
  std::shared_ptr<const ErrorInfo> info_;
};

// A fresh error value that carries only its text.
Error MakeError(std::string text);

// A result together with the error value of the operation that made it. The value is
// meaningful on success and, where an operation says so, on failure too.
template <class T>
struct [[nodiscard]] Result {
  T value{};
  Error err;
};

// Returns the error of an Error-valued expression from the enclosing function.
#define TRY(expr)                             \
  do {                                        \
    if (::support::Error try_err_ = (expr)) { \
      return try_err_;                        \
    }                                         \
  } while (0)

// A clean-up action registered on the current thread right after an acquisition. It runs when
// its scope ends, or earlier, most recent first, when a fatal error passes through this thread.
// Guards must live on the stack of the thread that made them: they form a per-thread stack.
class Cleanup {
 public:
  explicit Cleanup(std::function<void()> action);
  ~Cleanup();
  Cleanup(const Cleanup&) = delete;
  Cleanup& operator=(const Cleanup&) = delete;

 private:
  friend void RunThreadCleanups();
  void Run();

  std::function<void()> action_;
  Cleanup* below_;
};

// Runs every clean-up registered on the calling thread, most recent first, each once.
void RunThreadCleanups();

// The fatal path: the calling thread's clean-ups, "panic: " with the text and diagnostic lines
// (`advice` first, if any: what the user can do about it) about the thread on standard error,
// then exit status 2 without process-exit handlers.
[[noreturn]] void Fatal(const Error& err);
[[noreturn]] void Fatal(std::string_view text, std::string_view advice = {});

// Standard error held back: until ReleaseStderr, whatever the process writes there is kept in
// memory instead. A fatal error meanwhile writes it after its own lines; ReleaseStderr drops
// it. For libraries that talk while they start. Where memory cannot be had, nothing is held.
void HoldStderr();
void ReleaseStderr();

}  // namespace support
