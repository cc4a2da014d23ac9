// zrvlog --convert of a damaged data file: what could be read before the damage among the
// sample rows is still written (and the error told, with its line, and exit status 1); a file
// damaged before its rows gives nothing.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <functional>

#include "app/documents/datafile.h"
#include "tests/documents/documentfixture.h"

namespace zrvlog {
namespace {

struct Outcome {
  int status = -1;
  QString out, err;
};

// Runs zrvlog without a display and with recovery journals of its own.
Outcome runZrvlog(const QStringList& args, const QString& dataHome) {
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.remove(QStringLiteral("DISPLAY"));
  env.remove(QStringLiteral("WAYLAND_DISPLAY"));
  env.remove(QStringLiteral("QT_QPA_PLATFORM"));
  env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
  p.setProcessEnvironment(env);
  p.start(qEnvironmentVariable("ZRV_BIN_DIR") + QStringLiteral("/zrvlog"), args);
  if (!p.waitForStarted(5000) || !p.waitForFinished(60000)) return {};
  return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
          QString::fromLocal8Bit(p.readAllStandardOutput()),
          QString::fromLocal8Bit(p.readAllStandardError())};
}

QByteArray contents(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The line (1-based) on which byte offset at lies.
int lineAt(const QByteArray& bytes, qsizetype at) {
  return int(bytes.left(at).count('\n')) + 1;
}

struct Damage {
  const char* name;
  std::function<QByteArray(const QByteArray&)> edit;
  int rows;                                    // rows the CSV holds; -1: no CSV is written
  std::function<int(const QByteArray&)> line;  // the line the message names
  const char* where;
};

TEST(ConvertPartial, WritesTheRowsReadBeforeTheDamageAndFails) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  zrvtest::EngineParts recorded;
  recorded.record(601);
  const QString full = dir.filePath(QStringLiteral("full.zrv"));
  ASSERT_TRUE(saveDataFile(full, recorded.engine.document()).ok);
  const QByteArray original = contents(full);
  // Where the last row and the 300th row start.
  const qsizetype lastRow = original.lastIndexOf('\n', original.size() - 3) + 1;
  qsizetype row300 = dataFileHeader(recorded.engine.document()).size();
  for (int i = 1; i < 300; ++i)
    row300 = original.indexOf('\n', row300) + 1;

  const Damage cases[] = {
      {"the last row cut by a crash", [&](const QByteArray& f) { return f.left(lastRow + 30); },
       600, [&](const QByteArray& f) { return lineAt(f, lastRow); },
       "sample row 601, which ends after"},
      {"a channel value that is no number in row 300",
       [&](const QByteArray& f) {
         QByteArray g = f;
         const qsizetype channel = g.indexOf("\",\"", g.indexOf("\",\"", row300) + 3) + 3;
         return g.insert(channel, "x");
       },
       299, [&](const QByteArray& f) { return lineAt(f, row300); }, "sample row 300, channel 0"},
      {"an averaging count that is no number",
       [](const QByteArray& f) {
         QByteArray g = f;
         const qsizetype line4 = g.indexOf('\n', g.indexOf('\n', g.indexOf('\n') + 1) + 1) + 1;
         return g.insert(line4, "\"four\"");
       },
       -1, [](const QByteArray&) { return 4; }, "AvgCt"},
  };
  for (const Damage& c : cases) {
    SCOPED_TRACE(c.name);
    const QString in = dir.filePath(QStringLiteral("in.zrv"));
    const QString csv = dir.filePath(QStringLiteral("out.csv"));
    const QString png = dir.filePath(QStringLiteral("out.png"));
    QFile::remove(csv);
    QFile::remove(png);
    const QByteArray damaged = c.edit(original);
    {
      QFile f(in);
      ASSERT_TRUE(f.open(QIODevice::WriteOnly));
      ASSERT_EQ(f.write(damaged), damaged.size());
    }
    const Outcome o = runZrvlog({"--convert", in, "--csv", csv, "--png", png},
                                dir.filePath(QStringLiteral("data")));
    EXPECT_EQ(o.status, 1) << o.err.toStdString();
    EXPECT_TRUE(o.err.contains(QStringLiteral("(line %1, %2").arg(c.line(damaged)).arg(c.where)))
        << o.err.toStdString();
    if (c.rows < 0) {
      EXPECT_FALSE(QFile::exists(csv));
      EXPECT_FALSE(QFile::exists(png));
      continue;
    }
    EXPECT_TRUE(o.out.contains(QStringLiteral("wrote %1 (%2 samples)").arg(csv).arg(c.rows)))
        << o.out.toStdString();
    // The rows are those of the recording, as far as they go.
    const QList<QByteArray> written = contents(csv).split('\n');
    QBuffer expected;
    expected.open(QIODevice::WriteOnly);
    ASSERT_TRUE(writeCsv(expected, recorded.engine.document()).ok);
    const QList<QByteArray> all = expected.data().split('\n');
    ASSERT_EQ(written.size(), c.rows + 2) << "the header, the rows and the rest after CR LF";
    EXPECT_EQ(written.mid(0, c.rows + 1), all.mid(0, c.rows + 1));
    EXPECT_TRUE(contents(png).startsWith("\x89PNG")) << "the picture is drawn too";
  }
}

}  // namespace
}  // namespace zrvlog
