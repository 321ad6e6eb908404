#include "tests/fake_portaudio.h"

#include <unistd.h>

#include <algorithm>

namespace fakepa {
namespace {

State state;
int dummyStream;
PaHostApiInfo hostApi{1, paALSA, "ALSA", 2, 0, 1};

void Record(const char* call, const std::string& detail = "") {
  state.calls.push_back(call);
  if (state.trace) {
    const std::string line = call + detail + "\n";
    (void)!write(STDERR_FILENO, line.data(), line.size());
  }
}
}  // namespace

State& Reset() {
  state = State{};
  state.devices = {
      PaDeviceInfo{2, "mic", 0, 2, 0, 0.01, 0.0, 0.2, 0.0, 48000},
      PaDeviceInfo{2, "speaker", 0, 0, 6, 0.0, 0.0123456789, 0.0, 0.3714285714, 44100},
  };
  return state;
}
State& Get() { return state; }
int Count(const std::string& call) {
  return static_cast<int>(std::count(state.calls.begin(), state.calls.end(), call));
}

}  // namespace fakepa

using fakepa::state;

extern "C" {

const char* Pa_GetErrorText(PaError code) {
  static thread_local std::string text;
  text = "fake text for " + std::to_string(code);
  return text.c_str();
}
const PaHostErrorInfo* Pa_GetLastHostErrorInfo() { return &state.hostError; }
PaError Pa_Initialize() {
  fakepa::Record("Pa_Initialize");
  return state.initialize;
}
PaError Pa_Terminate() {
  fakepa::Record("Pa_Terminate");
  return state.terminate;
}
PaHostApiIndex Pa_GetHostApiCount() {
  fakepa::Record("Pa_GetHostApiCount");
  return state.hostApiCount;
}
PaDeviceIndex Pa_GetDeviceCount() {
  fakepa::Record("Pa_GetDeviceCount");
  return state.deviceCount;
}
const PaDeviceInfo* Pa_GetDeviceInfo(PaDeviceIndex i) {
  if (i < 0 || static_cast<size_t>(i) >= state.devices.size()) return nullptr;
  return &state.devices[static_cast<size_t>(i)];
}
const PaHostApiInfo* Pa_GetHostApiInfo(PaHostApiIndex) { return &fakepa::hostApi; }
PaDeviceIndex Pa_HostApiDeviceIndexToDeviceIndex(PaHostApiIndex, int k) { return k; }
PaDeviceIndex Pa_GetDefaultOutputDevice() {
  fakepa::Record("Pa_GetDefaultOutputDevice");
  return state.defaultOutput;
}
PaDeviceIndex Pa_GetDefaultInputDevice() {
  fakepa::Record("Pa_GetDefaultInputDevice");
  return 0;
}
PaError Pa_OpenStream(PaStream** stream, const PaStreamParameters* in,
                      const PaStreamParameters* out, double rate, unsigned long frames,
                      PaStreamFlags, PaStreamCallback*, void*) {
  // The rate and channels in the trace: a stream at the wrong rate plays fast or slow.
  fakepa::Record("Pa_OpenStream", out ? " " + std::to_string(static_cast<long>(rate)) + " Hz " +
                                            std::to_string(out->channelCount) + " ch"
                                      : "");
  state.openHadInput = in != nullptr;
  state.openHadOutput = out != nullptr;
  if (out) state.openOutput = *out;
  state.openRate = rate;
  state.openFrames = frames;
  *stream = &fakepa::dummyStream;
  return state.open;
}
PaError Pa_StartStream(PaStream*) {
  fakepa::Record("Pa_StartStream");
  return state.start;
}
PaError Pa_WriteStream(PaStream*, const void*, unsigned long frames) {
  fakepa::Record("Pa_WriteStream");
  state.writeFrames = frames;
  const size_t n = static_cast<size_t>(fakepa::Count("Pa_WriteStream"));
  return n <= state.writes.size() ? state.writes[n - 1] : state.write;
}
PaError Pa_StopStream(PaStream*) {
  fakepa::Record("Pa_StopStream");
  return state.stop;
}
PaError Pa_CloseStream(PaStream*) {
  fakepa::Record("Pa_CloseStream");
  return state.close;
}

}  // extern "C"
