// Save, load and CSV export of a large data set, and the load compared with pandas.read_csv
// on the CSV of the same data (python3 with pandas must be installed; Debian's
// python3-pandas). Run by hand:
//
//   build/bin/bench_documents [--samples 1000000] [--runs 3] [--distinct]
//
// --distinct fills the channels with values that never repeat (the worst case for the
// writer); by default they are A/D counts through the 0-5 V calibration, as recorded.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLocale>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <functional>
#include <random>

#include "app/acquisition/engine.h"
#include "app/documents/datafile.h"
#include "app/graph/graphmodel.h"
#include "app/timer/manualtimer.h"
#include "common/automationdate.h"
#include "tests/fakes/fakeboardcontrol.h"

namespace {

struct Parts {
  Parts() : engine(graph, board, timer) { engine.applyStartUpDefaults(); }
  zrvlog::GraphModel graph;
  zrvtest::FakeBoardControl board;  // never opened: the engine only needs one to exist
  zrvlog::ManualTimer timer;
  zrvlog::AcquisitionEngine engine;
};

// A recorded run of n samples at 5 ms: time stamps, jitters and five channels.
void fill(Parts& p, int64_t n, bool distinct) {
  p.engine.SetTimerInt(5);
  std::mt19937_64 rng(1);
  std::normal_distribution<double> noise(0.0, 3.0);
  const double start = zrv::toAutomationDate(QDateTime(QDate(2024, 3, 5), QTime(9, 0)));
  std::array<double, 5> values{};
  for (int64_t i = 0; i < n; ++i) {
    for (int c = 0; c < 5; ++c) {
      double y;
      if (distinct) {
        y = std::sin(double(i) * 0.001 + c) * 2.5 + 2.5 + double(i) * 1e-9;
      } else {
        const double counts = 511.5 + 511.5 * std::sin(double(i) * 0.002 * (c + 1)) + noise(rng);
        y = std::clamp(std::round(counts), 0.0, 1023.0) * zrvlog::kVoltsPerCount;
      }
      values[std::size_t(c)] = y;
    }
    p.engine.document().appendSample(zrv::Variant::date(start + double(i) * 5 / 86'400'000.0),
                                     zrv::Variant(int32_t(std::lround(noise(rng) / 3))), values, 5);
  }
}

double cpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// The best wall-clock time of some runs, and the best processor time, which a machine busy
// with other work disturbs much less (it still counts waiting for the disk as nothing).
struct Timing {
  double wall = 1e99, cpu = 1e99;
};

Timing bestOf(int runs, const std::function<void()>& f) {
  Timing best;
  for (int i = 0; i < runs; ++i) {
    QElapsedTimer t;
    const double cpu = cpuSeconds();
    t.start();
    f();
    best.wall = std::min(best.wall, t.nsecsElapsed() / 1e9);
    best.cpu = std::min(best.cpu, cpuSeconds() - cpu);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QLocale::setDefault(QLocale::c());
  int64_t samples = 1'000'000;
  int runs = 3;
  bool distinct = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--samples" && i + 1 < argc)
      samples = std::atoll(argv[++i]);
    else if (a == "--runs" && i + 1 < argc)
      runs = std::atoi(argv[++i]);
    else if (a == "--distinct")
      distinct = true;
  }
  QTemporaryDir dir;
  const QString zrv = dir.filePath(QStringLiteral("bench.zrv"));
  const QString csv = dir.filePath(QStringLiteral("bench.csv"));

  Parts source;
  fill(source, samples, distinct);
  std::printf("%lld samples of 5 channels (%s values), best of %d runs\n", (long long)samples,
              distinct ? "distinct" : "recorded", runs);

  bool ok = true;
  const Timing save =
      bestOf(runs, [&] { ok &= zrvlog::saveDataFile(zrv, source.engine.document()).ok; });
  const Timing csvTime =
      bestOf(runs, [&] { ok &= zrvlog::exportCsv(csv, source.engine.document()).ok; });
  Parts target;
  int64_t rows = 0;
  const Timing load = bestOf(runs, [&] {
    target.engine.InitGraph();
    const zrvlog::LoadResult r = zrvlog::loadDataFile(zrv, target.engine.document());
    ok &= r.ok();
    rows = r.rows;
  });
  if (!ok || rows != samples) {
    std::fprintf(stderr, "a save, export or load failed (%lld rows loaded)\n", (long long)rows);
    return 1;
  }
  const double mb = double(QFile(zrv).size()) / 1e6;
  std::printf("save   %.3f s  (%.0f MB, target < 1 s; processor %.3f s)\n", save.wall, mb,
              save.cpu);
  std::printf("load   %.3f s  (target < 1 s; processor %.3f s)\n", load.wall, load.cpu);
  std::printf("csv    %.3f s  (target < 1 s; processor %.3f s)\n", csvTime.wall, csvTime.cpu);

  // pandas.read_csv on the CSV of the same data, timed inside python (start-up excluded).
  QProcess python;
  // Debian's own interpreter, which python3-pandas installs into.
  const QString interpreter = QFile::exists(QStringLiteral("/usr/bin/python3"))
                                  ? QStringLiteral("/usr/bin/python3")
                                  : QStringLiteral("python3");
  python.start(interpreter,
               {QStringLiteral("-c"),
                QStringLiteral("import sys, time, pandas\n"
                               "best = 1e99\n"
                               "for _ in range(%1):\n"
                               "    t = time.perf_counter(); f = pandas.read_csv(sys.argv[1]);"
                               " best = min(best, time.perf_counter() - t)\n"
                               "assert len(f) == %2\n"
                               "print(best)\n")
                    .arg(runs)
                    .arg(samples),
                csv});
  if (!python.waitForFinished(600000) || python.exitCode() != 0) {
    std::printf("pandas: not measured (%s)\n",
                qPrintable(QString::fromLocal8Bit(python.readAllStandardError()).trimmed()));
    return 0;
  }
  const double pandas = QString::fromLatin1(python.readAllStandardOutput()).trimmed().toDouble();
  std::printf("pandas.read_csv of the CSV  %.3f s; load is %.1fx as fast (target at least 2x)\n",
              pandas, pandas / load.wall);
  return 0;
}
