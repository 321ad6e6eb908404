// Micro-benchmarks of the music loop's per-buffer work against their floors.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "soundtrack/sound.h"

namespace {

std::vector<std::byte> Bytes() {
  std::vector<std::byte> v(soundtrack::kAudioBytes);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<std::byte>(i * 31);
  return v;
}

// The conversion of one decoded buffer into samples...
void BM_ConvertSamples(benchmark::State& state) {
  const auto in = Bytes();
  std::vector<int16_t> out(soundtrack::kOutSamples);
  for (auto _ : state) {
    benchmark::DoNotOptimize(soundtrack::ConvertSamples(in, out));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_ConvertSamples);

// ...against copying the same bytes, which it comes to on a little-endian machine.
void BM_CopyFloor(benchmark::State& state) {
  const auto in = Bytes();
  std::vector<int16_t> out(soundtrack::kOutSamples);
  for (auto _ : state) {
    std::memcpy(out.data(), in.data(), in.size());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_CopyFloor);

}  // namespace

BENCHMARK_MAIN();
