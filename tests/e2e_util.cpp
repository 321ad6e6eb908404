#include "tests/e2e_util.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>

extern char** environ;

namespace e2e {
namespace {
Display* D(void* p) { return static_cast<Display*>(p); }
// A window can vanish between finding it and using it (SDL re-creates its window for OpenGL);
// that is the test's business, not a reason to abort.
int IgnoreXError(Display*, XErrorEvent*) { return 0; }
}  // namespace

XServer::XServer() {
  int fds[2];
  if (pipe(fds) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    close(fds[0]);
    const std::string fd = std::to_string(fds[1]);
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDOUT_FILENO);
    dup2(devnull, STDERR_FILENO);
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1920x1080x24", "-nolisten",
           "tcp", "-noreset", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  char buf[32] = {};
  ssize_t n = 0, got;
  while (n < 31 && (got = read(fds[0], buf + n, 31 - static_cast<size_t>(n))) > 0) {
    n += got;
    if (memchr(buf, '\n', static_cast<size_t>(n))) break;
  }
  close(fds[0]);
  if (n <= 0) return;
  name_ = ":" + std::to_string(std::atoi(buf));
  dpy_ = XOpenDisplay(name_.c_str());
  XSetErrorHandler(IgnoreXError);
}

XServer::~XServer() {
  if (dpy_) XCloseDisplay(D(dpy_));
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}

void XServer::Kill() {
  // Our own connection dies with it: drop it first, or Xlib would end the test.
  if (dpy_) XCloseDisplay(D(dpy_));
  dpy_ = nullptr;
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
}

XServer::Shot XServer::Screenshot() const {
  Shot shot;
  const Window root = DefaultRootWindow(D(dpy_));
  XWindowAttributes attrs;
  XGetWindowAttributes(D(dpy_), root, &attrs);
  XImage* img = XGetImage(D(dpy_), root, 0, 0, static_cast<unsigned>(attrs.width),
                          static_cast<unsigned>(attrs.height), AllPlanes, ZPixmap);
  if (img == nullptr) return shot;
  shot.w = attrs.width;
  shot.h = attrs.height;
  shot.px.resize(static_cast<size_t>(shot.w * shot.h));
  for (int y = 0; y < shot.h; ++y) {
    const auto* row = reinterpret_cast<const uint32_t*>(img->data + y * img->bytes_per_line);
    for (int x = 0; x < shot.w; ++x) {
      const uint32_t p = row[x];
      shot.px[static_cast<size_t>(y * shot.w + x)] = testutil::Rgb{
          static_cast<Uint8>(p >> 16), static_cast<Uint8>(p >> 8), static_cast<Uint8>(p)};
    }
  }
  XDestroyImage(img);
  return shot;
}

Window XServer::WindowOf(pid_t pid) const {
  const Atom pidAtom = XInternAtom(D(dpy_), "_NET_WM_PID", True);
  if (pidAtom == None) return 0;
  Window rootRet, parent, *children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(D(dpy_), DefaultRootWindow(D(dpy_)), &rootRet, &parent, &children, &count))
    return 0;
  Window found = 0;
  for (unsigned i = 0; i < count && !found; ++i) {
    Atom type;
    int format;
    unsigned long items, after;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(D(dpy_), children[i], pidAtom, 0, 1, False, XA_CARDINAL, &type, &format,
                           &items, &after, &data) == Success &&
        data != nullptr && items == 1) {
      XWindowAttributes attrs;
      if (static_cast<pid_t>(*reinterpret_cast<unsigned long*>(data)) == pid &&
          XGetWindowAttributes(D(dpy_), children[i], &attrs) && attrs.map_state == IsViewable) {
        found = children[i];
      }
    }
    if (data) XFree(data);
  }
  if (children) XFree(children);
  return found;
}

void XServer::TapKey(Window w, unsigned long keysym) const {
  // What a window manager does for a new fullscreen window; bare Xvfb leaves the focus nowhere
  // once a focused window has gone.
  XSetInputFocus(D(dpy_), w, RevertToPointerRoot, CurrentTime);
  const KeyCode code = XKeysymToKeycode(D(dpy_), keysym);
  XTestFakeKeyEvent(D(dpy_), code, True, 0);
  XTestFakeKeyEvent(D(dpy_), code, False, 0);
  XSync(D(dpy_), False);
}

void XServer::RequestClose(Window w) const {
  XEvent ev{};
  ev.xclient.type = ClientMessage;
  ev.xclient.window = w;
  ev.xclient.message_type = XInternAtom(D(dpy_), "WM_PROTOCOLS", False);
  ev.xclient.format = 32;
  ev.xclient.data.l[0] = static_cast<long>(XInternAtom(D(dpy_), "WM_DELETE_WINDOW", False));
  ev.xclient.data.l[1] = CurrentTime;
  XSendEvent(D(dpy_), w, False, NoEventMask, &ev);
  XSync(D(dpy_), False);
}

PulseServer::PulseServer() {
  const std::string socket = dir_.path() + "/native";
  address_ = "unix:" + socket;
  pid_ = fork();
  if (pid_ == 0) {
    setenv("HOME", dir_.path().c_str(), 1);
    setenv("XDG_RUNTIME_DIR", dir_.path().c_str(), 1);
    const int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, STDIN_FILENO);
    dup2(devnull, STDOUT_FILENO);
    dup2(devnull, STDERR_FILENO);
    const std::string native = "module-native-protocol-unix auth-anonymous=1 socket=" + socket;
    execlp("pulseaudio", "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
           "--use-pid-file=no", "--system=no", "-L", "module-null-sink sink_name=sink", "-L",
           native.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 200 && !ok_; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ok_ = access(socket.c_str(), F_OK) == 0;
  }
}

PulseServer::~PulseServer() { Kill(); }

void PulseServer::RecordMonitor(const std::string& path) {
  if (recorder_ > 0) {
    kill(recorder_, SIGKILL);
    waitpid(recorder_, nullptr, 0);
  }
  recorder_ = fork();
  if (recorder_ == 0) {
    setenv("PULSE_SERVER", address_.c_str(), 1);
    setenv("HOME", dir_.path().c_str(), 1);
    const int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, STDOUT_FILENO);
    const int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, STDERR_FILENO);
    execlp("parec", "parec", "-d", "sink.monitor", "--raw", "--format=s16le", "--rate=44100",
           "--channels=2", "--latency-msec=50", static_cast<char*>(nullptr));
    _exit(127);
  }
}

void PulseServer::Kill() {
  if (recorder_ > 0) {
    kill(recorder_, SIGKILL);
    waitpid(recorder_, nullptr, 0);
    recorder_ = -1;
  }
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
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

long long FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

Program::Program(const Options& options) {
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
  const std::string errPath = scratch_.path() + "/stderr";

  pid_ = fork();
  if (pid_ == 0) {
    std::vector<char*> envp;
    for (auto& s : flat) envp.push_back(s.data());
    envp.push_back(nullptr);
    if (chdir(options.cwd.c_str()) != 0) _exit(126);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(err, STDERR_FILENO);
    const int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, STDIN_FILENO);
    dup2(devnull, STDOUT_FILENO);
    signal(SIGINT, options.ignoreInterrupt ? SIG_IGN : SIG_DFL);
    signal(SIGHUP, options.ignoreInterrupt ? SIG_IGN : SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    std::vector<char*> argv;
    for (const auto& a : options.prefix) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(const_cast<char*>(SHOWREEL_BIN));
    argv.push_back(nullptr);
    execvpe(argv[0], argv.data(), envp.data());
    _exit(127);
  }
}

Program::~Program() {
  if (!status_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

std::optional<int> Program::Wait(std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!status_) {
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = status;
      break;
    }
    if (std::chrono::steady_clock::now() > end) break;
    // ALSA's null device takes sound as fast as it comes: a run that goes on longer than the
    // test meant would fill the disk.
    if (!capture_.empty() && FileSize(capture_) > kCaptureLimit) kill(pid_, SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return status_;
}

bool Program::Running() { return !Wait(std::chrono::milliseconds(0)); }

std::string Program::Stderr() const { return testutil::ReadFile(scratch_.path() + "/stderr"); }

}  // namespace e2e
