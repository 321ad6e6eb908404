// Counters that only the benchmark build of the program has: frames drawn per picture, the
// moment of the first frame, samples handed to the audio output. Reported on standard error
// when the show stops.
#pragma once

#include <time.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>

namespace bench {

inline std::atomic<uint64_t> samplesWritten{0};

inline int64_t MonotonicNs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

// The process's peak resident size so far.
inline long long PeakKb() {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long long kb = -1;
  while (std::fgets(line, sizeof line, f)) {
    if (std::sscanf(line, "VmHWM: %lld", &kb) == 1) break;
  }
  std::fclose(f);
  return kb;
}

class FrameStats {
 public:
  void Count(uint32_t picture) {
    const int64_t now = MonotonicNs();
    if (firstFrame_ == 0) firstFrame_ = now;
    if (picture >= frames_.size()) return;
    if (frames_[picture]++ == 0) first_[picture] = now;
    last_[picture] = now;
  }
  void Report() const {
    std::fprintf(stderr, "bench first-frame-ns %lld\n", static_cast<long long>(firstFrame_));
    for (size_t i = 0; i < frames_.size(); ++i) {
      std::fprintf(stderr, "bench picture %zu frames %llu span-ns %lld\n", i,
                   static_cast<unsigned long long>(frames_[i]),
                   static_cast<long long>(last_[i] - first_[i]));
    }
    std::fprintf(stderr, "bench samples %llu\n",
                 static_cast<unsigned long long>(samplesWritten.load()));
  }

 private:
  int64_t firstFrame_ = 0;
  std::array<uint64_t, 14> frames_{};
  std::array<int64_t, 14> first_{}, last_{};
};

}  // namespace bench
