// A document on its own: loaded, saved and cut short without any engine, its samples in the
// store once and followed by the graph.
#include "app/documents/document.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <array>
#include <csignal>
#include <optional>

#include "app/documents/datafile.h"
#include "app/graph/graphmodel.h"
#include "app/store/samplestore.h"
#include "tests/support/filesizelimit.h"
#include "tests/support/variantprinter.h"

namespace zrvlog {
namespace {

using zrvtest::FileSizeLimit;

using zrv::Variant;

// A document with the start-up settings and rows samples of a recognisable pattern.
std::unique_ptr<Document> recorded(std::size_t rows) {
  auto d = std::make_unique<Document>();
  d->applyStartUpDefaults();
  d->setInterval(5);
  for (std::size_t i = 0; i < rows; ++i) {
    const std::array<double, kChannels> v{double(i), -0.5 * double(i), 1e-5, 4.75, double(i % 7)};
    d->appendSample(Variant::date(45356.5 + double(i) / 86'400'000.0),
                    Variant(int32_t(int(i % 5) - 2)), v, 5);
  }
  return d;
}

QByteArray saved(const Document& d) {
  QBuffer buffer;
  buffer.open(QIODevice::WriteOnly);
  EXPECT_TRUE(writeDataFile(buffer, d).ok);
  return buffer.data();
}

LoadResult loadInto(Document& d, const QByteArray& bytes) {
  d.applyStartUpDefaults();
  return readDataFile(std::string_view(bytes.constData(), std::size_t(bytes.size())), d);
}

// The store and the graph's channel elements hold the same samples.
void expectGraphFollowsStore(const Document& d) {
  const SampleStore& s = d.store();
  for (int c = 0; c < kChannels; ++c) {
    const Points& series = d.graph().points(c);
    ASSERT_EQ(series.size(), s.rows()) << "channel " << c;
    for (std::size_t row = 0; row < s.rows(); row += 997) {
      EXPECT_EQ(series.x(row), s.key(row));
      EXPECT_EQ(series.y(row), s.value(c, row));
    }
  }
}

// Around the loader's batch of 4096 rows: a batch short, whole, and one over.
class DocumentRoundTrip : public ::testing::TestWithParam<std::size_t> {};

TEST_P(DocumentRoundTrip, SavedAndLoadedWithoutAnEngineGivesTheSameFile) {
  const auto original = recorded(GetParam());
  const QByteArray bytes = saved(*original);
  Document copy;
  const LoadResult r = loadInto(copy, bytes);
  ASSERT_TRUE(r.ok()) << r.error.toStdString();
  EXPECT_EQ(std::size_t(r.rows), GetParam());
  EXPECT_EQ(copy.sampleCount(), GetParam());
  EXPECT_EQ(copy.interval(), 5);
  if (GetParam() > 0) {
    EXPECT_EQ(copy.keyText(GetParam() - 1), original->keyText(GetParam() - 1));
    EXPECT_EQ(copy.data.SampleTime.toText(), original->data.SampleTime.toText());
  }
  expectGraphFollowsStore(copy);
  EXPECT_EQ(saved(copy), bytes) << "the loaded texts are written back as they were read";
}

INSTANTIATE_TEST_SUITE_P(Rows, DocumentRoundTrip, ::testing::Values(0, 1, 4095, 4096, 4097, 9000));

TEST(Document, AFileCutAnywhereInItsRowsKeepsEveryWholeRowBeforeTheCut) {
  const auto original = recorded(50);
  const QByteArray bytes = saved(*original);
  // Where each row ends: the file's last 50 line ends.
  std::vector<qsizetype> rowEnds;
  for (qsizetype at = bytes.size(); rowEnds.size() < 51 && at > 0;) {
    at = bytes.lastIndexOf('\n', at - 1);
    if (at < 0) break;
    rowEnds.insert(rowEnds.begin(), at + 1);
  }
  ASSERT_EQ(rowEnds.size(), 51u);  // the header's end, then 50 rows
  for (std::size_t whole = 0; whole < 50; whole += 7) {
    for (const qsizetype into : {qsizetype(1), qsizetype(9), qsizetype(30)}) {
      const QByteArray cut = bytes.left(rowEnds[whole] + into);
      Document d;
      const LoadResult r = loadInto(d, cut);
      SCOPED_TRACE(testing::Message() << whole << " whole rows, cut " << into << " bytes in");
      EXPECT_TRUE(r.partial()) << r.error.toStdString();
      EXPECT_EQ(std::size_t(r.rows), whole);
      EXPECT_EQ(d.sampleCount(), whole) << "only whole rows reach the store";
      expectGraphFollowsStore(d);
    }
  }
}

TEST(Document, AStoreThatCannotGrowEndsTheLoadWithTheRowsBeforeIt) {
  const QByteArray bytes = saved(*recorded(200'000));
  Document d;
  LoadResult r;
  {
    FileSizeLimit limit(256 * 1024);
    r = loadInto(d, bytes);
  }
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.partial());
  EXPECT_LT(d.sampleCount(), 200'000u);
  EXPECT_TRUE(r.error.contains(QStringLiteral("sample row"))) << r.error.toStdString();
  expectGraphFollowsStore(d);
  // What was kept is whole and saves as the same rows.
  Document again;
  const LoadResult back = loadInto(again, saved(d));
  ASSERT_TRUE(back.ok()) << back.error.toStdString();
  EXPECT_EQ(again.sampleCount(), d.sampleCount());
}

// The samples go to the folder the program names, to the temporary folder when that one
// refuses, and stay in memory when the disk refuses both; the document works the same.
TEST(Document, TheSamplesGoWhereTheDiskTakesThem) {
  const QByteArray bytes = saved(*recorded(5000));
  QTemporaryDir tmp;
  ASSERT_TRUE(tmp.isValid());
  QFile inTheWay(tmp.filePath(QStringLiteral("file")));
  ASSERT_TRUE(inTheWay.open(QIODevice::WriteOnly));
  struct Case {
    const char* name;
    QString setting;
    bool diskRefuses;
    QString parent;  // where the store lands; empty: in memory
  };
  const Case cases[] = {
      {"the folder named", tmp.filePath(QStringLiteral("data/samples")), false,
       tmp.filePath(QStringLiteral("data/samples"))},
      {"a file where the folder should be", tmp.filePath(QStringLiteral("file/samples")), false,
       QDir::tempPath()},
      // Not even the store's header fits.
      {"a disk that refuses", tmp.filePath(QStringLiteral("data/samples")), true, QString()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Document::setSampleFolder(c.setting);
    std::unique_ptr<Document> d;
    {
      std::optional<FileSizeLimit> limit;
      if (c.diskRefuses) limit.emplace(1024);
      d = std::make_unique<Document>();
      const LoadResult r = loadInto(*d, bytes);
      ASSERT_TRUE(r.ok()) << r.error.toStdString();
    }
    Document::setSampleFolder(QDir::tempPath());
    if (c.parent.isEmpty())
      EXPECT_EQ(d->store().diskBytes(), 0u);
    else
      EXPECT_EQ(QFileInfo(d->store().folder()).dir().absolutePath(), QDir(c.parent).absolutePath());
    EXPECT_EQ(d->sampleCount(), 5000u);
    expectGraphFollowsStore(*d);
    EXPECT_EQ(saved(*d), bytes);
    d->clearAll();
    EXPECT_EQ(d->sampleCount(), 0u);
  }
}

// A program killed with its store open leaves the folder behind; the next document removes
// it once no process has its id, and leaves every other folder alone.
TEST(Document, StoresOfProgramsThatEndedAreRemovedOthersStay) {
  QTemporaryDir tmp;
  ASSERT_TRUE(tmp.isValid());
  const bool hadTmp = qEnvironmentVariableIsSet("TMPDIR");
  const QByteArray oldTmp = qgetenv("TMPDIR");
  qputenv("TMPDIR", QFile::encodeName(tmp.path()));
  const pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);  // its id now names no process
  const struct {
    QString name;
    bool stays;
  } folders[] = {
      {QStringLiteral("zrvlog-samples-%1-ended").arg(child), false},
      {QStringLiteral("zrvlog-samples-%1-alive").arg(getppid()), true},
      {QStringLiteral("zrvlog-samples-%1-mine").arg(getpid()), true},
      {QStringLiteral("zrvlog-samples-notapid"), true},
      {QStringLiteral("other-%1-ended").arg(child), true},
  };
  for (const auto& f : folders) {
    ASSERT_TRUE(QDir(tmp.path()).mkdir(f.name));
    QFile header(tmp.path() + QLatin1Char('/') + f.name + QStringLiteral("/header"));
    ASSERT_TRUE(header.open(QIODevice::WriteOnly));
  }
  { Document d; }
  hadTmp ? qputenv("TMPDIR", oldTmp) : qunsetenv("TMPDIR");
  for (const auto& f : folders)
    EXPECT_EQ(QDir(tmp.path()).exists(f.name), f.stays) << f.name.toStdString();
}

TEST(Document, ClearingEmptiesStoreAndGraphAndSaysSo) {
  const auto d = recorded(10);
  int cleared = 0;
  QObject::connect(d.get(), &Document::samplesCleared, [&] { ++cleared; });
  d->clearForRun();
  EXPECT_EQ(cleared, 1);
  EXPECT_EQ(d->sampleCount(), 0u);
  EXPECT_EQ(d->data.SampleTime.toText(), QStringLiteral("0"));
  expectGraphFollowsStore(*d);
  const std::array<double, kChannels> v{1, 2, 3, 4, 5};
  d->appendSample(Variant::date(45356.5), Variant(int32_t{0}), v, 5);
  EXPECT_EQ(d->keyText(0), QStringLiteral("T0")) << "keys start afresh";
}

TEST(Document, SavingReadsTheGraphWithoutMovingItsSelection) {
  const auto d = recorded(3);
  GraphModel& g = d->graph();
  g.newAnnotation();
  g.newAnnotation();
  g.newCursor();
  g.newCursor();
  g.setProperty(GraphMember::ElementIndex, Variant(int16_t{3}));
  g.setProperty(GraphMember::AnnotationIndex, Variant(int16_t{0}));
  g.setProperty(GraphMember::CursorIndex, Variant(int16_t{0}));
  saved(*d);
  EXPECT_EQ(g.currentElement(), 3);
  EXPECT_EQ(g.currentAnnotation(), 0);
  EXPECT_EQ(g.currentCursor(), 0);
}

// The channel elements show the store where a host's element shows points of its own: both
// must answer the view and the model alike, through runs, clears and gaps.
TEST(Document, ChannelElementsAnswerAsAHostsElementWithTheSamePointsWould) {
  struct Case {
    const char* name;
    std::vector<std::vector<double>> runs;  // each run starts after a clear, at key 0
  };
  const Case cases[] = {
      {"empty", {{}}},
      {"one sample", {{2.5}}},
      {"rises then falls", {{1, 3, 9, 4, -2, -2, 7}}},
      // The second run starts at the same key with lower values: nothing of the first may
      // stay in the extremes.
      {"a shorter run after a longer one", {{50, 60, 70, 80, 90}, {1, 2, 3}}},
      {"a longer run after a shorter one", {{50, 60, 70}, {1, 2, 3, 4, 5}}},
      {"many rows over summary blocks", {std::vector<double>(5000, 1.0)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Document d;
    d.applyStartUpDefaults();
    for (const std::vector<double>& run : c.runs) {
      if (&run == &c.runs.front()) {
        d.clearForRun();
      } else {  // emptied under the elements' feet, as a loader empties it
        d.store().clear();
        d.data.reset();
      }
      Series own;
      std::vector<double> values = run;
      if (values.size() == 5000) values[3210] = -4;  // one low value deep in a block
      for (std::size_t i = 0; i < values.size(); ++i) {
        const std::array<double, kChannels> v{values[i], 0, 0, 0, 0};
        own.append(d.data.SampleTime.toDouble(), values[i]);
        d.appendSample(Variant::date(45356.5), Variant(int32_t{0}), v, 5);
        // The first run is asked at every tick, as autorange does; a later one only at its end.
        if (&run == &c.runs.front()) (void)d.graph().points(0).extents();
      }
      const Points& shown = d.graph().points(0);
      ASSERT_EQ(shown.size(), own.size());
      EXPECT_TRUE(d.graph().showsSamples(0));
      const Extents a = shown.extents(), b = own.extents();
      EXPECT_EQ(a.empty(), b.empty());
      if (!b.empty()) {
        EXPECT_EQ((std::array{a.minX, a.maxX, a.minY, a.maxY}),
                  (std::array{b.minX, b.maxX, b.minY, b.maxY}));
      }
      const std::size_t n = own.size();
      for (const double x : {-1.0, 0.0, 0.004, 0.005, 0.0125, 1e9}) {
        EXPECT_EQ(shown.lowerBound(x, 0, n), own.lowerBound(x, 0, n)) << x;
        EXPECT_EQ(shown.upperBound(x, 0, n), own.upperBound(x, 0, n)) << x;
      }
      for (std::size_t first = 0; first < n; first += std::max<std::size_t>(1, n / 7)) {
        double lo1 = 1e300, hi1 = -1e300, lo2 = 1e300, hi2 = -1e300;
        shown.foldExtremes(first, n, lo1, hi1);
        own.foldExtremes(first, n, lo2, hi2);
        EXPECT_EQ(lo1, lo2) << first;
        EXPECT_EQ(hi1, hi2) << first;
      }
    }
  }
}

}  // namespace
}  // namespace zrvlog
