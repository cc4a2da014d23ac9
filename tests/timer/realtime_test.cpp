#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <thread>

#include "app/timer/realtime.h"

namespace zrvlog {
namespace {

int niceOfThisThread() {
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  EXPECT_EQ(errno, 0);
  return nice;
}

int cpusOfThisThread() {
  cpu_set_t set;
  CPU_ZERO(&set);
  EXPECT_EQ(pthread_getaffinity_np(pthread_self(), sizeof set, &set), 0);
  return CPU_COUNT(&set);
}

// A run pins the window's thread and lets it step back; after the run the thread must be
// exactly where it was, or the window stays slow (or on one CPU) for the rest of the session.
TEST(SharedCpu, PinAndStepBackAreUndoneByRestore) {
  if (SharedCpu::choose() < 0) GTEST_SKIP() << "this process may run on one CPU only";
  struct Case {
    int stepBack;
    int expectedRise;  // nice value after pin() minus before, where stepping back is allowed
  } cases[] = {{0, 0}, {kWindowStepBack, kWindowStepBack}, {-3, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stepBack);
    // A thread of its own, so that a failure cannot leave the test runner stepped back.
    std::thread([&] {
      const int nice = niceOfThisThread();
      const int cpus = cpusOfThisThread();
      const bool canStep = mayRaisePriorityTo(nice);
      {
        SharedCpu shared;
        ASSERT_TRUE(shared.pin(SharedCpu::choose(), c.stepBack));
        EXPECT_EQ(cpusOfThisThread(), 1);
        EXPECT_EQ(niceOfThisThread(), canStep ? std::min(nice + c.expectedRise, 19) : nice);
        shared.restore();
        EXPECT_EQ(niceOfThisThread(), nice);
        EXPECT_EQ(cpusOfThisThread(), cpus);
        EXPECT_TRUE(shared.pin(SharedCpu::choose(), c.stepBack));
      }  // destruction restores too
      EXPECT_EQ(niceOfThisThread(), nice);
      EXPECT_EQ(cpusOfThisThread(), cpus);
    }).join();
  }
}

TEST(SharedCpu, RlimitNiceCountsTwentyMinusTheNiceValue) {
  struct Case {
    unsigned long long limit;
    int nice;
    bool allowed;
  } cases[] = {{0, 0, false},         {0, 19, false},  {1, 19, true},
               {20, 0, true},         {20, -1, false}, {15, 5, true},
               {15, 4, false},        {40, -20, true}, {RLIM_INFINITY, -20, true},
               {~0ULL - 1, -20, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "limit " << c.limit << ", nice " << c.nice);
    EXPECT_EQ(rlimitNiceAllows(c.limit, c.nice), c.allowed);
  }
}

}  // namespace
}  // namespace zrvlog
