// Blocking, output-only audio streams over PortAudio.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "support/support.h"

namespace soundtrack::audio {

// A PortAudio error code, or one of the two of our own below; its text is PortAudio's.
class Error final : public support::ErrorInfo {
 public:
  static constexpr int kNoDefaultInputDevice = -1;
  static constexpr int kNoDefaultOutputDevice = -2;
  explicit Error(int code);
  int Code() const { return code_; }
  std::string Text() const override { return text_; }

 private:
  int code_;
  std::string text_;
};

// An error of the host API under PortAudio (ALSA, say), with the host's own code and text.
class UnanticipatedHostError final : public support::ErrorInfo {
 public:
  UnanticipatedHostError(int hostApiType, long code, std::string text)
      : HostApiType(hostApiType), Code(code), text_(std::move(text)) {}
  std::string Text() const override { return text_; }
  const int HostApiType;
  const long Code;

 private:
  const std::string text_;
};

// A PortAudio result code as an error value: absent for success.
support::Error FromCode(int code);

// Whether `err` is PortAudio's report that the device ran dry before a write.
bool IsOutputUnderflow(const support::Error& err);

struct HostApiInfo {
  int Type = 0;
  std::string Name;
};

struct DeviceInfo {
  int32_t index = 0;
  std::string Name;
  int MaxInputChannels = 0;
  int MaxOutputChannels = 0;
  std::chrono::nanoseconds DefaultLowInputLatency{0};
  std::chrono::nanoseconds DefaultLowOutputLatency{0};
  std::chrono::nanoseconds DefaultHighInputLatency{0};
  std::chrono::nanoseconds DefaultHighOutputLatency{0};
  double DefaultSampleRate = 0;
  std::shared_ptr<const HostApiInfo> HostApi;
};

// Seconds as PortAudio gives them, to whole nanoseconds (truncated), and back.
std::chrono::nanoseconds ToNanoseconds(double seconds);
double ToSeconds(std::chrono::nanoseconds latency);

struct StreamDeviceParameters {
  std::shared_ptr<const DeviceInfo> Device;  // absent: the stream has no such direction
  int Channels = 0;
  std::chrono::nanoseconds Latency{0};
};

struct StreamParameters {
  StreamDeviceParameters Input;
  StreamDeviceParameters Output;
  double SampleRate = 0;
  int FramesPerBuffer = 0;
  unsigned long Flags = 0;
};

// Interleaved 16-bit samples of a fixed length. A stream keeps the buffer it was opened with
// alive, and the buffer can be refilled in place but never resized or replaced.
class SampleBuffer {
 public:
  static std::shared_ptr<SampleBuffer> Make(size_t samples) {
    return std::shared_ptr<SampleBuffer>(new SampleBuffer(samples));
  }
  SampleBuffer(const SampleBuffer&) = delete;
  SampleBuffer& operator=(const SampleBuffer&) = delete;
  std::span<int16_t> Samples() { return {data_.get(), size_}; }
  std::span<const int16_t> Samples() const { return {data_.get(), size_}; }

 private:
  explicit SampleBuffer(size_t samples) : data_(new int16_t[samples]()), size_(samples) {}
  std::unique_ptr<int16_t[]> data_;
  size_t size_;
};

// Frames that one write of `samples` interleaved samples passes, or the error for a length
// that is not a whole number of frames.
support::Result<unsigned long> FramesPerWrite(size_t samples, int channels);

class Stream {
 public:
  ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  support::Error Start();
  // Sends the whole bound buffer as it stands; blocks until PortAudio has taken it.
  support::Error Write();
  // Lets PortAudio play what it holds, then stops; never aborts.
  support::Error Stop();
  // Closes once; later calls succeed without reaching PortAudio.
  support::Error Close();

 private:
  friend support::Result<std::unique_ptr<Stream>> OpenStream(const StreamParameters&,
                                                             std::shared_ptr<SampleBuffer>);
  Stream() = default;
  struct OutParams;

  void* paStream = nullptr;
  std::unique_ptr<OutParams> outParams;
  std::shared_ptr<SampleBuffer> out;
  bool closed = false;
  uint64_t session = 0;  // PortAudio closes every stream itself when it is terminated
};

support::Error Initialize();
support::Error Terminate();

support::Result<std::shared_ptr<const DeviceInfo>> DefaultOutputDevice();
StreamParameters HighLatencyParameters(std::shared_ptr<const DeviceInfo> in,
                                       std::shared_ptr<const DeviceInfo> out);
support::Result<std::unique_ptr<Stream>> OpenStream(const StreamParameters& parameters,
                                                    std::shared_ptr<SampleBuffer> buffer);
support::Result<std::unique_ptr<Stream>> OpenDefaultStream(int numInputChannels,
                                                           int numOutputChannels, double sampleRate,
                                                           int framesPerBuffer,
                                                           std::shared_ptr<SampleBuffer> buffer);

// Waits, a second at most, for a call into a sound library's state that other processes share
// (libjack's) to end, and keeps any other from starting: the process can then end at once
// without leaving that state locked.
void SettleForExit();

}  // namespace soundtrack::audio
