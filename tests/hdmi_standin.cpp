// An ALSA device standing in for a Raspberry Pi's HDMI card, as its kernel driver (vc4 HDMI)
// declares it: IEC958 subframes only (IEC958_SUBFRAME_LE), 2 to 8 channels, 32 to 192 kHz,
// interleaved, mmap and read/write access. It writes what it gets to `file`, takes it at the
// stream's own rate, as a card does (a timer wakes the writer each period).
//   pcm_type.hdmi_standin { lib "/path/libasound_module_pcm_hdmi_standin.so" }
//   pcm.card { type hdmi_standin file "/tmp/subframes.raw" }
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>

namespace {

struct Standin {
  snd_pcm_ioplug_t io{};
  int file = -1, timer = -1;
  snd_pcm_uframes_t written = 0;
  std::chrono::steady_clock::time_point started;
  bool running = false;
};

Standin& Of(snd_pcm_ioplug_t* io) { return *static_cast<Standin*>(io->private_data); }

int Start(snd_pcm_ioplug_t* io) {
  Standin& s = Of(io);
  s.started = std::chrono::steady_clock::now();
  s.running = true;
  const long ns = static_cast<long>(io->period_size * 1000000000ull / io->rate);
  const itimerspec every{{ns / 1000000000, ns % 1000000000}, {ns / 1000000000, ns % 1000000000}};
  return timerfd_settime(s.timer, 0, &every, nullptr) == 0 ? 0 : -errno;
}

int Stop(snd_pcm_ioplug_t* io) {
  Of(io).running = false;
  const itimerspec never{};
  timerfd_settime(Of(io).timer, 0, &never, nullptr);
  return 0;
}

// What the "card" has played: what it was given, at most as much as the time since the start.
snd_pcm_sframes_t Pointer(snd_pcm_ioplug_t* io) {
  Standin& s = Of(io);
  snd_pcm_uframes_t played = 0;
  if (s.running) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now() - s.started)
                        .count();
    played = std::min<snd_pcm_uframes_t>(s.written, ns * io->rate / 1000000000ll);
  }
  return static_cast<snd_pcm_sframes_t>(played % io->buffer_size);
}

snd_pcm_sframes_t Transfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                           snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
  Standin& s = Of(io);
  const auto* from =
      static_cast<const char*>(areas->addr) + (areas->first + areas->step * offset) / 8;
  const size_t bytes = size * io->channels * 4;
  if (write(s.file, from, bytes) != static_cast<ssize_t>(bytes)) return -EIO;
  s.written += size;
  return static_cast<snd_pcm_sframes_t>(size);
}

int PollRevents(snd_pcm_ioplug_t* io, pollfd* fds, unsigned int count, unsigned short* revents) {
  uint64_t expirations;
  if (count == 1 && (fds[0].revents & POLLIN) && read(Of(io).timer, &expirations, 8) == 8) {
    *revents = POLLOUT;
  } else {
    *revents = 0;
  }
  return 0;
}

int Close(snd_pcm_ioplug_t* io) {
  Standin* s = &Of(io);
  close(s->file);
  close(s->timer);
  delete s;
  return 0;
}

const snd_pcm_ioplug_callback_t kCallbacks = [] {
  snd_pcm_ioplug_callback_t c{};
  c.start = Start;
  c.stop = Stop;
  c.pointer = Pointer;
  c.transfer = Transfer;
  c.poll_revents = PollRevents;
  c.close = Close;
  return c;
}();

}  // namespace

extern "C" {

SND_PCM_PLUGIN_DEFINE_FUNC(hdmi_standin) {
  (void)root;
  std::string file = "/dev/null";
  snd_config_iterator_t i, next;
  snd_config_for_each(i, next, conf) {
    snd_config_t* n = snd_config_iterator_entry(i);
    const char* id;
    if (snd_config_get_id(n, &id) < 0) continue;
    const char* text;
    if (std::string(id) == "file" && snd_config_get_string(n, &text) == 0) file = text;
  }
  if (stream != SND_PCM_STREAM_PLAYBACK) return -EINVAL;

  auto* s = new Standin;
  s->file = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  s->timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  s->io.version = SND_PCM_IOPLUG_VERSION;
  s->io.name = "HDMI stand-in";
  s->io.callback = &kCallbacks;
  s->io.private_data = s;
  s->io.poll_fd = s->timer;
  s->io.poll_events = POLLIN;
  int err =
      s->file < 0 || s->timer < 0 ? -errno : snd_pcm_ioplug_create(&s->io, name, stream, mode);
  if (err < 0) {
    if (s->file >= 0) close(s->file);
    if (s->timer >= 0) close(s->timer);
    delete s;
    return err;
  }
  const unsigned int access[] = {SND_PCM_ACCESS_MMAP_INTERLEAVED, SND_PCM_ACCESS_RW_INTERLEAVED};
  const unsigned int format[] = {SND_PCM_FORMAT_IEC958_SUBFRAME_LE};
  if ((err = snd_pcm_ioplug_set_param_list(&s->io, SND_PCM_IOPLUG_HW_ACCESS, 2, access)) < 0 ||
      (err = snd_pcm_ioplug_set_param_list(&s->io, SND_PCM_IOPLUG_HW_FORMAT, 1, format)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(&s->io, SND_PCM_IOPLUG_HW_CHANNELS, 2, 8)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(&s->io, SND_PCM_IOPLUG_HW_RATE, 32000, 192000)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(&s->io, SND_PCM_IOPLUG_HW_PERIODS, 2, 64)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(&s->io, SND_PCM_IOPLUG_HW_BUFFER_BYTES, 4096,
                                             4 * 1024 * 1024)) < 0) {
    snd_pcm_ioplug_delete(&s->io);
    return err;
  }
  *pcmp = s->io.pcm;
  return 0;
}

SND_PCM_PLUGIN_SYMBOL(hdmi_standin)
}
