// The engine with its acquisition thread, as the program runs it: readings cross from the
// sampling thread to the engine's, and Start, Stop and Clear may come at any moment.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <chrono>
#include <functional>
#include <random>
#include <vector>

#include "app/acquisition/engine.h"
#include "app/graph/graphmodel.h"
#include "app/store/samplestore.h"
#include "app/timer/precisiontimer.h"
#include "common/numberformat.h"
#include "tests/fakes/fakeboardcontrol.h"

namespace zrvlog {
namespace {

using namespace std::chrono_literals;

class EngineThreadTest : public ::testing::Test {
 protected:
  EngineThreadTest() {
    board.logCalls = false;
    engine.applyStartUpDefaults();
    engine.SetTimerInt(2);
    QObject::connect(&engine, &AcquisitionEngine::runEnded, [this](RunEnd why, const QString& m) {
      if (why == RunEnd::Failed) failures << m;
    });
  }
  ~EngineThreadTest() override {
    if (engine.running()) engine.stopRun();
    engine.reclaimLink();
  }

  // Lets the engine's thread take in readings until done() or the limit.
  static bool processUntil(const std::function<bool()>& done,
                           std::chrono::milliseconds limit = 10s) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
      if (clock.elapsed() > limit.count()) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
  }
  static void processFor(std::chrono::milliseconds span) {
    processUntil([] { return false; }, span);
  }
  int64_t points(int element) const { return int64_t(graph.points(element).size()); }
  // Every element holds one point per sample, and the keys run T0, T0.002, ... without a gap.
  void expectInStep(const char* when) {
    const std::size_t n = engine.document().sampleCount();
    for (int c = 0; c < kChannels; ++c)
      ASSERT_EQ(points(c), int64_t(n)) << when << ", channel " << c;
    ASSERT_EQ(engine.document().sampleCount(), n) << when;
    for (std::size_t i = 1; i <= n; ++i) {
      ASSERT_EQ(engine.document().keyText(i - 1),
                QStringLiteral("T%1").arg(zrv::formatGeneral((i - 1) * 0.002)))
          << when;
    }
  }

  GraphModel graph;
  zrvtest::FakeBoardControl board;
  PrecisionTimer timer;
  AcquisitionEngine engine{graph, board, timer};
  QStringList failures;
};

TEST_F(EngineThreadTest, ARunRecordsOnTheEnginesThreadAndNothingAfterStop) {
  engine.startRun();
  ASSERT_TRUE(processUntil([&] { return engine.document().sampleCount() >= 50; }));
  engine.stopRun();
  const std::size_t atStop = engine.document().sampleCount();
  processFor(100ms);
  EXPECT_EQ(engine.document().sampleCount(), atStop) << "a reading arrived after Stop";
  engine.reclaimLink();
  EXPECT_FALSE(board.portopen());
  expectInStep("after the run");
  EXPECT_TRUE(failures.isEmpty()) << failures.join(u';').toStdString();
}

TEST_F(EngineThreadTest, EveryDeadlineBeforeTheStopIsASampleOrAMissedTick) {
  using Clock = SamplingTimer::Clock;
  struct Case {
    const char* name;
    int a2dMs;      // how long each read takes from the start
    int slowA2dMs;  // how long once the run has samples, while the stop comes
    bool doubt;     // the stop's proof finds a byte after the last readings
    int maxStopMs;  // how long the stop may take
  } cases[] = {
      // Every read outlasts the period, so each tick's readings wait for the next tick's
      // proof and the last ones for the stop's.
      {"the stop's proof doubts the held readings", 4, 4, true, 50 + 25},
      // 5 channels of 30 ms: the stop does not wait for that tick, nor loses count of it.
      {"a tick still reading 50 ms after the stop", 0, 30, false, 50 + 25},
  };
  engine.SetTimerInt(20);
  std::atomic<Clock::rep> firstDeadline{-1};
  QObject::connect(
      &timer, &SamplingTimer::tick, &timer,
      [&](int32_t) {
        Clock::rep unset = -1;
        firstDeadline.compare_exchange_strong(unset,
                                              timer.lastTick().deadline.time_since_epoch().count());
      },
      Qt::DirectConnection);
  // The grid's deadlines from the run's first up to t.
  const auto deadlinesUpTo = [&](Clock::time_point t) {
    return (t.time_since_epoch().count() - firstDeadline.load()) /
               std::chrono::duration_cast<Clock::duration>(20ms).count() +
           1;
  };
  for (const Case& tc : cases) {
    for (int stop = 0; stop < 3; ++stop) {
      SCOPED_TRACE(testing::Message() << tc.name << ", stop " << stop);
      std::vector<SampleReport> reports;
      const auto connection =
          QObject::connect(&engine, &AcquisitionEngine::sampleRecorded,
                           [&](const SampleReport& r) { reports.push_back(r); });
      firstDeadline = -1;
      board.a2dMilliseconds = tc.a2dMs;
      engine.startRun();
      ASSERT_TRUE(processUntil([&] { return engine.document().sampleCount() >= 5; }));
      board.a2dMilliseconds = tc.slowA2dMs;
      processFor(std::chrono::milliseconds(7 * stop + (tc.slowA2dMs > tc.a2dMs ? 30 : 0)));
      board.doubtSettles = tc.doubt;
      const auto stoppedAt = Clock::now();
      engine.stopRun();
      const auto stopTook = Clock::now() - stoppedAt;
      engine.reclaimLink();
      board.doubtSettles = false;
      board.a2dMilliseconds = 0;
      QObject::disconnect(connection);
      EXPECT_LT(stopTook, std::chrono::milliseconds(tc.maxStopMs));
      const int64_t accounted = int64_t(engine.document().sampleCount()) + engine.missedTicks();
      EXPECT_GE(accounted, deadlinesUpTo(stoppedAt));
      EXPECT_LE(accounted, deadlinesUpTo(stoppedAt + 1ms));
      ASSERT_FALSE(reports.empty());
      EXPECT_GT(engine.missedTicks(), reports.back().missedTicks) << "the stop's tick is counted";
    }
  }
}

TEST_F(EngineThreadTest, StartStopAndClearAtAnyMomentKeepTheDataSetInStep) {
  std::mt19937 random(12345);
  for (int round = 0; round < 40; ++round) {
    engine.startRun();
    processFor(std::chrono::milliseconds(random() % 15));
    switch (random() % 3) {
      case 0:
        engine.ClearAll();
        expectInStep("right after Clear");
        ASSERT_EQ(engine.document().sampleCount(), 0u);
        processFor(std::chrono::milliseconds(random() % 10));
        break;
      case 1:
        engine.ClearForRun();
        break;
      default:
        break;
    }
    engine.stopRun();
    const std::size_t atStop = engine.document().sampleCount();
    processFor(std::chrono::milliseconds(random() % 5));
    ASSERT_EQ(engine.document().sampleCount(), atStop) << "round " << round;
    expectInStep("after Stop");
  }
  EXPECT_TRUE(failures.isEmpty()) << failures.join(u';').toStdString();
}

TEST_F(EngineThreadTest, TheWindowsThreadNeverWaitsOnASlowOrSilentBoard) {
  struct Case {
    const char* name;
    bool silent;
  } cases[] = {{"a board busy for 200 ms per reading", false}, {"a silent board", true}};
  for (const auto& tc : cases) {
    board.a2dMilliseconds = 200;
    board.silent = tc.silent;
    engine.SetTimerInt(10);
    engine.startRun();
    // While the sampler waits on the board, the engine's thread keeps serving its events.
    QElapsedTimer clock;
    clock.start();
    int served = 0;
    QTimer beat;
    QObject::connect(&beat, &QTimer::timeout, [&] { ++served; });
    beat.start(10);
    processFor(500ms);
    beat.stop();
    EXPECT_GE(served, 10) << tc.name;
    // Stop does not wait for the reading in progress; the link closes when it is done.
    clock.restart();
    engine.stopRun();
    EXPECT_LT(clock.elapsed(), 200) << tc.name;
    EXPECT_FALSE(engine.running()) << tc.name;
    engine.reclaimLink();
    EXPECT_FALSE(board.portopen()) << tc.name;
    board.a2dMilliseconds = 0;
    board.silent = false;
  }
}

}  // namespace
}  // namespace zrvlog
