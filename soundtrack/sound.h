// The soundtrack: one MP3 file, played without end on the default audio output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "soundtrack/decoder.h"
#include "support/support.h"

namespace soundtrack {

inline constexpr size_t kOutSamples = 8192;
inline constexpr size_t kAudioBytes = 2 * kOutSamples;
inline constexpr int kFramesPerBuffer = 8192;

// Raises the fatal error for `err`, if there is one.
void chk(const support::Error& err);

// How many writes the audio output has taken since the process started: it stands still while
// the music is stuck, in its set-up or in a write.
uint64_t WritesTaken();

// Decodes `fileName` and writes it to the default output, looping, on the calling thread. It
// returns only through a fatal error.
[[noreturn]] void PlayMP3(const std::string& fileName);

// Little-endian 16-bit samples from bytes, whatever the host's byte order. Fails when there
// are fewer than two bytes per sample.
support::Error ConvertSamples(std::span<const std::byte> audio, std::span<int16_t> out);

// Fills `audio` from the decoder, going on from the file's beginning whenever it ends, so that
// loop after loop no sample is lost or inserted. Returns the bytes filled (the rest is left as
// it was) and the first error other than the end of the stream. A file that yields nothing
// from a fresh open ends the fill early instead of re-opening it for ever.
template <class D>
support::Result<size_t> FillLooping(D& decoder, std::string_view fileName,
                                    std::span<std::byte> audio) {
  size_t filled = 0;
  bool freshOpen = false;
  while (filled < audio.size()) {
    auto [n, err] = decoder.Read(audio.subspan(filled));
    filled += n;
    if (n > 0) freshOpen = false;
    if (err.Is(Eof())) {
      if (freshOpen) break;
      // A failed re-open shows at the next read.
      (void)decoder.Close();
      (void)decoder.Open(fileName);
      freshOpen = true;
      continue;
    }
    if (err) return {filled, err};
    if (n == 0) break;  // no progress and no reason given: do not spin on it
  }
  return {filled, {}};
}

}  // namespace soundtrack
