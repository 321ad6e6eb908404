#include "tests/harness/compositor.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace harness {
namespace {
constexpr auto kPoll = std::chrono::milliseconds(100);
}

Sway::Sway() {
  MakeOwnedDir(runtime_);
  std::ofstream(dir_.path() + "/config") << "output HEADLESS-1 mode 1920x1080\n"
                                         << "xwayland enable\n";
  sway_ = std::make_unique<Process>(Options{.argv = {"sway", "-c", dir_.path() + "/config"},
                                            .env = {{"XDG_RUNTIME_DIR", runtime_},
                                                    {"WLR_BACKENDS", "headless"},
                                                    {"WLR_RENDERER", "pixman"},
                                                    {"WLR_LIBINPUT_NO_DEVICES", "1"}},
                                            .unset = {"DISPLAY", "WAYLAND_DISPLAY"},
                                            .unprivileged = true});
  // Its X display is known only inside it.
  const std::string file = dir_.path() + "/display";
  for (int i = 0; i < 100 && display_.empty() && sway_->Running(); ++i) {
    std::this_thread::sleep_for(kPoll);
    if (!std::filesystem::exists(runtime_ + "/wayland-1")) continue;
    if (FileSize(file) <= 0) {
      Swaymsg({"exec", "echo $DISPLAY > " + file});
      continue;
    }
    std::istringstream(ReadFile(file)) >> display_;
  }
}

Options Sway::Client(std::vector<std::string> argv, bool x11) const {
  Options o{.argv = std::move(argv),
            .env = {{"XDG_RUNTIME_DIR", runtime_}, {"WAYLAND_DISPLAY", "wayland-1"}},
            .unset = {"SDL_VIDEODRIVER", "SDL_RENDER_DRIVER", "DISPLAY"},
            .unprivileged = true};
  if (x11) o.env["DISPLAY"] = display_;
  return o;
}

std::string Sway::Swaymsg(std::vector<std::string> args) const {
  std::string socket;
  for (const auto& f : std::filesystem::directory_iterator(runtime_)) {
    if (f.path().filename().string().starts_with("sway-ipc.")) socket = f.path().string();
  }
  args.insert(args.begin(), "swaymsg");
  Options o = Client(std::move(args), false);
  o.env["SWAYSOCK"] = socket;
  return RunToEnd(o).out;
}

bool Sway::ShowsWindowOf(pid_t pid) const {
  return Swaymsg({"-t", "get_tree"}).find("\"pid\": " + std::to_string(pid) + ",") !=
         std::string::npos;
}

Shot Sway::Screenshot(const std::vector<Area>& only) const {
  Shot shot{.w = w_, .h = h_, .px = std::vector<uint8_t>(static_cast<size_t>(w_ * h_) * 3)};
  TempDir dir;
  const std::string path = dir.path() + "/shot.ppm";
  const std::vector<Area> whole{{0, 0, shot.w, shot.h}};
  for (const Area& a : only.empty() ? whole : only) {
    RunToEnd(Client({"grim", "-t", "ppm", "-g",
                     std::to_string(a.x) + "," + std::to_string(a.y) + " " + std::to_string(a.w) +
                         "x" + std::to_string(a.h),
                     path},
                    false));
    std::istringstream in(ReadFile(path));
    std::string magic;
    int w = 0, h = 0, max = 0;
    in >> magic >> w >> h >> max;
    in.get();
    if (magic != "P6" || max != 255 || w != a.w || h != a.h) return Shot{};
    for (int y = 0; y < h; ++y) {
      in.read(reinterpret_cast<char*>(&shot.px[static_cast<size_t>((a.y + y) * shot.w + a.x) * 3]),
              w * 3);
    }
  }
  return shot;
}

void Sway::SetMode(int w, int h) {
  Swaymsg({"output", "HEADLESS-1", "mode", std::to_string(w) + "x" + std::to_string(h)});
  w_ = w;
  h_ = h;
}

void Sway::Type(const std::string& key) const {
  // The client needs a moment to take the new virtual keyboard's key map.
  RunToEnd(Client({"wtype", "-s", "1000", "-k", key, "-s", "500"}, false));
}

void Sway::CloseFocused() const { Swaymsg({"kill"}); }

}  // namespace harness
