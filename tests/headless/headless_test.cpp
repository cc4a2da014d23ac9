// The zrvlog binary without its window: recording from the simulated board in-process and
// through zrvsim on a pseudo-terminal, Ctrl+C, a board that stops answering, bad options
// and ports, and the converter without a display.
#include <signal.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QThread>

#include "tests/headless/headlessfixture.h"

namespace zrvlog {
namespace {

TEST_F(HeadlessTest, RecordsFromTheSimulatedBoardUntilTheStopTime) {
  const Outcome o = run({"--headless", "--port", "sim", "--interval", "0.05", "--stop", "0.5",
                         "--channels", "3", "--zrv", path("run.zrv"), "--csv", path("run.csv")});
  ASSERT_EQ(o.status, 0) << o.err.toStdString();
  EXPECT_TRUE(o.out.contains(path("run.zrv") + QStringLiteral(" (11 samples)")))
      << o.out.toStdString();
  EXPECT_TRUE(o.out.contains(path("run.csv")));
  EXPECT_TRUE(o.err.contains(QStringLiteral("11 samples"))) << o.err.toStdString();
  const LoadResult r = load(path("run.zrv"));
  ASSERT_TRUE(r.ok()) << r.error.toStdString();
  EXPECT_EQ(r.rows, 11) << "every nominal time from 0 to 0.5 s";
  EXPECT_EQ(parts->engine.GetTimerInt(), 50);
  EXPECT_EQ(parts->engine.settings.stopsec, zrv::Variant("0.5"));
  EXPECT_EQ(parts->engine.document().keyText(10), QStringLiteral("T0.5"));
  for (int k = 0; k < 3; ++k) {
    const double y = parts->graph.pointY(5, k);
    EXPECT_TRUE(y >= 0 && y <= 5) << k << ": " << y;
  }
  EXPECT_EQ(parts->graph.pointY(5, 4), 0.0) << "channels not read keep 0";
  QFile csv(path("run.csv"));
  ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
  const QByteArray text = csv.readAll();
  EXPECT_TRUE(text.startsWith(kCsvHeader));
  EXPECT_EQ(text.count("\r\n"), 12);
}

TEST_F(HeadlessTest, CtrlCEndsTheRunAndKeepsEverySample) {
  QProcess p;
  start(p, {"--headless", "--port", "sim", "--interval", "0.02", "--zrv", path("stopped.zrv")});
  // Wait for the first progress line, which comes after a second of recording.
  p.setReadChannel(QProcess::StandardError);
  QString err;
  for (int i = 0; i < 100 && !err.contains(QStringLiteral(" samples, ")); ++i) {
    p.waitForReadyRead(200);
    err += QString::fromLocal8Bit(p.readAllStandardError());
  }
  ASSERT_TRUE(err.contains(QStringLiteral(" samples, "))) << err.toStdString();
  ::kill(pid_t(p.processId()), SIGINT);
  Outcome o = finish(p, 20000);
  o.err.prepend(err);
  ASSERT_EQ(o.status, 0) << o.err.toStdString();
  EXPECT_TRUE(o.err.contains(QStringLiteral("stopped on request")));
  const QRegularExpression written(QStringLiteral("\\((\\d+) samples\\)"));
  const auto m = written.match(o.out);
  ASSERT_TRUE(m.hasMatch()) << o.out.toStdString();
  const int samples = m.captured(1).toInt();
  EXPECT_GT(samples, 20);
  EXPECT_EQ(load(path("stopped.zrv")).rows, samples);
}

TEST_F(HeadlessTest, RecordsFromZrvsimOnAPseudoTerminal) {
  const QString device = startSim();
  ASSERT_TRUE(device.startsWith(QStringLiteral("/dev/"))) << device.toStdString();
  const Outcome o =
      run({"--headless", "--port", device, "--interval", "0.05", "--stop", "0.3", "--average", "2",
           "--reference", "vdd", "--csv", path("pty.csv"), "--zrv", path("pty.zrv")});
  ASSERT_EQ(o.status, 0) << o.err.toStdString();
  EXPECT_TRUE(o.err.contains(device)) << o.err.toStdString();
  const LoadResult r = load(path("pty.zrv"));
  EXPECT_EQ(r.rows, 7);
  EXPECT_EQ(parts->engine.settings.AvgCt, 2);
  EXPECT_NE(parts->graph.pointY(3, 0), 0.0) << "channel 0 of the board carries a signal";
}

TEST_F(HeadlessTest, ABoardThatGoesAwayEndsTheRunNamedWithTheCauseAndTheSamplesAreWritten) {
  const QString device = startSim();
  ASSERT_FALSE(device.isEmpty());
  QProcess p;
  // It is not coming back: the run waits a second for it, then ends.
  start(p, {"--headless", "--port", device, "--interval", "0.05", "--reconnect", "1", "--zrv",
            path("gone.zrv")});
  QThread::msleep(1200);
  sim.kill();
  sim.waitForFinished(3000);
  const Outcome o = finish(p, 20000);
  EXPECT_EQ(o.status, 1) << o.err.toStdString();
  EXPECT_TRUE(o.err.contains(device)) << "the port is named: " << o.err.toStdString();
  EXPECT_TRUE(o.err.contains(QStringLiteral("the run stopped"))) << o.err.toStdString();
  EXPECT_TRUE(o.err.contains(QStringLiteral("did not come back within 1 s")) ||
              o.err.contains(QStringLiteral("has not answered")))
      << o.err.toStdString();
  EXPECT_TRUE(o.err.contains(QStringLiteral("removed")) ||
              o.err.contains(QStringLiteral("no reply")))
      << "and the cause: " << o.err.toStdString();
  const LoadResult r = load(path("gone.zrv"));
  ASSERT_TRUE(r.ok()) << r.error.toStdString();
  EXPECT_GT(r.rows, 5);
  // No sample of zeros from reads that never came: channel 4 of the board is a constant.
  for (int64_t i = 0; i < r.rows; ++i)
    ASSERT_NE(parts->graph.pointY(i, 4), 0.0) << i;
}

TEST_F(HeadlessTest, AKilledRecorderLosesAtMostItsLastSecond) {
  const QString device = startSim();
  ASSERT_FALSE(device.isEmpty());
  QProcess p;
  start(p, {"--headless", "--port", device, "--interval", "0.02", "--zrv", path("never.zrv")});
  // Progress lines come once a second; take the count of one, wait more than a second, kill.
  p.setReadChannel(QProcess::StandardError);
  const QRegularExpression progress(QStringLiteral("(\\d+) samples, "));
  QString err;
  int reported = -1, lines = 0;
  for (int i = 0; i < 200 && lines < 2; ++i) {
    p.waitForReadyRead(100);
    const QString more = QString::fromLocal8Bit(p.readAllStandardError());
    err += more;
    for (auto it = progress.globalMatch(more); it.hasNext(); ++lines)
      reported = it.next().captured(1).toInt();
  }
  ASSERT_GE(lines, 2) << err.toStdString();
  QThread::msleep(1200);
  ::kill(pid_t(p.processId()), SIGKILL);
  p.waitForFinished(5000);
  EXPECT_FALSE(QFile::exists(path("never.zrv")));

  const QString folder = dir.filePath(QStringLiteral("data/ZRVLOG/recovery"));
  const QStringList journals = QDir(folder).entryList({QStringLiteral("*.samples")}, QDir::Dirs);
  ASSERT_EQ(journals.size(), 1) << folder.toStdString();

  const Outcome listed = run({"--recover"});
  EXPECT_EQ(listed.status, 0);
  EXPECT_TRUE(listed.out.contains(QStringLiteral("a recording of"))) << listed.out.toStdString();
  const Outcome o = run({"--recover", "--zrv", path("recovered.zrv")});
  ASSERT_EQ(o.status, 0) << o.err.toStdString() << o.out.toStdString();
  const LoadResult r = load(path("recovered.zrv"));
  ASSERT_TRUE(r.ok()) << r.error.toStdString();
  EXPECT_GE(r.rows, reported) << "every sample up to a second before the kill";
  EXPECT_TRUE(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty())
      << "recovered: gone";
  EXPECT_TRUE(run({"--recover"}).out.contains(QStringLiteral("no unsaved recordings")));
}

TEST_F(HeadlessTest, BadOptionsAndPortsAreClearErrors) {
  const struct {
    QStringList args;
    int status;
    const char* message;
  } cases[] = {
      {{"--headless", "--port", "sim"}, 2, "--zrv FILE and/or --csv FILE"},
      {{"--headless", "--channels", "7", "--csv", path("x.csv")}, 2, "--channels takes"},
      {{"--headless", "--interval", "fast", "--csv", path("x.csv")}, 2, "--interval takes"},
      {{"--headless", "--interval", "0", "--csv", path("x.csv")},
       2,
       "--interval takes a number of seconds from 0.001 to 2147483.647, not '0'"},
      {{"--headless", "--interval", "nan", "--csv", path("x.csv")}, 2, "--interval takes"},
      {{"--headless", "--interval", "inf", "--csv", path("x.csv")}, 2, "--interval takes"},
      {{"--headless", "--interval", "2147484", "--csv", path("x.csv")}, 2, "--interval takes"},
      {{"--headless", "--stop", "nan", "--csv", path("x.csv")}, 2, "--stop takes"},
      {{"--headless", "--stop", "inf", "--csv", path("x.csv")}, 2, "--stop takes"},
      {{"--headless", "--stop", "-1", "--csv", path("x.csv")},
       2,
       "--stop takes a number of seconds above 0 and at most 1000000000, or nothing to run until "
       "stopped, not '-1'"},
      {{"--headless", "--average", "nan", "--csv", path("x.csv")},
       2,
       "--average takes a whole number of samples from 1 to 32767, not 'nan'"},
      {{"--headless", "--channels", "inf", "--csv", path("x.csv")}, 2, "--channels takes"},
      {{"--headless", "--port", "0", "--csv", path("x.csv")}, 2, "COM number from 1 to 255"},
      {{"--headless", "--zrv", dir.path()}, 2, "it is a folder"},
      {{"--headless", "--reference", "ch9", "--csv", path("x.csv")}, 2, "--reference takes"},
      {{"--headless", "--port", "COM3", "--csv", path("x.csv")}, 2, "--port takes"},
      {{"--headless", "--bogus", "--csv", path("x.csv")}, 2, "bogus"},
      {{"--headless", "--csv", path("no/such/folder/x.csv")}, 2, "does not exist"},
      {{"--headless", "--port", "/dev/no-such-tty", "--csv", path("x.csv")}, 1, "no-such-tty"},
      {{"--convert", path("missing.zrv"), "--csv", path("x.csv")}, 1, "No such file"},
      {{"--convert", path("x.zrv")}, 2, "--csv, --analysis, --bmp"},
      {{"--headless", "--help"}, 0, ""},
      {{"--help"}, 0, ""},
      {{"--version"}, 0, ""},
      {{"--bogus"}, 2, "bogus"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.join(u' ').toStdString());
    const Outcome o = run(c.args);
    EXPECT_EQ(o.status, c.status) << o.err.toStdString();
    EXPECT_TRUE(o.err.contains(QLatin1String(c.message))) << o.err.toStdString();
    EXPECT_FALSE(QFile::exists(path("x.csv")));
    // Help and version need no display, and say something.
    if (c.status == 0) {
      EXPECT_FALSE(o.out.isEmpty());
    }
  }
  EXPECT_TRUE(run({"--version"}).out.startsWith(QStringLiteral("ZRVLOG ")));
}

TEST_F(HeadlessTest, ConvertsToCsvAndPicturesWithoutADisplay) {
  ASSERT_EQ(run({"--headless", "--port", "sim", "--interval", "0.05", "--stop", "0.2", "--zrv",
                 path("in.zrv"), "--csv", path("direct.csv")})
                .status,
            0);
  const Outcome o =
      run({"--convert", path("in.zrv"), "--csv", path("out.csv"), "--png", path("out.png"), "--bmp",
           path("out.bmp"), "--pdf", path("out.pdf"), "--size", "640x480"});
  ASSERT_EQ(o.status, 0) << o.err.toStdString();
  const auto bytes = fileBytes;
  EXPECT_EQ(bytes(path("out.csv")), bytes(path("direct.csv"))) << "the same CSV as the recorder";
  EXPECT_TRUE(bytes(path("out.png")).startsWith("\x89PNG"));
  EXPECT_TRUE(bytes(path("out.bmp")).startsWith("BM"));
  EXPECT_TRUE(bytes(path("out.pdf")).startsWith("%PDF"));

  // The analysis CSV: recorded with two channels, written by the recorder to a pipe and
  // converted from the data file (which holds all five, to the second).
  const Outcome piped = shell(
      "\"$ZRVLOG\" --headless --port sim --interval 0.05 --stop 0.2 --channels 2 --quiet "
      "--zrv two.zrv --analysis - | cat > piped.csv");
  ASSERT_EQ(piped.status, 0) << piped.err.toStdString();
  const Outcome analysis = run({"--convert", path("two.zrv"), "--analysis", path("a.csv")});
  ASSERT_EQ(analysis.status, 0) << analysis.err.toStdString();
  for (const auto& [file, header] :
       {std::pair{"piped.csv", "Time,Elapsed (s),Channel 1 (V),Channel 2 (V)"},
        std::pair{"a.csv",
                  "Time,Elapsed (s),Channel 1 (V),Channel 2 (V),Channel 3 (V),"
                  "Channel 4 (V),Channel 5 (V)"}}) {
    SCOPED_TRACE(file);
    const QList<QByteArray> lines = bytes(path(file)).split('\n');
    ASSERT_GE(lines.size(), 4);
    EXPECT_EQ(lines[0], header);
    EXPECT_TRUE(lines[1].contains(",0.000,")) << lines[1].toStdString();
    EXPECT_FALSE(bytes(path(file)).contains('\r'));
  }
  const QString help = run({"--headless", "--help"}).out;
  EXPECT_EQ(help.count(QStringLiteral("--analysis FILE")), 2) << "in the synopsis and the list";

  QFile wrong(path("wrong.zrv"));
  ASSERT_TRUE(wrong.open(QIODevice::WriteOnly));
  wrong.write("\"Time\",\"Jitter\"\r\n");
  wrong.close();
  const Outcome bad = run({"--convert", path("wrong.zrv"), "--csv", path("w.csv")});
  EXPECT_EQ(bad.status, 1);
  EXPECT_TRUE(bad.err.contains(QStringLiteral("Incorrect file format"))) << bad.err.toStdString();
}

}  // namespace
}  // namespace zrvlog
