#include "tests/audio_util.h"

#include <mpg123.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>

namespace testutil {
namespace {

void Put32(std::ofstream& out, uint32_t v) {
  const char b[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
  out.write(b, 4);
}
void Put16(std::ofstream& out, uint16_t v) {
  const char b[2] = {char(v), char(v >> 8)};
  out.write(b, 2);
}

}  // namespace

void WriteWav(const std::string& path, int rate, int channels, int64_t frames) {
  std::ofstream out(path, std::ios::binary);
  const auto bytes = static_cast<uint32_t>(frames * channels * 2);
  out.write("RIFF", 4);
  Put32(out, 36 + bytes);
  out.write("WAVEfmt ", 8);
  Put32(out, 16);
  Put16(out, 1);
  Put16(out, static_cast<uint16_t>(channels));
  Put32(out, static_cast<uint32_t>(rate));
  Put32(out, static_cast<uint32_t>(rate * channels * 2));
  Put16(out, static_cast<uint16_t>(channels * 2));
  Put16(out, 16);
  out.write("data", 4);
  Put32(out, bytes);
  for (int64_t i = 0; i < frames; ++i) {
    for (int c = 0; c < channels; ++c) {
      const double f = 330.0 * (c + 1);
      Put16(out, static_cast<uint16_t>(static_cast<int16_t>(
                     9000 * std::sin(2 * M_PI * f * static_cast<double>(i) / rate))));
    }
  }
}

bool MakeMp3(const std::string& path, int rate, int channels, int64_t frames, bool tag) {
  const std::string wav = path + ".wav";
  WriteWav(wav, rate, channels, frames);
  char khz[32];
  std::snprintf(khz, sizeof khz, "%g", rate / 1000.0);
  const pid_t pid = fork();
  if (pid == 0) {
    execlp("lame", "lame", "--quiet", tag ? "--quiet" : "-t", "--resample", khz, "-m",
           channels == 1 ? "m" : "j", wav.c_str(), path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  std::remove(wav.c_str());
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::vector<uint8_t> DecodeAll(const std::string& path, long* rate, int* channels) {
  std::vector<uint8_t> all;
  mpg123_init();
  mpg123_handle* h = mpg123_new(nullptr, nullptr);
  if (h == nullptr || mpg123_open(h, path.c_str()) != MPG123_OK) return all;
  long r = 0;
  int ch = 0, enc = 0;
  mpg123_getformat(h, &r, &ch, &enc);
  mpg123_format_none(h);
  mpg123_format(h, r, ch, MPG123_ENC_SIGNED_16);
  unsigned char buf[4096];
  size_t done = 0;
  int result;
  do {
    result = mpg123_read(h, buf, sizeof buf, &done);
    all.insert(all.end(), buf, buf + done);
  } while (result == MPG123_OK);
  mpg123_close(h);
  mpg123_delete(h);
  if (rate) *rate = r;
  if (channels) *channels = ch;
  return all;
}

}  // namespace testutil
