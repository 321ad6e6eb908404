// Sound for the tests, the benchmarks and the demo: WAV and MP3 files made on the spot, a
// reference decoding to compare captures with, and sound servers of the caller's own.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/harness/process.h"

struct mpg123_handle_struct;

namespace harness {

// `v` as `bytes` little-endian bytes at the end of `out`.
void AppendLE(std::string& out, uint32_t v, int bytes);

// A 16-bit PCM WAV file of interleaved `samples`. False when it could not be written.
bool WriteWav(const std::string& path, int rate, int channels, const std::vector<int16_t>& samples);

// `mp3` encoded by lame from `wav`, with lame's further `options`. False when lame failed.
bool EncodeMp3(const std::string& wav, const std::string& mp3,
               const std::vector<std::string>& options);

// `path` made by lame from `frames` frames of tone (a different pitch on each channel), at the
// same rate and channel count. Without `tag` lame writes no header frame, so nothing tells the
// decoder where the audio ends or how much padding to trim. False when lame failed.
bool MakeMp3(const std::string& path, int rate, int channels, int64_t frames, bool tag = true);

// libmpg123 by itself, apart from the program's decoder: a handle open on `path` whose output
// is fixed to signed 16-bit samples at the file's own format, or null.
mpg123_handle_struct* OpenReference(const std::string& path, long* rate, int* channels);
// The whole file decoded that way: what the program's sound must equal.
std::vector<uint8_t> DecodeAll(const std::string& path, long* rate = nullptr,
                               int* channels = nullptr);

// A private ALSA configuration: HOME at a folder whose .asoundrc makes the default device a
// `file` plugin that writes what it plays to the file named by TEST_ALSA_CAPTURE (else
// /dev/null) and passes it on to the device named by TEST_ALSA_SLAVE (else `null`, which takes
// everything at once). A slave that does not exist leaves no usable default device.
void WriteAsoundrc(const std::string& dir);

// A sound server of the caller's own with one null sink, reached as a PulseAudio server
// through PULSE_SERVER: PulseAudio itself, or PipeWire with its session manager and its
// PulseAudio server under a D-Bus session of their own. The sink's clock paces whoever plays
// to it in real time.
class SoundServer {
 public:
  enum Kind { PulseAudio, PipeWire };
  explicit SoundServer(Kind kind);
  bool ok() const { return ok_; }
  const std::string& address() const { return address_; }
  // The sink's own rate: it records at this rate, 16-bit stereo.
  int rate() const { return kind_ == PipeWire ? 48000 : 44100; }
  void Kill();
  // Starts recording what the sink plays, raw, into `path`.
  void Record(const std::string& path);
  // The format of the stream playing into the sink, as the PulseAudio server tells it
  // ("s16le 2ch 44100Hz"), or "".
  std::string PlayingFormat();

 private:
  std::map<std::string, std::string> ClientEnv() const;
  std::string PulseCommand(std::vector<std::string> argv) const;
  Kind kind_;
  TempDir dir_;
  std::string runtime_ = dir_.path() + "/run";
  std::unique_ptr<Process> server_, recorder_;
  bool ok_ = false;
  std::string address_;
};

}  // namespace harness
