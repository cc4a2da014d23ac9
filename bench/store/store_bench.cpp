// The sample store with a long run:
//   bench_store [--samples N] [--folder DIR] [--no-sync-thread]   (default 50000000 samples of 5
//   channels, in a
//                                               temporary folder that is removed afterwards)
// Prints the append cost per sample near 1k and near 1M samples, the resident anonymous
// memory and the disk bytes once all samples are in (against the run journal's text rows for
// the same samples), and the time of min/max queries at 1000 pixel columns for the whole
// range and for 1% of it.
#include <sys/stat.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QTemporaryDir>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "app/store/samplestore.h"
#include "bench/stats.h"

using namespace zrvlog;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kChannels = 5;
constexpr double kVoltsPerCount = 4.88758553274682E-03;

long statusKib(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field) + 1);
  return -1;
}

// Averaged board counts through the default calibration, as a 10 ms run records them.
struct Source {
  std::mt19937 noise{7};
  std::uniform_int_distribution<int> jitter{-1, 1};
  std::array<double, kChannels> values{};
  void make(std::size_t row) {
    for (int c = 0; c < kChannels; ++c) {
      const double counts =
          std::round(512 + 400 * std::sin(double(row) * 1e-4 * (c + 1)) + noise() % 9);
      values[std::size_t(c)] = counts * kVoltsPerCount;
    }
  }
};

double ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// The bytes of one journal row for a sample: seven quoted fields, general 15-digit numbers,
// the time stamp as the short date and time, CR LF.
std::size_t journalRowBytes(const QDateTime& stamp, int jitter, const double* values) {
  std::size_t bytes = 7 * 2 + 6 + 2;
  bytes += size_t(QLocale::c().toString(stamp, QStringLiteral("M/d/yyyy h:mm:ss AP")).size());
  bytes += std::to_string(jitter).size();
  for (int c = 0; c < kChannels; ++c) {
    char text[32];
    bytes += size_t(std::snprintf(text, sizeof(text), "%.15G", values[c]));
  }
  return bytes;
}

std::size_t folderBytes(const QString& folder) {
  std::size_t total = 0;
  for (const QFileInfo& file : QDir(folder).entryInfoList(QDir::Files)) {
    struct stat st {};
    if (::stat(QFile::encodeName(file.filePath()).constData(), &st) == 0)
      total += std::size_t(st.st_blocks) * 512;
  }
  return total;
}

double medianQueryMs(const SampleStore& store, std::size_t first, std::size_t end, int runs,
                     SampleStore::QueryCost* cost) {
  std::vector<MinMax> columns(1000);
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    for (int c = 0; c < kChannels; ++c)
      *cost = store.summarize(c, first, end, columns);
    times.push_back(ms(Clock::now() - start));
  }
  return zrvbench::percentile(times, 50);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  std::size_t samples = 50'000'000;
  QString folder;
  SampleStore::Options options;
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--no-sync-thread") == 0) options.syncInterval = {};
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--samples") == 0) samples = std::strtoull(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--folder") == 0) folder = QString::fromLocal8Bit(argv[i + 1]);
  }
  QTemporaryDir temporary;
  if (folder.isEmpty()) folder = temporary.filePath(QStringLiteral("store"));
  const long anonAtStart = statusKib("RssAnon:");

  auto store = SampleStore::create(folder, kChannels, options);
  Source source;
  const QDateTime start = QDateTime::currentDateTime();
  const double startDays = 46000.0;
  double journalBytes = 0;
  std::size_t journalSampled = 0;
  // Appends one sample at a time up to a size, timing each call.
  struct Timing {
    double meanNs = 0, worstMs = 0;
  };
  const auto appendUpTo = [&](std::size_t to) {
    Timing t;
    const std::size_t from = store->rows();
    const auto begin = Clock::now();
    for (std::size_t row = from; row < to; ++row) {
      source.make(row);
      const int jitter = source.jitter(source.noise);
      const auto callStart = Clock::now();
      store->append(double(row) * 0.01, zrv::Variant::date(startDays + double(row) / 8.64e6),
                    zrv::Variant(int32_t(jitter)), source.values);
      t.worstMs = std::max(t.worstMs, ms(Clock::now() - callStart));
      if (row % 997 == 0) {
        journalBytes +=
            double(journalRowBytes(start.addMSecs(qint64(row) * 10), jitter, source.values.data()));
        ++journalSampled;
      }
    }
    if (to > from)
      t.meanNs = std::chrono::duration<double, std::nano>(Clock::now() - begin).count() /
                 double(to - from);
    return t;
  };
  // The cost of an append in a store of about 1k samples, and in one of about 1M samples:
  // 10000 appends each, the files' growth steps included.
  const Timing small = appendUpTo(std::min<std::size_t>(1000, samples));
  const Timing at1k = appendUpTo(std::min<std::size_t>(11000, samples));
  Timing at1M;
  if (samples >= 1'010'000) {
    appendUpTo(1'000'000);
    at1M = appendUpTo(1'010'000);
  }
  const std::size_t bulkFrom = store->rows();
  const Timing bulk = appendUpTo(samples);
  store->sync();

  std::printf("appended %zu samples x %d channels, one append call each\n", samples, kChannels);
  std::printf("  first 1000 samples (creating the files): %.0f ns per sample\n", small.meanNs);
  std::printf("  at 1k samples: %.0f ns per sample, worst call %.2f ms\n", at1k.meanNs,
              at1k.worstMs);
  if (samples >= 1'010'000) {
    std::printf("  at 1M samples: %.0f ns per sample, worst call %.2f ms (ratio to 1k %.2f)\n",
                at1M.meanNs, at1M.worstMs, at1M.meanNs / at1k.meanNs);
  }
  if (samples > bulkFrom) {
    std::printf("  from %zu to %zu: %.0f ns per sample (%.1f s), worst call %.2f ms\n", bulkFrom,
                samples, bulk.meanNs, bulk.meanNs * double(samples - bulkFrom) / 1e9, bulk.worstMs);
  }
  std::printf("RssAnon %.1f MB (%.1f MB at start), RssFile %.1f MB\n",
              double(statusKib("RssAnon:")) / 1024, double(anonAtStart) / 1024,
              double(statusKib("RssFile:")) / 1024);
  const double disk = double(store->diskBytes());
  const double journalPerSample = journalSampled ? journalBytes / double(journalSampled) : 0;
  std::printf(
      "disk %.1f MB: %.1f bytes per sample; the journal's text rows %.1f bytes per "
      "sample\n",
      disk / 1e6, disk / double(samples), journalPerSample);

  SampleStore::QueryCost cost;
  const double wholeMs = medianQueryMs(*store, 0, samples, 20, &cost);
  std::printf(
      "min/max at 1000 columns, all %d channels, whole range: %.2f ms (median of 20; "
      "%zu entries + %zu rows per channel)\n",
      kChannels, wholeMs, cost.entries, cost.rows);
  const std::size_t onePercent = samples / 100;
  const std::size_t first = samples / 2;
  const double partMs = medianQueryMs(*store, first, first + onePercent, 20, &cost);
  std::printf(
      "min/max at 1000 columns, all %d channels, 1%% (%zu samples): %.2f ms (%zu entries "
      "+ %zu rows per channel)\n",
      kChannels, onePercent, partMs, cost.entries, cost.rows);
  const auto extremesStart = Clock::now();
  MinMax whole;
  for (int c = 0; c < kChannels; ++c)
    whole = store->extremes(c, 0, samples);
  std::printf("exact extremes of the whole range, %d channels: %.3f ms\n", kChannels,
              ms(Clock::now() - extremesStart));
  std::printf("RssAnon after the queries %.1f MB\n", double(statusKib("RssAnon:")) / 1024);

  store.reset();
  std::printf("disk after closing (the room kept ahead given back): %.1f bytes per sample\n",
              double(folderBytes(folder)) / double(samples));
  const auto openStart = Clock::now();
  store = SampleStore::open(folder);
  std::printf("reopen: %.1f ms for %zu samples\n", ms(Clock::now() - openStart), store->rows());
  store.reset();
  SampleStore::remove(folder);
  return 0;
}
