// The program as shipped, started through its own shell, with counters around it: frames per
// picture period, the moment of the first frame, and frames handed to the audio output.
// Reported on standard error when the show stops.
#include <portaudio.h>
#include <unistd.h>

#include <array>
#include <atomic>

#include "app/app.h"
#include "bench/probe.h"
#include "soundtrack/decoder.h"

namespace {

const bool decoderLibraryReady = (soundtrack::InitDecoderLibrary(), true);
std::atomic<uint64_t> framesWritten{0};

// Period k is the k-th second of the show: picture k, and from 13 on the last one again.
struct Period {
  uint64_t frames = 0;
  int64_t first = 0, last = 0;
};

}  // namespace

// Linked with --wrap=Pa_WriteStream: the music thread's writes pass through here.
extern "C" PaError __real_Pa_WriteStream(PaStream* s, const void* buffer, unsigned long frames);
extern "C" PaError __wrap_Pa_WriteStream(PaStream* s, const void* buffer, unsigned long frames) {
  framesWritten += frames;
  return __real_Pa_WriteStream(s, buffer, frames);
}

int main() {
  std::array<Period, 16> periods{};
  size_t period = 0;
  uint32_t lastChange = 0;
  int64_t firstFrame = 0;
  app::Run([&](SDL_Renderer* renderer, slideshow::Scene& scene) {
    if (!app::Frame(renderer, scene)) return false;
    const int64_t now = bench::MonotonicNs();
    if (firstFrame == 0) {
      firstFrame = now;
      lastChange = scene.lastChange;
    }
    if (scene.lastChange != lastChange) {
      lastChange = scene.lastChange;
      ++period;
    }
    if (period < periods.size()) {
      Period& p = periods[period];
      if (p.frames++ == 0) p.first = now;
      p.last = now;
    }
    return true;
  });
  std::fprintf(stderr, "bench first-frame-ns %lld\n", static_cast<long long>(firstFrame));
  for (size_t i = 0; i < periods.size(); ++i) {
    bench::ReportPeriod(static_cast<int>(i), periods[i].frames, periods[i].last - periods[i].first);
  }
  std::fprintf(stderr, "bench frames-written %llu\n",
               static_cast<unsigned long long>(framesWritten.load()));
  _exit(0);
}
