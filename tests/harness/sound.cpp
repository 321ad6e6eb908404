#include "tests/harness/sound.h"

#include <mpg123.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

namespace harness {

void AppendLE(std::string& out, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

bool WriteWav(const std::string& path, int rate, int channels,
              const std::vector<int16_t>& samples) {
  const auto bytes = static_cast<uint32_t>(samples.size() * 2);
  std::string s = "RIFF";
  AppendLE(s, 36 + bytes, 4);
  s += "WAVEfmt ";
  AppendLE(s, 16, 4);
  AppendLE(s, 1, 2);
  AppendLE(s, static_cast<uint32_t>(channels), 2);
  AppendLE(s, static_cast<uint32_t>(rate), 4);
  AppendLE(s, static_cast<uint32_t>(rate * channels * 2), 4);
  AppendLE(s, static_cast<uint32_t>(channels * 2), 2);
  AppendLE(s, 16, 2);
  s += "data";
  AppendLE(s, bytes, 4);
  for (int16_t v : samples) AppendLE(s, static_cast<uint16_t>(v), 2);
  std::ofstream out(path, std::ios::binary);
  out << s;
  return static_cast<bool>(out);
}

bool EncodeMp3(const std::string& wav, const std::string& mp3,
               const std::vector<std::string>& options) {
  Options o{.argv = {"lame", "--quiet"}};
  o.argv.insert(o.argv.end(), options.begin(), options.end());
  o.argv.insert(o.argv.end(), {wav, mp3});
  const int status = RunToEnd(o).status;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool MakeMp3(const std::string& path, int rate, int channels, int64_t frames, bool tag) {
  std::vector<int16_t> samples;
  for (int64_t i = 0; i < frames; ++i) {
    for (int c = 0; c < channels; ++c) {
      const double f = 330.0 * (c + 1);
      samples.push_back(
          static_cast<int16_t>(9000 * std::sin(2 * M_PI * f * static_cast<double>(i) / rate)));
    }
  }
  const std::string wav = path + ".wav";
  char khz[32];
  std::snprintf(khz, sizeof khz, "%g", rate / 1000.0);
  const bool ok =
      WriteWav(wav, rate, channels, samples) &&
      EncodeMp3(wav, path,
                {tag ? "--quiet" : "-t", "--resample", khz, "-m", channels == 1 ? "m" : "j"});
  std::remove(wav.c_str());
  return ok;
}

mpg123_handle_struct* OpenReference(const std::string& path, long* rate, int* channels) {
  mpg123_init();
  mpg123_handle* h = mpg123_new(nullptr, nullptr);
  if (h == nullptr) return nullptr;
  if (mpg123_open(h, path.c_str()) != MPG123_OK) {
    mpg123_delete(h);
    return nullptr;
  }
  long r = 0;
  int ch = 0, enc = 0;
  mpg123_getformat(h, &r, &ch, &enc);
  mpg123_format_none(h);
  mpg123_format(h, r, ch, MPG123_ENC_SIGNED_16);
  if (rate) *rate = r;
  if (channels) *channels = ch;
  return h;
}

std::vector<uint8_t> DecodeAll(const std::string& path, long* rate, int* channels) {
  std::vector<uint8_t> all;
  mpg123_handle* h = OpenReference(path, rate, channels);
  if (h == nullptr) return all;
  unsigned char buf[4096];
  size_t done = 0;
  int result;
  do {
    result = mpg123_read(h, buf, sizeof buf, &done);
    all.insert(all.end(), buf, buf + done);
  } while (result == MPG123_OK);
  mpg123_close(h);
  mpg123_delete(h);
  return all;
}

void WriteAsoundrc(const std::string& dir) {
  std::ofstream(dir + "/.asoundrc") << R"(pcm.!default {
  type file
  slave.pcm { @func getenv vars [ TEST_ALSA_SLAVE ] default "null" }
  file { @func getenv vars [ TEST_ALSA_CAPTURE ] default "/dev/null" }
  format "raw"
}
)";
}

SoundServer::SoundServer(Kind kind) : kind_(kind) {
  mkdir(runtime_.c_str(), 0700);
  const std::string socket =
      kind == PipeWire ? runtime_ + "/pulse/native" : dir_.path() + "/native";
  address_ = "unix:" + socket;
  Options o{.env = {{"HOME", dir_.path()},
                    {"XDG_RUNTIME_DIR", runtime_},
                    {"XDG_CONFIG_HOME", dir_.path()}}};
  if (kind == PulseAudio) {
    o.argv = {"pulseaudio",
              "-n",
              "--daemonize=no",
              "--exit-idle-time=-1",
              "--use-pid-file=no",
              "--system=no",
              "-L",
              "module-null-sink sink_name=sink",
              "-L",
              "module-native-protocol-unix auth-anonymous=1 socket=" + socket};
  } else {
    std::filesystem::create_directories(dir_.path() + "/pipewire/pipewire.conf.d");
    std::ofstream(dir_.path() + "/pipewire/pipewire.conf.d/sink.conf") << R"(context.objects = [
  { factory = adapter
    args = { factory.name = support.null-audio-sink, node.name = sink, media.class = Audio/Sink,
             audio.position = [ FL FR ], object.linger = true } }
]
)";
    o.argv = {"dbus-run-session", "--", "sh", "-c",
              "pipewire & sleep 0.5; wireplumber & pipewire-pulse & wait"};
  }
  server_ = std::make_unique<Process>(o);
  for (int i = 0; i < 200 && !ok_; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ok_ = access(socket.c_str(), F_OK) == 0;
  }
  // The session manager makes the sink the default a moment after the server is up.
  for (int i = 0; kind == PipeWire && ok_ && i < 100; ++i) {
    if (PulseCommand({"pactl", "info"}).find("Default Sink: sink") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::map<std::string, std::string> SoundServer::ClientEnv() const {
  return {{"PULSE_SERVER", address_},
          {"HOME", dir_.path()},
          {"XDG_RUNTIME_DIR", runtime_},
          {"LC_ALL", "C"}};
}

std::string SoundServer::PulseCommand(std::vector<std::string> argv) const {
  return RunToEnd({.argv = std::move(argv), .env = ClientEnv()}).out;
}

void SoundServer::Record(const std::string& path) {
  const std::string hz = std::to_string(rate());
  std::vector<std::string> argv{
      "parec",          "-d",           "sink.monitor", "--raw",
      "--format=s16le", "--rate=" + hz, "--channels=2", "--latency-msec=50"};
  if (kind_ == PipeWire) {
    argv = {"pw-record", "--target", "sink",       "-P", "{ stream.capture.sink=true }",
            "--rate",    hz,         "--channels", "2",  "--format",
            "s16",       "-"};
  }
  recorder_ = std::make_unique<Process>(
      Options{.argv = std::move(argv), .env = ClientEnv(), .stdoutPath = path});
}

std::string SoundServer::PlayingFormat() {
  // One line a stream, its sample format, channels and rate last: "s16le 2ch 44100Hz".
  const std::string out = PulseCommand({"pactl", "list", "short", "sink-inputs"});
  const size_t end = out.find('\n');
  if (end == std::string::npos) return "";
  const size_t tab = out.rfind('\t', end);
  return tab == std::string::npos ? "" : out.substr(tab + 1, end - tab - 1);
}

void SoundServer::Kill() {
  recorder_.reset();
  server_.reset();
}

}  // namespace harness
