// The Debian package as a user gets it: built, checked, unpacked, and its demo run.
#include <X11/keysym.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/harness/screen.h"
#include "tests/harness/sound.h"

namespace {

using namespace std::chrono_literals;

bool Succeeded(const harness::Ended& e) {
  return WIFEXITED(e.status) && WEXITSTATUS(e.status) == 0;
}

// The kiosk's sound card on the Raspberry Pis' layouts of cards and HDMI connectors: the
// cards it tries, best first, as "name how" lines.
TEST(KioskSound, TheConnectedScreensHdmiCardThenTheJackThenTheRest) {
  struct Case {
    const char* what;
    std::vector<std::string> cards, connected;
    std::string card, expected;
  };
  for (const Case& c : {
           Case{"Pi 4, screen on port 2",
                {"Headphones", "vc4hdmi0", "vc4hdmi1"},
                {"2"},
                "",
                "vc4hdmi1 iec958,Headphones card,vc4hdmi0 iec958"},
           Case{"Pi 4, cards in another order, no screen",
                {"vc4hdmi0", "vc4hdmi1", "Headphones"},
                {},
                "",
                "Headphones card,vc4hdmi0 iec958,vc4hdmi1 iec958"},
           Case{"Pi 5, screen on port 1",
                {"vc4hdmi0", "vc4hdmi1"},
                {"1"},
                "",
                "vc4hdmi0 iec958,vc4hdmi1 iec958"},
           Case{"Pi 3, screen on",
                {"vc4hdmi", "Headphones"},
                {"1"},
                "",
                "vc4hdmi iec958,Headphones card"},
           Case{"a PC", {"PCH", "NVidia"}, {"1"}, "", "PCH card,NVidia card"},
           Case{"ALSA_CARD",
                {"Headphones", "vc4hdmi0"},
                {"1"},
                "vc4hdmi0",
                "vc4hdmi0 iec958,Headphones card"},
       }) {
    SCOPED_TRACE(c.what);
    harness::TempDir root;
    std::filesystem::create_directories(root.path() + "/proc/asound");
    std::ofstream cards(root.path() + "/proc/asound/cards");
    for (size_t i = 0; i < c.cards.size(); ++i) {
      cards << " " << i << " [" << c.cards[i] << "     ]: driver - " << c.cards[i] << "\n"
            << "                      " << c.cards[i] << "\n";
    }
    cards.close();
    for (const char* port : {"1", "2"}) {
      const std::string connector = root.path() + "/sys/class/drm/card1-HDMI-A-" + port;
      std::filesystem::create_directories(connector);
      const bool on = std::find(c.connected.begin(), c.connected.end(), port) != c.connected.end();
      std::ofstream(connector + "/status") << (on ? "connected\n" : "disconnected\n");
    }
    // An empty ALSA_CARD is none.
    const auto listed =
        harness::RunToEnd({.argv = {"sh", "-c", KIOSK_DIR "/sound | paste -sd,"},
                           .env = {{"SHOWREEL_ROOT", root.path()}, {"ALSA_CARD", c.card}}});
    EXPECT_EQ(listed.out, c.expected + "\n");
  }
}

TEST(Package, BuildsCleanAndItsDemoRunsUnpacked) {
  harness::TempDir out, root, home;
  const auto built =
      harness::RunToEnd({.argv = {CPACK, "-G", "DEB", "-B", out.path(), "--config", CPACK_CONFIG}});
  ASSERT_TRUE(Succeeded(built)) << built.out << built.err;
  std::string deb, kiosk;
  for (const auto& f : std::filesystem::directory_iterator(out.path())) {
    const std::string name = f.path().filename().string();
    if (name == "showreel_" VERSION "_" ARCH ".deb") deb = f.path().string();
    if (name == "showreel-kiosk_" VERSION "_all.deb") kiosk = f.path().string();
  }
  ASSERT_FALSE(deb.empty()) << "no showreel_" VERSION "_" ARCH ".deb";
  ASSERT_FALSE(kiosk.empty()) << "no showreel-kiosk_<version>_all.deb";

  const std::string contents = harness::RunToEnd({.argv = {"dpkg-deb", "-c", deb}}).out;
  for (const char* path :
       {"./usr/bin/showreel", "./usr/bin/showreel-make-show", "./usr/share/man/man1/showreel.1.gz",
        "./usr/share/man/man1/showreel-make-show.1.gz", "./usr/lib/systemd/user/showreel.service",
        "./usr/share/doc/showreel/copyright", "./usr/share/showreel/demo/images/bird.bmp",
        "./usr/share/showreel/demo/music/dunk.mp3"}) {
    EXPECT_NE(contents.find(std::string(path) + "\n"), std::string::npos) << path;
  }
  const std::string control = harness::RunToEnd({.argv = {"dpkg-deb", "-f", deb, "Depends"}}).out;
  for (const char* lib : {"libsdl2-2.0-0", "libmpg123-0", "libportaudio2"}) {
    EXPECT_NE(control.find(lib), std::string::npos) << control;
  }
  // The kiosk's own: what it runs, and that it depends on the very program it runs.
  const std::string kiosked = harness::RunToEnd({.argv = {"dpkg-deb", "-c", kiosk}}).out;
  EXPECT_NE(kiosked.find("./usr/lib/systemd/system/showreel-kiosk.service\n"), std::string::npos);
  EXPECT_NE(kiosked.find("./usr/libexec/showreel-kiosk/showreel-kiosk\n"), std::string::npos);
  EXPECT_NE(kiosked.find("./usr/share/showreel-kiosk/asound.conf\n"), std::string::npos);
  EXPECT_NE(harness::RunToEnd({.argv = {"dpkg-deb", "-f", kiosk, "Depends"}})
                .out.find("showreel (= " VERSION ")"),
            std::string::npos);
  const auto lint =
      harness::RunToEnd({.argv = {"lintian", "--fail-on", "error,warning", deb, kiosk}});
  EXPECT_TRUE(Succeeded(lint)) << lint.out << lint.err;

  for (const std::string& d : {deb, kiosk})
    ASSERT_TRUE(Succeeded(harness::RunToEnd({.argv = {"dpkg-deb", "-x", d, root.path()}})));
  for (const char* page : {"showreel.1.gz", "showreel-make-show.1.gz"}) {
    const auto man = harness::RunToEnd(
        {.argv = {"sh", "-c",
                  "zcat " + root.path() + "/usr/share/man/man1/" + page + " | groff -man -ww -z"}});
    EXPECT_TRUE(Succeeded(man) && man.err.empty()) << page << ": " << man.err;
  }
  // The units as shipped, but for the programs they start: those of the unpacked packages.
  const std::string units = root.path() + "/units";
  std::filesystem::create_directories(units);
  // Each after the units it names.
  for (const auto& [unit, user] :
       {std::pair{"usr/lib/systemd/user/showreel.service", true},
        {"usr/lib/systemd/system/showreel-kiosk-retry.service", false},
        {"usr/lib/systemd/system/showreel-kiosk-retry.timer", false},
        {"usr/lib/systemd/system/showreel-kiosk.service", false},
        {"usr/lib/systemd/system/showreel-kiosk-show.service", false},
        {"usr/lib/systemd/system/showreel-kiosk-show.path", false},
        {"usr/lib/systemd/system/showreel-kiosk-pull.service", false},
        {"usr/lib/systemd/system/showreel-kiosk-pull.timer", false},
        {"usr/lib/systemd/system/showreel-kiosk-screen.service", false},
        {"usr/lib/systemd/system/showreel-kiosk-asleep.service", false},
        {"usr/lib/systemd/system/showreel-kiosk-hours.service", false},
        {"usr/lib/systemd/system/showreel-kiosk-hours.path", false},
        {"usr/lib/systemd/system/showreel-kiosk-status.service", false}}) {
    std::string text = harness::ReadFile(root.path() + "/" + unit);
    for (const auto& [from, to] :
         {std::pair<std::string, std::string>{"ExecStart=showreel",
                                              "ExecStart=" + root.path() + "/usr/bin/showreel"},
          {"=/usr/libexec/", "=" + root.path() + "/usr/libexec/"},
          {"=-/usr/libexec/", "=-" + root.path() + "/usr/libexec/"}}) {
      for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + 1)) {
        text.replace(at, from.size(), to);
      }
    }
    const std::string copy = units + "/" + std::filesystem::path(unit).filename().string();
    std::ofstream(copy) << text;
    harness::Options o{.argv = {"systemd-analyze", "verify", "--man=no", copy},
                       .env = {{"XDG_RUNTIME_DIR", home.path()}}};
    if (user) o.argv.insert(o.argv.begin() + 2, "--user");
    const auto verified = harness::RunToEnd(o);
    EXPECT_TRUE(Succeeded(verified) && verified.err.empty()) << unit << ": " << verified.err;
  }

  // Another architecture's program runs here only through a binfmt_misc handler; what came
  // before, lintian among it, has been checked.
  if (!Succeeded(harness::RunToEnd({.argv = {"arch-test", ARCH}})))
    GTEST_SKIP() << "this machine cannot run " ARCH " programs (no binfmt_misc handler)";
  harness::XServer x;
  ASSERT_TRUE(x.ok()) << "Xvfb did not start";
  harness::WriteAsoundrc(home.path());
  harness::Process show({.argv = {root.path() + "/usr/bin/showreel"},
                         .cwd = root.path() + "/usr/share/showreel/demo",
                         .env = {{"DISPLAY", x.name()}, {"HOME", home.path()}},
                         .unset = {"SDL_VIDEODRIVER", "WAYLAND_DISPLAY"}});
  ASSERT_TRUE(x.AwaitWindow(show, 15s, 1s)) << show.Stderr();
  // The demo grows from the centre; the bound is for a hang: the arm64 program under emulation,
  // on a busy host, took over 3 s from its window to its first frame.
  EXPECT_TRUE(x.AwaitCentreDrawn(30s)) << "nothing shown";
  x.StopProgram(show, XK_q);
  const auto status = show.Wait(10s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << show.Stderr();
}

}  // namespace
