// Every output of every mode against every kind of target, as a careless user and a flaky
// set-up give them: one table of targets, run for each output and each mode. Then two runs
// naming one output, a standard error nobody reads, and journals that are not whole.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QThread>
#include <functional>

#include "app/recovery/runjournal.h"
#include "tests/headless/headlessfixture.h"

namespace zrvlog {
namespace {

class TargetsTest : public HeadlessTest {
 protected:
  // A journal of samples as a recorder that was killed leaves it; its NAME.
  QString makeJournal(int samples) {
    zrvtest::EngineParts parts;
    RunJournal journal(parts.engine, journalFolder());
    parts.record(samples);
    journal.flush();
    return journal.base();
  }
  // Journals whole enough to hold a header (FIFOs and leftovers named like them aside).
  int journals() const {
    return int(QDir(journalFolder()).entryList({QStringLiteral("*.head")}, QDir::Files).size());
  }
  void runTable(const char* mode);
};

struct Output {
  const char* option;
  QByteArray magic;  // how the output starts
};

const Output kOutputs[] = {
    {"--zrv", "\"1.0\""},
    {"--csv", "\"Time\""},
    {"--png", "\x89PNG"},
};

struct TargetCase {
  const char* name;
  const char* before;  // shell lines that make the target; $OUT is what the option names
  const char* run;     // how zrvlog runs: $RUN is the command, $OPT the option
  int status;
  const char* got;    // the file that must start with the output's magic; nullptr: none
  const char* after;  // a shell test that must hold afterwards
  bool journalStays;
  bool recorderJournalStays = journalStays;
};

const TargetCase kTargets[] = {
    {"a regular file is replaced", "echo old > out; OUT=out", "$RUN $OPT $OUT", 0, "out",
     "test -f out", false},
    {"a new name", "OUT=new/out; mkdir new", "$RUN $OPT $OUT", 0, "new/out", "true", false},
    {"- is standard output", "OUT=-", "$RUN $OPT $OUT > got", 0, "got", "test ! -e ./-", false},
    {"a FIFO with a reader gets it in place", "mkfifo out; OUT=out; cat out > got & reader=$!",
     "$RUN $OPT $OUT; wait $reader", 0, "got", "test -p out", false},
    {"a character device is written in place", "OUT=/dev/null", "$RUN $OPT $OUT", 0, nullptr,
     "test -c /dev/null", false},
    // A recorder whose disk takes no file has no journal either; a recovery keeps its own.
    {"a full disk fails and leaves the old file", "echo old > out; OUT=out",
     "(ulimit -f 1; $RUN $OPT $OUT)", 1, nullptr, "test \"$(cat out)\" = old", true, false},
    {"a folder is refused before anything starts", "mkdir out; OUT=out", "$RUN $OPT $OUT", 2,
     nullptr, "test -d out", true},
};

void TargetsTest::runTable(const char* mode) {
  const QString m = QString::fromLatin1(mode);
  ASSERT_EQ(run({"--headless", "--port", "sim", "--interval", "0.01", "--stop", "0.5", "--zrv",
                 path("in.zrv")})
                .status,
            0);
  for (const Output& output : kOutputs) {
    for (const TargetCase& t : kTargets) {
      SCOPED_TRACE(QStringLiteral("%1 %2: %3")
                       .arg(m, QLatin1String(output.option), QLatin1String(t.name))
                       .toStdString());
      QDir(journalFolder()).removeRecursively();
      if (m == QLatin1String("recover")) makeJournal(300);
      QString command;
      if (m == QLatin1String("convert"))
        command = QStringLiteral("\"$ZRVLOG\" --convert in.zrv");
      else if (m == QLatin1String("recover"))
        command = QStringLiteral("\"$ZRVLOG\" --recover");
      else
        command =
            QStringLiteral("\"$ZRVLOG\" --headless --port sim --interval 0.01 --stop 0.3 --quiet");
      const QString script =
          QStringLiteral(
              "rm -rf out got new status; RUN='%1'; OPT=%2; %3\n%4; echo $? > status\n%5")
              .arg(command, QLatin1String(output.option), QLatin1String(t.before),
                   QLatin1String(t.run), QLatin1String(t.after));
      // RUN is expanded unquoted, so the program's path is put in as a word of its own.
      const Outcome o =
          shell(QString(script).replace(QStringLiteral("$RUN"), QStringLiteral("eval \"$RUN\"")));
      EXPECT_EQ(fileBytes(path("status")).trimmed(), QByteArray::number(t.status))
          << o.err.toStdString();
      EXPECT_EQ(o.status, 0) << "afterwards: " << t.after;
      if (t.got) {
        EXPECT_TRUE(fileBytes(path(t.got)).startsWith(output.magic))
            << fileBytes(path(t.got)).left(20).toStdString();
      }
      if (t.status == 1) {
        EXPECT_TRUE(o.err.contains(QStringLiteral("File too large"))) << o.err.toStdString();
      }
      if (t.status == 0) {
        EXPECT_TRUE(o.err.contains(QStringLiteral("wrote ")) ||
                    o.out.contains(QStringLiteral("wrote ")))
            << o.err.toStdString();
      }
      if (m != QLatin1String("convert") && t.status != 2) {
        EXPECT_EQ(journals() > 0,
                  m == QLatin1String("headless") ? t.recorderJournalStays : t.journalStays)
            << "the journal goes only once every output is whole";
      }
    }
  }
}

TEST_F(TargetsTest, ConvertWritesEveryOutputToEveryTargetOrSaysWhyNot) {
  runTable("convert");
}

TEST_F(TargetsTest, RecoverWritesEveryOutputToEveryTargetOrKeepsTheJournal) {
  runTable("recover");
}

TEST_F(TargetsTest, HeadlessWritesEveryOutputToEveryTargetOrKeepsTheJournal) {
  runTable("headless");
}

TEST_F(TargetsTest, ASecondRunNamingTheSameOutputIsRefusedBeforeItStarts) {
  QProcess first;
  start(first, {"--headless", "--port", "sim", "--interval", "0.05", "--stop", "2", "--quiet",
                "--zrv", path("same.zrv")});
  QThread::msleep(700);
  const Outcome second =
      run({"--headless", "--port", "sim", "--stop", "1", "--csv", path("same.zrv")});
  EXPECT_EQ(second.status, 2);
  EXPECT_TRUE(second.err.contains(QStringLiteral("another program is writing it")))
      << second.err.toStdString();
  const Outcome o = finish(first);
  EXPECT_EQ(o.status, 0) << o.err.toStdString();
  const LoadResult r = load(path("same.zrv"));
  EXPECT_TRUE(r.ok()) << "the first run's data file, not the second's CSV";
  EXPECT_GE(r.rows, 30);
}

TEST_F(TargetsTest, AStandardErrorNobodyReadsHoldsUpNeitherTheRunNorItsSignals) {
  // A pipe that is full before the run starts and is never read.
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  ::fcntl(pipeFds[1], F_SETFL, O_NONBLOCK);
  const QByteArray block(4096, 'x');
  while (::write(pipeFds[1], block.constData(), std::size_t(block.size())) > 0) {
  }
  ::fcntl(pipeFds[1], F_SETFL, 0);
  QProcess p;
  const int errFd = pipeFds[1];
  p.setChildProcessModifier([errFd] { ::dup2(errFd, STDERR_FILENO); });
  start(p, {"--headless", "--port", "sim", "--interval", "0.01", "--zrv", path("run.zrv")});
  QThread::msleep(2500);
  ASSERT_EQ(p.state(), QProcess::Running);
  QElapsedTimer took;
  took.start();
  ::kill(pid_t(p.processId()), SIGTERM);
  EXPECT_TRUE(p.waitForFinished(8000)) << "SIGTERM was honoured although stderr is full";
  EXPECT_LT(took.elapsed(), 3000) << "no message waits for a standard error that drops lines";
  EXPECT_EQ(p.exitCode(), 0);
  const LoadResult r = load(path("run.zrv"));
  EXPECT_TRUE(r.ok());
  EXPECT_GE(r.rows, 100) << "the ticks went on while stderr was stuck";
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
}

TEST_F(TargetsTest, JournalsThatAreNotWholeAreRecoveredAsFarAsTheyGoAndSaySo) {
  const struct {
    const char* name;
    std::function<void(const QString& base)> damage;
    int status;
    const char* said;
    int64_t rows;
  } cases[] = {
      {"a header cut to 100 bytes",
       [](const QString& base) { ASSERT_TRUE(QFile::resize(base + ".head", 100)); }, 1,
       "default settings", 505},
      {"a header of garbage",
       [](const QString& base) {
         QFile h(base + ".head");
         ASSERT_TRUE(h.open(QIODevice::WriteOnly | QIODevice::Truncate));
         h.write(QByteArray(3000, '\x07'));
       },
       1, "settings could not be read", 505},
      {"a journal that stopped early on a full disk",
       [](const QString& base) {
         QFile s(base + ".stopped");
         ASSERT_TRUE(s.open(QIODevice::WriteOnly));
         s.write("530\n");
       },
       1, "the last 25 samples of the run are missing", 505},
      {"a FIFO named like a journal beside it",
       [&](const QString&) {
         ASSERT_EQ(
             ::mkfifo(QFile::encodeName(journalFolder() + "/run-fifo.rows").constData(), 0600), 0);
       },
       0, "recovered a recording of 505", 505},
      {"a FIFO in place of another journal's samples",
       [&](const QString&) {
         const QString samples = journalFolder() + "/run-fifo.samples";
         ASSERT_TRUE(QDir().mkpath(samples));
         ASSERT_EQ(::mkfifo(QFile::encodeName(samples + "/header").constData(), 0600), 0);
       },
       0, "it is not a regular file", 505},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QDir(journalFolder()).removeRecursively();
    QFile::remove(path("back.zrv"));
    c.damage(makeJournal(505));
    QElapsedTimer took;
    took.start();
    const Outcome o = run({"--recover", "--zrv", path("back.zrv"), "--csv", "-"});
    EXPECT_LT(took.elapsed(), 20000) << "nothing blocks";
    EXPECT_EQ(o.status, c.status) << o.err.toStdString();
    EXPECT_TRUE((o.err + o.out).contains(QLatin1String(c.said))) << o.err.toStdString();
    EXPECT_EQ(load(path("back.zrv")).rows, c.rows);
    EXPECT_EQ(o.out.count(QLatin1Char('\n')), c.rows + 1) << "the CSV on standard output";
    EXPECT_EQ(journals() > 0, c.status != 0) << "kept while something is missing";
  }
}

}  // namespace
}  // namespace zrvlog
