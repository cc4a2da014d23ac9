// Where the recorder and the converter write, and what ends them: the live CSV on standard
// output and a reader that goes away, signals, the copy of a data file that could not be
// saved, and outputs that would write over an input or each other.
#include <sys/stat.h>

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QMap>

#include "tests/headless/headlessfixture.h"

namespace zrvlog {
namespace {

using OutputsTest = HeadlessTest;

mode_t modeOf(const QString& path) {
  struct stat st {};
  return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode : 0;
}

// Every file under a folder with its bytes (a link by its target): what "nothing touched"
// compares.
QMap<QString, QByteArray> snapshot(const QString& folder) {
  QMap<QString, QByteArray> files;
  QDirIterator it(folder, QDir::Files | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString path = it.next();
    const QFileInfo info(path);
    files[path] = info.isSymLink() ? info.symLinkTarget().toUtf8() : fileBytes(path);
  }
  return files;
}

TEST_F(OutputsTest, TheLiveCsvArrivesRowByRowWhileTheRunGoesOnAsTheCsvFileHasIt) {
  QProcess p;
  start(p, {"--headless", "--port", "sim", "--interval", "0.1", "--stop", "2", "--csv", "-",
            "--zrv", path("live.zrv")});
  QByteArray live;
  for (int i = 0; i < 100 && live.count('\n') < 3; ++i) {
    p.waitForReadyRead(100);
    live += p.readAllStandardOutput();
  }
  ASSERT_GE(live.count('\n'), 3) << live.toStdString();
  EXPECT_EQ(p.state(), QProcess::Running) << "the header and two rows came before the run ended";
  EXPECT_EQ(QDir(journalFolder()).entryList({QStringLiteral("*.samples")}, QDir::Dirs).size(), 1)
      << "the journal keeps the run as well";
  Outcome o = finish(p, 30000);
  live += o.out.toLocal8Bit();
  ASSERT_EQ(o.status, 0) << o.err.toStdString();
  EXPECT_TRUE(o.err.contains(QStringLiteral("wrote ") + path("live.zrv"))) << "said on stderr";

  ASSERT_EQ(run({"--convert", path("live.zrv"), "--csv", path("file.csv")}).status, 0);
  EXPECT_EQ(live, fileBytes(path("file.csv"))) << "byte for byte the CSV file of the run";
  EXPECT_EQ(live.count("\r\n"), 22);
}

TEST_F(OutputsTest, AReaderThatDoesNotReadHoldsUpOnlyTheLiveCsvNotTheDataFile) {
  // Three seconds of 1 ms samples are more than a pipe holds; the reader starts late.
  const Outcome o = shell(QStringLiteral(R"(
    ("$ZRVLOG" --headless --port sim --interval 0.001 --stop 3 --quiet --csv - --zrv run.zrv \
       2>err.txt; echo $? > status) | { sleep 8; test -f run.zrv && echo yes > early; wc -l > lines; })"));
  EXPECT_EQ(fileBytes(path("status")).trimmed(), "0") << o.err.toStdString();
  EXPECT_EQ(fileBytes(path("early")).trimmed(), "yes") << "written before the reader read";
  const QByteArray said = fileBytes(path("err.txt"));
  EXPECT_TRUE(said.contains("waiting for the reader of standard output")) << said.toStdString();
  const LoadResult r = load(path("run.zrv"));
  ASSERT_TRUE(r.ok()) << r.error.toStdString();
  EXPECT_EQ(fileBytes(path("lines")).trimmed(), QByteArray::number(r.rows + 1)) << "all rows came";
}

TEST_F(OutputsTest, SignalsAndClosedPipesEndTheRunWithEveryFileWritten) {
  const struct {
    const char* name;
    const char* script;
    int status;
    const char* said;  // in err.txt
    int minSamples, maxSamples;
  } cases[] = {
      {"SIGHUP: the terminal closed",
       R"("$ZRVLOG" --headless --port sim --interval 0.1 --zrv run.zrv --csv run.csv 2>err.txt &
          pid=$!; sleep 1.5; kill -HUP $pid; wait $pid; echo $? > status)",
       0, "SIGHUP", 5, 100},
      {"standard error closed (2>&1 | head -1): only the progress lines stop",
       R"(("$ZRVLOG" --headless --port sim --interval 0.1 --stop 1.5 --zrv run.zrv --csv run.csv;
           echo $? > status) 2>&1 | head -1 > err.txt)",
       0, "recording from", 16, 16},
      {"the reader of the live CSV went away (| head -3)",
       R"("$ZRVLOG" --headless --port sim --interval 0.1 --stop 30 --zrv run.zrv --csv - \
          2>err.txt | head -3 > head.txt; echo "${PIPESTATUS[0]}" > status)",
       3, "its reader went away", 2, 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* name : {"run.zrv", "run.csv", "status", "err.txt"})
      QFile::remove(path(name));
    QElapsedTimer took;
    took.start();
    const Outcome o = shell(QString::fromUtf8(c.script));
    EXPECT_LT(took.elapsed(), 20000) << "the 30 s run ended when its reader went away";
    EXPECT_EQ(fileBytes(path("status")).trimmed(), QByteArray::number(c.status))
        << o.err.toStdString();
    const QByteArray said = fileBytes(path("err.txt"));
    EXPECT_TRUE(said.contains(c.said)) << said.toStdString();
    const LoadResult r = load(path("run.zrv"));
    ASSERT_TRUE(r.ok()) << r.error.toStdString();
    EXPECT_GE(r.rows, c.minSamples);
    EXPECT_LE(r.rows, c.maxSamples);
    if (QFile::exists(path("head.txt"))) {
      const QByteArray head = fileBytes(path("head.txt"));
      EXPECT_TRUE(head.startsWith(kCsvHeader));
      EXPECT_EQ(head.count('\n'), 3);
      QFile::remove(path("head.txt"));
    } else {
      EXPECT_EQ(fileBytes(path("run.csv")).count('\n'), r.rows + 1) << "the CSV file is whole";
    }
    EXPECT_TRUE(
        QDir(journalFolder()).entryList({QStringLiteral("*.samples")}, QDir::Dirs).isEmpty())
        << "all written: the journal has gone";
  }
}

TEST_F(OutputsTest, AFailedSaveKeepsAPrivateCopyInTheUsersFolderAndFollowsNoLink) {
  // Links planted where a copy used to go (the shared temporary folder) and where it goes
  // now, for the seconds the run can take: a copy written through one would overwrite victim.
  ASSERT_TRUE(QDir().mkpath(path("tmp")));
  ASSERT_TRUE(QDir().mkpath(path("data/ZRVLOG/rescued")));
  QFile victim(path("victim"));
  ASSERT_TRUE(victim.open(QIODevice::WriteOnly));
  victim.write("not yours");
  victim.close();
  const Outcome o = shell(QStringLiteral(R"(
    export TMPDIR="$PWD/tmp"; mkdir -p out
    "$ZRVLOG" --headless --port sim --interval 0.1 --stop 1 --zrv out/run.zrv & pid=$!
    ln -s "$PWD/victim" "tmp/zrvlog-rescued-$pid.zrv"
    now=$(date +%s)
    for s in 0 1 2 3 4 5; do
      ln -s "$PWD/victim" "data/ZRVLOG/rescued/rescued-$(date -d @$((now + s)) +%Y%m%d-%H%M%S)-$pid.zrv"
    done
    sleep 0.3; rm -r out; wait $pid; echo $? > status)"));
  EXPECT_EQ(fileBytes(path("status")).trimmed(), "1") << o.err.toStdString();
  EXPECT_EQ(fileBytes(path("victim")), "not yours");
  EXPECT_EQ(QDir(path("tmp")).entryList(QDir::Files | QDir::System).size(), 1) << "the link only";

  const QString folder = path("data/ZRVLOG/rescued");
  const QString copy =
      o.out.section(QStringLiteral("wrote "), 1).section(QStringLiteral(" instead"), 0, 0);
  ASSERT_TRUE(copy.startsWith(folder + QLatin1Char('/')))
      << o.out.toStdString() << o.err.toStdString();
  EXPECT_EQ(modeOf(copy), mode_t(S_IFREG | 0600));
  EXPECT_EQ(modeOf(folder), mode_t(S_IFDIR | 0700));
  EXPECT_EQ(load(copy).rows, 11);
  EXPECT_EQ(QDir(journalFolder()).entryList({QStringLiteral("*.samples")}, QDir::Dirs).size(), 1)
      << "and the journal stays";
}

TEST_F(OutputsTest, NoOutputWritesOverAnInputOrAnotherOutput) {
  ASSERT_EQ(run({"--headless", "--port", "sim", "--interval", "0.05", "--stop", "0.1", "--zrv",
                 path("a.zrv")})
                .status,
            0);
  ASSERT_TRUE(QDir().mkpath(path("sub")));
  ASSERT_TRUE(QFile::link(path("a.zrv"), path("link.csv")));
  ASSERT_TRUE(QFile::link(path("none.csv"), path("dangling.csv")));
  ASSERT_EQ(::link(QFile::encodeName(path("a.zrv")).constData(),
                   QFile::encodeName(path("hard.zrv")).constData()),
            0);
  const struct {
    QStringList args;
    const char* said;
    bool stdoutToInput = false;
  } cases[] = {
      {{"--convert", path("a.zrv"), "--csv", path("a.zrv")}, "is the input --convert"},
      {{"--convert", path("a.zrv"), "--png", path("link.csv")}, "is the input --convert"},
      {{"--convert", path("a.zrv"), "--csv", path("hard.zrv")}, "is the input --convert"},
      {{"--convert", path("a.zrv"), "--pdf", path("sub/../a.zrv")}, "is the input --convert"},
      {{"--convert", path("a.zrv"), "--csv", path("n.csv"), "--bmp", path("n.csv")}, "same file"},
      {{"--headless", "--port", "sim", "--zrv", path("x.zrv"), "--csv", path("sub/../x.zrv")},
       "same file"},
      {{"--headless", "--port", "sim", "--zrv", path("none.csv"), "--csv", path("dangling.csv")},
       "same file"},
      {{"--headless", "--port", "sim", "--zrv", path("a.zrv"), "--csv", "-"}, "same file", true},
      {{"--recover", "--zrv", path("a.zrv"), "--csv", path("link.csv")}, "same file"},
      {{"--convert", path("a.zrv"), "--zrv", "-", "--csv", "/dev/stdout"}, "same file"},
      // The broker's entry takes an address, never a file, and only while recording.
      {{"--convert", path("a.zrv"), "--publish", "mqtt://127.0.0.1/lab/b"}, "goes with --headless"},
      {{"--recover", "--publish", "mqtt://127.0.0.1/lab/b"}, "goes with --headless"},
      {{"--headless", "--port", "sim", "--publish", path("a.zrv")}, "is not a broker address"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.join(u' ').toStdString());
    const QMap<QString, QByteArray> before = snapshot(dir.path());
    QProcess p;
    // Standard output appended to the data file, so that only zrvlog could change it.
    if (c.stdoutToInput) p.setStandardOutputFile(path("a.zrv"), QIODevice::Append);
    start(p, c.args);
    const Outcome o = finish(p);
    EXPECT_EQ(o.status, 2);
    EXPECT_TRUE(o.err.contains(QLatin1String(c.said))) << o.err.toStdString();
    EXPECT_EQ(snapshot(dir.path()), before) << "nothing written, nothing replaced";
  }
}

}  // namespace
}  // namespace zrvlog
