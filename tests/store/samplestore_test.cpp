// The sample store's contract: rows read back as appended, the summary agrees with a brute
// force over random data, a store left by a killed process or torn by a power cut reopens
// with its whole rows, odd time stamps and jitters come back unchanged, and a full disk is
// an error that loses nothing.
#include "app/store/samplestore.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <bit>
#include <cmath>
#include <random>

#include "common/automationerror.h"
#include "tests/support/variantprinter.h"

namespace zrvlog {
namespace {

using zrv::Variant;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr SampleStore::Options kNoSyncThread{std::chrono::milliseconds(0)};

// Row r of a made-up run: a key every 10 ms, a time stamp, a jitter and values with NaN and
// infinities among them.
struct Generated {
  double key;
  Variant stamp, jitter;
  std::vector<double> values;
};
Generated generated(std::size_t row, int channels, uint32_t seed = 1) {
  std::mt19937_64 random(seed * 1000003u + row);
  Generated g{double(row) * 0.01,
              Variant::date(46000.0 + double(row) / 8.64e7),
              Variant(int32_t(row % 7) - 3),
              {}};
  for (int c = 0; c < channels; ++c) {
    const uint64_t r = random();
    double v = double(int64_t(r % 2000001) - 1000000) / 1000.0;
    if (r % 97 == 0) v = kNaN;
    if (r % 1009 == 0) v = r % 2 ? HUGE_VAL : -HUGE_VAL;
    g.values.push_back(v);
  }
  return g;
}

void appendGenerated(SampleStore& store, std::size_t from, std::size_t to, uint32_t seed = 1) {
  for (std::size_t row = from; row < to; ++row) {
    const Generated g = generated(row, store.channels(), seed);
    store.stage(g.key, g.stamp, g.jitter, g.values);
  }
  store.commit();
}

// Bits, so that NaN equals NaN.
::testing::AssertionResult sameRows(const SampleStore& store, std::size_t rows, uint32_t seed = 1,
                                    std::size_t skip = SIZE_MAX) {
  if (store.rows() != rows)
    return ::testing::AssertionFailure() << store.rows() << " rows, expected " << rows;
  for (std::size_t row = 0; row < rows; ++row) {
    if (row == skip) continue;
    const Generated g = generated(row, store.channels(), seed);
    const StoredSample s = store.sample(row);
    bool same = s.key == g.key && s.stamp == g.stamp && s.jitter == g.jitter;
    for (int c = 0; c < store.channels(); ++c)
      same = same && std::bit_cast<uint64_t>(s.values[std::size_t(c)]) ==
                         std::bit_cast<uint64_t>(g.values[std::size_t(c)]);
    if (!same) return ::testing::AssertionFailure() << "row " << row << " differs";
  }
  return ::testing::AssertionSuccess();
}

MinMax bruteForce(const SampleStore& store, int channel, std::size_t first, std::size_t end) {
  MinMax m;
  for (std::size_t row = first; row < end; ++row)
    m.add(store.value(channel, row));
  return m;
}

bool sameExtremes(const MinMax& a, const MinMax& b) {
  return (a.empty() && b.empty()) || (a.min == b.min && a.max == b.max);
}

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.isValid()); }
  QString folder() const { return dir.filePath(QStringLiteral("run")); }
  QTemporaryDir dir;
};

TEST_F(StoreTest, RowsReadBackAsAppendedAcrossReopen) {
  struct Case {
    std::size_t rows;
    int channels;
  };
  for (const Case& c :
       {Case{0, 1}, Case{1, 5}, Case{63, 2}, Case{64, 5}, Case{1025, 3}, Case{70000, 5},
        // Enough rows for commit() to give their pages back: they read back from the files.
        Case{SampleStore::kDropEveryRows + 1000, 2}}) {
    SCOPED_TRACE(testing::Message() << c.rows << " rows, " << c.channels << " channels");
    {
      auto store = SampleStore::create(folder(), c.channels);
      std::vector<std::pair<qint64, qint64>> announced;
      QObject::connect(store.get(), &SampleStore::appended,
                       [&](qint64 first, qint64 end) { announced.emplace_back(first, end); });
      appendGenerated(*store, 0, c.rows / 2);
      appendGenerated(*store, c.rows / 2, c.rows);
      EXPECT_TRUE(sameRows(*store, c.rows));
      std::vector<std::pair<qint64, qint64>> expected;
      if (c.rows / 2 > 0) expected.emplace_back(0, qint64(c.rows / 2));
      if (c.rows > c.rows / 2) expected.emplace_back(qint64(c.rows / 2), qint64(c.rows));
      EXPECT_EQ(announced, expected);
      std::vector<StoredSample> range;
      store->readRows(c.rows / 3, c.rows / 2, range);
      ASSERT_EQ(range.size(), c.rows / 2 - c.rows / 3);
      if (!range.empty()) {
        EXPECT_EQ(range.front().key, store->key(c.rows / 3));
      }
      EXPECT_EQ(store->lowerBound(double(c.rows / 2) * 0.01 - 0.001), c.rows / 2);
      for (double key :
           {-1.0, 0.0, 0.005, double(c.rows / 3) * 0.01, double(c.rows) * 0.01 - 0.01, 1e9})
        for (std::size_t hint :
             {std::size_t(0), c.rows / 4, c.rows / 2, c.rows - c.rows / 5, c.rows, c.rows + 9})
          EXPECT_EQ(store->lowerBound(key, hint), store->lowerBound(key)) << key << " " << hint;
    }
    auto store = SampleStore::open(folder());
    EXPECT_EQ(store->channels(), c.channels);
    EXPECT_TRUE(sameRows(*store, c.rows));
    EXPECT_EQ(store->durableRows(), c.rows);
    store.reset();
    ASSERT_TRUE(SampleStore::remove(folder()));
    EXPECT_FALSE(QFile::exists(folder()));
  }
}

TEST_F(StoreTest, SummaryAgreesWithBruteForce) {
  constexpr std::size_t kRows = 300000;  // past the coarsest block, with a partial tail
  auto store = SampleStore::create(folder(), 2, kNoSyncThread);
  appendGenerated(*store, 0, kRows, 7);
  // A stretch of NaN only, wider than a block of the finest two levels.
  std::mt19937_64 random(42);
  struct Range {
    std::size_t first, end, columns;
  };
  std::vector<Range> ranges = {{0, kRows, 1},
                               {0, kRows, 1000},
                               {0, kRows, 3},
                               {5, 6, 1},
                               {0, 0, 4},
                               {100, 164, 64},
                               {64, 1024, 7},
                               {1, kRows - 1, 999},
                               {123456, 126456, 1000},
                               {262144, kRows, 500},
                               {0, 10, 1000}};
  for (int i = 0; i < 25; ++i) {
    const std::size_t a = random() % kRows, b = random() % kRows;
    ranges.push_back({std::min(a, b), std::max(a, b) + 1, 1 + random() % 1500});
  }
  for (const Range& r : ranges) {
    for (int channel = 0; channel < 2; ++channel) {
      SCOPED_TRACE(testing::Message() << r.first << ".." << r.end << " in " << r.columns
                                      << " columns, channel " << channel);
      const MinMax whole = bruteForce(*store, channel, r.first, r.end);
      EXPECT_TRUE(sameExtremes(store->extremes(channel, r.first, r.end), whole));
      std::vector<MinMax> columns(r.columns);
      std::vector<std::size_t> borders;
      const auto cost = store->summarize(channel, r.first, r.end, columns, &borders);
      ASSERT_EQ(borders.size(), r.columns + 1);
      EXPECT_EQ(borders.front(), r.first);
      EXPECT_EQ(borders.back(), r.end);
      MinMax joined;
      const double width = double(r.end - r.first) / double(r.columns);
      for (std::size_t i = 0; i < r.columns; ++i) {
        ASSERT_LE(borders[i], borders[i + 1]);
        // A border moves by less than a column's width from where it would fall.
        EXPECT_LE(std::abs(double(borders[i]) - (double(r.first) + width * double(i))),
                  std::max(width, 1.0));
        EXPECT_TRUE(
            sameExtremes(columns[i], bruteForce(*store, channel, borders[i], borders[i + 1])))
            << "column " << i;
        joined.add(columns[i]);
      }
      EXPECT_TRUE(sameExtremes(joined, whole));
      // A few entries per column (the levels are 16 apart) and the exact outer edges; a
      // column narrower than the finest block reads its rows.
      EXPECT_LE(cost.entries + cost.rows, 64 * r.columns + 4 * 2 * 64);
    }
  }
  // A channel of NaN only has no extremes.
  auto nans = SampleStore::create(dir.filePath(QStringLiteral("nan")), 1, kNoSyncThread);
  for (int i = 0; i < 5000; ++i)
    nans->append(i, Variant::date(0), Variant(0), std::vector<double>{kNaN});
  EXPECT_TRUE(nans->extremes(0, 0, 5000).empty());
}

TEST_F(StoreTest, OddStampsAndJittersRoundTrip) {
  const QString unpaired = QString(QChar(0xD800)) + QStringLiteral("x\"y,z");
  const std::vector<Variant> values = {
      Variant(QStringLiteral("12/8/2026 8:00:00 PM")),
      Variant(QString()),
      Variant(),
      Variant::missing(),
      Variant(int16_t(-7)),
      Variant(int32_t(5)),
      Variant(std::numeric_limits<int32_t>::min()),
      Variant(2.5),
      Variant(true),
      Variant(false),
      Variant::date(46000.25),
      Variant::date(std::bit_cast<double>(uint64_t(0x7FF4'5A52'5645'5843ull))),
      Variant(unpaired),
      Variant(QString(5000, QChar(u'\u00e9'))),
  };
  {
    auto store = SampleStore::create(folder(), 1, kNoSyncThread);
    for (std::size_t i = 0; i < values.size(); ++i)
      store->append(double(i), values[i], values[values.size() - 1 - i], std::vector<double>{1.0});
  }
  auto store = SampleStore::open(folder(), kNoSyncThread);
  ASSERT_EQ(store->rows(), values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    SCOPED_TRACE(i);
    const Variant stamp = store->stamp(i);
    if (values[i].type() == zrv::VarType::Date) {
      EXPECT_EQ(stamp.type(), zrv::VarType::Date);
      EXPECT_EQ(std::bit_cast<uint64_t>(stamp.dateValue()),
                std::bit_cast<uint64_t>(values[i].dateValue()));
    } else {
      EXPECT_EQ(stamp, values[i]);
    }
    if (values[values.size() - 1 - i].type() != zrv::VarType::Date) {
      EXPECT_EQ(store->jitter(i), values[values.size() - 1 - i]);
    }
  }
}

// A store whose last rows did not all reach the disk: the header counts more rows than are
// whole. Each case damages one thing past the durable rows.
TEST_F(StoreTest, ReopenAfterPowerCutKeepsWholeRows) {
  constexpr std::size_t kDurable = 1000, kRows = 1100, kTorn = 1050;
  struct Case {
    const char* what;
    const char* file;
    std::size_t offset;
    std::size_t expectedRows;
  };
  const Case cases[] = {
      {"nothing", nullptr, 0, kRows},
      {"a value", "channel2.f64", kTorn * 8, kTorn},
      {"a key", "key.f64", kTorn * 8 + 3, kTorn},
      {"a row check", "check.u32", kTorn * 4, kTorn},
      {"the last row", "jitter.i32", (kRows - 1) * 4, kRows - 1},
      {"an exception's bytes", "exceptions.dat", 2, kDurable + 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    {
      auto store = SampleStore::create(folder(), 3, kNoSyncThread);
      appendGenerated(*store, 0, kDurable + 1);
      // One row past the durable ones holds texts, as a loaded file's rows do.
      const Generated g = generated(kDurable + 1, 3);
      store->append(g.key, Variant(QStringLiteral("stamp")), Variant(QStringLiteral("jitter")),
                    g.values);
      appendGenerated(*store, kDurable + 2, kRows);
    }
    // Turn the store into one whose last sync took only the first rows, then tear a row.
    QFile header(folder() + QStringLiteral("/header"));
    ASSERT_TRUE(header.open(QIODevice::ReadWrite));
    const uint64_t durable[3] = {kDurable, 0, 0};  // rows, exceptions, their bytes
    ASSERT_TRUE(header.seek(40));
    ASSERT_EQ(header.write(reinterpret_cast<const char*>(durable), sizeof(durable)),
              qint64(sizeof(durable)));
    header.close();
    if (c.file) {
      QFile f(folder() + QLatin1Char('/') + QLatin1String(c.file));
      ASSERT_TRUE(f.open(QIODevice::ReadWrite));
      ASSERT_TRUE(f.seek(qint64(c.offset)));
      char byte = 0;
      ASSERT_TRUE(f.getChar(&byte));
      ASSERT_TRUE(f.seek(qint64(c.offset)));
      ASSERT_TRUE(f.putChar(char(byte ^ 0x5A)));
    }
    auto store = SampleStore::open(folder(), kNoSyncThread);
    EXPECT_EQ(store->rows(), c.expectedRows);
    EXPECT_TRUE(sameRows(*store, c.expectedRows, 1, kDurable + 1));
    if (c.expectedRows > kDurable + 1) {
      EXPECT_EQ(store->stamp(kDurable + 1), Variant("stamp"));
      EXPECT_EQ(store->jitter(kDurable + 1), Variant("jitter"));
    }
    // The summary covers what is left, and appending goes on from there.
    EXPECT_TRUE(sameExtremes(store->extremes(1, 0, store->rows()),
                             bruteForce(*store, 1, 0, store->rows())));
    store->append(1e9, Variant::date(1), Variant(1), std::vector<double>{1, 2, 3});
    EXPECT_EQ(store->rows(), c.expectedRows + 1);
    store.reset();
    // What the power cut cost is still known to whoever opens the store next.
    EXPECT_EQ(SampleStore::open(folder(), kNoSyncThread)->lostRows(), kRows - c.expectedRows);
    SampleStore::remove(folder());
  }
}

// A real kill: a child appends as fast as it can and is killed in the middle.
TEST_F(StoreTest, ReopenAfterKillKeepsEveryCommittedRow) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The child never returns into the test runner, whatever happens.
    try {
      auto store = SampleStore::create(folder(), 5);
      for (std::size_t row = 0;; ++row) {
        const Generated g = generated(row, 5);
        store->append(g.key, g.stamp, g.jitter, g.values);
        if (row == 20000) {
          const char one = 1;
          [[maybe_unused]] const auto n = ::write(ready[1], &one, 1);
        }
      }
    } catch (...) {
    }
    ::_exit(1);
  }
  ::close(ready[1]);
  char byte = 0;
  const auto n = ::read(ready[0], &byte, 1);  // 0 when the child died first
  ::usleep(20000);
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(ready[0]);
  ASSERT_EQ(n, 1);
  auto store = SampleStore::open(folder());
  EXPECT_GT(store->rows(), 20000u);
  EXPECT_TRUE(sameRows(*store, store->rows()));
  EXPECT_TRUE(
      sameExtremes(store->extremes(3, 0, store->rows()), bruteForce(*store, 3, 0, store->rows())));
}

TEST_F(StoreTest, FullDiskIsAnErrorThatLosesNothing) {
  auto store = SampleStore::create(folder(), 5, kNoSyncThread);
  // The process-wide file-size limit stands in for a full disk; its signal would end the
  // test, so it is ignored as long as the limit holds.
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldSignal = ::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 1 << 20;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  std::size_t row = 0;
  QString message;
  try {
    for (; row < 1000000; ++row) {
      const Generated g = generated(row, 5);
      store->append(g.key, g.stamp, g.jitter, g.values);
    }
  } catch (const zrv::AutomationError& e) {
    message = e.message();
    EXPECT_EQ(e.number(), zrv::err::kPathFileAccessError);
  }
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, oldSignal);
  EXPECT_TRUE(message.contains(QStringLiteral("File too large"))) << message.toStdString();
  EXPECT_TRUE(message.contains(folder())) << message.toStdString();
  EXPECT_GT(row, 10000u);
  EXPECT_TRUE(sameRows(*store, row));
  // Room again: appending goes on where it stopped.
  appendGenerated(*store, row, row + 100);
  EXPECT_TRUE(sameRows(*store, row + 100));
  store.reset();
  EXPECT_TRUE(sameRows(*SampleStore::open(folder()), row + 100));
}

TEST_F(StoreTest, SyncThreadMakesCommittedRowsDurable) {
  auto store = SampleStore::create(folder(), 2, {std::chrono::milliseconds(20)});
  appendGenerated(*store, 0, 500);
  EXPECT_LE(store->durableRows(), 500u);
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (store->durableRows() < 500 && std::chrono::steady_clock::now() < limit)
    ::usleep(5000);
  EXPECT_EQ(store->durableRows(), 500u);
}

TEST_F(StoreTest, RefusalsNameTheProblemAndChangeNothing) {
  auto store = SampleStore::create(folder(), 2, kNoSyncThread);
  store->append(1, Variant::date(0), Variant(0), std::vector<double>{1, 2});
  const auto number = [](const auto& call) {
    try {
      call();
    } catch (const zrv::AutomationError& e) {
      return e.number();
    }
    return 0;
  };
  const std::vector<double> two{1, 2}, three{1, 2, 3};
  EXPECT_EQ(number([&] { store->append(0.5, Variant::date(0), Variant(0), two); }),
            zrv::err::kInvalidArgument);
  EXPECT_EQ(number([&] { store->append(kNaN, Variant::date(0), Variant(0), two); }),
            zrv::err::kInvalidArgument);
  EXPECT_EQ(number([&] { store->append(2, Variant::date(0), Variant(0), three); }),
            zrv::err::kInvalidArgument);
  EXPECT_EQ(number([&] { store->value(0, 1); }), zrv::err::kSubscriptOutOfRange);
  EXPECT_EQ(number([&] { store->value(2, 0); }), zrv::err::kInvalidArgument);
  EXPECT_EQ(number([&] { store->extremes(0, 0, 2); }), zrv::err::kSubscriptOutOfRange);
  EXPECT_EQ(number([&] { SampleStore::open(folder()); }), zrv::err::kPathFileAccessError);
  EXPECT_EQ(number([&] { SampleStore::create(folder(), 2); }), zrv::err::kPathFileAccessError);
  EXPECT_EQ(number([&] { SampleStore::open(dir.filePath(QStringLiteral("none"))); }),
            zrv::err::kPathFileAccessError);
  EXPECT_TRUE(SampleStore::inUse(folder()));
  // A move onto a folder that is there, even an empty one, would take another's name.
  const QString taken = dir.filePath(QStringLiteral("taken"));
  ASSERT_TRUE(QDir().mkpath(taken));
  EXPECT_EQ(number([&] { store->moveTo(taken); }), zrv::err::kPathFileAccessError);
  EXPECT_EQ(store->folder(), folder());
  EXPECT_EQ(store->rows(), 1u);
  // The open that found the store in use left its header alone: nothing claims a sync.
  EXPECT_EQ(store->durableRows(), 0u);
  // Emptied, it starts again from any key.
  bool cleared = false;
  QObject::connect(store.get(), &SampleStore::cleared, [&] { cleared = true; });
  store->clear();
  EXPECT_TRUE(cleared);
  EXPECT_EQ(store->rows(), 0u);
  store->append(0, Variant::date(0), Variant(0), two);
  EXPECT_EQ(store->value(1, 0), 2);
  // Moved, it goes on where it is now, and opens from there.
  const QString moved = dir.filePath(QStringLiteral("moved"));
  store->moveTo(moved);
  store->append(1, Variant::date(0), Variant(0), two);
  store.reset();
  EXPECT_FALSE(QFileInfo::exists(folder()));
  EXPECT_FALSE(SampleStore::inUse(moved));
  EXPECT_EQ(SampleStore::open(moved)->rows(), 2u);
}

}  // namespace
}  // namespace zrvlog
