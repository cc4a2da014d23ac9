// The run journal: what it writes as a run goes on, what a recovery gives back, and when
// its files go.
#include "app/recovery/runjournal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

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
    const LoadResult r = recoverJournal(journals[0], recovered.engine.document());
    EXPECT_TRUE(r.ok()) << r.error.toStdString();
    EXPECT_TRUE(recovered.engine.data.DataChanged) << "recovered data are not saved anywhere yet";
    EXPECT_TRUE(recovered.engine.data.CurrentFile.isEmpty());
    return recovered.save();
  }

  // A journal of samples whose process ended without saving; its rows as written.
  QByteArray crashedJournal(zrvtest::EngineParts& parts, const QString& in, int samples,
                            QString& base) {
    RunJournal journal(parts.engine, in);
    tick(parts, samples);
    parts.engine.stopRun();
    journal.flush();
    base = journal.base();
    QFile rows(base + QStringLiteral(".rows"));
    return rows.open(QIODevice::ReadOnly) ? rows.readAll() : QByteArray();
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
  EXPECT_EQ(recovered.engine.document().keyText(16), QStringLiteral("T4"));
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
  EXPECT_EQ(recovered.engine.document().sampleCount(), 6u);
  EXPECT_EQ(recovered.graph.points(0).size(), 6u);
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
  EXPECT_EQ(files().size(), 3) << "the kept journal (rows, header, mark) is not thrown away "
                                  "with the data set";
  tick(parts, 2);
  journal->flush();
  EXPECT_EQ(files().size(), 5);
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
  ASSERT_TRUE(recoverJournal(journals[0], parts.engine.document()).ok());
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
  EXPECT_EQ(parts.engine.document().sampleCount(), 5u);
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

TEST_F(JournalTest, DamagedRowsAreSkippedCountedAndEveryRowAfterThemRecovered) {
  // Where row i starts in the rows file.
  const auto rowStart = [](const QByteArray& rows, int i) {
    qsizetype pos = 0;
    for (int k = 0; k < i; ++k)
      pos = rows.indexOf('\n', pos) + 1;
    return pos;
  };
  const struct {
    const char* name;
    std::function<void(QByteArray&)> damage;
    int64_t intact, lost;
    bool lastRowIntact;
  } cases[] = {
      {"zeros from inside row 20 to inside row 27",
       [&](QByteArray& b) {
         const qsizetype from = rowStart(b, 20) + 10, to = rowStart(b, 27) + 10;
         b.replace(from, to - from, QByteArray(to - from, '\0'));
       },
       42, 8, true},
      {"zeros where the last 3 rows were (a power cut before the sync)",
       [&](QByteArray& b) {
         const qsizetype from = rowStart(b, 47);
         b.replace(from, b.size() - from, QByteArray(b.size() - from, '\0'));
       },
       47, 3, false},
      {"a value that is no number",
       [&](QByteArray& b) {
         const qsizetype at = b.indexOf("\",\"", rowStart(b, 5) + 30);
         b[at - 1] = 'x';
       },
       49, 1, true},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    QDir(folder()).removeRecursively();
    zrvtest::EngineParts parts;
    QString base;
    QByteArray rows = crashedJournal(parts, folder(), 50, base);
    const QByteArray lastRow = rows.mid(rowStart(rows, 49));
    tc.damage(rows);
    QFile file(base + QStringLiteral(".rows"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(rows);
    file.close();

    const QList<JournalInfo> journals = abandonedJournals(folder());
    ASSERT_EQ(journals.size(), 1);
    EXPECT_EQ(journals[0].samples, tc.intact);
    EXPECT_EQ(journals[0].lostRows, tc.lost);
    zrvtest::EngineParts back;
    back.engine.InitGraph();
    const RecoveryResult r = recoverJournal(journals[0], back.engine.document());
    EXPECT_TRUE(r.ok()) << r.error.toStdString();
    EXPECT_FALSE(r.complete());
    EXPECT_EQ(r.lostRows, tc.lost);
    EXPECT_TRUE(r.shortfall().contains(QStringLiteral("About %1 sample").arg(tc.lost)))
        << r.shortfall().toStdString();
    EXPECT_EQ(int64_t(back.engine.document().sampleCount()), tc.intact);
    if (tc.lastRowIntact) {
      EXPECT_TRUE(back.save().endsWith(lastRow)) << "the rows after the damage";
    }
    EXPECT_EQ(files().size(), 2) << "nothing is removed by looking";
  }
}

TEST_F(JournalTest, RowsWhoseHeaderIsGoneComeBackWithTheDefaultSettings) {
  zrvtest::EngineParts parts;
  parts.engine.SetTimerInt(250);
  QString base;
  crashedJournal(parts, folder(), 58, base);
  ASSERT_TRUE(QFile::remove(base + QStringLiteral(".head")));

  const QList<JournalInfo> journals = abandonedJournals(folder());
  ASSERT_EQ(journals.size(), 1) << "rows without their header are still a recording";
  EXPECT_EQ(journals[0].samples, 58);
  EXPECT_TRUE(journals[0].withoutHeader);
  EXPECT_EQ(journals[0].startTime, parts.engine.document().store().stamp(0).toText())
      << "the first sample's time stamp tells when it started";
  zrvtest::EngineParts back;
  back.engine.InitGraph();
  const RecoveryResult r = recoverJournal(journals[0], back.engine.document());
  EXPECT_TRUE(r.ok()) << r.error.toStdString();
  EXPECT_TRUE(r.withoutHeader);
  EXPECT_TRUE(r.shortfall().contains(QStringLiteral("default settings")));
  EXPECT_EQ(back.engine.document().sampleCount(), 58u);
  EXPECT_EQ(back.engine.GetTimerInt(), 1000) << "the default interval stands in";
  EXPECT_EQ(back.engine.document().store().stamp(57).toText(),
            parts.engine.document().store().stamp(57).toText());
  EXPECT_EQ(files(), QStringList{QFileInfo(base).fileName() + QStringLiteral(".rows")});
}

TEST_F(JournalTest, TheJournalIsPrivateAndSaysWhenItWasKeptOnPurpose) {
  ASSERT_TRUE(QDir().mkpath(folder()));
  ASSERT_TRUE(QFile::setPermissions(folder(), QFile::ReadOwner | QFile::WriteOwner |
                                                  QFile::ExeOwner | QFile::ReadOther |
                                                  QFile::ExeOther));  // as older versions made it
  zrvtest::EngineParts parts;
  QString base;
  crashedJournal(parts, folder(), 3, base);
  ASSERT_EQ(abandonedJournals(folder()).size(), 1);
  EXPECT_FALSE(abandonedJournals(folder())[0].kept) << "its process ended without a word";
  {
    zrvtest::EngineParts more;
    RunJournal journal(more.engine, folder());
    tick(more, 2);
    more.engine.stopRun();
    journal.keep();
  }
  const auto mode = [](const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 0777 : 0u;
  };
  EXPECT_EQ(mode(folder()), 0700u);
  ASSERT_EQ(files().size(), 5);
  for (const QString& name : files())
    EXPECT_EQ(mode(folder() + QLatin1Char('/') + name), 0600u) << name.toStdString();
  const QList<JournalInfo> journals = abandonedJournals(folder());
  ASSERT_EQ(journals.size(), 2);
  EXPECT_EQ(std::count_if(journals.begin(), journals.end(), [](auto& j) { return j.kept; }), 1);
}

}  // namespace
}  // namespace zrvlog
