// Damaged and hostile data files: the reader refuses them from their first bytes or at their
// first oversized field, with a short message that names the line, and without reading or
// holding the rest.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QFile>
#include <QTemporaryDir>
#include <functional>

#include "app/documents/datafile.h"
#include "app/documents/fieldio.h"
#include "app/graph/graphmodel.h"
#include "tests/documents/documentfixture.h"

namespace zrvlog {
namespace {

using zrvtest::EngineParts;

constexpr qint64 kMiB = 1024 * 1024;

qint64 peakResidentBytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return qint64(usage.ru_maxrss) * 1024;
}

// The golden file up to (not including) its line n, and from line n on.
QByteArray linesBefore(int n) {
  const QByteArray golden = zrvtest::readFixture("golden.zrv");
  EXPECT_FALSE(golden.isEmpty()) << "tests/data/golden.zrv missing";
  qsizetype at = 0;
  for (int line = 1; line < n; ++line)
    at = golden.indexOf('\n', at) + 1;
  return golden.left(at);
}
QByteArray linesFrom(int n) {
  return zrvtest::readFixture("golden.zrv").mid(linesBefore(n).size());
}

// Writes head, then count bytes of fill (a hole of zero bytes when fill is 0, which costs no
// disk), then tail.
bool writeFile(const QString& path, const QByteArray& head, qint64 count, char fill,
               const QByteArray& tail) {
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly) || f.write(head) != head.size()) return false;
  if (fill == 0) {
    if (!f.resize(head.size() + count) || !f.seek(head.size() + count)) return false;
  } else {
    const QByteArray chunk(kMiB, fill);
    for (qint64 left = count; left > 0; left -= chunk.size())
      if (f.write(chunk.constData(), std::min(left, qint64(chunk.size()))) <= 0) return false;
  }
  return f.write(tail) == tail.size();
}

struct HostileFile {
  const char* name;
  QByteArray head;
  qint64 count;
  char fill;
  QByteArray tail;
  LoadResult::Status status;
  std::vector<QString> message;  // parts the error must hold
};

TEST(HostileFiles, FailFastWithAShortMessageAndLittleMemory) {
  const QString fortyAs = QString(kExcerptCharacters, u'A') + QChar(0x2026);
  const HostileFile cases[] = {
      {"a gigabyte of zero bytes",
       {},
       1024 * kMiB,
       0,
       {},
       LoadResult::Status::IncorrectFormat,
       {kIncorrectFileFormat}},
      {"a 256 MB caption",
       linesBefore(10) + "\"",
       256 * kMiB,
       0,
       "\"\r\n" + linesFrom(11),
       LoadResult::Status::ReadError,
       {"Overflow", "64 KiB", "line 10,", "Caption"}},
      {"a 50 MB channel value",
       linesBefore(59) + "\"t\",\"1\",\"1\",\"",
       50 * kMiB,
       'A',
       "\"\r\n",
       LoadResult::Status::ReadError,
       {"Overflow", "line 59, sample row 1, channel 1", "\"" + fortyAs + "\""}},
      {"a blank line before 256 MB of zero bytes",
       linesBefore(59) + "\r\n",
       256 * kMiB,
       0,
       {},
       LoadResult::Status::ReadError,
       {"Overflow", "line 60, sample row 1, jitter"}},
      {"a long AvgCt",
       linesBefore(4) + "\"",
       60000,
       'A',
       "\"\r\n" + linesFrom(5),
       LoadResult::Status::ReadError,
       {"Type mismatch", "\"" + fortyAs + "\"", "line 4, AvgCt"}},
  };
  const qint64 baseline = peakResidentBytes();
  for (const HostileFile& c : cases) {
    SCOPED_TRACE(c.name);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("hostile.zrv"));
    ASSERT_TRUE(writeFile(path, c.head, c.count, c.fill, c.tail));
    EngineParts p;
    p.engine.InitGraph();
    const LoadResult r = loadDataFile(path, p.engine.document());
    const qint64 growth = peakResidentBytes() - baseline;
    EXPECT_EQ(r.status, c.status) << r.error.toStdString();
    for (const QString& part : c.message)
      EXPECT_TRUE(r.error.contains(part)) << part.toStdString() << " in " << r.error.toStdString();
    EXPECT_LT(r.error.size(), 300) << r.error.left(300).toStdString();
    EXPECT_LT(growth, 64 * kMiB) << "peak resident memory grew by " << growth / kMiB << " MB";
    EXPECT_EQ(r.rows, 0);
  }
}

// A device without end, like /dev/zero or a pipe that never closes.
class EndlessDevice : public QIODevice {
 public:
  explicit EndlessDevice(char fill) : m_fill(fill) { open(QIODevice::ReadOnly); }
  bool isSequential() const override { return true; }
  qint64 taken = 0;

 protected:
  qint64 readData(char* data, qint64 size) override {
    std::fill(data, data + size, m_fill);
    taken += size;
    return size;
  }
  qint64 writeData(const char*, qint64) override { return -1; }

 private:
  char m_fill;
};

TEST(HostileFiles, AnEndlessInputIsRefusedFromItsFirstBytes) {
  for (const char fill : {'\0', 'x', ' '}) {
    SCOPED_TRACE(int(fill));
    EndlessDevice endless(fill);
    EngineParts p;
    p.engine.InitGraph();
    EXPECT_EQ(readDataFile(endless, p.engine.document()).status,
              LoadResult::Status::IncorrectFormat);
    EXPECT_LT(endless.taken, qint64(kMaxFieldBytes) + 64 * 1024) << "read no further than needed";
  }
  if (QFile::exists(QStringLiteral("/dev/zero"))) {
    EngineParts p;
    p.engine.InitGraph();
    EXPECT_EQ(loadDataFile(QStringLiteral("/dev/zero"), p.engine.document()).status,
              LoadResult::Status::IncorrectFormat);
  }
}

TEST(HostileFiles, FieldsUpToTheLimitStillLoad) {
  // A caption as long as a field may be (its quotes included), and a version after a BOM.
  const QString caption(qsizetype(kMaxFieldBytes) - 2, u'c');
  const QByteArray file =
      "\xEF\xBB\xBF" + linesBefore(10) + "\"" + caption.toLatin1() + "\"\r\n" + linesFrom(11);
  EngineParts p;
  const LoadResult r = p.load(file);
  ASSERT_TRUE(r.ok()) << r.error.left(300).toStdString();
  EXPECT_EQ(p.graph.property(GraphMember::Caption).toText(), caption);
  EXPECT_EQ(r.rows, 3);
}

}  // namespace
}  // namespace zrvlog
