// Fifty days of frames through the scene's clock seam, across the wrap of the 32-bit clock.
#include <gtest/gtest.h>

#include "slideshow/scene.h"
#include "tests/harness/show.h"

namespace {

TEST(LongRun, PictureChangesStayRegularForFiftyDays) {
  harness::TempDir dir;
  harness::WriteShow(dir.path(), 101, 51);
  // A one-pixel target keeps each frame cheap; the timing is what is looked at here.
  harness::SoftwareTarget target(1, 1);
  {
    // A frame every 20 ms; each clock reading within a frame a millisecond after the last.
    uint64_t frameStart = 0;
    uint32_t reading = 0;
    harness::ChangeDir in(dir.path());
    slideshow::Scene s = slideshow::Scene::New(target.renderer(), target.surface(), [&] {
      return static_cast<uint32_t>(frameStart + reading++);
    });
    constexpr uint64_t kDays = 50, kMs = kDays * 24 * 3600 * 1000;
    uint64_t changes = 0, shortest = UINT64_MAX, longest = 0;
    uint32_t last = s.lastChange;
    for (; frameStart < kMs; frameStart += 20) {
      reading = 0;
      s.Update();
      if (s.lastChange != last) {
        const uint64_t gap = static_cast<uint32_t>(s.lastChange - last);
        shortest = std::min(shortest, gap);
        longest = std::max(longest, gap);
        last = s.lastChange;
        ++changes;
      }
    }
    EXPECT_GT(kMs, uint64_t{1} << 32);  // the clock wrapped on the way
    EXPECT_GE(shortest, 1002u);
    EXPECT_LE(longest, 1001u + 20 + 4);
    // Changes come every 1002 to 1025 ms, depending on where the frames fall.
    EXPECT_GE(changes, kMs / (1001 + 20 + 4));
    EXPECT_LE(changes, kMs / 1002);
    EXPECT_EQ(s.curImage, 13u);
  }
}

}  // namespace
