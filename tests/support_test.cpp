#include "support/support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

using support::Cleanup;
using support::Error;
using support::MakeError;

TEST(ErrorValue, AbsentIsSuccessAndIdentityIsNotText) {
  EXPECT_FALSE(Error());
  const Error a = MakeError("EOF");
  const Error b = MakeError("EOF");
  const Error copy = a;
  EXPECT_TRUE(a);
  EXPECT_EQ(a.Text(), "EOF");
  EXPECT_TRUE(copy.Is(a));
  EXPECT_FALSE(b.Is(a));
  EXPECT_FALSE(Error().Is(Error()));
}

Error FailsAt(int step, int& reached) {
  for (int i = 0; i < 3; ++i) {
    reached = i;
    TRY(i == step ? MakeError("step " + std::to_string(i)) : Error());
  }
  return {};
}

TEST(ErrorValue, TryReturnsTheFirstError) {
  int reached = -1;
  EXPECT_EQ(FailsAt(1, reached).Text(), "step 1");
  EXPECT_EQ(reached, 1);
  EXPECT_FALSE(FailsAt(7, reached));
  EXPECT_EQ(reached, 2);
}

TEST(CleanupGuard, RunsInReverseOrderAtScopeEnd) {
  std::string order;
  {
    Cleanup a([&] { order += "a"; });
    {
      Cleanup b([&] { order += "b"; });
      Cleanup c([&] { order += "c"; });
    }
    order += "|";
  }
  EXPECT_EQ(order, "cb|a");
}

// Clean-ups write to standard error so that the death test can see their order.
void Say(const char* s) { ASSERT_EQ(write(STDERR_FILENO, s, strlen(s)), ssize_t(strlen(s))); }

TEST(FatalPath, RunsThisThreadsCleanupsMostRecentFirstThenPanics) {
  EXPECT_EXIT(
      {
        Cleanup first([] { Say("cleanup first\n"); });
        {
          Cleanup done([] { Say("already ran\n"); });
        }
        Cleanup second([] { Say("cleanup second\n"); });
        support::Fatal(MakeError("boom"));
      },
      testing::ExitedWithCode(2),
      "^already ran\ncleanup second\ncleanup first\npanic: boom\n\nthread [0-9]+ .*\nbacktrace:\n");
}

TEST(FatalPath, LeavesOtherThreadsCleanupsAlone) {
  EXPECT_EXIT(
      {
        std::mutex m;
        std::condition_variable cv;
        bool registered = false;
        std::thread other([&] {
          Cleanup never([] { Say("other thread cleanup\n"); });
          std::unique_lock lock(m);
          registered = true;
          cv.notify_all();
          cv.wait(lock, [] { return false; });
        });
        {
          std::unique_lock lock(m);
          cv.wait(lock, [&] { return registered; });
        }
        Cleanup mine([] { Say("main cleanup\n"); });
        support::Fatal("from main");
      },
      testing::ExitedWithCode(2), "^main cleanup\npanic: from main\n");
}

TEST(FatalPath, ACleanupThatFailsLetsTheRestRun) {
  EXPECT_EXIT(
      {
        Cleanup outer([] { Say("outer\n"); });
        Cleanup failing([] { support::Fatal("inner failure"); });
        support::Fatal("first failure");
      },
      testing::ExitedWithCode(2), "^outer\npanic: first failure\nduring clean-up: inner failure\n");
}

}  // namespace
