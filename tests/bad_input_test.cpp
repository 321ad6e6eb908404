// Damaged and unusual pictures: each is shown at its size or leaves an empty slot, and the
// show keeps its timing.
#include "tests/harness/bad_input.h"

#include <gtest/gtest.h>

#include "app/app.h"
#include "slideshow/scene.h"
#include "tests/harness/show.h"

namespace {

using harness::BadPictures;

TEST(BadPictures, EachLoadsAtItsSizeOrNotAtAll) {
  harness::TempDir dir;
  for (const harness::BadFile& f : BadPictures()) {
    SCOPED_TRACE(f.name);
    const std::string path = dir.path() + "/p.bmp";
    harness::WriteBadFile(path, f);
    auto [surface, err] = slideshow::LoadPicture(path.c_str());
    if (f.w == 0) {
      EXPECT_EQ(surface, nullptr);
      EXPECT_FALSE(err.Text().empty());
      continue;
    }
    ASSERT_NE(surface, nullptr) << err.Text();
    EXPECT_EQ(surface->w, f.w);
    EXPECT_EQ(surface->h, f.h);
    // Every valid picture is green all over.
    SDL_Surface* rgb = SDL_ConvertSurfaceFormat(surface.get(), SDL_PIXELFORMAT_RGB888, 0);
    ASSERT_NE(rgb, nullptr);
    for (int y : {0, f.h - 1}) {
      for (int x : {0, f.w - 1}) {
        const Uint32 p = static_cast<const Uint32*>(rgb->pixels)[y * rgb->pitch / 4 + x];
        Uint8 r, g, b;
        SDL_GetRGB(p, rgb->format, &r, &g, &b);
        EXPECT_LT(r, 40) << x << "," << y;
        EXPECT_GT(g, 150) << x << "," << y;
        EXPECT_LT(b, 40) << x << "," << y;
      }
    }
    SDL_FreeSurface(rgb);
  }
}

TEST(BadPictures, TheShowKeepsItsTimingOverThem) {
  harness::TempDir dir;
  harness::WriteDamagedShow(dir.path());
  harness::SoftwareTarget target;
  uint32_t now = 0;
  harness::ChangeDir in(dir.path());
  slideshow::Scene s =
      slideshow::Scene::New(target.renderer(), target.surface(), [&] { return now; });
  EXPECT_EQ(s.bgrnd, nullptr);
  for (uint32_t frame = 0; frame < 20 * 100; ++frame) {
    now = frame * 10;
    app::Frame(target.renderer(), s);
    const uint32_t expected = std::min(frame * 10 / 1010, 13u);
    ASSERT_EQ(s.curImage, expected) << "at " << now << " ms";
  }
}

}  // namespace
