#include "tools/demo.h"

#include <SDL.h>
#include <sys/stat.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <vector>

#include "slideshow/scene.h"
#include "tests/harness/sound.h"

namespace demo {
namespace {

struct Size {
  int w, h;
};

// Odd sizes among them, and one larger than the screen.
constexpr std::array<Size, 14> kSizes{{{640, 480},
                                       {801, 601},
                                       {1024, 768},
                                       {333, 777},
                                       {1280, 720},
                                       {2400, 1400},
                                       {999, 555},
                                       {1600, 900},
                                       {500, 500},
                                       {1201, 301},
                                       {720, 1080},
                                       {1919, 1079},
                                       {257, 257},
                                       {900, 640}}};

using Surface = std::unique_ptr<SDL_Surface, slideshow::SurfaceDeleter>;

Uint32 Hue(const SDL_Surface* s, double hue, double light) {
  // A rough hue wheel: distinct, saturated colours for neighbouring pictures.
  auto channel = [&](double offset) {
    const double v = 0.5 + 0.5 * std::cos(2 * M_PI * (hue + offset));
    return static_cast<Uint8>(std::lround(255 * light * v));
  };
  return SDL_MapRGB(s->format, channel(0), channel(2.0 / 3), channel(1.0 / 3));
}

void Fill(SDL_Surface* s, int x, int y, int w, int h, Uint32 colour) {
  SDL_Rect r{x, y, w, h};
  SDL_FillRect(s, &r, colour);
}

// A seven-segment digit with its top-left corner at (x, y), `h` high.
void Digit(SDL_Surface* s, int digit, int x, int y, int h, Uint32 colour) {
  static constexpr std::array<Uint8, 10> kSegments{0x3F, 0x06, 0x5B, 0x4F, 0x66,
                                                   0x6D, 0x7D, 0x07, 0x7F, 0x6F};
  const int w = h / 2, t = std::max(2, h / 10), half = h / 2;
  const Uint8 on = kSegments[static_cast<size_t>(digit)];
  if (on & 0x01) Fill(s, x, y, w, t, colour);                    // top
  if (on & 0x02) Fill(s, x + w - t, y, t, half, colour);         // upper right
  if (on & 0x04) Fill(s, x + w - t, y + half, t, half, colour);  // lower right
  if (on & 0x08) Fill(s, x, y + h - t, w, t, colour);            // bottom
  if (on & 0x10) Fill(s, x, y + half, t, half, colour);          // lower left
  if (on & 0x20) Fill(s, x, y, t, half, colour);                 // upper left
  if (on & 0x40) Fill(s, x, y + half - t / 2, w, t, colour);     // middle
}

void Number(SDL_Surface* s, int n, Uint32 colour) {
  const int h = std::min(s->h * 6 / 10, s->w * 6 / 10);
  const int digits = n >= 10 ? 2 : 1;
  const int gap = h / 5, w = h / 2;
  const int total = digits * w + (digits - 1) * gap;
  int x = (s->w - total) / 2;
  const int y = (s->h - h) / 2;
  if (n >= 10) {
    Digit(s, n / 10, x, y, h, colour);
    x += w + gap;
  }
  Digit(s, n % 10, x, y, h, colour);
}

Surface Picture(int index) {
  const Size size = kSizes[static_cast<size_t>(index)];
  Surface s(SDL_CreateRGBSurfaceWithFormat(0, size.w, size.h, 24, SDL_PIXELFORMAT_RGB24));
  if (!s) return s;
  const double hue = index / 14.0;
  SDL_FillRect(s.get(), nullptr, Hue(s.get(), hue, 0.9));
  // Each picture its own pattern: stripes whose angle and spacing follow the index.
  const int spacing = 24 + 8 * (index % 5);
  const Uint32 dark = Hue(s.get(), hue, 0.55);
  for (int y = 0; y < size.h; y += 2 * spacing) {
    Fill(s.get(), 0, y, size.w, spacing / 2, dark);
  }
  for (int x = (index % 3) * spacing; x < size.w; x += 3 * spacing) {
    Fill(s.get(), x, 0, spacing / 3, size.h, dark);
  }
  const int border = std::max(4, std::min(size.w, size.h) / 40);
  const Uint32 white = SDL_MapRGB(s->format, 255, 255, 255);
  Fill(s.get(), 0, 0, size.w, border, white);
  Fill(s.get(), 0, size.h - border, size.w, border, white);
  Fill(s.get(), 0, 0, border, size.h, white);
  Fill(s.get(), size.w - border, 0, border, size.h, white);
  Number(s.get(), index + 1, SDL_MapRGB(s->format, 20, 20, 20));
  return s;
}

Surface Background() {
  Surface s(SDL_CreateRGBSurfaceWithFormat(0, 1920, 1080, 24, SDL_PIXELFORMAT_RGB24));
  if (!s) return s;
  for (int y = 0; y < 1080; ++y) {
    auto* row = static_cast<Uint8*>(s->pixels) + y * s->pitch;
    for (int x = 0; x < 1920; ++x) {
      const bool grid = x % 120 == 0 || y % 120 == 0;
      row[3 * x + 0] = grid ? 90 : static_cast<Uint8>(10 + x * 40 / 1920);
      row[3 * x + 1] = grid ? 90 : static_cast<Uint8>(20 + y * 60 / 1080);
      row[3 * x + 2] = grid ? 110 : 70;
    }
  }
  return s;
}

support::Error Save(SDL_Surface* s, const std::string& path) {
  if (s == nullptr || SDL_SaveBMP(s, path.c_str()) != 0) {
    return support::MakeError("cannot write " + path + ": " + SDL_GetError());
  }
  return {};
}

// Eight bars of broken chords over a bass line, 16-bit stereo at 44.1 kHz. Every note ends
// before the bar does, so the end joins the beginning without a click.
support::Error WriteMelodyWav(const std::string& path) {
  constexpr int kRate = 44100;
  constexpr double kBeat = 0.25;  // seconds per eighth note
  // Semitones above A3 (220 Hz): Am, F, C, G, twice.
  constexpr std::array<std::array<int, 3>, 4> kChords{
      {{0, 3, 7}, {-4, 0, 3}, {3, 7, 10}, {-2, 2, 5}}};
  std::vector<int16_t> samples;
  for (int bar = 0; bar < 8; ++bar) {
    const auto& chord = kChords[static_cast<size_t>(bar % 4)];
    for (int step = 0; step < 8; ++step) {
      const int note = chord[static_cast<size_t>(step % 3)] + (step >= 4 ? 12 : 0);
      const double f = 220.0 * std::pow(2.0, note / 12.0);
      const double bass = 55.0 * std::pow(2.0, chord[0] / 12.0);
      const int n = static_cast<int>(kBeat * kRate);
      for (int i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double env =
            std::exp(-6 * t) * std::min(1.0, t * 200) * std::min(1.0, (n - i) / 200.0);
        const double bar_t = (step * n + i) / static_cast<double>(kRate);
        const double bassEnv = std::min(1.0, bar_t * 50) * std::min(1.0, (8 * kBeat - bar_t) * 50);
        const double melody = 0.35 * env * std::sin(2 * M_PI * f * t);
        const double low = 0.25 * bassEnv * std::sin(2 * M_PI * bass * bar_t);
        samples.push_back(static_cast<int16_t>(32767 * (melody * 0.8 + low)));  // left
        samples.push_back(static_cast<int16_t>(32767 * (melody + low * 0.8)));  // right
      }
    }
  }
  if (!harness::WriteWav(path, kRate, 2, samples))
    return support::MakeError("cannot write " + path);
  return {};
}

}  // namespace

support::Error WriteMusic(const std::string& dir) {
  mkdir(dir.c_str(), 0755);
  const std::string music = dir + "/music";
  mkdir(music.c_str(), 0755);
  const std::string wav = music + "/dunk.wav", mp3 = music + "/dunk.mp3";
  TRY(WriteMelodyWav(wav));
  const bool encoded = harness::EncodeMp3(wav, mp3, {"-b", "160"});
  std::remove(wav.c_str());
  if (!encoded) return support::MakeError("lame failed to encode " + mp3);
  return {};
}

support::Error WritePictures(const std::string& dir) {
  mkdir(dir.c_str(), 0755);
  const std::string images = dir + "/images";
  mkdir(images.c_str(), 0755);
  TRY(Save(Background().get(), dir + "/" + slideshow::kBackgroundFile));
  for (int i = 0; i < 14; ++i) {
    TRY(Save(Picture(i).get(), dir + "/" + slideshow::kPictureFiles[static_cast<size_t>(i)]));
  }
  return {};
}

}  // namespace demo
