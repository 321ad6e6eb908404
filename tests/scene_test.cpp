#include "slideshow/scene.h"

#include <gtest/gtest.h>

#include <climits>

#include "app/app.h"
#include "tests/harness/show.h"

namespace {

using harness::Rgb;
using slideshow::CentredStart;
using slideshow::ChangeDue;
using slideshow::GrownLength;
using slideshow::SaturateToInt32;

TEST(Growth, ReachesTwiceTheHalfSizeAfterOneSecond) {
  EXPECT_EQ(GrownLength(1000, 801), 800);
  EXPECT_EQ(CentredStart(960, 800), 560);
  EXPECT_EQ(GrownLength(1000, 800), 800);
  EXPECT_EQ(GrownLength(1000, 333), 332);
  EXPECT_EQ(GrownLength(1000, 2001), 2000);
  // The double rate rounds down just below the whole number here.
  EXPECT_EQ(GrownLength(1000, 2002), 2001);
  EXPECT_EQ(GrownLength(1000, 1), 0);
  EXPECT_EQ(GrownLength(500, 801), 400);
  EXPECT_EQ(CentredStart(540, 601), 540 - 300);
  EXPECT_EQ(CentredStart(960, -3), 961);
}

TEST(Growth, StartsAsAPointAtTheCentreAndOvershootsWhenLate) {
  EXPECT_EQ(GrownLength(0, 1920), 0);
  EXPECT_EQ(CentredStart(960, 0), 960);
  EXPECT_EQ(GrownLength(1, 1000), 1);
  EXPECT_EQ(GrownLength(1010, 800), 808);
  EXPECT_EQ(GrownLength(3000, 2400), 7200);
  EXPECT_EQ(CentredStart(960, 7200), 960 - 3600);
}

TEST(Growth, SaturatesInsteadOfOverflowing) {
  // A machine suspended for days, or a picture far larger than the screen.
  EXPECT_EQ(GrownLength(UINT32_MAX, 100000), INT32_MAX);
  EXPECT_EQ(GrownLength(UINT32_MAX, INT32_MAX), INT32_MAX);
  EXPECT_EQ(CentredStart(960, INT32_MAX), 960 - 1073741823);
  EXPECT_EQ(SaturateToInt32(2147483647.9), INT32_MAX);
  EXPECT_EQ(SaturateToInt32(2147483648.0), INT32_MAX);
  EXPECT_EQ(SaturateToInt32(1e300), INT32_MAX);
  EXPECT_EQ(SaturateToInt32(-2147483648.9), INT32_MIN);
  EXPECT_EQ(SaturateToInt32(-1e300), INT32_MIN);
  EXPECT_EQ(SaturateToInt32(-0.9), 0);
  EXPECT_EQ(SaturateToInt32(0.0 / 0.0), 0);
}

TEST(PictureChange, DueStrictlyAfterOnePeriodAcrossTheClockWrap) {
  EXPECT_FALSE(ChangeDue(1000, 0));
  EXPECT_TRUE(ChangeDue(1001, 0));
  // In the last second before the 32-bit clock wraps, `last + 1000` wraps to a small number.
  const uint32_t last = UINT32_MAX - 500;
  EXPECT_FALSE(ChangeDue(last + 10, last));
  EXPECT_FALSE(ChangeDue(last + 1000, last));  // wrapped
  EXPECT_TRUE(ChangeDue(last + 1001, last));
}

// A clock that tests set and that counts its readings; optionally it moves on by `step`
// milliseconds after every reading.
struct FakeClock {
  uint32_t now = 0;
  uint32_t step = 0;
  int readings = 0;
  slideshow::Clock Seam() {
    return [this] {
      ++readings;
      const uint32_t t = now;
      now += step;
      return t;
    };
  }
};

class SceneTest : public testing::Test {
 protected:
  slideshow::Scene& Build(const std::string& dir) {
    harness::ChangeDir in(dir);
    scene_ = std::make_unique<slideshow::Scene>(
        slideshow::Scene::New(renderer_, target_.surface(), clock_.Seam()));
    return *scene_;
  }

  void Frame() { app::Frame(renderer_, *scene_); }
  Rgb Pixel(int x, int y) const { return target_.Pixel(x, y); }

  FakeClock clock_;
  harness::SoftwareTarget target_;
  SDL_Renderer* const renderer_ = target_.renderer();
  std::unique_ptr<slideshow::Scene> scene_;
  harness::TempDir dir_;
};

TEST_F(SceneTest, WithoutPicturesHoldsFourteenEmptySlotsAndKeepsTime) {
  clock_.now = 5000;
  slideshow::Scene& s = Build(dir_.path());
  ASSERT_EQ(s.images.size(), 14u);
  ASSERT_EQ(s.imgTexs.size(), 14u);
  for (size_t i = 0; i < 14; ++i) {
    EXPECT_EQ(s.images[i], nullptr);
    EXPECT_EQ(s.imgTexs[i], nullptr);
  }
  EXPECT_EQ(s.bgrnd, nullptr);
  EXPECT_NE(s.tex, nullptr);
  EXPECT_EQ(s.lastChange, 5000u);
  EXPECT_EQ(s.curImage, 0u);

  for (uint32_t i = 1; i <= 20; ++i) {
    clock_.now = 5000 + 1001 * i;
    Frame();
    EXPECT_EQ(s.curImage, std::min(i, 13u));
    EXPECT_EQ(s.rect.w, 0);
    EXPECT_EQ(Pixel(960, 540), (Rgb{0, 0, 0}));
  }
}

TEST_F(SceneTest, ChangesStrictlyAfterOneSecondAtMostOncePerFrame) {
  harness::WriteShow(dir_.path(), 801, 601);
  clock_.now = 100;
  slideshow::Scene& s = Build(dir_.path());
  ASSERT_NE(s.imgTexs[0], nullptr);

  clock_.now = 1100;
  clock_.readings = 0;
  Frame();
  EXPECT_EQ(s.curImage, 0u);
  EXPECT_EQ(clock_.readings, 3);
  EXPECT_EQ(s.rect.x, 560);
  EXPECT_EQ(s.rect.y, 240);
  EXPECT_EQ(s.rect.w, 800);
  EXPECT_EQ(s.rect.h, 600);

  // Each reading one millisecond later: the change stores the second reading, and width and
  // height come from the next two.
  clock_.now = 1101;
  clock_.step = 1;
  clock_.readings = 0;
  Frame();
  EXPECT_EQ(clock_.readings, 4);
  EXPECT_EQ(s.curImage, 1u);
  EXPECT_EQ(s.lastChange, 1102u);
  EXPECT_EQ(s.rect.w, 0);  // 1 ms x 0.8
  EXPECT_EQ(s.rect.h, 1);  // 2 ms x 0.6
  EXPECT_EQ(s.rect.x, 960);

  // Late by seconds: still one picture per frame.
  clock_.step = 0;
  clock_.now = 9000;
  Frame();
  EXPECT_EQ(s.curImage, 2u);
  // The size readings come after the change test: a frame that just misses the change
  // overshoots in proportion.
  clock_.now = 10000;
  clock_.step = 5;
  Frame();
  EXPECT_EQ(s.curImage, 2u);
  EXPECT_EQ(s.rect.w, 804);
  EXPECT_EQ(s.rect.h, 606);
}

TEST_F(SceneTest, LastPictureStaysAndRestartsItsGrowthOverTheBackground) {
  harness::WriteShow(dir_.path(), 401, 301);
  slideshow::Scene& s = Build(dir_.path());
  for (uint32_t i = 1; i <= 13; ++i) {
    clock_.now = 1001 * i;
    Frame();
  }
  ASSERT_EQ(s.curImage, 13u);
  SDL_Texture* background = s.bgTex.get();
  ASSERT_NE(background, nullptr);

  clock_.now = 1001 * 14;
  Frame();
  EXPECT_EQ(s.curImage, 13u);
  EXPECT_EQ(s.lastChange, 1001u * 14);
  EXPECT_EQ(s.rect.w, 0);
  EXPECT_EQ(s.bgTex.get(), background);  // made once, not per frame

  clock_.now += 1000;
  Frame();
  EXPECT_EQ(s.rect.w, 400);
  EXPECT_EQ(Pixel(0, 0), harness::kBackgroundColour);
  EXPECT_EQ(Pixel(1919, 1079), harness::kBackgroundColour);
  EXPECT_EQ(Pixel(760, 390), harness::PictureColour(13));
  EXPECT_EQ(Pixel(759, 390), harness::kBackgroundColour);
}

TEST_F(SceneTest, DrawsTheCurrentPictureInItsRectangleOnly) {
  harness::WriteShow(dir_.path(), 801, 601);
  slideshow::Scene& s = Build(dir_.path());
  clock_.now = 1000;
  Frame();
  ASSERT_EQ(s.curImage, 0u);
  const Rgb black{0, 0, 0};
  const Rgb first = harness::PictureColour(0);
  EXPECT_EQ(Pixel(560, 240), first);
  EXPECT_EQ(Pixel(1359, 839), first);
  EXPECT_EQ(Pixel(559, 240), black);
  EXPECT_EQ(Pixel(560, 239), black);
  EXPECT_EQ(Pixel(1360, 839), black);
  EXPECT_EQ(Pixel(1359, 840), black);
  EXPECT_EQ(Pixel(0, 0), black);  // no background before the last picture
  EXPECT_EQ(s.bgTex, nullptr);

  clock_.now = 2001;
  Frame();
  clock_.now = 2001 + 500;
  Frame();
  EXPECT_EQ(s.curImage, 1u);
  EXPECT_EQ(s.rect.w, 400);
  EXPECT_EQ(Pixel(960, 540), harness::PictureColour(1));
  EXPECT_EQ(Pixel(759, 540), black);
}

TEST_F(SceneTest, LargerThanTheScreenStaysCentredAndIsCut) {
  harness::WriteShow(dir_.path(), 2400, 1400);
  slideshow::Scene& s = Build(dir_.path());
  clock_.now = 1000;
  Frame();
  EXPECT_EQ(s.rect.x, 960 - 1200);
  EXPECT_EQ(s.rect.y, 540 - 700);
  EXPECT_EQ(Pixel(0, 0), harness::PictureColour(0));
  EXPECT_EQ(Pixel(1919, 1079), harness::PictureColour(0));
}

TEST_F(SceneTest, SetsTheCallersRenderTargetBack) {
  slideshow::Scene& s = Build(dir_.path());
  SDL_Texture* target =
      SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_TARGET, 64, 64);
  ASSERT_NE(target, nullptr);
  ASSERT_EQ(SDL_SetRenderTarget(renderer_, target), 0);
  s.Update();
  EXPECT_EQ(SDL_GetRenderTarget(renderer_), target);
  SDL_SetRenderTarget(renderer_, nullptr);
  SDL_DestroyTexture(target);
}

TEST_F(SceneTest, ChangesStayRegularAcrossTheClockWrap) {
  harness::WriteShow(dir_.path(), 11, 11);
  clock_.now = UINT32_MAX - 10 * 1000;
  clock_.step = 7;
  slideshow::Scene& s = Build(dir_.path());
  uint32_t changes = 0, previous = s.lastChange;
  for (int frame = 0; frame < 3000; ++frame) {
    const uint32_t before = s.lastChange;
    s.Update();
    if (s.lastChange != before) {
      ++changes;
      const uint32_t gap = s.lastChange - previous;
      EXPECT_GT(gap, 1001u);
      EXPECT_LT(gap, 1001u + 4 * 7);
      previous = s.lastChange;
    }
  }
  // About 63 s of readings, three or four a frame: one change a second or so.
  EXPECT_GE(changes, 58u);
  EXPECT_LE(changes, 63u);
  EXPECT_LT(s.lastChange, 60000u);  // it did wrap
}

}  // namespace
