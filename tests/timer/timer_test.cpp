#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "app/timer/manualtimer.h"
#include "app/timer/precisiontimer.h"
#include "common/automationerror.h"
#include "tests/support/errorof.h"

namespace zrvlog {
namespace {

using Clock = SamplingTimer::Clock;
using namespace std::chrono_literals;

// Runs the event loop until done() or the limit; false on the limit. The limits are far
// above what an idle machine needs: they only keep a broken timer from hanging the test.
bool runUntil(const std::function<bool()>& done, Clock::duration limit = 10s) {
  const auto end = Clock::now() + limit;
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (done() || Clock::now() > end) loop.quit();
  });
  poll.start(1);
  if (!done()) loop.exec();
  return done();
}

void runFor(Clock::duration d) {
  const auto end = Clock::now() + d;
  runUntil([&] { return Clock::now() >= end; }, d + 1s);
}

struct Tick {
  int32_t ms;
  Clock::time_point at;
  Clock::time_point deadline;
};

struct Recorder {
  explicit Recorder(SamplingTimer& timer) : timer(timer) {
    QObject::connect(&timer, &SamplingTimer::tick, [this](int32_t ms) {
      ticks.push_back({ms, Clock::now(), this->timer.lastTick().deadline});
      if (onTick) onTick(ms);
    });
  }
  SamplingTimer& timer;
  std::vector<Tick> ticks;
  std::function<void(int32_t)> onTick;
};

TEST(PrecisionTimer, TicksComeOnAGridOfDeadlinesStartingOneIntervalAfterEnabling) {
  PrecisionTimer timer;
  Recorder rec(timer);
  timer.setInterval(20);
  EXPECT_FALSE(timer.nextDeadline().has_value());
  const auto enabledAt = Clock::now();
  timer.setEnabled(true);
  ASSERT_TRUE(runUntil([&] { return rec.ticks.size() >= 10; }));
  timer.setEnabled(false);

  EXPECT_GE(rec.ticks[0].deadline - enabledAt, 20ms);
  int64_t sum = 0;
  for (size_t i = 0; i < rec.ticks.size(); ++i) {
    const Tick& t = rec.ticks[i];
    EXPECT_GE(t.at, t.deadline) << "tick " << i << " came early";
    EXPECT_GE(t.ms, 0);
    sum += t.ms;
    if (i > 0) {
      // Deadlines are whole intervals apart (more than one when the machine dropped a tick).
      const auto gap = t.deadline - rec.ticks[i - 1].deadline;
      EXPECT_GE(gap, 20ms);
      EXPECT_EQ(gap % 20ms, Clock::duration::zero());
    }
  }
  // The milliseconds add up to the time since enabling, within their rounding.
  const double elapsed =
      std::chrono::duration<double, std::milli>(rec.ticks.back().at - enabledAt).count();
  EXPECT_NEAR(double(sum), elapsed, 0.5 * rec.ticks.size() + 1.0);
  EXPECT_GE(sum, 10 * 20 - 10);
}

TEST(PrecisionTimer, NoTickAfterDisablingEvenOneAlreadyPosted) {
  PrecisionTimer timer;
  Recorder rec(timer);
  timer.setInterval(5);
  timer.setEnabled(true);
  // Keep the UI thread busy: the timer posts a tick and drops the deadlines after it.
  std::this_thread::sleep_for(60ms);
  timer.setEnabled(false);
  EXPECT_FALSE(timer.nextDeadline().has_value());
  runFor(60ms);
  EXPECT_TRUE(rec.ticks.empty());

  // Disabling from inside the handler ends the run after that tick.
  rec.onTick = [&](int32_t) { timer.setEnabled(false); };
  timer.setEnabled(true);
  ASSERT_TRUE(runUntil([&] { return !rec.ticks.empty(); }));
  runFor(60ms);
  EXPECT_EQ(rec.ticks.size(), 1u);
}

TEST(PrecisionTimer, DueTicksAreDroppedWhileAHandlerRunsNeverNested) {
  PrecisionTimer timer;
  Recorder rec(timer);
  int depth = 0, deepest = 0;
  rec.onTick = [&](int32_t) {
    deepest = std::max(deepest, ++depth);
    // What a board command does inside a tick: let the event loop run while it waits.
    QEventLoop wait;
    QTimer::singleShot(15, &wait, &QEventLoop::quit);
    wait.exec();
    --depth;
  };
  timer.setInterval(2);
  timer.setEnabled(true);
  ASSERT_TRUE(runUntil([&] { return rec.ticks.size() >= 6; }));
  timer.setEnabled(false);
  EXPECT_EQ(deepest, 1);
  EXPECT_GT(timer.droppedTicks(), 0);
  // Each tick after the first waited for the previous handler (15 ms) to finish.
  for (size_t i = 1; i < rec.ticks.size(); ++i)
    EXPECT_GE(rec.ticks[i].ms, 14) << i;
}

TEST(PrecisionTimer, AShortStallDelaysOneTickInsteadOfLosingIt) {
  PrecisionTimer timer;
  Recorder rec(timer);
  rec.onTick = [&](int32_t) {
    // The first handler overruns its interval without letting events in.
    if (rec.ticks.size() == 1) std::this_thread::sleep_for(30ms);
  };
  timer.setInterval(20);
  timer.setEnabled(true);
  ASSERT_TRUE(runUntil([&] { return rec.ticks.size() >= 3; }));
  timer.setEnabled(false);
  // The deadline that passed during the stall still got its tick, right after the handler.
  EXPECT_EQ(rec.ticks[1].deadline - rec.ticks[0].deadline, 20ms);
  EXPECT_GE(rec.ticks[1].at - rec.ticks[0].at, 30ms);
  EXPECT_GE(rec.ticks[1].ms, 30);
}

TEST(PrecisionTimer, EveryDeadlineIsDeliveredOrCountedAsDropped) {
  PrecisionTimer timer;
  Recorder rec(timer);
  rec.onTick = [&](int32_t) {
    // Stalls of 6 ms at a 2 ms interval: the deadlines passed meanwhile come after the stall.
    if (rec.ticks.size() % 4 == 1) std::this_thread::sleep_for(6ms);
    if (rec.ticks.size() == 20) timer.setEnabled(false);
  };
  timer.setInterval(2);
  timer.setEnabled(true);
  ASSERT_TRUE(runUntil([&] { return rec.ticks.size() >= 20; }));
  for (size_t i = 1; i < rec.ticks.size(); ++i) {
    const auto gap = rec.ticks[i].deadline - rec.ticks[i - 1].deadline;
    EXPECT_GE(gap, 2ms) << i;
    EXPECT_EQ(gap % 2ms, Clock::duration::zero()) << i;
    EXPECT_GE(rec.ticks[i].at, rec.ticks[i].deadline) << i;
  }
  const auto span = (rec.ticks.back().deadline - rec.ticks.front().deadline) / 2ms + 1;
  EXPECT_LE(span, int64_t(rec.ticks.size()) + timer.droppedTicks());
}

TEST(PrecisionTimer, ANewIntervalTakesEffectFromTheLastDeadline) {
  PrecisionTimer timer;
  Recorder rec(timer);
  timer.setInterval(5000);
  const auto enabledAt = Clock::now();
  timer.setEnabled(true);
  timer.setInterval(10);
  ASSERT_TRUE(runUntil([&] { return rec.ticks.size() >= 3; }));
  // Not five seconds: the grid restarted from enabling with the 10 ms step.
  EXPECT_LT(rec.ticks[0].at - enabledAt, 2s);
  EXPECT_GE(rec.ticks[0].deadline - enabledAt, 10ms);

  rec.onTick = [&](int32_t) { timer.setInterval(30); };
  const size_t changedAt = rec.ticks.size();
  ASSERT_TRUE(runUntil([&] { return rec.ticks.size() >= changedAt + 3; }));
  timer.setEnabled(false);
  for (size_t i = changedAt + 1; i < rec.ticks.size(); ++i) {
    const auto gap = rec.ticks[i].deadline - rec.ticks[i - 1].deadline;
    EXPECT_GE(gap, 30ms) << i;
    EXPECT_EQ(gap % 30ms, Clock::duration::zero()) << i;
  }
}

TEST(PrecisionTimer, DestructionWithATickPostedIsCleanAndPrompt) {
  int ticks = 0;
  auto timer = std::make_unique<PrecisionTimer>();
  QObject::connect(timer.get(), &SamplingTimer::tick, [&](int32_t) { ++ticks; });
  timer->setInterval(1);
  timer->setEnabled(true);
  std::this_thread::sleep_for(20ms);
  const auto start = Clock::now();
  timer.reset();
  EXPECT_LT(Clock::now() - start, 1s);
  runFor(20ms);
  EXPECT_EQ(ticks, 0);
  // A timer that never ticked goes away just as well.
  PrecisionTimer idle;
}

TEST(SamplingTimer, IntervalAndStatisticsCheckWhatTheyAreGiven) {
  PrecisionTimer precise;
  ManualTimer manual;
  for (SamplingTimer* timer : std::initializer_list<SamplingTimer*>{&precise, &manual}) {
    EXPECT_EQ(timer->interval(), 1000);
    EXPECT_EQ(zrv::errorOf([&] { timer->setInterval(0); }), 5);
    EXPECT_EQ(zrv::errorOf([&] { timer->setInterval(-5); }), 5);
    EXPECT_EQ(timer->interval(), 1000);

    TimerStatistics& stats = timer->statistics();
    EXPECT_EQ(stats.minimumResolution(), 1);
    EXPECT_EQ(stats.maximumResolution(), 1000);
    struct Case {
      int32_t frequency;
      int32_t resolution;
    } cases[] = {{1000, 1000}, {1000000, 1}, {3, 1000}, {2147483647, 1}, {20000, 50}};
    for (const Case& c : cases) {
      stats.setFrequency(c.frequency);
      EXPECT_EQ(stats.frequency(), c.frequency);
      EXPECT_EQ(stats.resolution(), c.resolution) << c.frequency;
    }
    EXPECT_EQ(zrv::errorOf([&] { stats.setFrequency(0); }), 5);
    EXPECT_EQ(stats.frequency(), 20000);
  }
}

TEST(ManualTimer, FiresOnlyWhenEnabledAndNeverInsideATick) {
  ManualTimer timer;
  Recorder rec(timer);
  EXPECT_FALSE(timer.fire());
  timer.setInterval(250);
  timer.setEnabled(true);
  const auto first = *timer.nextDeadline();
  EXPECT_TRUE(timer.fire());
  EXPECT_TRUE(timer.fire(260));
  EXPECT_EQ(*timer.nextDeadline() - first, 500ms);
  rec.onTick = [&](int32_t) { EXPECT_FALSE(timer.fire()); };
  EXPECT_TRUE(timer.fire(1));
  timer.setEnabled(false);
  EXPECT_FALSE(timer.fire());
  ASSERT_EQ(rec.ticks.size(), 3u);
  EXPECT_EQ(rec.ticks[0].ms, 250);
  EXPECT_EQ(rec.ticks[1].ms, 260);
  EXPECT_EQ(rec.ticks[2].ms, 1);
  EXPECT_EQ(timer.droppedTicks(), 1);
}

}  // namespace
}  // namespace zrvlog
