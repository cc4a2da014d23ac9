// The sampling tick's own cost, without board I/O: does a tick get dearer as the data set
// grows? And how much memory does a recorded sample take?
//
//   build/bin/bench_tick [--samples 1000000]
//
// Prints the mean tick cost after 1,000 and after N samples (target: ratio under 1.5) and
// the growth of the resident set per recorded sample (target: at most 128 bytes).
#include <unistd.h>
#include <QCoreApplication>
#include <QLocale>
#include <chrono>
#include <cstdio>
#include <fstream>

#include "app/acquisition/engine.h"
#include "app/graph/graphmodel.h"
#include "app/timer/manualtimer.h"
#include "tests/acquisition/fakeboardcontrol.h"

namespace {

using Clock = std::chrono::steady_clock;

long residentBytes() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

// Mean cost of one tick over `ticks` ticks, in microseconds.
double meanTickUs(zrvlog::ManualTimer& timer, int ticks) {
  const auto start = Clock::now();
  for (int i = 0; i < ticks; ++i)
    timer.fire();
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / ticks;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QLocale::setDefault(QLocale::c());
  long target = 1'000'000;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::string(argv[i]) == "--samples") target = std::stol(argv[i + 1]);

  zrvlog::GraphModel graph;
  zrvtest::FakeBoardControl board;
  board.logCalls = false;
  zrvlog::ManualTimer timer;
  zrvlog::AcquisitionEngine engine(graph, board, timer);
  engine.applyStartUpDefaults();
  engine.SetTimerInt(5);
  engine.startRun();

  constexpr int kMeasured = 20'000;
  while (engine.data.sampleCount() < 1'000)
    timer.fire();
  const long rssSmall = residentBytes();
  const double small = meanTickUs(timer, kMeasured);
  const std::size_t fromCount = engine.data.sampleCount();
  while (long(engine.data.sampleCount()) < target)
    timer.fire();
  const long rssLarge = residentBytes();
  const std::size_t toCount = engine.data.sampleCount();
  const double large = meanTickUs(timer, kMeasured);

  std::printf("tick cost after %8zu samples: %7.2f us (mean of %d)\n", std::size_t{1000}, small,
              kMeasured);
  std::printf("tick cost after %8zu samples: %7.2f us (mean of %d)\n", toCount, large, kMeasured);
  std::printf("ratio: %.2f (target under 1.5)\n", large / small);
  std::printf("resident set growth: %.1f bytes per sample over %zu samples (target at most 128)\n",
              double(rssLarge - rssSmall) / double(toCount - fromCount), toCount - fromCount);
  std::printf("  of which graph points: %.1f bytes per sample\n",
              double(graph.pointBytes()) / double(toCount));
  std::printf("  time stamps and jitters: %.1f bytes per sample\n",
              double(engine.data.TimeStamps.memoryBytes() + engine.data.Jitters.memoryBytes()) /
                  double(toCount));
  engine.stopRun();
  return 0;
}
