// The slideshow: fourteen pictures, each growing from the screen centre for one second, the last
// one again and again over a background.
#pragma once

#include <SDL.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "support/support.h"

namespace slideshow {

struct SurfaceDeleter {
  void operator()(SDL_Surface* s) const { SDL_FreeSurface(s); }
};
struct TextureDeleter {
  void operator()(SDL_Texture* t) const { SDL_DestroyTexture(t); }
};
using SurfacePtr = std::unique_ptr<SDL_Surface, SurfaceDeleter>;
using TexturePtr = std::unique_ptr<SDL_Texture, TextureDeleter>;

// Milliseconds since SDL started, wrapping at 2^32. Tests drive the scene through their own.
using Clock = std::function<uint32_t()>;

inline constexpr uint32_t kPeriodMs = 1000;
inline constexpr int32_t kCentreX = 960;
inline constexpr int32_t kCentreY = 540;
inline constexpr SDL_Rect kBackgroundRect{0, 0, 1920, 1080};

inline constexpr std::array<const char*, 14> kPictureFiles{
    "images/2005_001.jpg.bmp", "images/2005_003.jpg.bmp", "images/2006_002.jpg.bmp",
    "images/2006_004.jpg.bmp", "images/2006_006.jpg.bmp", "images/2006_008.jpg.bmp",
    "images/2009_001.jpg.bmp", "images/2005_002.jpg.bmp", "images/2006_001.jpg.bmp",
    "images/2006_003.jpg.bmp", "images/2006_005.jpg.bmp", "images/2006_007.jpg.bmp",
    "images/2006_009.jpg.bmp", "images/bird.bmp"};
inline constexpr const char* kBackgroundFile = "images/bgrnd.bmp";

// A BMP file read through SDL; on failure no surface and SDL's error text.
support::Result<SurfacePtr> LoadPicture(const char* path);

// Pure growth arithmetic, kept apart so it can be checked without a window.
int32_t SaturateToInt32(double v);
// Length after `elapsedMs` of a side `size` long: 2 * (size / 2) pixels after one period.
int32_t GrownLength(uint32_t elapsedMs, int32_t size);
// Left or top edge of a length centred on `centre`.
int32_t CentredStart(int32_t centre, int32_t length);
// Whether the next picture is due: more than one period since the last change, wrap-safe.
bool ChangeDue(uint32_t now, uint32_t lastChange);

struct Scene {
  // Reads the pictures from the working directory; every failure leaves an empty slot.
  static Scene New(SDL_Renderer* renderer, SDL_Surface* surface, Clock clock = SDL_GetTicks);

  // One frame: maybe the next picture, then background, growing picture, present.
  void Update();

  SDL_Renderer* renderer = nullptr;  // not owned
  SDL_Surface* surface = nullptr;    // not owned
  TexturePtr tex;                    // static access, so never accepted as a render target
  SDL_Rect rect{0, 0, 400, 400};
  SurfacePtr bgrnd;
  std::vector<SurfacePtr> images;
  std::vector<TexturePtr> imgTexs;
  uint32_t lastChange = 0;
  uint32_t curImage = 0;

  Clock clock;
  TexturePtr bgTex;  // made from bgrnd the first time the last picture shows
};

}  // namespace slideshow
