#include "tests/harness/screen.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

namespace harness {
namespace {
Display* D(void* p) { return static_cast<Display*>(p); }
// A window can vanish between finding it and using it (SDL re-creates its window for OpenGL);
// that is the test's business, not a reason to abort.
int IgnoreXError(Display*, XErrorEvent*) { return 0; }
}  // namespace

XServer::XServer(int w, int h) {
  int fds[2];
  if (pipe(fds) != 0) return;
  server_ = std::make_unique<Process>(
      Options{.argv = {"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                       std::to_string(w) + "x" + std::to_string(h) + "x24", "-nolisten", "tcp",
                       "-noreset"}});
  close(fds[1]);
  char buf[32] = {};
  ssize_t n = 0, got;
  while (n < 31 && (got = read(fds[0], buf + n, 31 - static_cast<size_t>(n))) > 0) {
    n += got;
    if (memchr(buf, '\n', static_cast<size_t>(n))) break;
  }
  close(fds[0]);
  if (n <= 0) return;
  // Formatted, not concatenated: g++ 12 warns falsely (-Wrestrict) about the concatenation.
  char name[32];
  std::snprintf(name, sizeof name, ":%d", std::atoi(buf));
  name_ = std::string(name);
  dpy_ = XOpenDisplay(name_.c_str());
  XSetErrorHandler(IgnoreXError);
}

XServer::~XServer() {
  if (dpy_) XCloseDisplay(D(dpy_));
  if (server_) server_->Kill(SIGTERM);
}

void XServer::Kill() {
  // Our own connection dies with it: drop it first, or Xlib would end the test.
  if (dpy_) XCloseDisplay(D(dpy_));
  dpy_ = nullptr;
  if (server_) server_->Kill(SIGKILL);
}

Shot XServer::Screenshot(const std::vector<Area>& only) const {
  Shot shot;
  const Window root = DefaultRootWindow(D(dpy_));
  XWindowAttributes attrs;
  XGetWindowAttributes(D(dpy_), root, &attrs);
  shot.w = attrs.width;
  shot.h = attrs.height;
  shot.px.resize(static_cast<size_t>(shot.w * shot.h) * 3);
  const std::vector<Area> whole{{0, 0, shot.w, shot.h}};
  // With the server held, no client draws between the parts: they all show the same frame.
  XGrabServer(D(dpy_));
  for (const Area& a : only.empty() ? whole : only) {
    XImage* img = XGetImage(D(dpy_), root, a.x, a.y, static_cast<unsigned>(a.w),
                            static_cast<unsigned>(a.h), AllPlanes, ZPixmap);
    if (img == nullptr) {
      shot = Shot{};
      break;
    }
    for (int y = 0; y < a.h; ++y) {
      const auto* row = reinterpret_cast<const uint32_t*>(img->data + y * img->bytes_per_line);
      for (int x = 0; x < a.w; ++x) {
        uint8_t* to = &shot.px[static_cast<size_t>((a.y + y) * shot.w + a.x + x) * 3];
        to[0] = static_cast<uint8_t>(row[x] >> 16);
        to[1] = static_cast<uint8_t>(row[x] >> 8);
        to[2] = static_cast<uint8_t>(row[x]);
      }
    }
    XDestroyImage(img);
  }
  XUngrabServer(D(dpy_));
  XFlush(D(dpy_));
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

bool XServer::AwaitCentreDrawn(std::chrono::milliseconds timeout) const {
  const auto end = std::chrono::steady_clock::now() + timeout;
  do {
    if (Screenshot({{960, 540, 1, 1}}).at(960, 540) != Rgb{0, 0, 0}) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } while (std::chrono::steady_clock::now() < end);
  return false;
}

Window XServer::AwaitWindow(Process& p, std::chrono::milliseconds timeout,
                            std::chrono::milliseconds steady) const {
  using Clock = std::chrono::steady_clock;
  Window seen = 0;
  auto since = Clock::now();
  for (const auto end = since + timeout; Clock::now() < end && p.Running();
       std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
    const Window w = WindowOf(p.pid());
    if (w != seen) {
      seen = w;
      since = Clock::now();
    }
    if (w != 0 && Clock::now() - since >= steady) return w;
  }
  return 0;
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

void XServer::StopProgram(Process& p, unsigned long keysym, int attempts,
                          std::chrono::milliseconds each) const {
  for (int attempt = 0; attempt < attempts && p.Running(); ++attempt) {
    if (const Window w = WindowOf(p.pid())) keysym ? TapKey(w, keysym) : RequestClose(w);
    p.Wait(each);
  }
}

}  // namespace harness
