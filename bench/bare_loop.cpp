// The floor for the program's frame loop and start-up: the same SDL calls with nothing else.
//   bare-loop startup DIR       load the fifteen files of DIR/images, upload, present once
//   bare-loop frames DIR PIC [S]  draw picture PIC (with the background when PIC is 13):
//                               clear, copies, flush, present; count the frames of second S
//                               (PIC by default), the window over which the program's second
//                               S is counted
//   bare-loop events DIR PIC    the same, draining SDL's event queue before each frame as the
//                               program must
// Reports on standard error in the program's benchmark format.
#include <SDL.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "bench/probe.h"
#include "tests/harness/show.h"

int main(int argc, char** argv) {
  if (argc < 3) return 64;
  const std::string mode = argv[1], dir = argv[2];
  if (SDL_Init(0xF231) != 0) return 2;
  SDL_Window* window;
  SDL_Renderer* renderer;
  if (SDL_CreateWindowAndRenderer(1920, 1080, 0x1, &window, &renderer) != 0) return 2;
  // As the program does: the window surface, and a texture made from it.
  SDL_Surface* windowSurface = SDL_GetWindowSurface(window);
  SDL_CreateTextureFromSurface(renderer, windowSurface);
  std::vector<SDL_Texture*> textures;
  std::vector<SDL_Surface*> surfaces;
  std::vector<std::string> files{harness::kShowBackground};
  for (const char* f : harness::kShowPictures) files.push_back(f);
  for (const std::string& f : files) {
    SDL_Surface* s = SDL_LoadBMP_RW(SDL_RWFromFile((dir + "/" + f).c_str(), "rb"), 1);
    surfaces.push_back(s);
    textures.push_back(s ? SDL_CreateTextureFromSurface(renderer, s) : nullptr);
  }
  if (mode == "startup") {
    SDL_RenderClear(renderer);
    SDL_RenderFlush(renderer);
    SDL_RenderPresent(renderer);
    std::fprintf(stderr, "bench first-frame-ns %lld\n",
                 static_cast<long long>(bench::MonotonicNs()));
    std::fprintf(stderr, "bench peak-kb %lld\n", bench::PeakKb());
    return 0;
  }
  const bool events = mode == "events";
  if (argc < 4) return 64;
  const size_t picture = static_cast<size_t>(std::atoi(argv[3]));
  const int second = argc > 4 ? std::atoi(argv[4]) : static_cast<int>(picture);
  SDL_Texture* background = textures[0];
  SDL_Texture* texture = textures[picture + 1];
  SDL_Rect clip{0, 0, 0, 0};
  if (surfaces[picture + 1]) SDL_GetClipRect(surfaces[picture + 1], &clip);
  const SDL_Rect full{0, 0, 1920, 1080};
  const int64_t start = bench::MonotonicNs();
  const int64_t from = start + int64_t{second} * 1000000000;
  const int64_t to = from + 1000000000;
  uint64_t frames = 0;
  int64_t first = 0, last = 0;
  for (int64_t now = start; now < to; now = bench::MonotonicNs()) {
    if (now >= from) {
      if (frames++ == 0) first = now;
      last = now;
    }
    if (events) {
      SDL_Event e;
      while (SDL_PollEvent(&e)) {
      }
    }
    SDL_RenderClear(renderer);
    if (picture == 13) SDL_RenderCopy(renderer, background, &full, &full);
    // The same growth as the program's, so that the copies cover the same areas.
    const double grown = static_cast<double>((now - start) / 1000000 % 1000) / 1000.0;
    const int w = static_cast<int>(clip.w / 2 * 2 * grown),
              h = static_cast<int>(clip.h / 2 * 2 * grown);
    const SDL_Rect rect{960 - w / 2, 540 - h / 2, w, h};
    SDL_RenderCopy(renderer, texture, &clip, &rect);
    SDL_RenderFlush(renderer);
    SDL_RenderPresent(renderer);
  }
  bench::ReportPeriod(second, frames, last - first);
  return 0;
}
