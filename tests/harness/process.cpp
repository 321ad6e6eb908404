#include "tests/harness/process.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace harness {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "showreel-test-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  // Open to all: the compositor tests run their programs as an unprivileged user.
  chmod(tmpl.c_str(), 0777);
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

ChangeDir::ChangeDir(const std::string& dir) : previous_(std::filesystem::current_path()) {
  std::filesystem::current_path(dir);
}

ChangeDir::~ChangeDir() { std::filesystem::current_path(previous_); }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

long long FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

Process::Process(const Options& options) {
  std::map<std::string, std::string> env;
  for (const char* name :
       {"PATH", "HOME", "LANG", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
    if (const char* v = getenv(name)) env[name] = v;
  }
  // As in a desktop session; without it the Wayland client library complains on stderr.
  env["XDG_RUNTIME_DIR"] = scratch_.path();
  for (const auto& name : options.unset) env.erase(name);
  for (const auto& [k, v] : options.env) env[k] = v;
  if (auto it = env.find("TEST_ALSA_CAPTURE"); it != env.end()) capture_ = it->second;
  std::vector<std::string> flat;
  for (const auto& [k, v] : env) flat.push_back(k + "=" + v);
  std::vector<std::string> args = options.prefix;
  if (options.unprivileged && geteuid() == 0) {
    // Compositors refuse to run as root, and CI runs as root.
    args.insert(args.begin(),
                {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"});
  }
  args.insert(args.end(), options.argv.begin(), options.argv.end());
  const std::string errPath = scratch_.path() + "/stderr";
  const std::string outPath =
      options.stdoutPath.empty() ? scratch_.path() + "/stdout" : options.stdoutPath;

  pid_ = fork();
  if (pid_ == 0) {
    std::vector<char*> envp, argv;
    for (auto& s : flat) envp.push_back(s.data());
    envp.push_back(nullptr);
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // A group of its own, so that Kill reaches whatever it starts too (a server's helpers).
    setpgid(0, 0);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    dup2(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
    dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
    dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
    signal(SIGINT, options.ignoreInterrupt ? SIG_IGN : SIG_DFL);
    signal(SIGHUP, options.ignoreInterrupt ? SIG_IGN : SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execvpe(argv[0], argv.data(), envp.data());
    _exit(127);
  }
}

void MakeOwnedDir(const std::string& path) {
  mkdir(path.c_str(), 0700);
  if (geteuid() == 0 && chown(path.c_str(), 65534, 65534) != 0) std::perror(path.c_str());
}

Process::~Process() {
  if (!status_ && pid_ > 0) Kill();
}

std::optional<int> Process::Wait(std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!status_ && pid_ > 0) {
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = status;
      break;
    }
    if (std::chrono::steady_clock::now() > end) break;
    // ALSA's null device takes sound as fast as it comes: a run that goes on longer than the
    // test meant would fill the disk.
    if (!capture_.empty() && FileSize(capture_) > kCaptureLimit) kill(pid_, SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return status_;
}

bool Process::Running() { return !Wait(std::chrono::milliseconds(0)); }

void Process::Kill(int sig) {
  if (status_ || pid_ <= 0) return;
  kill(-pid_, sig);
  int status;
  if (waitpid(pid_, &status, 0) == pid_) status_ = status;
}

std::string Process::Stdout() const { return ReadFile(scratch_.path() + "/stdout"); }
std::string Process::Stderr() const { return ReadFile(scratch_.path() + "/stderr"); }

Ended RunToEnd(const Options& options) {
  Process p(options);
  const auto status = p.Wait(std::chrono::hours(24));
  return {status.value_or(-1), p.Stdout(), p.Stderr()};
}

std::string PanicLine(const std::string& text) {
  size_t at = text.rfind("panic: ", 0) == 0 ? 0 : text.find("\npanic: ");
  if (at == std::string::npos) return "";
  if (at != 0) ++at;
  return text.substr(at, text.find('\n', at) - at);
}

std::vector<std::string> OwnMemcheckErrors(const std::string& xml, const std::string& program) {
  auto between = [](const std::string& s, const std::string& open, const std::string& close,
                    size_t from) -> std::pair<std::string, size_t> {
    const size_t a = s.find(open, from);
    if (a == std::string::npos) return {"", std::string::npos};
    const size_t b = s.find(close, a + open.size());
    if (b == std::string::npos) return {"", std::string::npos};
    return {s.substr(a + open.size(), b - a - open.size()), b + close.size()};
  };
  // Whether the first frame of `stack` outside valgrind's allocator and the C++ runtime's
  // operator new is the program's; its function name, if so.
  auto ownFrame = [&](const std::string& stack) -> std::optional<std::string> {
    for (size_t f = 0;;) {
      auto [frame, next] = between(stack, "<frame>", "</frame>", f);
      if (next == std::string::npos) return std::nullopt;
      f = next;
      const std::string obj = between(frame, "<obj>", "</obj>", 0).first;
      if (obj.find("vgpreload") != std::string::npos ||
          obj.find("libstdc++") != std::string::npos) {
        continue;
      }
      if (obj.size() >= program.size() &&
          obj.compare(obj.size() - program.size(), program.size(), program) == 0) {
        return between(frame, "<fn>", "</fn>", 0).first;
      }
      return std::nullopt;
    }
  };
  std::vector<std::string> own;
  for (size_t at = 0;;) {
    auto [error, next] = between(xml, "<error>", "</error>", at);
    if (next == std::string::npos) break;
    at = next;
    const std::string kind = between(error, "<kind>", "</kind>", 0).first;
    if (kind.rfind("Leak_", 0) == 0 && kind != "Leak_DefinitelyLost") continue;
    const auto where = ownFrame(between(error, "<stack>", "</stack>", 0).first);
    if (!where) continue;
    // An undefined value that a library made and handed over (a field it never filled) is the
    // library's, even where the program first looks at it.
    const size_t origin = error.find("<auxwhat>Uninitialised value was created");
    if (origin != std::string::npos &&
        !ownFrame(between(error, "<stack>", "</stack>", origin).first)) {
      continue;
    }
    own.push_back(kind + " in " + *where);
  }
  return own;
}

}  // namespace harness
