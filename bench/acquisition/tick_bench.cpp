// The sampling tick's own cost, without board I/O: does a tick get dearer as the data set
// grows? And how much memory does a recorded sample take?
//
//   build/bin/bench_tick [--samples 1000000]
//
// Prints the mean tick cost after 1,000 and after N samples (target: ratio under 1.5) and
// the growth of the resident set per recorded sample (target: at most 128 bytes).
#include <QCoreApplication>
#include <QLocale>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "app/acquisition/engine.h"
#include "app/graph/graphmodel.h"
#include "app/recovery/runjournal.h"
#include "app/timer/manualtimer.h"
#include "bench/stats.h"
#include "tests/fakes/fakeboardcontrol.h"

namespace {

using Clock = std::chrono::steady_clock;

// Cost of one tick in microseconds: the best of several rounds, which is what the code costs
// when the shared machine leaves it alone (one long round mostly measures other processes).
double tickUs(zrvlog::ManualTimer& timer, int rounds, int ticksPerRound) {
  double best = 1e300;
  for (int r = 0; r < rounds; ++r) {
    const auto start = Clock::now();
    for (int i = 0; i < ticksPerRound; ++i)
      timer.fire();
    const auto spent = std::chrono::duration<double, std::micro>(Clock::now() - start);
    best = std::min(best, spent.count() / ticksPerRound);
  }
  return best;
}

// An engine on a board that answers at once, sampling every 5 ms.
struct Rig {
  Rig() {
    board.logCalls = false;
    engine.applyStartUpDefaults();
    engine.SetTimerInt(5);
  }
  zrvlog::GraphModel graph;
  zrvtest::FakeBoardControl board;
  zrvlog::ManualTimer timer;
  zrvlog::AcquisitionEngine engine{graph, board, timer, zrvlog::AcquisitionThread::Caller};
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QLocale::setDefault(QLocale::c());
  long target = 1'000'000;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::string(argv[i]) == "--samples") target = std::stol(argv[i + 1]);

  Rig rig;
  zrvlog::GraphModel& graph = rig.graph;
  zrvlog::ManualTimer& timer = rig.timer;
  zrvlog::AcquisitionEngine& engine = rig.engine;
  engine.startRun();

  constexpr int kRounds = 20, kTicksPerRound = 500;
  while (engine.data.sampleCount() < 1'000)
    timer.fire();
  const long rssSmall = zrvbench::residentBytes();
  const double small = tickUs(timer, kRounds, kTicksPerRound);
  const std::size_t fromCount = engine.data.sampleCount();
  while (long(engine.data.sampleCount()) < target)
    timer.fire();
  const long rssLarge = zrvbench::residentBytes();
  const std::size_t toCount = engine.data.sampleCount();
  const double large = tickUs(timer, kRounds, kTicksPerRound);

  std::printf("tick cost after %8zu samples: %7.2f us (best of %d rounds of %d ticks)\n",
              std::size_t{1000}, small, kRounds, kTicksPerRound);
  std::printf("tick cost after %8zu samples: %7.2f us (best of %d rounds of %d ticks)\n", toCount,
              large, kRounds, kTicksPerRound);
  std::printf("ratio: %.2f (target under 1.5)\n", large / small);
  std::printf("resident set growth: %.1f bytes per sample over %zu samples (target at most 128)\n",
              double(rssLarge - rssSmall) / double(toCount - fromCount), toCount - fromCount);
  std::printf("  of which graph points: %.1f bytes per sample\n",
              double(graph.pointBytes()) / double(toCount));
  std::printf("  time stamps and jitters: %.1f bytes per sample\n",
              double(engine.data.TimeStamps.memoryBytes() + engine.data.Jitters.memoryBytes()) /
                  double(toCount));
  engine.stopRun();

  // The recovery journal's share: ticks with a journal attached (which only look at the
  // clock), then the flush that formats and writes their rows, per sample.
  {
    QTemporaryDir dir;
    constexpr int kSamples = 200'000;
    Rig journalled;
    zrvlog::ManualTimer& t = journalled.timer;
    zrvlog::AcquisitionEngine& e = journalled.engine;
    zrvlog::RunJournal journal(e, dir.path(), {std::chrono::hours(1), std::chrono::hours(1)});
    e.startRun();
    t.fire();  // the first sample opens the journal
    const auto ticksStart = Clock::now();
    for (int i = 1; i < kSamples; ++i)
      t.fire();
    const double ticksUs =
        std::chrono::duration<double, std::micro>(Clock::now() - ticksStart).count();
    const auto flushStart = Clock::now();
    journal.flush();
    const double flushUs =
        std::chrono::duration<double, std::micro>(Clock::now() - flushStart).count();
    const double perSample = flushUs / kSamples;
    std::printf("journal: ticks with it %.2f us each; formatting and writing a sample %.3f us\n",
                ticksUs / kSamples, perSample);
    std::printf(
        "  = %.1f%% of the tick's own cost above, %.3f%% of a 5-channel tick against a\n"
        "    board at 57,600 baud (2.6 ms of wire time; target under 5%%)\n",
        100.0 * perSample / small, 100.0 * perSample / 2600.0);
    e.stopRun();
    journal.discard();
  }
  return 0;
}
