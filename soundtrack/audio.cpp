#include "soundtrack/audio.h"

#include <dlfcn.h>
#include <portaudio.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <mutex>

namespace soundtrack::audio {
namespace {

constexpr PaSampleFormat kSampleFormat = paInt16;  // interleaved: paNonInterleaved never set

// Process-wide, touched by the music thread only.
int initialized = 0;
uint64_t session = 1;
struct DeviceTable {
  bool cached = false;
  std::vector<std::shared_ptr<DeviceInfo>> devices;
  std::vector<std::shared_ptr<HostApiInfo>> hostApis;
};
// Never destroyed: a library that ends the process with exit() must not pull it away from
// under the music thread.
DeviceTable& table = *new DeviceTable;

std::string ErrorText(int code) {
  if (code == Error::kNoDefaultInputDevice) return "no default input device";
  if (code == Error::kNoDefaultOutputDevice) return "no default output device";
  const char* text = Pa_GetErrorText(code);
  return text ? text : "";
}

support::Error ReadDeviceTable() {
  const PaHostApiIndex apiCount = Pa_GetHostApiCount();
  if (apiCount < 0) return FromCode(apiCount);
  const PaDeviceIndex deviceCount = Pa_GetDeviceCount();
  if (deviceCount < 0) return FromCode(deviceCount);

  DeviceTable t;
  for (PaDeviceIndex i = 0; i < deviceCount; ++i) {
    auto d = std::make_shared<DeviceInfo>();
    d->index = i;
    if (const PaDeviceInfo* info = Pa_GetDeviceInfo(i)) {
      d->Name = info->name ? info->name : "";
      d->MaxInputChannels = info->maxInputChannels;
      d->MaxOutputChannels = info->maxOutputChannels;
      d->DefaultLowInputLatency = ToNanoseconds(info->defaultLowInputLatency);
      d->DefaultLowOutputLatency = ToNanoseconds(info->defaultLowOutputLatency);
      d->DefaultHighInputLatency = ToNanoseconds(info->defaultHighInputLatency);
      d->DefaultHighOutputLatency = ToNanoseconds(info->defaultHighOutputLatency);
      d->DefaultSampleRate = info->defaultSampleRate;
    }
    t.devices.push_back(std::move(d));
  }
  for (PaHostApiIndex a = 0; a < apiCount; ++a) {
    const PaHostApiInfo* info = Pa_GetHostApiInfo(a);
    if (info == nullptr) continue;
    auto api = std::make_shared<HostApiInfo>(HostApiInfo{info->type, info->name ? info->name : ""});
    for (int k = 0; k < info->deviceCount; ++k) {
      const PaDeviceIndex i = Pa_HostApiDeviceIndexToDeviceIndex(a, k);
      if (i >= 0 && i < deviceCount) t.devices[static_cast<size_t>(i)]->HostApi = api;
    }
    t.hostApis.push_back(std::move(api));
  }
  t.cached = true;
  table = std::move(t);
  return {};
}

}  // namespace

Error::Error(int code) : code_(code), text_(ErrorText(code)) {}

support::Error FromCode(int code) {
  if (code == paNoError) return {};
  if (code == paUnanticipatedHostError) {
    const PaHostErrorInfo* info = Pa_GetLastHostErrorInfo();
    if (info != nullptr) {
      return support::Error(std::make_shared<UnanticipatedHostError>(
          info->hostApiType, info->errorCode, info->errorText ? info->errorText : ""));
    }
  }
  return support::Error(std::make_shared<Error>(code));
}

bool IsOutputUnderflow(const support::Error& err) {
  const Error* pa = err.As<Error>();
  return pa != nullptr && pa->Code() == paOutputUnderflowed;
}

std::chrono::nanoseconds ToNanoseconds(double seconds) {
  const double ns = seconds * 1e9;
  // Out-of-range conversions are undefined; no real device reports such latencies.
  if (!(ns < 9.2e18)) return std::chrono::nanoseconds(ns != ns ? 0 : INT64_MAX);
  if (!(ns > -9.2e18)) return std::chrono::nanoseconds(INT64_MIN);
  return std::chrono::nanoseconds(static_cast<int64_t>(ns));
}

double ToSeconds(std::chrono::nanoseconds latency) {
  const int64_t ns = latency.count();
  return static_cast<double>(ns / 1000000000) + static_cast<double>(ns % 1000000000) / 1e9;
}

support::Result<unsigned long> FramesPerWrite(size_t samples, int channels) {
  // Guards the division as well: a stream never has fewer than one channel.
  if (channels <= 0 || samples % static_cast<size_t>(channels) != 0) {
    return {0,
            support::MakeError("length of interleaved buffer not divisible by number of channels")};
  }
  return {static_cast<unsigned long>(samples / static_cast<size_t>(channels)), {}};
}

support::Error Initialize() {
  const PaError code = Pa_Initialize();
  if (code != paNoError) return FromCode(code);
  ++initialized;
  return {};
}

support::Error Terminate() {
  const PaError code = Pa_Terminate();
  if (code != paNoError) return FromCode(code);
  ++session;
  if (--initialized <= 0) {
    initialized = 0;
    table = DeviceTable{};
  }
  return {};
}

support::Result<std::shared_ptr<const DeviceInfo>> DefaultOutputDevice() {
  if (!table.cached) {
    if (support::Error err = ReadDeviceTable()) return {nullptr, err};
  }
  const PaDeviceIndex index = Pa_GetDefaultOutputDevice();
  if (index == paNoDevice) return {nullptr, FromCode(Error::kNoDefaultOutputDevice)};
  if (index < 0) return {nullptr, FromCode(index)};
  if (static_cast<size_t>(index) >= table.devices.size()) {
    return {nullptr, FromCode(paInvalidDevice)};
  }
  return {table.devices[static_cast<size_t>(index)], {}};
}

StreamParameters HighLatencyParameters(std::shared_ptr<const DeviceInfo> in,
                                       std::shared_ptr<const DeviceInfo> out) {
  StreamParameters p;
  double rate = 0;
  if (in) {
    p.Input.Channels = in->MaxInputChannels < 1 ? in->MaxInputChannels : 1;
    p.Input.Latency = in->DefaultHighInputLatency;
    rate = in->DefaultSampleRate;
    p.Input.Device = std::move(in);
  }
  if (out) {
    p.Output.Channels = out->MaxOutputChannels < 2 ? out->MaxOutputChannels : 2;
    p.Output.Latency = out->DefaultHighOutputLatency;
    if (rate == 0 || out->DefaultSampleRate < rate) rate = out->DefaultSampleRate;
    p.Output.Device = std::move(out);
  }
  p.SampleRate = rate;
  p.FramesPerBuffer = paFramesPerBufferUnspecified;
  p.Flags = paNoFlag;
  return p;
}

struct Stream::OutParams {
  PaStreamParameters pa;
};

support::Result<std::unique_ptr<Stream>> OpenStream(const StreamParameters& parameters,
                                                    std::shared_ptr<SampleBuffer> buffer) {
  if (initialized <= 0) return {nullptr, FromCode(paNotInitialized)};
  std::unique_ptr<Stream> s(new Stream());
  s->session = session;
  PaStreamParameters inParams{};
  const PaStreamParameters* in = nullptr;
  if (parameters.Input.Device) {
    inParams = PaStreamParameters{parameters.Input.Device->index, parameters.Input.Channels,
                                  kSampleFormat, ToSeconds(parameters.Input.Latency), nullptr};
    in = &inParams;
  }
  if (parameters.Output.Device) {
    s->outParams = std::make_unique<Stream::OutParams>(
        Stream::OutParams{{parameters.Output.Device->index, parameters.Output.Channels,
                           kSampleFormat, ToSeconds(parameters.Output.Latency), nullptr}});
    s->out = std::move(buffer);
  }
  PaStream* stream = nullptr;
  const PaError code = Pa_OpenStream(
      &stream, in, s->outParams ? &s->outParams->pa : nullptr, parameters.SampleRate,
      static_cast<unsigned long>(parameters.FramesPerBuffer), parameters.Flags, nullptr, nullptr);
  if (code != paNoError) {
    s->closed = true;
    return {nullptr, FromCode(code)};
  }
  s->paStream = stream;
  return {std::move(s), {}};
}

support::Result<std::unique_ptr<Stream>> OpenDefaultStream(int numInputChannels,
                                                           int numOutputChannels, double sampleRate,
                                                           int framesPerBuffer,
                                                           std::shared_ptr<SampleBuffer> buffer) {
  if (initialized <= 0) return {nullptr, FromCode(paNotInitialized)};
  std::shared_ptr<const DeviceInfo> in, out;
  if (numInputChannels > 0) {
    if (!table.cached) {
      if (support::Error err = ReadDeviceTable()) return {nullptr, err};
    }
    const PaDeviceIndex index = Pa_GetDefaultInputDevice();
    if (index == paNoDevice) return {nullptr, FromCode(Error::kNoDefaultInputDevice)};
    if (index < 0 || static_cast<size_t>(index) >= table.devices.size()) {
      return {nullptr, FromCode(index < 0 ? index : paInvalidDevice)};
    }
    in = table.devices[static_cast<size_t>(index)];
  }
  if (numOutputChannels > 0) {
    auto [device, err] = DefaultOutputDevice();
    if (err) return {nullptr, err};
    out = std::move(device);
  }
  StreamParameters p = HighLatencyParameters(std::move(in), std::move(out));
  p.Input.Channels = numInputChannels;
  p.Output.Channels = numOutputChannels;
  p.SampleRate = sampleRate;
  p.FramesPerBuffer = framesPerBuffer;
  return OpenStream(p, std::move(buffer));
}

Stream::~Stream() {
  // Streams of an earlier PortAudio session were closed by its termination.
  if (!closed && initialized > 0 && session == audio::session) (void)Close();
}

support::Error Stream::Start() { return FromCode(Pa_StartStream(paStream)); }

support::Error Stream::Write() {
  if (!outParams || !out) return FromCode(paCanNotWriteToAnInputOnlyStream);
  const std::span<const int16_t> samples = std::as_const(*out).Samples();
  auto [frames, err] = FramesPerWrite(samples.size(), outParams->pa.channelCount);
  if (err) return err;
  return FromCode(Pa_WriteStream(paStream, samples.data(), frames));
}

support::Error Stream::Stop() { return FromCode(Pa_StopStream(paStream)); }

support::Error Stream::Close() {
  if (closed) return {};
  closed = true;
  const PaError code = Pa_CloseStream(paStream);
  paStream = nullptr;
  return FromCode(code);
}

}  // namespace soundtrack::audio

// libjack's metadata database lives in shared memory, /dev/shm, with its locks. Any
// jack_client_open attaches it, server or not, and a process that ends inside one of its locks,
// as this one does on `q` or a signal, leaves it locked for every later JACK client of the
// user, this program's next start among them. PortAudio opens a JACK client while it starts,
// and so does ALSA's `jack` plug-in when PortAudio looks at the devices; neither is ever the
// default output. These definitions come before libjack's in the lookup, so every such call
// passes here: with no JACK server to reach, it fails at once, as libjack would have failed,
// without touching the shared state. With a server, it goes on to libjack.
namespace soundtrack::audio {
namespace {

using JackOpen = void* (*)(const char*, int, int*, ...);
using JackClose = int (*)(void*);

// Held across every call into libjack, and for good by a process about to end (SettleForExit).
std::timed_mutex jackCalls;

// libjack's option bits that take a further argument, in the order it reads them, and its
// status bits for a failure to reach a server.
constexpr int kJackStringOptions[] = {0x04, 0x08, 0x10, 0x20};
constexpr int kJackFailure = 0x01, kJackServerFailed = 0x10;

// Whether a JACK server of this user answers on its socket.
bool JackServerAnswers(const char* name) {
  if (name == nullptr || *name == '\0') name = std::getenv("JACK_DEFAULT_SERVER");
  if (name == nullptr || *name == '\0') name = "default";
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const int n = std::getenv("JACK_PROMISCUOUS_SERVER")
                    ? std::snprintf(addr.sun_path, sizeof addr.sun_path, "/dev/shm/jack_%s_0", name)
                    : std::snprintf(addr.sun_path, sizeof addr.sun_path, "/dev/shm/jack_%s_%d_0",
                                    name, static_cast<int>(getuid()));
  if (n <= 0 || static_cast<size_t>(n) >= sizeof addr.sun_path) return false;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool answers = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return answers;
}

// libjack's own function, or null where none is loaded.
template <class F>
F Next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

void SettleForExit() { (void)jackCalls.try_lock_for(std::chrono::seconds(1)); }

}  // namespace soundtrack::audio

extern "C" void* jack_client_open(const char* clientName, int options, int* status, ...) {
  using namespace soundtrack::audio;
  const char* more[std::size(kJackStringOptions)] = {};
  va_list ap;
  va_start(ap, status);
  for (size_t k = 0; k < std::size(kJackStringOptions); ++k) {
    if (options & kJackStringOptions[k]) more[k] = va_arg(ap, const char*);
  }
  va_end(ap);
  const auto real = Next<JackOpen>("jack_client_open");
  if (real == nullptr || !JackServerAnswers(more[0])) {
    if (status != nullptr) *status = kJackFailure | kJackServerFailed;
    return nullptr;
  }
  const std::lock_guard lock(jackCalls);
  return real(clientName, options, status, more[0], more[1], more[2], more[3]);
}

extern "C" int jack_client_close(void* client) {
  using namespace soundtrack::audio;
  const auto real = Next<JackClose>("jack_client_close");
  if (real == nullptr) return -1;
  const std::lock_guard lock(jackCalls);
  return real(client);
}
