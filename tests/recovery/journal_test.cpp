// The run journal: what it writes as a run goes on, what a recovery gives back, and when
// its files go.
#include "app/recovery/runjournal.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include "app/recovery/journalrecovery.h"
#include "tests/documents/documentfixture.h"
#include "tests/support/variantprinter.h"

namespace zrvlog {
namespace {

using zrv::Variant;

class JournalTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.isValid()); }

  QString folder() const { return dir.filePath(QStringLiteral("recovery")); }
  std::unique_ptr<RunJournal> makeJournal(zrvtest::EngineParts& parts,
                                          RunJournal::Timing timing = {}) {
    return std::make_unique<RunJournal>(parts.engine, folder(), timing);
  }
  // Ticks of a run that goes on (unlike EngineParts::record, which stops it).
  static void tick(zrvtest::EngineParts& parts, int ticks) {
    if (!parts.engine.running()) parts.engine.startRun();
    for (int i = 0; i < ticks; ++i) {
      parts.board.raw[0] = 100 + 7 * i;
      parts.board.raw[3] = 1000 - 3 * i;
      parts.timer.fire(parts.engine.GetTimerInt() + (i % 3) - 1);
    }
  }
  QStringList files() const {
    return QDir(folder()).entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
  }
  // The data set recovered from the one abandoned journal, saved into bytes.
  QByteArray recoveredBytes(int64_t expectedSamples) {
    const QList<JournalInfo> journals = abandonedJournals(folder());
    EXPECT_EQ(journals.size(), 1);
    if (journals.isEmpty()) return {};
    EXPECT_EQ(journals[0].samples, expectedSamples);
    recovered.engine.InitGraph();
    const LoadResult r = recoverJournal(journals[0], recovered.engine);
    EXPECT_TRUE(r.ok()) << r.error.toStdString();
    EXPECT_TRUE(recovered.engine.data.DataChanged) << "recovered data are not saved anywhere yet";
    EXPECT_TRUE(recovered.engine.data.CurrentFile.isEmpty());
    return recovered.save();
  }

  QTemporaryDir dir;
  zrvtest::EngineParts recovered;
};

TEST_F(JournalTest, ACrashedRunComesBackAsASaveAndReloadWouldGiveIt) {
  zrvtest::EngineParts parts;
  parts.engine.SetTimerInt(250);
  parts.engine.data.SetCoef(2, 1, Variant("1e-6"));
  auto journal = makeJournal(parts);
  tick(parts, 17);
  journal->flush();
  EXPECT_TRUE(abandonedJournals(folder()).isEmpty()) << "a journal this process writes is in use";
  journal.reset();  // the process ends without saving: the files stay

  // What the user would have had after saving and opening the file again.
  zrvtest::EngineParts reloaded;
  ASSERT_TRUE(reloaded.load(parts.save()).ok());
  EXPECT_EQ(recoveredBytes(17), reloaded.save());
  EXPECT_EQ(recovered.engine.data.GetCoef(2, 1), Variant("1e-6"));
  EXPECT_EQ(recovered.engine.GetTimerInt(), 250);
  EXPECT_EQ(recovered.engine.data.TimeStamps.key(17), QStringLiteral("T4"));
}

TEST_F(JournalTest, ARowCutOffByTheCrashIsLeftOut) {
  zrvtest::EngineParts parts;
  auto journal = makeJournal(parts);
  tick(parts, 6);
  journal->flush();
  const QString rows = journal->base() + QStringLiteral(".rows");
  journal.reset();
  QFile file(rows);
  ASSERT_TRUE(file.open(QIODevice::Append));
  file.write("\"08/12/2026 01:02:03\",\"0\",\"1.5\",\"2.");  // half a seventh sample
  file.close();
  recoveredBytes(6);
  EXPECT_EQ(recovered.engine.data.sampleCount(), 6u);
  EXPECT_EQ(recovered.graph.series(0).size(), 6u);
}

TEST_F(JournalTest, RowsReachTheFileWithinTheFlushTimeWithoutAnyCall) {
  zrvtest::EngineParts parts;
  auto journal =
      makeJournal(parts, {std::chrono::milliseconds(50), std::chrono::milliseconds(100)});
  tick(parts, 3);
  parts.engine.stopRun();  // no more ticks: only the journal's own timer can write now
  QFile rows(journal->base() + QStringLiteral(".rows"));
  QElapsedTimer waited;
  waited.start();
  while (QFileInfo(rows.fileName()).size() == 0 && waited.elapsed() < 5000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(10);
  }
  ASSERT_TRUE(rows.open(QIODevice::ReadOnly));
  EXPECT_EQ(rows.readAll().count('\n'), 3);
}

TEST_F(JournalTest, TheHeaderFollowsSettingsChangedAfterTheSamples) {
  zrvtest::EngineParts parts;
  auto journal = makeJournal(parts);
  tick(parts, 4);
  parts.engine.stopRun();
  parts.engine.data.SetCoef(0, 4, Variant(2.5));  // e.g. the options dialog after the run
  parts.engine.settings.stopsec = Variant("30");
  journal->flush();
  journal.reset();
  recoveredBytes(4);
  EXPECT_EQ(recovered.engine.data.GetCoef(0, 4), Variant(2.5));
  EXPECT_EQ(recovered.engine.settings.stopsec, Variant("30"));
}

TEST_F(JournalTest, TheFilesGoWhenTheDataSetIsResetOrDiscarded) {
  struct Case {
    const char* name;
    std::function<void(zrvtest::EngineParts&, RunJournal&)> action;
  } cases[] = {
      {"Clear", [](zrvtest::EngineParts& p, RunJournal&) { p.engine.ClearAll(); }},
      {"New", [](zrvtest::EngineParts& p, RunJournal&) { p.engine.InitGraph(); }},
      {"a new run", [](zrvtest::EngineParts& p, RunJournal&) { p.engine.startRun(); }},
      {"saved", [](zrvtest::EngineParts&, RunJournal& j) { j.discard(); }},
  };
  for (const auto& tc : cases) {
    zrvtest::EngineParts parts;
    auto journal = makeJournal(parts);
    tick(parts, 3);
    parts.engine.stopRun();
    journal->flush();
    ASSERT_EQ(files().size(), 2) << tc.name;
    tc.action(parts, *journal);
    EXPECT_TRUE(files().isEmpty()) << tc.name << ": " << files().join(' ').toStdString();
    if (parts.engine.running()) parts.engine.stopRun();
  }
}

TEST_F(JournalTest, KeptFilesSurviveTheDataSetAndANewRunStartsAFreshJournal) {
  zrvtest::EngineParts parts;
  auto journal = makeJournal(parts);
  tick(parts, 5);
  parts.engine.stopRun();
  journal->keep();  // e.g. the save before New failed
  parts.engine.InitGraph();
  EXPECT_EQ(files().size(), 2) << "the kept journal is not thrown away with the data set";
  tick(parts, 2);
  journal->flush();
  EXPECT_EQ(files().size(), 4);
  EXPECT_EQ(abandonedJournals(folder()).size(), 1) << "only the kept one is abandoned";
  parts.engine.stopRun();
}

TEST_F(JournalTest, ARecoveredJournalIsAdoptedUntilItsDataAreSafe) {
  {
    zrvtest::EngineParts parts;
    auto journal = makeJournal(parts);
    tick(parts, 4);
    journal->flush();
    QFile rows(journal->base() + QStringLiteral(".rows"));
    journal.reset();
    ASSERT_TRUE(rows.open(QIODevice::Append));
    rows.write("\"cut");
  }
  const QList<JournalInfo> journals = abandonedJournals(folder());
  ASSERT_EQ(journals.size(), 1);
  zrvtest::EngineParts parts;
  parts.engine.InitGraph();
  ASSERT_TRUE(recoverJournal(journals[0], parts.engine).ok());
  RunJournal journal(parts.engine, folder());
  ASSERT_TRUE(journal.adopt(journals[0])) << journal.lastError().toStdString();
  EXPECT_TRUE(abandonedJournals(folder()).isEmpty()) << "adopted: in use again";
  QFile rows(journals[0].base + QStringLiteral(".rows"));
  ASSERT_TRUE(rows.open(QIODevice::ReadOnly));
  EXPECT_TRUE(rows.readAll().endsWith("\r\n")) << "the cut row is gone from the file";
  journal.discard();
  EXPECT_TRUE(files().isEmpty());
}

TEST_F(JournalTest, AJournalThatCannotBeWrittenSaysSoOnceAndTheRunGoesOn) {
  QFile blocker(folder());  // a file where the folder should be
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  zrvtest::EngineParts parts;
  auto journal = makeJournal(parts);
  QStringList failures;
  QObject::connect(journal.get(), &RunJournal::failed, [&](const QString& m) { failures << m; });
  tick(parts, 5);
  EXPECT_TRUE(parts.engine.running());
  EXPECT_EQ(parts.engine.data.sampleCount(), 5u);
  ASSERT_EQ(failures.size(), 1);
  EXPECT_TRUE(failures[0].contains(folder())) << failures[0].toStdString();
  parts.engine.stopRun();
}

TEST_F(JournalTest, EmptyAndHeadlessLeftoversAreClearedAway) {
  QDir().mkpath(folder());
  const auto touch = [&](const char* name, const QByteArray& bytes) {
    QFile f(folder() + QLatin1Char('/') + QLatin1String(name));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
  };
  touch("run-a.rows", "");  // a run that never got a complete sample
  touch("run-a.head", "\"1.0\"\r\n");
  touch("run-b.head", "\"1.0\"\r\n");  // a header without rows
  EXPECT_TRUE(abandonedJournals(folder()).isEmpty());
  EXPECT_TRUE(files().isEmpty()) << files().join(' ').toStdString();
}

}  // namespace
}  // namespace zrvlog
