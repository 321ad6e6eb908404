#include "soundtrack/sound.h"

#include <atomic>
#include <bit>
#include <cstring>
#include <vector>

#include "soundtrack/audio.h"

namespace soundtrack {
namespace {
std::atomic<uint64_t> writesTaken{0};
}  // namespace

uint64_t WritesTaken() { return writesTaken.load(std::memory_order_relaxed); }

void chk(const support::Error& err) {
  if (err) support::Fatal(err);
}

support::Error ConvertSamples(std::span<const std::byte> audio, std::span<int16_t> out) {
  if (audio.size() < 2 * out.size()) {
    return support::MakeError("short sample data: " + std::to_string(audio.size()) + " bytes for " +
                              std::to_string(out.size()) + " samples");
  }
  if constexpr (std::endian::native == std::endian::little) {
    // The bytes already are the samples: a copy, ten times faster than the loop below.
    std::memcpy(out.data(), audio.data(), out.size_bytes());
  } else {
    for (size_t k = 0; k < out.size(); ++k) {
      const auto lo = static_cast<uint16_t>(audio[2 * k]);
      const auto hi = static_cast<uint16_t>(audio[2 * k + 1]);
      out[k] = static_cast<int16_t>(static_cast<uint16_t>(lo | hi << 8));
    }
  }
  return {};
}

void PlayMP3(const std::string& fileName) {
  auto [decoder, newErr] = NewDecoder("");
  chk(newErr);
  chk(decoder->Open(fileName));
  support::Cleanup closeDecoder([&] { (void)decoder->Close(); });

  const StreamFormat format = KeepOwnFormat(*decoder);

  // PortAudio, ALSA and its plug-ins talk while they look for devices, mostly of devices that
  // are of no concern; what they say counts only if the output then fails.
  support::HoldStderr();
  // Its failure shows when the stream is opened.
  (void)audio::Initialize();
  support::Cleanup terminate([] { (void)audio::Terminate(); });

  const auto out = audio::SampleBuffer::Make(kOutSamples);
  auto [stream, openErr] = audio::OpenDefaultStream(
      0, format.channels, static_cast<double>(format.rate), kFramesPerBuffer, out);
  chk(openErr);
  support::Cleanup closeStream([&] { (void)stream->Close(); });
  chk(stream->Start());
  support::Cleanup stopStream([&] { (void)stream->Stop(); });
  support::ReleaseStderr();

  std::vector<std::byte> audio;
  for (;;) {
    audio.assign(kAudioBytes, std::byte{0});
    // Whatever the fill leaves is silence.
    chk(FillLooping(*decoder, fileName, audio).err);
    chk(ConvertSamples(audio, out->Samples()));
    const support::Error writeErr = stream->Write();
    // An underflow reports that the device ran dry earlier (the machine stalled); the frames
    // of this write were taken, so playback goes on.
    if (!audio::IsOutputUnderflow(writeErr)) chk(writeErr);
    writesTaken.fetch_add(1, std::memory_order_relaxed);
  }
}

}  // namespace soundtrack
