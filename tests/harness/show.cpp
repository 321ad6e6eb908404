#include "tests/harness/show.h"

#include <SDL.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace harness {

void WriteBmp(const std::string& path, int w, int h, Rgb c) {
  SDL_Surface* s = SDL_CreateRGBSurfaceWithFormat(0, w, h, 24, SDL_PIXELFORMAT_RGB24);
  if (s == nullptr || SDL_FillRect(s, nullptr, SDL_MapRGB(s->format, c.r, c.g, c.b)) != 0 ||
      SDL_SaveBMP(s, path.c_str()) != 0) {
    std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), SDL_GetError());
    std::abort();
  }
  SDL_FreeSurface(s);
}

Rgb PictureColour(int index) {
  return Rgb{static_cast<uint8_t>(40 + 15 * index), static_cast<uint8_t>(250 - 15 * index),
             static_cast<uint8_t>(index % 2 ? 60 : 140)};
}

int PictureAt(Rgb c) {
  for (int i = 0; i < 14; ++i) {
    if (c == PictureColour(i)) return i;
  }
  return -1;
}

void WriteShow(const std::string& dir, int w, int h) {
  std::filesystem::create_directories(dir + "/images");
  WriteBmp(dir + "/" + kShowBackground, 1920, 1080, kBackgroundColour);
  for (int i = 0; i < 14; ++i) {
    WriteBmp(dir + "/" + kShowPictures[static_cast<size_t>(i)], w, h, PictureColour(i));
  }
}

SoftwareTarget::SoftwareTarget(int w, int h)
    : surface_(SDL_CreateRGBSurfaceWithFormat(0, w, h, 32, SDL_PIXELFORMAT_ARGB8888)),
      renderer_(surface_ ? SDL_CreateSoftwareRenderer(surface_) : nullptr) {
  if (renderer_ == nullptr) {
    std::fprintf(stderr, "no software renderer: %s\n", SDL_GetError());
    std::abort();
  }
}

SoftwareTarget::~SoftwareTarget() {
  SDL_DestroyRenderer(renderer_);
  SDL_FreeSurface(surface_);
}

Rgb SoftwareTarget::Pixel(int x, int y) const {
  const auto* row = static_cast<const Uint8*>(surface_->pixels) + y * surface_->pitch;
  Uint8 r, g, b;
  SDL_GetRGB(reinterpret_cast<const Uint32*>(row)[x], surface_->format, &r, &g, &b);
  return Rgb{r, g, b};
}

}  // namespace harness
