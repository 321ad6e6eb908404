#include <X11/keysym.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <thread>

#include "tests/e2e_util.h"

namespace {

using namespace std::chrono_literals;
using e2e::Window;
using testutil::Rgb;

class Show : public testing::Test {
 protected:
  // One server for the suite: starting Xvfb takes a while.
  static void SetUpTestSuite() { server_ = std::make_unique<e2e::XServer>(); }
  static void TearDownTestSuite() { server_.reset(); }
  void SetUp() override { ASSERT_TRUE(x_.ok()) << "Xvfb did not start"; }

  e2e::Options OnDisplay(const std::string& cwd) {
    return e2e::Options{.cwd = cwd,
                        .env = {{"DISPLAY", x_.name()}},
                        .unset = {"SDL_VIDEODRIVER", "WAYLAND_DISPLAY"}};
  }

  // The program's window, once it has stayed the same for half a second: SDL replaces its first
  // window when the renderer, still starting, wants another visual.
  Window AwaitWindow(e2e::Program& p) {
    Window seen = 0;
    int same = 0;
    for (auto end = std::chrono::steady_clock::now() + 15s; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(100ms)) {
      const Window w = x_.WindowOf(p.pid());
      same = w != 0 && w == seen ? same + 1 : 0;
      if (same == 5) return w;
      seen = w;
      if (!p.Running()) break;
    }
    ADD_FAILURE() << "no window; stderr: " << p.Stderr();
    return 0;
  }

  static void ExpectExit(e2e::Program& p, int code) {
    const auto status = p.Wait(10s);
    ASSERT_TRUE(status) << "still running";
    ASSERT_TRUE(WIFEXITED(*status)) << "status " << *status;
    EXPECT_EQ(WEXITSTATUS(*status), code) << p.Stderr();
  }

  static inline std::unique_ptr<e2e::XServer> server_;
  e2e::XServer& x_ = *server_;
  testutil::TempDir dir_;
};

TEST_F(Show, GrowsEachPictureFromTheCentreInOrderThenTheLastOverTheBackground) {
  testutil::WriteShow(dir_.path(), 1001, 601);
  e2e::Program p(OnDisplay(dir_.path()));
  const Window window = AwaitWindow(p);

  std::vector<int> order;
  bool backgroundEarly = false, backgroundLate = false;
  int largestW = 0;
  const auto end = std::chrono::steady_clock::now() + 17s;
  while (std::chrono::steady_clock::now() < end && p.Running()) {
    const auto shot = x_.Screenshot();
    ASSERT_EQ(shot.w, 1920);
    const Rgb centre = shot.at(960, 540);
    int index = -1;
    for (int i = 0; i < 14; ++i) {
      if (centre == testutil::PictureColour(i)) index = i;
    }
    if (index < 0) continue;  // a zero-sized picture right after a change
    if (order.empty() || order.back() != index) order.push_back(index);
    const bool background = shot.at(5, 5) == testutil::kBackgroundColour;
    (index == 13 ? backgroundLate : backgroundEarly) |= background;

    // The picture's extent along the middle row and column: centred, never past its size.
    int left = 960, right = 960, top = 540, bottom = 540;
    while (left > 0 && shot.at(left - 1, 540) == centre) --left;
    while (right < 1919 && shot.at(right + 1, 540) == centre) ++right;
    while (top > 0 && shot.at(960, top - 1) == centre) --top;
    while (bottom < 1079 && shot.at(960, bottom + 1) == centre) ++bottom;
    EXPECT_LE(std::abs((left + right + 1) - 1920), 2) << left << ".." << right;
    EXPECT_LE(std::abs((top + bottom + 1) - 1080), 2) << top << ".." << bottom;
    EXPECT_LE(right - left + 1, 1000 + 2);
    EXPECT_LE(bottom - top + 1, 600 + 2);
    largestW = std::max(largestW, right - left + 1);
  }
  std::vector<int> expected;
  for (int i = 0; i < 14; ++i) expected.push_back(i);
  // Screenshots are slow next to a second, but none may be missing from their order.
  ASSERT_GE(order.size(), 10u);
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end())) << testing::PrintToString(order);
  EXPECT_EQ(order.back(), 13);
  EXPECT_FALSE(backgroundEarly);
  EXPECT_TRUE(backgroundLate);
  EXPECT_GE(largestW, 500);  // it did grow
  x_.TapKey(window, XK_q);
  ExpectExit(p, 0);
  EXPECT_EQ(p.Stderr(), "");
}

TEST_F(Show, StopsWithStatusZeroOnQEscapeAndWindowClose) {
  testutil::WriteShow(dir_.path(), 64, 64);
  for (const char* how : {"close", "q", "Escape"}) {
    SCOPED_TRACE(how);
    e2e::Program p(OnDisplay(dir_.path()));
    const Window w = AwaitWindow(p);
    ASSERT_NE(w, 0u);
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(p.Running());
    if (std::string(how) == "close") {
      x_.RequestClose(w);
    } else {
      x_.TapKey(w, std::string(how) == "q" ? XK_q : XK_Escape);
    }
    ExpectExit(p, 0);
    EXPECT_EQ(p.Stderr(), "");
  }
}

TEST_F(Show, OtherKeysDoNothing) {
  e2e::Program p(OnDisplay(dir_.path()));
  const Window w = AwaitWindow(p);
  for (unsigned long key : {XK_a, XK_space, XK_Return, XK_w, XK_Shift_L}) x_.TapKey(w, key);
  EXPECT_FALSE(p.Wait(1s));
  x_.TapKey(w, XK_Escape);
  ExpectExit(p, 0);
}

TEST_F(Show, TerminationSignalsEndItByTheirDefaultAction) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    e2e::Program p(OnDisplay(dir_.path()));
    AwaitWindow(p);
    kill(p.pid(), sig);
    const auto status = p.Wait(5s);
    ASSERT_TRUE(status);
    ASSERT_TRUE(WIFSIGNALED(*status)) << "status " << *status;
    EXPECT_EQ(WTERMSIG(*status), sig);
    EXPECT_EQ(p.Stderr(), "");
  }
}

TEST_F(Show, IgnoredInterruptAndHangupStayIgnored) {
  e2e::Options o = OnDisplay(dir_.path());
  o.ignoreInterrupt = true;
  e2e::Program p(o);
  const Window w = AwaitWindow(p);
  kill(p.pid(), SIGINT);
  kill(p.pid(), SIGHUP);
  EXPECT_FALSE(p.Wait(1s));
  x_.TapKey(w, XK_q);
  ExpectExit(p, 0);
}

TEST_F(Show, WithoutImagesItKeepsAnEmptyScreenUntilStopped) {
  e2e::Program p(OnDisplay(dir_.path()));
  const Window w = AwaitWindow(p);
  EXPECT_FALSE(p.Wait(3s));
  const auto shot = x_.Screenshot();
  EXPECT_EQ(shot.at(960, 540), (Rgb{0, 0, 0}));
  EXPECT_EQ(shot.at(0, 0), (Rgb{0, 0, 0}));
  x_.TapKey(w, XK_q);
  ExpectExit(p, 0);
  EXPECT_EQ(p.Stderr(), "");
}

TEST_F(Show, PanicsWithoutAUsableDisplay) {
  struct Case {
    const char* what;
    std::map<std::string, std::string> env;
    std::string text;
  };
  for (const Case& c :
       {Case{"bogus driver", {{"SDL_VIDEODRIVER", "bogus"}}, ""},
        Case{"no display", {}, "No available video device"},
        Case{"display gone", {{"DISPLAY", ":65000"}}, "No available video device"}}) {
    SCOPED_TRACE(c.what);
    e2e::Options o{.cwd = dir_.path(),
                   .env = c.env,
                   .unset = {"DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER"}};
    e2e::Program p(o);
    ExpectExit(p, 2);
    const std::string err = p.Stderr();
    EXPECT_EQ(err.find("panic: " + c.text), 0u) << err;
    EXPECT_NE(err.find("\nbacktrace:\n"), std::string::npos) << err;
  }
}

TEST_F(Show, AnInvisibleDriverRunsWhenAskedFor) {
  for (const char* driver : {"offscreen", "dummy"}) {
    SCOPED_TRACE(driver);
    e2e::Options o{.cwd = dir_.path(),
                   .env = {{"SDL_VIDEODRIVER", driver}},
                   .unset = {"DISPLAY", "WAYLAND_DISPLAY"}};
    e2e::Program p(o);
    EXPECT_FALSE(p.Wait(1500ms)) << p.Stderr();
    kill(p.pid(), SIGTERM);
    const auto status = p.Wait(5s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFSIGNALED(*status));
  }
}

}  // namespace
