// The floor for the soundtrack's CPU: libmpg123 alone decoding a file to memory, over and
// over, under the same output format. Reports CPU nanoseconds per second of audio.
//   decode-floor FILE SECONDS_OF_AUDIO
#include <mpg123.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tests/harness/sound.h"

int main(int argc, char** argv) {
  if (argc != 3) return 64;
  const double wanted = std::atof(argv[2]);
  long rate = 0;
  int channels = 0;
  mpg123_handle* h = harness::OpenReference(argv[1], &rate, &channels);
  if (h == nullptr) return 1;
  std::vector<unsigned char> buf(16384);
  timespec t0, t1;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t0);
  double bytes = 0;
  const double bytesPerSecond = static_cast<double>(rate) * channels * 2;
  while (bytes < wanted * bytesPerSecond) {
    size_t done = 0;
    const int r = mpg123_read(h, buf.data(), buf.size(), &done);
    bytes += static_cast<double>(done);
    if (r == MPG123_DONE) {
      mpg123_close(h);
      mpg123_open(h, argv[1]);
    } else if (r != MPG123_OK) {
      return 1;
    }
  }
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t1);
  const double cpu = static_cast<double>(t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9;
  std::fprintf(stderr, "bench cpu-ns-per-audio-second %lld\n",
               static_cast<long long>(cpu / (bytes / bytesPerSecond) * 1e9));
  return 0;
}
