// Clocks and sizes that the benchmark programs report on standard error as "bench ..." lines.
#pragma once

#include <time.h>

#include <cstdint>
#include <cstdio>

namespace bench {

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

// Frames counted from the start of each one-second picture period, the same way for the program
// and for its floor.
inline void ReportPeriod(int period, uint64_t frames, int64_t spanNs) {
  std::fprintf(stderr, "bench picture %d frames %llu span-ns %lld\n", period,
               static_cast<unsigned long long>(frames), static_cast<long long>(spanNs));
}

}  // namespace bench
