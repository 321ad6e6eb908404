// Runs every benchmark of the program against its floor, alternating the two, on an X server
// and a sound server of its own, and writes the table to the file given.
//   bench-runner OUT.md [--quick]
#include <SDL.h>
#include <X11/keysym.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/probe.h"
#include "tests/harness/screen.h"
#include "tests/harness/show.h"
#include "tests/harness/sound.h"
#include "tools/demo.h"

namespace {

using namespace std::chrono_literals;

struct Stats {
  double median = 0, lo = 0, hi = 0;
  size_t n = 0;
};

Stats Summarise(std::vector<double> v) {
  Stats s;
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  s.n = v.size();
  s.lo = v.front();
  s.hi = v.back();
  s.median = v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
  return s;
}

// "bench ..." lines of a run's standard error.
std::map<std::string, std::vector<long long>> Probe(const std::string& err) {
  std::map<std::string, std::vector<long long>> out;
  std::istringstream in(err);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("bench ", 0) != 0) continue;
    std::istringstream words(line.substr(6));
    std::string key;
    words >> key;
    if (key == "picture") {
      long long index, frames, span;
      std::string f, s;
      words >> index >> f >> frames >> s >> span;
      out["frames" + std::to_string(index)] = {frames, span};
    } else {
      long long v;
      words >> v;
      out[key] = {v};
    }
  }
  return out;
}

// Runs a command to its end; returns what it wrote on standard error, or on standard output.
std::string Run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                const std::string& cwd, bool out = false) {
  const harness::Ended e = harness::RunToEnd({.argv = argv, .cwd = cwd, .env = env});
  return out ? e.out : e.err;
}

std::string Cpu() {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown";
}

// CPU seconds a thread of `pid` named `name` has used so far.
double ThreadCpu(pid_t pid, const std::string& name) {
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    std::string comm = harness::ReadFile(task.path().string() + "/comm");
    if (!comm.empty() && comm.back() == '\n') comm.pop_back();
    if (comm != name) continue;
    const std::string stat = harness::ReadFile(task.path().string() + "/stat");
    std::istringstream in(stat.substr(stat.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
      if (i == 14) utime = std::stoull(field);
      if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  return -1;
}

long long StatusKb(pid_t pid, const std::string& key) {
  std::istringstream in(harness::ReadFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key + ":", 0) == 0) return std::stoll(line.substr(key.size() + 1));
  }
  return -1;
}

class Bench {
 public:
  Bench(std::string dir, bool quick)
      : bareLoop_(dir + "/bare-loop"),
        decodeFloor_(dir + "/decode-floor"),
        micro_(dir + "/bench-micro"),
        quick_(quick) {
    harness::WriteAsoundrc(home_.path());
    // The show's own demo set, and a start-up set of fifteen full-screen pictures.
    (void)demo::WritePictures(demoDir_);
    (void)demo::WriteMusic(demoDir_);
    harness::WriteShow(fullDir_, 1920, 1080);
    std::filesystem::create_directories(fullDir_ + "/music");
    std::filesystem::copy_file(demoDir_ + "/music/dunk.mp3", fullDir_ + "/music/dunk.mp3");
  }

  // The program's environment: the display, and sound to the PulseAudio null sink (paced, so
  // the music takes what it would on a kiosk) or to ALSA's null device (as fast as it goes).
  std::map<std::string, std::string> Env(bool paced) const {
    std::map<std::string, std::string> env{{"DISPLAY", x_.name()}, {"HOME", home_.path()}};
    if (paced) {
      env["TEST_ALSA_SLAVE"] = "pulse";
      env["PULSE_SERVER"] = pulse_.address();
    }
    return env;
  }

  harness::Options Options(const std::string& cwd, bool paced) const {
    return harness::Options{.argv = {SHOWREEL_BIN},
                            .cwd = cwd,
                            .env = Env(paced),
                            .unset = {"SDL_VIDEODRIVER", "WAYLAND_DISPLAY"}};
  }

  void Stop(harness::Process& p) { x_.StopProgram(p, XK_q, 20, 500ms); }

  void FrameLoop(std::ostream& out) {
    const int runs = quick_ ? 2 : 5;
    std::vector<double> prog6, prog13, bare6, bare13, events6, events13;
    for (int r = 0; r < runs; ++r) {
      harness::Process p(Options(demoDir_, true));
      std::this_thread::sleep_for(17s);
      Stop(p);
      auto probe = Probe(p.Stderr());
      auto fps = [&](int i) {
        const auto& v = probe["frames" + std::to_string(i)];
        return v.size() == 2 && v[1] > 0 ? static_cast<double>(v[0]) / (v[1] / 1e9) : 0.0;
      };
      prog6.push_back(fps(6));
      // The last picture's second time round: its first makes the background texture.
      prog13.push_back(fps(14));
      for (const std::string mode : {"frames", "events"}) {
        for (int picture : {6, 13}) {
          const std::string second = picture == 13 ? "14" : "6";
          auto b = Probe(Run({bareLoop_, mode, demoDir_, std::to_string(picture), second},
                             Env(true), demoDir_))["frames" + second];
          auto& into = mode == "frames" ? (picture == 6 ? bare6 : bare13)
                                        : (picture == 6 ? events6 : events13);
          into.push_back(b.size() == 2 ? static_cast<double>(b[0]) / (b[1] / 1e9) : 0.0);
        }
      }
    }
    Row(out, "Frame loop, middle picture (fps)", Summarise(prog6), Summarise(bare6), 0.95, true);
    Row(out, "Frame loop, last picture over the background (fps)", Summarise(prog13),
        Summarise(bare13), 0.95, true);
    // The same, against a floor that drains the event queue each frame as the program must.
    Row(out, "Frame loop, middle picture, floor with event drain (fps)", Summarise(prog6),
        Summarise(events6), 0.95, true);
    Row(out, "Frame loop, last picture, floor with event drain (fps)", Summarise(prog13),
        Summarise(events13), 0.95, true);
  }

  void StartUp(std::ostream& out) {
    const int runs = quick_ ? 3 : 9;
    std::vector<double> prog, bare;
    for (int r = 0; r < runs; ++r) {
      int64_t t0 = bench::MonotonicNs();

      harness::Process p(Options(fullDir_, true));
      x_.AwaitWindow(p, 6s);
      std::this_thread::sleep_for(1s);
      fullPeakKb_ = StatusKb(p.pid(), "VmHWM");
      Stop(p);
      const auto first = Probe(p.Stderr())["first-frame-ns"];
      prog.push_back(first.empty() ? 0 : (first[0] - t0) / 1e6);
      t0 = bench::MonotonicNs();
      auto probe = Probe(Run({bareLoop_, "startup", fullDir_}, Env(true), fullDir_));
      const auto bareFirst = probe["first-frame-ns"];
      bare.push_back(bareFirst.empty() ? 0 : (bareFirst[0] - t0) / 1e6);
      if (!probe["peak-kb"].empty()) barePeakKb_ = probe["peak-kb"][0];
    }
    Row(out, "Start-up to the first frame, 15 x 1920x1080 BMP (ms)", Summarise(prog),
        Summarise(bare), 1.10, false);
  }

  void SoundCpu(std::ostream& out) {
    const int runs = quick_ ? 2 : 5;
    std::vector<double> prog, floor;
    const std::string mp3 = demoDir_ + "/music/dunk.mp3";
    long rate = 0;
    (void)harness::DecodeAll(mp3, &rate);
    for (int r = 0; r < runs; ++r) {
      // No pictures, so the main thread draws little; the music goes to ALSA's null device,
      // which takes it as fast as the music thread can make it.
      harness::TempDir empty;
      std::filesystem::create_directories(empty.path() + "/music");
      std::filesystem::copy_file(mp3, empty.path() + "/music/dunk.mp3");
      harness::Process p(Options(empty.path(), false));
      std::this_thread::sleep_for(6s);
      const double cpu = ThreadCpu(p.pid(), "music");
      Stop(p);
      const auto frames = Probe(p.Stderr())["frames-written"];
      const double audio =
          frames.empty() ? 0 : static_cast<double>(frames[0]) / static_cast<double>(rate);
      prog.push_back(audio > 0 ? cpu / audio * 1e6 : 0);
      const auto f = Probe(Run({decodeFloor_, mp3, std::to_string(std::max(audio, 60.0))}, {},
                               "."))["cpu-ns-per-audio-second"];
      floor.push_back(f.empty() ? 0 : static_cast<double>(f[0]) / 1e3);
    }
    Row(out, "Soundtrack CPU per second of audio (us)", Summarise(prog), Summarise(floor), 1.25,
        false);
  }

  // Google Benchmark's medians of the per-buffer conversion and of a plain copy.
  void Micro(std::ostream& out) {
    const std::string report =
        Run({micro_, "--benchmark_repetitions=5", "--benchmark_report_aggregates_only=true"}, {},
            ".", true);
    std::map<std::string, double> cpu;
    std::istringstream in(report);
    for (std::string name, line; std::getline(in, line);) {
      std::istringstream words(line);
      double real, cputime;
      std::string unit1, unit2;
      if (words >> name >> real >> unit1 >> cputime >> unit2 && name.ends_with("_median")) {
        cpu[name] = cputime;
      }
    }
    const double convert = cpu["BM_ConvertSamples_median"], copy = cpu["BM_CopyFloor_median"];
    char line[512];
    std::snprintf(line, sizeof line,
                  "| Converting one 16384-byte buffer to samples, against a plain copy (ns) "
                  "| %.0f | %.0f | %.3f | (report) | - |\n",
                  convert, copy, copy > 0 ? convert / copy : 0);
    out << line;
    std::fputs(line, stdout);
  }

  // Also the soak: the show on its last picture for `minutes`, sound to a paced sink.
  void Memory(std::ostream& out, int minutes) {
    pulse_.Record(work_.path() + "/monitor.raw");
    const auto t0 = std::chrono::steady_clock::now();
    harness::Process p(Options(demoDir_, true));
    auto at = [&](std::chrono::seconds s) {
      std::this_thread::sleep_until(t0 + s);
      return StatusKb(p.pid(), "VmRSS");
    };
    const long long rss30 = at(30s);
    const long long monitor30 = harness::FileSize(work_.path() + "/monitor.raw");
    const long long rss10 = at(std::chrono::seconds(std::min(minutes, 10) * 60));
    const long long rssEnd = at(std::chrono::seconds(minutes * 60));
    const long long monitorEnd = harness::FileSize(work_.path() + "/monitor.raw");
    const long long peak = StatusKb(p.pid(), "VmHWM");
    const bool up = p.Running();
    Stop(p);
    const double audio = static_cast<double>(monitorEnd - monitor30) / (44100 * 4);
    const double elapsed = minutes * 60.0 - 30;
    // Pixels held: every picture and the background as loaded, three bytes a pixel.
    long long pixels = 0;
    for (const char* f : harness::kShowPictures) {
      SDL_Surface* s = SDL_LoadBMP((demoDir_ + "/" + f).c_str());
      if (s) pixels += static_cast<long long>(s->pitch) * s->h;
      SDL_FreeSurface(s);
    }
    pixels += 1920LL * 3 * 1080;
    char text[2048];
    std::snprintf(text, sizeof text,
                  "| Resident size, %d min against 30 s (KiB) | %lld | %lld | growth %+lld KiB "
                  "| <= 1024 KiB growth | %s |\n"
                  "| Resident size, %d min against 30 s (KiB) | %lld | %lld | growth %+lld KiB "
                  "| (soak) | %s |\n"
                  "| Peak resident size against pixel bytes loaded (KiB) | %lld | %lld | %.2f "
                  "| (report) | - |\n"
                  "| Peak resident size against the floor's, 15 x 1920x1080 loaded (KiB) | %lld "
                  "| %lld | - | (report) | - |\n"
                  "| Soak: sound from the sink's monitor against elapsed time (s) | %.1f | %.1f "
                  "| %.4f | within 1%% | %s |\n"
                  "| Soak: still running after %d min | %s | - | - | running | %s |\n",
                  std::min(minutes, 10), rss10, rss30, rss10 - rss30,
                  rss10 - rss30 <= 1024 ? "met" : "missed", minutes, rssEnd, rss30, rssEnd - rss30,
                  rssEnd - rss30 <= 1024 ? "met" : "missed", peak, pixels / 1024,
                  static_cast<double>(peak) / (pixels / 1024.0), fullPeakKb_, barePeakKb_, audio,
                  elapsed, audio / elapsed,
                  std::abs(audio / elapsed - 1) <= 0.01 ? "met" : "missed", minutes,
                  up ? "yes" : "no", up ? "met" : "missed");
    out << text;
    std::fputs(text, stdout);
  }

  std::string bareLoop_, decodeFloor_, micro_;
  bool quick_;
  long long barePeakKb_ = -1, fullPeakKb_ = -1;
  harness::XServer x_;
  harness::SoundServer pulse_{harness::SoundServer::PulseAudio};
  harness::TempDir home_, work_;
  std::string demoDir_ = work_.path() + "/demo", fullDir_ = work_.path() + "/full";

 private:
  static void Row(std::ostream& out, const std::string& what, const Stats& prog, const Stats& base,
                  double goal, bool higherBetter) {
    const double ratio = base.median > 0 ? prog.median / base.median : 0;
    const bool met = higherBetter ? ratio >= goal : ratio <= goal;
    char line[512];
    std::snprintf(
        line, sizeof line,
        "| %s | %.1f (%.1f-%.1f, n=%zu) | %.1f (%.1f-%.1f, n=%zu) | %.3f | %s %.2f | %s |\n",
        what.c_str(), prog.median, prog.lo, prog.hi, prog.n, base.median, base.lo, base.hi, base.n,
        ratio, higherBetter ? ">=" : "<=", goal, met ? "met" : "missed");
    out << line;
    std::fputs(line, stdout);
    std::fflush(stdout);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench-runner OUT.md [--quick] [--soak-only] [--soak-minutes N]\n");
    return 64;
  }
  bool quick = false, soakOnly = false;
  int soak = 30;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--quick") quick = true;
    if (a == "--soak-only") soakOnly = true;
    if (a == "--soak-minutes" && i + 1 < argc) soak = std::atoi(argv[++i]);
  }
  if (quick && soak == 30) soak = 1;
  const std::string self = argv[0];
  Bench b(std::filesystem::absolute(self).parent_path().string(), quick);
  if (!b.x_.ok() || !b.pulse_.ok()) {
    std::fprintf(stderr, "bench-runner: Xvfb or pulseaudio did not start\n");
    return 1;
  }
  std::ostringstream table;
  table << "| Measure | Program: median (min-max, runs) | Floor: median (min-max, runs) "
           "| Ratio | Goal | |\n|---|---|---|---|---|---|\n";
  if (!soakOnly) {
    b.FrameLoop(table);
    b.StartUp(table);
    b.SoundCpu(table);
    b.Micro(table);
  }
  b.Memory(table, soak);

  const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  char date[64];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  std::ofstream out(argv[1]);
  out << (soakOnly ? "# Soak results\n\n" : "# Benchmark results\n\n") << "Measured " << date
      << " on " << Cpu() << ", " << std::thread::hardware_concurrency() << " cores"
      << (quick ? " (quick run: fewer runs, short soak)" : "") << ".\n\n"
      << "Each program figure is set against its floor measured in the same run, the two "
         "alternated; the ratio is of the medians.\n\n"
      << table.str();
  return 0;
}
