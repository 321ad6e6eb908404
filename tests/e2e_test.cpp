#include <X11/keysym.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <tuple>
#include <utility>

#include "tests/harness/bad_input.h"
#include "tests/harness/compositor.h"
#include "tests/harness/show.h"
#include "tests/harness/sound.h"

namespace {

using namespace std::chrono_literals;
using harness::Rgb;
using harness::Window;

using Shoot = std::function<harness::Shot(const std::vector<harness::Area>&)>;

// Watches a show of 1001 x 601 pictures from its first second on, on a screen of `w` x `h`:
// every picture in order, centred on the screen and growing, never past its size at the scale
// of the frame fitted to the screen, and the background under the last one only, filling that
// frame and nothing beyond it.
void ExpectTheShow(harness::Process& p, const Shoot& shoot, int w = 1920, int h = 1080) {
  const double scale = std::min(w / 1920.0, h / 1080.0);
  const int fw = static_cast<int>(1920 * scale), fh = static_cast<int>(1080 * scale);
  const int fx = (w - fw) / 2, fy = (h - fh) / 2, cx = w / 2, cy = h / 2;
  // Scaling rounds each edge on its own.
  const int slack = scale == 1 ? 2 : 3;
  const auto areas = harness::Cross(w, h, fx + 5, fy + 5);
  std::vector<int> order;
  bool backgroundEarly = false, backgroundLate = false, frameFilled = true, beyondBlack = true;
  int largestW = 0;
  // Until two seconds into the last picture over the background: a show that starts late under
  // emulation still shows every picture in order; the bound is for one that never gets there.
  auto end = std::chrono::steady_clock::now() + 60s;
  for (bool last = false; std::chrono::steady_clock::now() < end && p.Running();) {
    const auto shot = shoot(areas);
    ASSERT_EQ(shot.w, w);
    const Rgb centre = shot.at(cx, cy);
    const int index = harness::PictureAt(centre);
    if (index < 0) continue;  // a zero-sized picture right after a change
    if (order.empty() || order.back() != index) order.push_back(index);
    const bool background = shot.at(fx + 5, fy + 5) == harness::kBackgroundColour;
    (index == 13 ? backgroundLate : backgroundEarly) |= background;
    if (backgroundLate && !std::exchange(last, true)) end = std::chrono::steady_clock::now() + 2s;
    if (background) {
      const Rgb bg = harness::kBackgroundColour, black{0, 0, 0};
      frameFilled &= shot.at(fx + 2, cy) == bg && shot.at(fx + fw - 3, cy) == bg &&
                     shot.at(cx, fy + 2) == bg && shot.at(cx, fy + fh - 3) == bg;
      if (fx >= 3) beyondBlack &= shot.at(fx - 3, cy) == black && shot.at(w - fx + 2, cy) == black;
      if (fy >= 3) beyondBlack &= shot.at(cx, fy - 3) == black && shot.at(cx, h - fy + 2) == black;
    }

    // The picture's extent along the middle row and column: centred, never past its size.
    int left = cx, right = cx, top = cy, bottom = cy;
    while (left > 0 && shot.at(left - 1, cy) == centre) --left;
    while (right < w - 1 && shot.at(right + 1, cy) == centre) ++right;
    while (top > 0 && shot.at(cx, top - 1) == centre) --top;
    while (bottom < h - 1 && shot.at(cx, bottom + 1) == centre) ++bottom;
    EXPECT_LE(std::abs((left + right + 1) - w), slack) << left << ".." << right;
    EXPECT_LE(std::abs((top + bottom + 1) - h), slack) << top << ".." << bottom;
    EXPECT_LE(right - left + 1, 1000 * scale + slack);
    EXPECT_LE(bottom - top + 1, 600 * scale + slack);
    largestW = std::max(largestW, right - left + 1);
  }
  // Screenshots are slow next to a second, but none may be missing from their order.
  ASSERT_GE(order.size(), 10u);
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end())) << testing::PrintToString(order);
  EXPECT_EQ(order.back(), 13);
  EXPECT_FALSE(backgroundEarly);
  EXPECT_TRUE(backgroundLate);
  EXPECT_TRUE(frameFilled) << "the background does not fill the frame";
  EXPECT_TRUE(beyondBlack) << "the background reaches past the frame";
  EXPECT_GE(largestW, 500 * scale);  // it did grow
}

class Show : public testing::Test {
 protected:
  // One server for the suite: starting Xvfb takes a while. The sound goes to ALSA's `null`
  // device unless a test says otherwise.
  static void SetUpTestSuite() {
    server_ = std::make_unique<harness::XServer>();
    home_ = std::make_unique<harness::TempDir>();
    harness::WriteAsoundrc(home_->path());
    tone_ = home_->path() + "/tone.mp3";
    ASSERT_TRUE(harness::MakeMp3(tone_, 44100, 2, 44100));
  }
  static void TearDownTestSuite() {
    server_.reset();
    home_.reset();
  }
  void SetUp() override {
    ASSERT_TRUE(x_.ok()) << "Xvfb did not start";
    UseMusic(tone_);
  }

  // The soundtrack the show in dir_ plays.
  void UseMusic(const std::string& mp3) {
    std::filesystem::create_directories(dir_.path() + "/music");
    std::filesystem::copy_file(mp3, dir_.path() + "/music/dunk.mp3",
                               std::filesystem::copy_options::overwrite_existing);
  }

  harness::Options OnDisplay(const std::string& cwd) {
    return harness::Options{.argv = {SHOWREEL_BIN},
                            .cwd = cwd,
                            .env = {{"DISPLAY", x_.name()}, {"HOME", home_->path()}},
                            .unset = {"SDL_VIDEODRIVER", "WAYLAND_DISPLAY", "TEST_ALSA_SLAVE",
                                      "TEST_ALSA_CAPTURE", "PULSE_SERVER"}};
  }

  Window AwaitWindow(harness::Process& p) {
    const Window w = x_.AwaitWindow(p, 60s, 1s);
    if (!w) ADD_FAILURE() << "no window; stderr: " << p.Stderr();
    return w;
  }

  static constexpr unsigned long kClose = 0;

  static void ExpectExit(harness::Process& p, int code) {
    // Generous: on a busy machine a sanitized program takes its time to get there.
    const auto status = p.Wait(60s);
    ASSERT_TRUE(status) << "still running";
    ASSERT_TRUE(WIFEXITED(*status)) << "status " << *status;
    EXPECT_EQ(WEXITSTATUS(*status), code) << p.Stderr();
  }
  // Asks the program to stop as the user would: it must end with status 0 and no panic.
  void StopCleanly(harness::Process& p, unsigned long keysym) {
    x_.StopProgram(p, keysym);
    ExpectExit(p, 0);
    EXPECT_EQ(harness::PanicLine(p.Stderr()), "");
  }

  static inline std::unique_ptr<harness::XServer> server_;
  static inline std::unique_ptr<harness::TempDir> home_;
  static inline std::string tone_;
  harness::XServer& x_ = *server_;
  harness::TempDir dir_;
};

TEST_F(Show, GrowsEachPictureFromTheCentreInOrderThenTheLastOverTheBackground) {
  harness::WriteShow(dir_.path(), 1001, 601);
  harness::Process p(OnDisplay(dir_.path()));
  AwaitWindow(p);

  ExpectTheShow(p, [&](const auto& areas) { return x_.Screenshot(areas); });
  StopCleanly(p, XK_q);
}

// Screens without a 1920 x 1080 mode: the commonest TVs and monitors, and one turned to portrait.
class OnScreen : public Show, public testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(OnScreen, TheShowIsFittedToItCentredAndWhole) {
  const auto [w, h] = GetParam();
  harness::XServer x(w, h);
  ASSERT_TRUE(x.ok()) << "Xvfb did not start";
  harness::WriteShow(dir_.path(), 1001, 601);
  harness::Options o = OnDisplay(dir_.path());
  o.env["DISPLAY"] = x.name();
  harness::Process p(o);
  ASSERT_TRUE(x.AwaitWindow(p, 60s, 1s)) << p.Stderr();

  ExpectTheShow(
      p, [&](const auto& areas) { return x.Screenshot(areas); }, w, h);
  x.StopProgram(p, XK_q);
  ExpectExit(p, 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, OnScreen,
                         testing::Values(std::pair{1280, 720}, std::pair{1366, 768},
                                         std::pair{1080, 1920}),
                         [](const auto& info) {
                           return std::to_string(info.param.first) + "x" +
                                  std::to_string(info.param.second);
                         });

TEST_F(Show, StopsWithStatusZeroOnQEscapeAndWindowClose) {
  harness::WriteShow(dir_.path(), 64, 64);
  for (const char* how : {"close", "q", "Escape"}) {
    SCOPED_TRACE(how);
    harness::Process p(OnDisplay(dir_.path()));
    ASSERT_NE(AwaitWindow(p), 0u);
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(p.Running());
    const std::string h = how;
    StopCleanly(p, h == "close" ? kClose : h == "q" ? XK_q : XK_Escape);
    EXPECT_EQ(p.Stderr(), "") << "nothing said, the libraries' talk included";
  }
}

TEST_F(Show, OtherKeysDoNothing) {
  harness::Process p(OnDisplay(dir_.path()));
  const Window w = AwaitWindow(p);
  for (unsigned long key : {XK_a, XK_space, XK_Return, XK_w, XK_Shift_L}) x_.TapKey(w, key);
  EXPECT_FALSE(p.Wait(1s));
  StopCleanly(p, XK_Escape);
}

TEST_F(Show, TerminationSignalsEndItByTheirDefaultAction) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    harness::Process p(OnDisplay(dir_.path()));
    AwaitWindow(p);
    kill(p.pid(), sig);
    const auto status = p.Wait(30s);
    ASSERT_TRUE(status);
    ASSERT_TRUE(WIFSIGNALED(*status)) << "status " << *status;
    EXPECT_EQ(WTERMSIG(*status), sig);
    EXPECT_EQ(harness::PanicLine(p.Stderr()), "");
  }
}

TEST_F(Show, IgnoredInterruptAndHangupStayIgnored) {
  harness::Options o = OnDisplay(dir_.path());
  o.ignoreInterrupt = true;
  harness::Process p(o);
  AwaitWindow(p);
  kill(p.pid(), SIGINT);
  kill(p.pid(), SIGHUP);
  EXPECT_FALSE(p.Wait(1s));
  StopCleanly(p, XK_q);
}

TEST_F(Show, WithoutImagesItKeepsAnEmptyScreenUntilStopped) {
  harness::Process p(OnDisplay(dir_.path()));
  AwaitWindow(p);
  EXPECT_FALSE(p.Wait(3s));
  const auto shot = x_.Screenshot();
  EXPECT_EQ(shot.at(960, 540), (Rgb{0, 0, 0}));
  EXPECT_EQ(shot.at(0, 0), (Rgb{0, 0, 0}));
  StopCleanly(p, XK_q);
}

TEST_F(Show, DamagedPicturesLeaveEmptySlotsAndTheShowGoesOn) {
  harness::WriteDamagedShow(dir_.path());
  harness::Process p(OnDisplay(dir_.path()));
  AwaitWindow(p);
  EXPECT_FALSE(p.Wait(15s)) << "ended during the show";
  StopCleanly(p, XK_q);
}

// A show made from photos as a phone stores them: in the order given, each shrunk to fit the
// screen but never enlarged, the one stored sideways upright; a photo that cannot be read
// spoils nothing.
TEST_F(Show, MadeFromPhotosByTheShowCommand) {
  const std::string photos = dir_.path() + "/photos", show = dir_.path() + "/show";
  std::filesystem::create_directories(photos);
  const Rgb big = harness::PictureColour(0), top = harness::PictureColour(4),
            bottom = harness::PictureColour(8), small = harness::PictureColour(12);
  auto run = [](std::vector<std::string> argv) { return harness::RunToEnd({.argv = argv}); };
  auto colour = [](Rgb c) {
    return "xc:rgb(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) +
           ")";
  };
  auto near = [](Rgb a, Rgb b) {  // JPEG's colours are close, not exact
    return std::abs(a.r - b.r) <= 8 && std::abs(a.g - b.g) <= 8 && std::abs(a.b - b.b) <= 8;
  };
  ASSERT_EQ(run({"convert", "-size", "3000x2000", colour(big), photos + "/big.png"}).status, 0);
  ASSERT_EQ(run({"convert", "-size", "200x200", colour(top), "-size", "200x200", colour(bottom),
                 "+append", "-quality", "95", photos + "/side.jpg"})
                .status,
            0);
  ASSERT_EQ(run({"convert", "-size", "100x100", colour(small), photos + "/small.png"}).status, 0);
  // EXIF orientation 6 (turn 90 degrees clockwise to view), as a phone held upright writes it.
  std::string jpeg = harness::ReadFile(photos + "/side.jpg");
  static constexpr unsigned char kExif[] = {
      0xFF, 0xE1, 0,    34, 'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0,
      1,    0,    0x12, 1,  3,   0,   1,   0,   0, 0, 6,   0,   0,  0, 0, 0, 0, 0};
  jpeg.insert(2, reinterpret_cast<const char*>(kExif), sizeof kExif);
  std::ofstream(photos + "/side.jpg", std::ios::binary) << jpeg;

  const auto made = run({SHOWREEL_MAKE_SHOW, "--music", tone_, show, photos + "/big.png",
                         photos + "/side.jpg", photos + "/small.png"});
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_NE(made.out.find("slots 4 to 14 stay empty"), std::string::npos) << made.out;
  for (int i = 3; i < 14; ++i) {
    EXPECT_FALSE(std::filesystem::exists(show + "/" + harness::kShowPictures[i])) << i;
  }
  const int expected[3][2] = {{1620, 1080}, {200, 400}, {100, 100}};
  // The sizes from the files: a slow machine may draw a picture's one second in a frame or two.
  for (int i = 0; i < 3; ++i) {
    const std::string picture = show + "/" + harness::kShowPictures[i];
    EXPECT_EQ(run({"identify", "-format", "%w %h", picture}).out,
              std::to_string(expected[i][0]) + " " + std::to_string(expected[i][1]))
        << picture;
  }

  harness::Process p(OnDisplay(show));
  // Looked at from the moment the window is there: the first picture has only its second.
  ASSERT_NE(x_.AwaitWindow(p, 60s, 0ms), 0u) << p.Stderr();
  std::vector<int> order;
  // Until past the last picture; on a busy machine only the rows and column looked at.
  const auto end = std::chrono::steady_clock::now() + 60s;
  while (std::chrono::steady_clock::now() < end && p.Running()) {
    const auto shot = x_.Screenshot({{0, 540, 1920, 1}, {0, 555, 1920, 1}, {960, 0, 1, 1080}});
    const Rgb centre = shot.at(960, 540), above = shot.at(960, 525), below = shot.at(960, 555);
    int index = -1;
    if (near(centre, big)) index = 0;
    if (near(above, top) && near(below, bottom)) index = 1;  // upright: neither turned nor not
    if (near(centre, small)) index = 2;
    if (index < 0 && !order.empty() && order.back() == 2) break;  // past the last picture
    if (index < 0) continue;
    if (order.empty() || order.back() != index) order.push_back(index);
    // Its extent along the middle row and column.
    const int row = index == 1 ? 555 : 540;
    const Rgb c = shot.at(960, row);
    auto inside = [&](Rgb px) { return near(px, c) || (index == 1 && near(px, top)); };
    int left = 960, right = 960, up = row, down = row;
    while (left > 0 && inside(shot.at(left - 1, row))) --left;
    while (right < 1919 && inside(shot.at(right + 1, row))) ++right;
    while (up > 0 && inside(shot.at(960, up - 1))) --up;
    while (down < 1079 && inside(shot.at(960, down + 1))) ++down;
    EXPECT_LE(std::abs(left + right + 1 - 1920), 2) << "not centred: " << left << ".." << right;
    EXPECT_LE(std::abs(up + down + 1 - 1080), 2) << "not centred: " << up << ".." << down;
    EXPECT_LE(right - left + 1, expected[index][0] + 2) << index;
    EXPECT_LE(down - up + 1, expected[index][1] + 2) << index;
  }
  // Loading counts towards the first picture's second: a slow start (ThreadSanitizer on a busy
  // machine) replaces it on the very first frame. Its file is checked above.
  EXPECT_TRUE(order == (std::vector<int>{0, 1, 2}) || order == (std::vector<int>{1, 2}))
      << testing::PrintToString(order);
  StopCleanly(p, XK_q);

  const std::string before = harness::ReadFile(show + "/" + harness::kShowPictures[1]);
  std::ofstream(photos + "/bad.jpg") << "not a picture";
  const auto bad = run({SHOWREEL_MAKE_SHOW, "--replace", "--music", tone_, show,
                        photos + "/small.png", photos + "/bad.jpg"});
  EXPECT_NE(bad.status, 0);
  EXPECT_NE(bad.err.find(photos + "/bad.jpg"), std::string::npos) << bad.err;
  EXPECT_EQ(harness::ReadFile(show + "/" + harness::kShowPictures[1]), before) << "show changed";
  EXPECT_TRUE(std::filesystem::exists(show + "/" + harness::kShowPictures[2]));
  for (const auto& f : std::filesystem::directory_iterator(dir_.path())) {
    EXPECT_NE(f.path().filename().string()[0], '.') << "left behind: " << f.path();
  }
}

TEST_F(Show, TheXServerGoingAwayIsFatal) {
  harness::XServer own;
  ASSERT_TRUE(own.ok());
  harness::WriteShow(dir_.path(), 1001, 601);
  harness::Options o = OnDisplay(dir_.path());
  o.env["DISPLAY"] = own.name();
  harness::Process p(o);
  ASSERT_TRUE(own.AwaitWindow(p, 60s));
  // Once the show is drawn: the window is there before its renderer, and a server that goes
  // away while Mesa's GLX makes the renderer's context crashes the process inside Mesa.
  ASSERT_TRUE(own.AwaitCentreDrawn(60s)) << "nothing drawn";
  own.Kill();
  ExpectExit(p, 2);
  EXPECT_EQ(harness::PanicLine(p.Stderr()),
            "panic: lost the display connection (X server " + own.name() + ")");
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
    harness::Options o{.argv = {SHOWREEL_BIN},
                       .cwd = dir_.path(),
                       .env = c.env,
                       .unset = {"DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER"}};
    harness::Process p(o);
    ExpectExit(p, 2);
    const std::string err = p.Stderr();
    EXPECT_EQ(err.find("panic: " + c.text), 0u) << err;
    EXPECT_NE(err.find("\nbacktrace:\n"), std::string::npos) << err;
  }
}

TEST_F(Show, AnInvisibleDriverRunsWhenAskedFor) {
  for (const char* driver : {"offscreen", "dummy"}) {
    SCOPED_TRACE(driver);
    harness::Options o = OnDisplay(dir_.path());
    o.env = {{"SDL_VIDEODRIVER", driver}, {"HOME", home_->path()}};
    o.unset.push_back("DISPLAY");
    harness::Process p(o);
    EXPECT_FALSE(p.Wait(1500ms)) << p.Stderr();
    kill(p.pid(), SIGTERM);
    const auto status = p.Wait(30s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFSIGNALED(*status));
  }
}

// The captured sound must be the file's own decoding, end to end, again and again.
void ExpectLoopedPrefix(const std::string& captured, const std::vector<uint8_t>& decoded) {
  ASSERT_FALSE(decoded.empty());
  size_t mismatches = 0, first = 0;
  for (size_t i = 0; i < captured.size(); ++i) {
    if (static_cast<uint8_t>(captured[i]) != decoded[i % decoded.size()]) {
      if (mismatches++ == 0) first = i;
    }
  }
  const auto tail = std::string_view(captured).substr(first);
  EXPECT_EQ(mismatches, 0u) << "first at byte " << first << " of " << captured.size()
                            << ", loop length " << decoded.size() << ", silent from there: "
                            << (tail.find_first_not_of('\0') == std::string_view::npos);
}

class Sound : public Show {
 protected:
  // Runs the show until at least `bytes` of sound have been captured, then ends it at once:
  // ALSA's null device takes sound as fast as it comes, so every moment counts.
  std::string Capture(harness::Options o, long long bytes) {
    const std::string capture = dir_.path() + "/capture.raw";
    std::filesystem::remove(capture);
    o.env["TEST_ALSA_CAPTURE"] = capture;
    harness::Process p(o);
    // The bound is for a hang: under ThreadSanitizer on a starved host, 20 s once passed
    // before the first sound.
    for (auto end = std::chrono::steady_clock::now() + 60s;
         std::chrono::steady_clock::now() < end && harness::FileSize(capture) < bytes &&
         p.Running();) {
      std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(p.Running()) << p.Stderr();
    p.Kill(SIGTERM);
    return harness::ReadFile(capture);
  }
};

TEST_F(Sound, PlaysTheFileLoopedWithoutGapOrLoss) {
  struct Case {
    int rate, channels, frames;
  };
  // Decoded lengths that are not whole buffers of 16384 bytes, and one shorter than a buffer.
  for (const Case c : {Case{44100, 1, 30001}, Case{48000, 2, 20000}, Case{44100, 2, 3000}}) {
    SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.channels << " ch");
    const std::string mp3 = dir_.path() + "/song.mp3";
    ASSERT_TRUE(harness::MakeMp3(mp3, c.rate, c.channels, c.frames));
    UseMusic(mp3);
    const std::vector<uint8_t> decoded = harness::DecodeAll(mp3);
    ASSERT_NE(decoded.size() % 16384, 0u);
    const std::string captured =
        Capture(OnDisplay(dir_.path()), 3 * static_cast<long long>(decoded.size()) + 65536);
    ASSERT_GE(captured.size(), 2 * decoded.size() + 1);  // two loop seams at least
    ExpectLoopedPrefix(captured, decoded);
  }
}

// The kiosk's own ALSA configuration onto a stand-in for a Raspberry Pi's HDMI card, which
// takes IEC958 subframes only: through the iec958 plug-in the subframes carry the soundtrack
// sample for sample (bits 12 to 27), looped; straight through plug, as before, it cannot open.
TEST_F(Sound, ThroughTheKiosksWayOntoAPisHdmiCard) {
  const std::string mp3 = dir_.path() + "/song.mp3", conf = dir_.path() + "/standin.conf";
  ASSERT_TRUE(harness::MakeMp3(mp3, 44100, 2, 30001));
  UseMusic(mp3);
  const std::vector<uint8_t> decoded = harness::DecodeAll(mp3);
  std::ofstream(conf) << "pcm_type.hdmi_standin.lib \"" HDMI_STANDIN "\"\n"
                      << "pcm.!kiosk_card { type hdmi_standin file { @func getenv vars "
                         "[ TEST_ALSA_CAPTURE ] default \"/dev/null\" } }\n";
  harness::Options o = OnDisplay(dir_.path());
  o.env["ALSA_CONFIG_PATH"] = std::string(KIOSK_ASOUND) + ":" + conf;
  o.env["KIOSK_SOUND"] = "iec958";
  const std::string subframes = Capture(o, 2 * (2 * static_cast<long long>(decoded.size()) + 4));
  std::string samples;
  for (size_t i = 0; i + 4 <= subframes.size(); i += 4) {
    uint32_t v;
    std::memcpy(&v, subframes.data() + i, 4);
    samples += static_cast<char>(v >> 12);
    samples += static_cast<char>(v >> 20);
  }
  ASSERT_GE(samples.size(), 2 * decoded.size() + 1);  // two loop seams at least
  ExpectLoopedPrefix(samples, decoded);

  o.env["KIOSK_SOUND"] = "card";
  harness::Process p(o);
  ExpectExit(p, 2);
  EXPECT_EQ(harness::PanicLine(p.Stderr()), "panic: Sample format not supported") << p.Stderr();
}

TEST_F(Sound, UnusualSoundtracksPlayOrEndWithTheirError) {
  const std::string full = dir_.path() + "/full.mp3", a = dir_.path() + "/a.mp3",
                    b = dir_.path() + "/b.mp3";
  ASSERT_TRUE(harness::MakeMp3(full, 44100, 2, 44100));
  ASSERT_TRUE(harness::MakeMp3(a, 44100, 2, 44100, false));
  ASSERT_TRUE(harness::MakeMp3(b, 22050, 2, 22050, false));
  const std::string whole = harness::ReadFile(full);
  std::string garbage;
  for (int i = 0; i < 20000; ++i) garbage.push_back(static_cast<char>(i * 97 + 13));
  // An ID3v2.3 tag with one text frame, and nothing after it.
  const std::string frame = std::string("TXXX\0\0\0\x0b\0\0\0note\0hello", 21);
  const std::string id3 = std::string("ID3\x03\0\0\0\0\0\x15", 10) + frame;

  struct Case {
    std::string name, bytes;
    bool plays;
  };
  std::vector<Case> cases{
      {"empty", "", false},
      {"garbage", garbage, false},
      {"ID3 tag only", id3, false},
      {"truncated mid-frame", whole.substr(0, whole.size() * 3 / 5 + 7), true},
      {"rate change midway", harness::ReadFile(a) + harness::ReadFile(b), true},
  };
  for (const auto& [rate, channels, frames] : {std::tuple{8000, 1, 8000}, {44100, 1, 3000}}) {
    const std::string path = dir_.path() + "/made.mp3";
    ASSERT_TRUE(harness::MakeMp3(path, rate, channels, frames));
    cases.push_back({std::to_string(rate) + " Hz, " + std::to_string(frames) + " frames",
                     harness::ReadFile(path), true});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(dir_.path() + "/music/dunk.mp3", std::ios::binary | std::ios::trunc) << c.bytes;
    const std::vector<uint8_t> decoded = harness::DecodeAll(dir_.path() + "/music/dunk.mp3");
    if (!c.plays) {
      harness::Process p(OnDisplay(dir_.path()));
      ExpectExit(p, 2);
      // No format: the stream would have neither input nor output, and PortAudio refuses it.
      EXPECT_EQ(harness::PanicLine(p.Stderr()), "panic: Invalid device") << p.Stderr();
      continue;
    }
    const std::string captured =
        Capture(OnDisplay(dir_.path()), 2 * static_cast<long long>(decoded.size()) + 65536);
    EXPECT_GE(captured.size(), 2 * decoded.size());
    ExpectLoopedPrefix(captured, decoded);
  }
}

TEST_F(Sound, MissingMusicIsFatalWithTheDecodersText) {
  std::filesystem::remove(dir_.path() + "/music/dunk.mp3");
  harness::Process p(OnDisplay(dir_.path()));
  ExpectExit(p, 2);
  EXPECT_EQ(harness::PanicLine(p.Stderr()).rfind("panic: error opening music/dunk.mp3: ", 0), 0u)
      << p.Stderr();
}

TEST_F(Sound, NoUsableDeviceIsFatal) {
  harness::Options o = OnDisplay(dir_.path());
  o.env["TEST_ALSA_SLAVE"] = "nosuch";
  harness::Process p(o);
  ExpectExit(p, 2);
  const std::string err = p.Stderr();
  EXPECT_EQ(harness::PanicLine(err), "panic: no default output device") << err;
  EXPECT_NE(err.find("thread "), std::string::npos);
  // What ALSA said while PortAudio looked for the device, held back until then, follows.
  EXPECT_NE(err.find("\nALSA lib ", err.find("panic: ")), std::string::npos) << err;
}

TEST_F(Sound, MusicDeletedWhilePlayingEndsWithTheDecodersText) {
  harness::Options o = OnDisplay(dir_.path());
  const std::string capture = dir_.path() + "/capture.raw";
  o.env["TEST_ALSA_CAPTURE"] = capture;
  harness::Process p(o);
  // Not a moment longer than needed: the null device takes sound as fast as it comes.
  for (int i = 0; i < 2000 && harness::FileSize(capture) <= 0; ++i)
    std::this_thread::sleep_for(5ms);
  ASSERT_GT(harness::FileSize(capture), 0);
  std::filesystem::remove(dir_.path() + "/music/dunk.mp3");
  ExpectExit(p, 2);
  EXPECT_EQ(harness::PanicLine(p.Stderr()).rfind("panic: mpg123 error: ", 0), 0u) << p.Stderr();
}

// The music paced by a sound server's null sink: PulseAudio, or PipeWire's PulseAudio server.
class RealTimeSound : public Sound {
 protected:
  explicit RealTimeSound(harness::SoundServer::Kind kind = harness::SoundServer::PulseAudio)
      : pulse_(kind) {}
  void SetUp() override {
    Sound::SetUp();
    ASSERT_TRUE(pulse_.ok()) << "the sound server did not start";
  }
  harness::Options ThroughPulse() {
    harness::Options o = OnDisplay(dir_.path());
    o.env["TEST_ALSA_SLAVE"] = "pulse";
    o.env["PULSE_SERVER"] = pulse_.address();
    return o;
  }

  // What the sink's monitor recorded over `span`: seconds of sound per second, and the share
  // of 10 ms blocks that held some sound (the test tone has no silence of its own).
  struct Heard {
    double pace, sounding;
  };
  Heard Measure(std::chrono::milliseconds span) {
    const auto t0 = std::chrono::steady_clock::now();
    const long long b0 = harness::FileSize(monitor_);
    std::this_thread::sleep_for(span);
    const long long b1 = harness::FileSize(monitor_);
    const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
    return {static_cast<double>(b1 - b0) / (pulse_.rate() * 4) / dt.count(),
            Sounding(harness::ReadFile(monitor_), b0, b1)};
  }
  double Sounding(const std::string& all, long long from, long long to) {
    const auto kBlock = static_cast<size_t>(pulse_.rate() / 100 * 4);
    size_t blocks = 0, sounding = 0;
    for (auto at = static_cast<size_t>(from); at + kBlock <= static_cast<size_t>(to);
         at += kBlock) {
      ++blocks;
      sounding += all.find_first_not_of('\0', at) < at + kBlock;
    }
    return blocks ? static_cast<double>(sounding) / static_cast<double>(blocks) : 0;
  }
  // Waits, without a bound of its own on a busy machine, until the monitor has recorded `span`
  // more that is sounding all through (or, with `sounding` false, silent all through), or `p`
  // has ended. False after a minute.
  bool AwaitMonitor(harness::Process& p, bool sounding, std::chrono::milliseconds span = 250ms) {
    const long long bytes = pulse_.rate() * 4 * span.count() / 1000;
    const long long from = harness::FileSize(monitor_);
    for (auto end = std::chrono::steady_clock::now() + 60s;
         std::chrono::steady_clock::now() < end && p.Running(); std::this_thread::sleep_for(20ms)) {
      const long long size = harness::FileSize(monitor_);
      if (size < from + bytes) continue;
      const double share = Sounding(harness::ReadFile(monitor_), size - bytes, size);
      if (sounding ? share == 1 : share == 0) return true;
    }
    return !p.Running();
  }
  // Until the stream plays on its own: an instrumented build on a busy machine can miss the
  // sink's first deadlines once, in the seconds after the stream starts (a plain one has not,
  // and the PipeWire test checks every sample from the first). Pace and silence are measured
  // after that.
  bool AwaitPlaying(harness::Process& p) { return AwaitMonitor(p, true, 3s) && p.Running(); }

  harness::SoundServer pulse_;
  std::string monitor_ = dir_.path() + "/monitor.raw";
};

TEST_F(RealTimeSound, PlaysAtRealTimePaceAndSurvivesAStop) {
  pulse_.Record(monitor_);
  harness::Process p(ThroughPulse());
  AwaitWindow(p);
  ASSERT_TRUE(AwaitPlaying(p)) << "no steady sound at the sink";
  const Heard before = Measure(4s);
  // The recorder writes in chunks, so the pace is coarse; the sounding share is the finer test.
  EXPECT_NEAR(before.pace, 1.0, 0.1);
  EXPECT_GT(before.sounding, 0.98);

  // A stall long enough for the device to run dry: PortAudio reports an underflow.
  kill(p.pid(), SIGSTOP);
  std::this_thread::sleep_for(1s);
  kill(p.pid(), SIGCONT);
  ASSERT_TRUE(AwaitPlaying(p)) << "no steady sound after the stop: " << p.Stderr();
  const Heard after = Measure(4s);
  EXPECT_NEAR(after.pace, 1.0, 0.1);
  EXPECT_GT(after.sounding, 0.98);
  StopCleanly(p, XK_q);
}

TEST_F(RealTimeSound, PlaysAtTheFilesOwnRateAndTheServerKilledIsFatal) {
  const std::string mono = dir_.path() + "/mono.mp3";
  ASSERT_TRUE(harness::MakeMp3(mono, 22050, 1, 22050));
  UseMusic(mono);
  harness::Process p(ThroughPulse());
  AwaitWindow(p);
  // What the sound server was told: a stream at another rate would play fast or slow.
  std::string format;
  for (int i = 0; i < 50 && (format = pulse_.PlayingFormat()).empty(); ++i) {
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(format, "s16le 1ch 22050Hz");
  pulse_.Kill();
  ExpectExit(p, 2);
  const std::string panic = harness::PanicLine(p.Stderr());
  EXPECT_FALSE(panic.empty()) << p.Stderr();
  EXPECT_NE(p.Stderr().find("\"music\""), std::string::npos) << p.Stderr();
}

TEST_F(RealTimeSound, MusicReplacedWhilePlayingGoesOnWithTheNewFile) {
  const std::string other = dir_.path() + "/other.mp3";
  ASSERT_TRUE(harness::MakeMp3(other, 22050, 1, 5000));
  pulse_.Record(monitor_);
  harness::Process p(ThroughPulse());
  AwaitWindow(p);
  ASSERT_TRUE(AwaitPlaying(p)) << "no steady sound at the sink";
  std::filesystem::rename(other, dir_.path() + "/music/dunk.mp3");
  // The old file (a second) plays to its end, then the new one, made to fit the stream, again
  // and again: a second and a half of the sink's sound since the change, without a gap.
  EXPECT_TRUE(AwaitMonitor(p, true, 1500ms));
  ASSERT_TRUE(p.Running()) << p.Stderr();
  EXPECT_GT(Measure(1s).sounding, 0.9);
  StopCleanly(p, XK_q);
}

TEST_F(RealTimeSound, MusicSpoiltWhilePlayingEndsOrGoesOnSilentlyButNeverSpins) {
  const std::string music = dir_.path() + "/music/dunk.mp3";
  for (const bool inPlace : {true, false}) {
    SCOPED_TRACE(inPlace ? "overwritten with garbage" : "replaced by an empty file");
    UseMusic(tone_);
    pulse_.Record(monitor_);
    harness::Process p(ThroughPulse());
    AwaitWindow(p);
    ASSERT_TRUE(AwaitPlaying(p)) << "no steady sound at the sink";
    if (inPlace) {
      std::string garbage;
      for (int i = 0; i < 20000; ++i) garbage.push_back(static_cast<char>(i * 97 + 13));
      std::ofstream(music, std::ios::binary | std::ios::trunc) << garbage;
    } else {
      std::ofstream(dir_.path() + "/empty.mp3");
      std::filesystem::rename(dir_.path() + "/empty.mp3", music);
    }
    // Either the decoder hits the garbage (a fatal error) or the file holds nothing to play:
    // decided on what happens, the process ending or the sink going silent.
    auto ended = [&] {
      // The file changed under the decoder: a decoding error. Overwritten in place, that can
      // come after some silence too, once the music is put back (seen, cause not known).
      EXPECT_TRUE(inPlace);
      ExpectExit(p, 2);
      EXPECT_EQ(harness::PanicLine(p.Stderr()).rfind("panic: mpg123 error: ", 0), 0u) << p.Stderr();
    };
    // What the old file had left (a second at most) plays first: then half a second of silence.
    const long long changed = harness::FileSize(monitor_);
    for (auto end = std::chrono::steady_clock::now() + 60s;
         std::chrono::steady_clock::now() < end && p.Running() &&
         harness::FileSize(monitor_) < changed + pulse_.rate() * 4 * 3 / 2;)
      std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(AwaitMonitor(p, false, 500ms)) << "neither ended nor silent";
    if (!p.Running()) {
      ended();
      continue;
    }
    // Nothing to play: silence at the device's pace, the file opened again for each buffer,
    // until it holds music again.
    const Heard silent = Measure(1s);
    EXPECT_NEAR(silent.pace, 1.0, 0.1);
    EXPECT_LT(silent.sounding, 0.05);
    // Put back whole, as a user would: a copy in place could be read half-written.
    std::filesystem::copy_file(tone_, dir_.path() + "/tone.mp3");
    std::filesystem::rename(dir_.path() + "/tone.mp3", music);
    EXPECT_TRUE(AwaitMonitor(p, true)) << "the music did not come back";
    if (inPlace && !p.Running()) {
      ended();
      continue;
    }
    EXPECT_GT(Measure(1s).sounding, 0.9);
    StopCleanly(p, XK_q);
  }
}

// A JACK client of the user killed inside libjack's shared lock, pinned there by a debugger, as
// an earlier run of the show ended by `q` or a signal at that moment was: every JACK client
// after it hangs, and the show must play all the same.
TEST_F(RealTimeSound, PlaysAfterAJackClientWasKilledHoldingLibjacksLock) {
  // A /dev/shm of the test's own, for the lock left there would hang the user's JACK clients.
  if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", "/dev/shm", "tmpfs", 0, "mode=1777") != 0) {
    GTEST_SKIP() << "a /dev/shm of its own needs root";
  }
  const std::vector<std::string> client = {
      "/usr/bin/python3", "-c",
      "import ctypes; ctypes.CDLL('libjack.so.0').jack_client_open(b'c', 1, None)"};
  harness::Options o{.argv = {"gdb", "-batch", "-nx", "-ex", "set breakpoint pending on", "-ex",
                              "break __db_pthread_mutex_lock", "-ex", "run", "-ex", "finish", "-ex",
                              "kill", "--args"}};
  o.argv.insert(o.argv.end(), client.begin(), client.end());
  // The database made whole first, as the runs before left it.
  ASSERT_TRUE(harness::Process(harness::Options{.argv = client}).Wait(60s));
  harness::Process gdb(o);
  ASSERT_TRUE(gdb.Wait(120s)) << gdb.Stderr();
  harness::Process next(harness::Options{.argv = client});
  ASSERT_FALSE(next.Wait(5s)) << "not left locked: " << gdb.Stdout() << gdb.Stderr();
  next.Kill(SIGKILL);

  pulse_.Record(monitor_);
  harness::Process p(ThroughPulse());
  AwaitWindow(p);
  ASSERT_TRUE(AwaitPlaying(p)) << "no sound at the sink: " << p.Stderr();
  StopCleanly(p, XK_q);
  EXPECT_EQ(p.Stderr(), "");
}

// Long: only when SHOWREEL_LONG_TESTS is set (the sanitizer run sets it).
TEST_F(RealTimeSound, StoppedForSeventySecondsItGoesOn) {
  if (!std::getenv("SHOWREEL_LONG_TESTS")) GTEST_SKIP() << "set SHOWREEL_LONG_TESTS to run";
  harness::WriteShow(dir_.path(), 301, 201);
  pulse_.Record(monitor_);
  harness::Process p(ThroughPulse());
  AwaitWindow(p);
  kill(p.pid(), SIGSTOP);
  std::this_thread::sleep_for(70s);
  kill(p.pid(), SIGCONT);
  ASSERT_TRUE(AwaitPlaying(p)) << "no steady sound after the stop: " << p.Stderr();
  EXPECT_GT(Measure(2s).sounding, 0.9);
  // The show goes on from where it stood: one picture after the other again.
  std::vector<int> seen;
  for (auto end = std::chrono::steady_clock::now() + 3500ms; std::chrono::steady_clock::now() < end;
       std::this_thread::sleep_for(100ms)) {
    const int i = harness::PictureAt(x_.Screenshot().at(960, 540));
    if (i >= 0 && (seen.empty() || seen.back() != i)) seen.push_back(i);
  }
  EXPECT_GE(seen.size(), 2u);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end())) << testing::PrintToString(seen);
  StopCleanly(p, XK_q);
}

// The music paced by a real-time sink: unpaced, the music thread would hold valgrind's one
// running thread most of the time, and the main loop would crawl.
TEST_F(RealTimeSound, MemcheckFindsNothingInTheProgramsOwnCode) {
#ifdef SHOWREEL_SANITIZED
  GTEST_SKIP() << "valgrind cannot run a sanitized program";
#endif
  harness::WriteShow(dir_.path(), 401, 301);
  harness::Options o = ThroughPulse();
  const std::string xml = dir_.path() + "/memcheck.xml";
  // No freeing of libc's own memory at exit: the music thread, ended in the middle of a write,
  // may hold the loader's lock, which that freeing takes, and valgrind would hang there.
  o.prefix = {"valgrind",
              "--xml=yes",
              "--xml-file=" + xml,
              "--leak-check=full",
              "--error-limit=no",
              "--child-silent-after-fork=yes",
              "--track-origins=yes",
              "--run-libc-freeres=no"};
  harness::Process p(o);
  // Slow under valgrind: long enough for the window, a few pictures and sound.
  ASSERT_TRUE(x_.AwaitWindow(p, 60s)) << p.Stderr();
  std::this_thread::sleep_for(5s);
  x_.StopProgram(p, XK_q, 30, 2s);
  const auto status = p.Wait(60s);
  ASSERT_TRUE(status) << p.Stderr();
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  const std::string report = harness::ReadFile(xml);
  ASSERT_NE(report.find("</valgrindoutput>"), std::string::npos) << "no complete report";
  EXPECT_EQ(harness::OwnMemcheckErrors(report, "/showreel"), std::vector<std::string>{});
}

// The show on a headless sway, through XWayland and on Wayland itself.
class OnSway : public Show {
 protected:
  harness::Options Client(const harness::Sway& sway, bool x11, bool software = true) {
    // Where the unprivileged user can reach it, wherever the build is.
    const std::string program = dir_.path() + "/showreel";
    if (!std::filesystem::exists(program)) std::filesystem::copy_file(SHOWREEL_BIN, program);
    harness::Options o = sway.Client({program}, x11);
    o.cwd = dir_.path();
    o.env["HOME"] = home_->path();
    if (software) o.env["SDL_RENDER_DRIVER"] = "software";
    return o;
  }
  void AwaitWindow(const harness::Sway& sway, harness::Process& p) {
    for (int i = 0; i < 600 && p.Running() && !sway.ShowsWindowOf(p.pid()); ++i) {
      std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(sway.ShowsWindowOf(p.pid())) << p.Stderr();
    std::this_thread::sleep_for(500ms);
  }
  // With `w` x `h`, the output changes to that mode once the show is on it.
  void ShowThenStop(bool x11, int w = 1920, int h = 1080) {
    ASSERT_TRUE(sway_.ok()) << "sway did not start";
    harness::WriteShow(dir_.path(), 1001, 601);
    for (const bool byKey : {true, false}) {
      SCOPED_TRACE(byKey ? "q" : "close");
      sway_.SetMode(1920, 1080);
      harness::Process p(Client(sway_, x11, !x11));
      AwaitWindow(sway_, p);
      sway_.SetMode(w, h);
      if (byKey) {
        ExpectTheShow(
            p, [&](const auto& areas) { return sway_.Screenshot(areas); }, w, h);
      }
      byKey ? sway_.Type("q") : sway_.CloseFocused();
      ExpectExit(p, 0);
      EXPECT_EQ(harness::PanicLine(p.Stderr()), "");
    }
  }
  harness::Sway sway_;
};

TEST_F(OnSway, ThroughXWayland) { ShowThenStop(true); }
TEST_F(OnSway, OnWaylandWithTheSoftwareRenderer) { ShowThenStop(false); }
TEST_F(OnSway, FollowsTheScreenChangingMode) {
  ShowThenStop(true, 1280, 720);
  ShowThenStop(false, 1080, 1920);
}

TEST_F(OnSway, OnWaylandTheDefaultRendererIsFatalWithAdvice) {
  ASSERT_TRUE(sway_.ok()) << "sway did not start";
  harness::Process p(Client(sway_, false, false));
  ExpectExit(p, 2);
  EXPECT_EQ(harness::PanicLine(p.Stderr()), "panic: No hardware accelerated renderers available");
  EXPECT_NE(p.Stderr().find("run with SDL_RENDER_DRIVER=software"), std::string::npos)
      << p.Stderr();
}

TEST_F(OnSway, LosingTheCompositorIsFatal) {
  for (const bool x11 : {true, false}) {
    SCOPED_TRACE(x11 ? "XWayland" : "Wayland");
    harness::Sway own;
    ASSERT_TRUE(own.ok()) << "sway did not start";
    harness::Process p(Client(own, x11, !x11));
    AwaitWindow(own, p);
    own.Kill();
    ExpectExit(p, 2);
    EXPECT_EQ(harness::PanicLine(p.Stderr()).rfind("panic: lost the display connection (", 0), 0u)
        << p.Stderr();
  }
}

class OnPipeWire : public RealTimeSound {
 protected:
  OnPipeWire() : RealTimeSound(harness::SoundServer::PipeWire) {}
};

TEST_F(OnPipeWire, PlaysTheLoopsExactlyInRealTimeAndTheServerKilledIsFatal) {
  // At the sink's own rate, so that nothing is resampled on the way.
  const std::string mp3 = dir_.path() + "/song.mp3";
  ASSERT_TRUE(harness::MakeMp3(mp3, pulse_.rate(), 2, 30001));
  UseMusic(mp3);
  const std::vector<uint8_t> decoded = harness::DecodeAll(mp3);
  pulse_.Record(monitor_);
  harness::Process p(ThroughPulse());
  AwaitWindow(p);
  ASSERT_TRUE(AwaitMonitor(p, true) && p.Running()) << "no sound at the sink";
  EXPECT_NEAR(Measure(3s).pace, 1, 0.1);

  // From the first sound on, the file's loops, wherever the capture came in; judged only up to
  // where the recorder had written before it went on, so that no chunk is read mid-write.
  const auto written = static_cast<size_t>(harness::FileSize(monitor_));
  ASSERT_TRUE(AwaitMonitor(p, true, 100ms) && p.Running()) << "the sound stopped";
  const std::string captured = harness::ReadFile(monitor_).substr(0, written);
  const size_t first = captured.find_first_not_of('\0') & ~size_t{3};
  ASSERT_LT(first + 4096, captured.size());
  std::vector<uint8_t> twice(decoded);
  twice.insert(twice.end(), decoded.begin(), decoded.end());
  const auto at = std::search(twice.begin(), twice.end(), captured.begin() + first,
                              captured.begin() + first + 4096,
                              [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); });
  ASSERT_NE(at, twice.end()) << "the capture is not the file's sound";
  const size_t offset = static_cast<size_t>(at - twice.begin()) % decoded.size();
  std::vector<uint8_t> rotated(decoded.begin() + offset, decoded.end());
  rotated.insert(rotated.end(), decoded.begin(), decoded.begin() + offset);
  ASSERT_GE(captured.size() - first, 2 * decoded.size());
  ExpectLoopedPrefix(captured.substr(first), rotated);

  const auto killed = std::chrono::steady_clock::now();
  pulse_.Kill();
  ASSERT_TRUE(p.Wait(30s)) << "still running 30 s after the server went";
  EXPECT_LT(std::chrono::steady_clock::now() - killed, 30s);
  ExpectExit(p, 2);
  EXPECT_EQ(harness::PanicLine(p.Stderr()).rfind("panic: ", 0), 0u) << p.Stderr();
}

}  // namespace
