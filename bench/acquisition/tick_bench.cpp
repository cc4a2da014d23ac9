// The sampling tick's own cost, without board I/O: does a tick get dearer as the data set
// grows? And how much memory does a recorded sample take?
//
//   build/bin/bench_tick [--samples 1000000]
//
// Prints the mean tick cost after 1,000 and after N samples (target: ratio under 1.5) and
// the growth of the resident set per recorded sample (target: at most 128 bytes).
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "app/acquisition/engine.h"
#include "app/documents/datafile.h"
#include "app/documents/numbertext.h"
#include "app/graph/graphmodel.h"
#include "app/recovery/journalrecovery.h"
#include "app/recovery/runjournal.h"
#include "app/store/samplestore.h"
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
  zrvlog::AcquisitionEngine engine{graph, board, timer};
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
  while (engine.document().sampleCount() < 1'000)
    timer.fire();
  const long rssSmall = zrvbench::residentBytes();
  const double small = tickUs(timer, kRounds, kTicksPerRound);
  const std::size_t fromCount = engine.document().sampleCount();
  while (long(engine.document().sampleCount()) < target)
    timer.fire();
  const long rssLarge = zrvbench::residentBytes();
  const std::size_t toCount = engine.document().sampleCount();
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
  std::printf("  sample store on disk: %.1f bytes per sample\n",
              double(engine.document().store().diskBytes()) / double(toCount));
  engine.stopRun();

  // The recovery journal's share, as in a run: ticks with a journal attached, flushed once per
  // second of samples (200 at 5 ms). The journal holds the run's own sample store, which its
  // thread syncs every second; a flush only compares the header with the one written. The
  // folder is beside this program, on a disk rather than in a memory /tmp.
  {
    QTemporaryDir dir(QCoreApplication::applicationDirPath() +
                      QStringLiteral("/bench-journal-XXXXXX"));
    constexpr int kSamples = 200'000, kPerSecond = 200;
    Rig journalled;
    zrvlog::ManualTimer& t = journalled.timer;
    zrvlog::AcquisitionEngine& e = journalled.engine;
    zrvlog::RunJournal journal(e, dir.path(), {std::chrono::hours(1), std::chrono::seconds(1)});
    e.startRun();
    t.fire();                     // the first sample opens the journal
    std::vector<double> flushes;  // microseconds each
    const auto ticksStart = Clock::now();
    for (int i = 1; i < kSamples; ++i) {
      t.fire();
      if (i % kPerSecond == 0) {
        const auto flushStart = Clock::now();
        journal.flush();
        flushes.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - flushStart).count());
      }
    }
    double flushUs = 0;
    for (const double f : flushes)
      flushUs += f;
    const double ticksUs =
        std::chrono::duration<double, std::micro>(Clock::now() - ticksStart).count() - flushUs;
    // The median flush, as the tick's cost is the best round: what the code costs when the
    // shared machine leaves it alone.
    std::sort(flushes.begin(), flushes.end());
    const double perSample = flushes[flushes.size() / 2] / kPerSecond;
    std::printf(
        "journal: ticks with it %.2f us each; a flush %.0f us (median; slowest %.0f us),\n"
        "  %.3f us per sample = %.1f%% of the tick's own cost above\n",
        ticksUs / kSamples, flushes[flushes.size() / 2], flushes.back(), perSample,
        100.0 * perSample / small);
    // Its disk: the store and the header, against the same samples as the text rows that
    // journals used to write beside the store.
    const zrvlog::SampleStore& store = e.document().store();
    const double samples = double(store.rows());
    const double journalBytes =
        double(store.diskBytes() +
               std::size_t(QFileInfo(zrvlog::journalfile::header(journal.base())).size()));
    std::string rows;
    zrvlog::GeneralText text;
    zrvlog::appendSampleRows(rows, text, store, 0, store.rows());
    std::printf(
        "  on the disk: %.1f bytes per sample (the store and the header); as text rows the\n"
        "    same samples take %.1f bytes each\n",
        journalBytes / samples, double(rows.size()) / samples);
    e.stopRun();
    journal.discard();
  }
  return 0;
}
