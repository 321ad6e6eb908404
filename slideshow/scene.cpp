#include "slideshow/scene.h"

#include <limits>

namespace slideshow {

support::Result<SurfacePtr> LoadPicture(const char* path) {
  // The reader closes the file, and fails by itself when the open did.
  SDL_RWops* file = SDL_RWFromFile(path, "rb");
  SurfacePtr surface(SDL_LoadBMP_RW(file, 1));
  if (!surface) return {nullptr, support::MakeError(SDL_GetError())};
  return {std::move(surface), {}};
}

int32_t SaturateToInt32(double v) {
  // Out-of-range conversions are undefined; a suspended machine or a huge picture reaches them.
  if (!(v > -2147483649.0)) return v != v ? 0 : std::numeric_limits<int32_t>::min();
  if (v >= 2147483648.0) return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(v);
}

int32_t GrownLength(uint32_t elapsedMs, int32_t size) {
  const int32_t half = size / 2;
  const double rate = half / 1000.0 * 2;
  return SaturateToInt32(static_cast<double>(elapsedMs) * rate);
}

int32_t CentredStart(int32_t centre, int32_t length) {
  // Half of any int32 is within range, so only the truncation matters here.
  return centre - static_cast<int32_t>(length * 0.5);
}

bool ChangeDue(uint32_t now, uint32_t lastChange) {
  // Elapsed time, not `now > lastChange + period`: the sum wraps near the clock's wrap-around
  // and would make every frame a change.
  return static_cast<uint32_t>(now - lastChange) > kPeriodMs;
}

Scene Scene::New(SDL_Renderer* renderer, SDL_Surface* surface, Clock clock) {
  Scene s;
  s.tex.reset(SDL_CreateTextureFromSurface(renderer, surface));
  // Read before loading, so slow loading counts towards the first picture's second.
  s.lastChange = clock();
  s.renderer = renderer;
  s.surface = surface;
  s.clock = std::move(clock);

  s.bgrnd = LoadPicture(kBackgroundFile).value;
  s.images.reserve(kPictureFiles.size());
  s.imgTexs.reserve(kPictureFiles.size());
  for (const char* path : kPictureFiles) {
    SurfacePtr image = LoadPicture(path).value;
    s.imgTexs.emplace_back(image ? SDL_CreateTextureFromSurface(renderer, image.get()) : nullptr);
    s.images.push_back(std::move(image));
  }
  return s;
}

void Scene::Update() {
  // Asking for the static canvas fails, so the frame goes to the window's own target; whatever
  // target was current is set back on the way out.
  SDL_Texture* const previousTarget = SDL_GetRenderTarget(renderer);
  support::Cleanup restoreTarget([&] { SDL_SetRenderTarget(renderer, previousTarget); });
  SDL_SetRenderTarget(renderer, tex.get());

  const auto count = static_cast<uint32_t>(images.size());
  if (count == 0 || imgTexs.size() != count) return;
  if (ChangeDue(clock(), lastChange)) {
    lastChange = clock();
    ++curImage;
    if (curImage >= count) curImage = count - 1;
  }

  if (curImage >= count - 1 && bgrnd) {
    if (!bgTex) bgTex.reset(SDL_CreateTextureFromSurface(renderer, bgrnd.get()));
    SDL_RenderCopy(renderer, bgTex.get(), &kBackgroundRect, &kBackgroundRect);
  }

  SDL_Rect clip{0, 0, 0, 0};
  if (SDL_Surface* image = images[curImage].get()) SDL_GetClipRect(image, &clip);

  const int32_t w = GrownLength(clock() - lastChange, clip.w);
  const int32_t h = GrownLength(clock() - lastChange, clip.h);
  rect = SDL_Rect{CentredStart(kCentreX, w), CentredStart(kCentreY, h), w, h};

  SDL_RenderCopy(renderer, imgTexs[curImage].get(), &clip, &rect);
  SDL_RenderFlush(renderer);
  SDL_RenderPresent(renderer);
}

}  // namespace slideshow
