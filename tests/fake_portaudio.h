// A stand-in for the few PortAudio functions the audio output component calls, for what the
// real library cannot be made to do on demand. Linked instead of PortAudio into one test.
#pragma once

#include <portaudio.h>

#include <string>
#include <vector>

namespace fakepa {

struct State {
  PaError initialize = paNoError;
  PaError terminate = paNoError;
  int hostApiCount = 1;
  int deviceCount = 2;
  PaDeviceIndex defaultOutput = 1;
  PaError open = paNoError;
  PaError start = paNoError;
  PaError write = paNoError;
  PaError stop = paNoError;
  PaError close = paNoError;
  PaHostErrorInfo hostError{paALSA, -77, "the host's own words"};
  // Results of successive writes; once used up, `write`.
  std::vector<PaError> writes;
  // Write each call's name on standard error as it happens (for tests of dying processes).
  bool trace = false;
  std::vector<PaDeviceInfo> devices;

  // What was asked of it, in order: function names, and the arguments worth checking.
  std::vector<std::string> calls;
  bool openHadInput = false, openHadOutput = false;
  PaStreamParameters openOutput{};
  double openRate = 0;
  unsigned long openFrames = 0, writeFrames = 0;
};

// Fresh state with two devices: 0 input-only, 1 output-only.
State& Reset();
State& Get();
int Count(const std::string& call);

}  // namespace fakepa
