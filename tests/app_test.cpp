#include "app/app.h"

#include <SDL.h>
#include <gtest/gtest.h>

namespace {

class HandleEvent : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(SDL_Init(SDL_INIT_EVENTS), 0) << SDL_GetError(); }
  void TearDown() override { SDL_Quit(); }

  static void PushKey(Uint32 type, SDL_Keycode sym, Uint16 mod = 0, Uint8 repeat = 0) {
    SDL_Event e{};
    e.type = type;
    e.key.type = type;
    e.key.state = type == SDL_KEYDOWN ? SDL_PRESSED : SDL_RELEASED;
    e.key.repeat = repeat;
    e.key.keysym.sym = sym;
    e.key.keysym.mod = mod;
    // A scancode of another key: only the key symbol may count.
    e.key.keysym.scancode = SDL_SCANCODE_A;
    ASSERT_EQ(SDL_PushEvent(&e), 1) << SDL_GetError();
  }
  static void Push(Uint32 type) {
    SDL_Event e{};
    e.type = type;
    ASSERT_EQ(SDL_PushEvent(&e), 1) << SDL_GetError();
  }
  static int Queued() {
    SDL_PumpEvents();
    return SDL_PeepEvents(nullptr, 0, SDL_PEEKEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT);
  }
};

TEST_F(HandleEvent, EmptyQueueGoesOn) { EXPECT_TRUE(app::handleEvent()); }

TEST_F(HandleEvent, QuitAndStopKeysStopOnPressAndRelease) {
  Push(SDL_QUIT);
  EXPECT_FALSE(app::handleEvent());
  // SDL leaves its poll sentinel behind an interrupted pass.
  SDL_FlushEvents(SDL_FIRSTEVENT, SDL_LASTEVENT);
  struct Case {
    Uint32 type;
    SDL_Keycode sym;
    Uint16 mod;
    Uint8 repeat;
  };
  for (const Case c :
       {Case{SDL_KEYDOWN, SDLK_q, 0, 0}, Case{SDL_KEYUP, SDLK_q, 0, 0},
        Case{SDL_KEYDOWN, SDLK_ESCAPE, 0, 0}, Case{SDL_KEYUP, SDLK_ESCAPE, 0, 0},
        Case{SDL_KEYDOWN, SDLK_q, KMOD_LSHIFT, 0}, Case{SDL_KEYDOWN, SDLK_q, 0, 1}}) {
    PushKey(c.type, c.sym, c.mod, c.repeat);
    EXPECT_FALSE(app::handleEvent()) << c.type << " " << c.sym;
    SDL_FlushEvents(SDL_FIRSTEVENT, SDL_LASTEVENT);
  }
}

TEST_F(HandleEvent, DrainsEveryOtherEventInOnePass) {
  PushKey(SDL_KEYDOWN, SDLK_a);
  PushKey(SDL_KEYUP, SDLK_w, 0, 0);
  PushKey(SDL_KEYDOWN, 'Q');  // not a key symbol SDL produces for q
  Push(SDL_MOUSEMOTION);
  Push(SDL_WINDOWEVENT);
  Push(SDL_CONTROLLERBUTTONDOWN);
  ASSERT_EQ(Queued(), 6);
  EXPECT_TRUE(app::handleEvent());
  EXPECT_EQ(Queued(), 0);
}

TEST_F(HandleEvent, LeavesEventsBehindTheStoppingOneUnread) {
  Push(SDL_MOUSEMOTION);
  PushKey(SDL_KEYUP, SDLK_ESCAPE);
  Push(SDL_MOUSEMOTION);
  Push(SDL_QUIT);
  EXPECT_FALSE(app::handleEvent());
  SDL_Event e;
  ASSERT_EQ(SDL_PeepEvents(&e, 1, SDL_GETEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT), 1);
  EXPECT_EQ(e.type, SDL_MOUSEMOTION);
  ASSERT_EQ(SDL_PeepEvents(&e, 1, SDL_GETEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT), 1);
  EXPECT_EQ(e.type, SDL_QUIT);
}

TEST(InvisibleFallback, OnlyWhenTheUserDidNotAskForIt) {
  EXPECT_FALSE(app::InvisibleFallback("x11", nullptr));
  EXPECT_FALSE(app::InvisibleFallback(nullptr, nullptr));
  EXPECT_TRUE(app::InvisibleFallback("offscreen", nullptr));
  EXPECT_TRUE(app::InvisibleFallback("dummy", ""));
  EXPECT_TRUE(app::InvisibleFallback("dummy", "x11"));
  EXPECT_TRUE(app::InvisibleFallback("offscreen", "offscreenx"));
  EXPECT_FALSE(app::InvisibleFallback("offscreen", "offscreen"));
  EXPECT_FALSE(app::InvisibleFallback("dummy", "DUMMY"));
  EXPECT_FALSE(app::InvisibleFallback("dummy", "x11,dummy"));
  EXPECT_FALSE(app::InvisibleFallback("offscreen", "offscreen,x11"));
}

}  // namespace
