// Stalls a playback stream the way a starved machine does, in the worst place: inside a write,
// after every layer has checked that the card has room and before the layer next to the card
// (dmix, or the card itself) has taken the frames, for longer than the card holds. Then it asks
// for the stream's status and recovers, as PortAudio does after an underrun. A device whose
// plug-ins lose count of their frames there aborts in the status call.
//
// usage: alsa-commit-xrun [DEVICE [RATE [CHANNELS [STALLS]]]]; exits 0 once every stall is
// recovered, 1 when the device cannot be set up.
#include <alsa/asoundlib.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

useconds_t stall_us = 0;  // armed for the next commit next to the card
const char* stalled_in = nullptr;
snd_pcm_t* top = nullptr;
bool layered = false;  // whether commits pass through layers of alsa-lib's own

int Fail(const char* what, int err) {
  std::fprintf(stderr, "alsa-commit-xrun: %s: %s\n", what, snd_strerror(err));
  return 1;
}

}  // namespace

// Takes the place of alsa-lib's own for its internal calls too, which go through the PLT.
extern "C" snd_pcm_sframes_t snd_pcm_mmap_commit(snd_pcm_t* pcm, snd_pcm_uframes_t offset,
                                                 snd_pcm_uframes_t frames) {
  using Commit = snd_pcm_sframes_t (*)(snd_pcm_t*, snd_pcm_uframes_t, snd_pcm_uframes_t);
  static const auto real = reinterpret_cast<Commit>(dlsym(RTLD_NEXT, "snd_pcm_mmap_commit"));
  const snd_pcm_type_t type = snd_pcm_type(pcm);
  layered = layered || pcm != top;
  // A plug that converts nothing hands the stream's own commits to the card.
  if (stall_us != 0 && (type == SND_PCM_TYPE_DMIX || type == SND_PCM_TYPE_HW || !layered)) {
    usleep(stall_us);
    stall_us = 0;
    stalled_in = snd_pcm_type_name(type);
  }
  return real(pcm, offset, frames);
}

int main(int argc, char** argv) {
  const char* device = argc > 1 ? argv[1] : "default";
  unsigned rate = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 44100;
  const unsigned channels = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 2;
  const int stalls = argc > 4 ? std::atoi(argv[4]) : 5;

  snd_pcm_t* pcm = nullptr;
  if (int err = snd_pcm_open(&pcm, device, SND_PCM_STREAM_PLAYBACK, 0)) return Fail(device, err);
  top = pcm;
  snd_pcm_hw_params_t* hw;
  snd_pcm_hw_params_alloca(&hw);
  snd_pcm_hw_params_any(pcm, hw);
  unsigned buffer_us = 200000;
  if (int err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_MMAP_INTERLEAVED);
      err < 0 || (err = snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16_LE)) < 0 ||
      (err = snd_pcm_hw_params_set_channels(pcm, hw, channels)) < 0 ||
      (err = snd_pcm_hw_params_set_rate_near(pcm, hw, &rate, nullptr)) < 0 ||
      (err = snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &buffer_us, nullptr)) < 0 ||
      (err = snd_pcm_hw_params(pcm, hw)) < 0) {
    return Fail("hardware parameters", err);
  }
  snd_pcm_uframes_t buffer = 0, period = 0;
  snd_pcm_get_params(pcm, &buffer, &period);
  std::printf("%s: %u Hz, %u channel(s), buffer %lu frames, period %lu\n", device, rate, channels,
              buffer, period);
  std::fflush(stdout);

  std::vector<int16_t> tone(buffer * channels);
  for (size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<int16_t>(i / channels % 100 * 80);
  int stalled = 0, written = 0;
  while (stalled < stalls) {
    const snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm);
    if (avail < 0) {
      snd_pcm_prepare(pcm);
      continue;
    }
    if (avail < static_cast<snd_pcm_sframes_t>(period)) {
      if (snd_pcm_state(pcm) != SND_PCM_STATE_RUNNING) snd_pcm_start(pcm);
      snd_pcm_wait(pcm, 1000);
      continue;
    }
    const snd_pcm_channel_area_t* areas;
    snd_pcm_uframes_t offset = 0, frames = period;
    if (int err = snd_pcm_mmap_begin(pcm, &areas, &offset, &frames); err < 0) {
      return Fail("mmap begin", err);
    }
    auto* base = static_cast<int16_t*>(areas[0].addr) + areas[0].first / 16;
    std::memcpy(base + offset * channels, tone.data(), frames * channels * sizeof(int16_t));
    // Once the stream plays steadily: three buffers' worth, as a machine starved for that long,
    // in the first write that reaches the card (a rate converter may hold frames back).
    if (stall_us == 0 && ++written % 40 == 0 && snd_pcm_state(pcm) == SND_PCM_STATE_RUNNING) {
      stall_us = static_cast<useconds_t>(buffer * 3000000 / rate);
    }
    const snd_pcm_sframes_t done = snd_pcm_mmap_commit(pcm, offset, frames);
    if (stalled_in != nullptr) {
      ++stalled;
      std::printf("stall %d in %s%s: write %s, status ", stalled, layered ? "" : "the stream on ",
                  stalled_in, done < 0 ? snd_strerror(static_cast<int>(done)) : "ok");
      std::fflush(stdout);
      snd_pcm_status_t* status;
      snd_pcm_status_alloca(&status);
      const int err = snd_pcm_status(pcm, status);  // where a faulty chain aborts
      std::printf("%s\n", err < 0 ? snd_strerror(err) : "ok");
      stalled_in = nullptr;
    }
    if (done < 0 || snd_pcm_state(pcm) == SND_PCM_STATE_XRUN) snd_pcm_prepare(pcm);
  }
  snd_pcm_close(pcm);
  std::printf("recovered from %d stalls\n", stalls);
  return 0;
}
