// The run journal: what it keeps as a run goes on, what a recovery gives back, and when its
// files go.
#include "app/recovery/runjournal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <optional>

#include "app/documents/numbertext.h"
#include "app/recovery/journalrecovery.h"
#include "app/store/samplestore.h"
#include "tests/documents/documentfixture.h"
#include "tests/support/powercut.h"
#include "tests/support/variantprinter.h"

namespace zrvlog {
namespace {

using zrv::Variant;

class JournalTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.isValid()); }

  QString folder() const {
    return journalParent.isEmpty() ? dir.filePath(QStringLiteral("recovery"))
                                   : journalParent + QStringLiteral("/recovery");
  }
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
  // The journal's files and folders.
  QStringList files() const {
    return QDir(folder()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot,
                                    QDir::Name);
  }
  // The data set recovered from the one abandoned journal, saved into bytes.
  QByteArray recoveredBytes(int64_t expectedSamples) {
    const QList<JournalInfo> journals = abandonedJournals(folder());
    EXPECT_EQ(journals.size(), 1);
    if (journals.isEmpty()) return {};
    EXPECT_EQ(journals[0].samples, expectedSamples);
    recovered.engine.InitGraph();
    const QString ownSamples = recovered.engine.document().sampleFolder();
    const LoadResult r = recoverJournal(journals[0], recovered.engine.document());
    EXPECT_TRUE(r.ok()) << r.error.toStdString();
    EXPECT_FALSE(QFileInfo::exists(ownSamples)) << "the samples it held before go with them";
    EXPECT_TRUE(recovered.engine.data.DataChanged) << "recovered data are not saved anywhere yet";
    EXPECT_TRUE(recovered.engine.data.CurrentFile.isEmpty());
    return recovered.save();
  }

  // A run of samples whose process ended without saving: its journal stays, and so do the
  // samples it holds. What a save would have written, and the journal's name.
  QByteArray crashedRun(int samples, QString& base, int intervalMs = 1000) {
    zrvtest::EngineParts parts;
    parts.engine.SetTimerInt(intervalMs);
    RunJournal journal(parts.engine, folder());
    tick(parts, samples);
    parts.engine.stopRun();
    journal.flush();
    base = journal.base();
    return parts.save();
  }
  // A journal as earlier versions wrote it: the header and the rows as text.
  QByteArray legacyJournal(int samples, QString& base) {
    zrvtest::EngineParts parts;
    tick(parts, samples);
    parts.engine.stopRun();
    EXPECT_TRUE(QDir().mkpath(folder()));
    base = folder() + QStringLiteral("/run-20261208-010203-4242");
    std::string rows;
    GeneralText text;
    appendSampleRows(rows, text, parts.engine.document().store(), 0,
                     parts.engine.document().sampleCount());
    for (const auto& [name, bytes] :
         {std::pair(journalfile::header(base), dataFileHeader(parts.engine.document())),
          std::pair(journalfile::rows(base), QByteArray::fromStdString(rows))}) {
      QFile f(name);
      EXPECT_TRUE(f.open(QIODevice::WriteOnly));
      f.write(bytes);
    }
    return QByteArray::fromStdString(rows);
  }

  QTemporaryDir dir;
  QString journalParent;  // where the journal goes, when not beside the samples
  zrvtest::EngineParts recovered;
};

TEST_F(JournalTest, ACrashedRunComesBackAsASaveAndReloadWouldGiveIt) {
  // Beside the samples the journal takes their files over; on another file system (a
  // memory file system here, where there is one) it takes a copy.
  QTemporaryDir elsewhere(QStringLiteral("/dev/shm/zrvlog-journal-XXXXXX"));
  const auto device = [](const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_dev : dev_t(0);
  };
  const bool another = elsewhere.isValid() && device(elsewhere.path()) != device(dir.path());
  for (const QString& parent : {QString(), another ? elsewhere.path() : QString()}) {
    SCOPED_TRACE(parent.isEmpty() ? "the same file system" : "another file system");
    journalParent = parent;
    QByteArray saved;
    {
      zrvtest::EngineParts parts;
      parts.engine.SetTimerInt(250);
      parts.engine.data.SetCoef(2, 1, Variant("1e-6"));
      auto journal = makeJournal(parts);
      tick(parts, 17);
      journal->flush();
      EXPECT_TRUE(abandonedJournals(folder()).isEmpty())
          << "a journal this process writes is in use";
      EXPECT_TRUE(parts.engine.document().sampleFolder().startsWith(folder()))
          << "the run's samples are its journal";
      saved = parts.save();
    }  // the process ends without saving: the files stay

    // What the user would have had after saving and opening the file again.
    zrvtest::EngineParts reloaded;
    ASSERT_TRUE(reloaded.load(saved).ok());
    EXPECT_EQ(recoveredBytes(17), reloaded.save());
    EXPECT_EQ(recovered.engine.data.GetCoef(2, 1), Variant("1e-6"));
    EXPECT_EQ(recovered.engine.GetTimerInt(), 250);
    EXPECT_EQ(recovered.engine.document().keyText(16), QStringLiteral("T4"));
    EXPECT_EQ(recovered.engine.data.SampleTime, reloaded.engine.data.SampleTime)
        << "the next sample's time follows on";
    recovered.engine.InitGraph();  // lets go of the journal's samples
  }
}

TEST_F(JournalTest, SamplesReachTheDiskWithinTheSyncTimeWithoutAnyCall) {
  zrvtest::EngineParts parts;
  auto journal =
      makeJournal(parts, {std::chrono::milliseconds(50), std::chrono::milliseconds(100)});
  tick(parts, 3);
  parts.engine.stopRun();  // no more ticks: only the store's own thread can sync now
  const SampleStore& store = parts.engine.document().store();
  QElapsedTimer waited;
  waited.start();
  while (store.durableRows() < 3 && waited.elapsed() < 5000)
    QThread::msleep(10);
  EXPECT_EQ(store.durableRows(), 3u);
  EXPECT_TRUE(QFile::exists(journalfile::header(journal->base())));
}

TEST_F(JournalTest, TheHeaderFollowsSettingsChangedAfterTheSamples) {
  {
    zrvtest::EngineParts parts;
    auto journal = makeJournal(parts);
    tick(parts, 4);
    parts.engine.stopRun();
    parts.engine.data.SetCoef(0, 4, Variant(2.5));  // e.g. the options dialog after the run
    parts.engine.settings.stopsec = Variant("30");
    journal->flush();
  }
  recoveredBytes(4);
  EXPECT_EQ(recovered.engine.data.GetCoef(0, 4), Variant(2.5));
  EXPECT_EQ(recovered.engine.settings.stopsec, Variant("30"));
}

TEST_F(JournalTest, TheFilesGoWhenTheDataSetIsResetOrDiscardedAndSavedSamplesStay) {
  struct Case {
    const char* name;
    std::function<void(zrvtest::EngineParts&, RunJournal&)> action;
    std::size_t samplesAfter;
  } cases[] = {
      {"Clear", [](zrvtest::EngineParts& p, RunJournal&) { p.engine.ClearAll(); }, 0},
      {"New", [](zrvtest::EngineParts& p, RunJournal&) { p.engine.InitGraph(); }, 0},
      {"a new run", [](zrvtest::EngineParts& p, RunJournal&) { p.engine.startRun(); }, 0},
      {"saved", [](zrvtest::EngineParts&, RunJournal& j) { j.discard(); }, 3},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    zrvtest::EngineParts parts;
    auto journal = makeJournal(parts);
    tick(parts, 3);
    parts.engine.stopRun();
    journal->flush();
    ASSERT_EQ(files().size(), 2);
    const double last = parts.engine.document().store().value(3, 2);
    tc.action(parts, *journal);
    EXPECT_TRUE(files().isEmpty()) << files().join(' ').toStdString();
    const Document& document = parts.engine.document();
    ASSERT_EQ(document.sampleCount(), tc.samplesAfter);
    EXPECT_FALSE(document.sampleFolder().startsWith(folder()));
    if (tc.samplesAfter > 0) {
      EXPECT_EQ(document.store().value(3, 2), last);
    }
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
  EXPECT_EQ(files().size(), 3) << "the kept journal (samples, header, mark) is not thrown away "
                                  "with the data set";
  tick(parts, 2);
  journal->flush();
  EXPECT_EQ(files().size(), 5);
  const QList<JournalInfo> abandoned = abandonedJournals(folder());
  ASSERT_EQ(abandoned.size(), 1) << "only the kept one is abandoned";
  EXPECT_EQ(abandoned[0].samples, 5);
  parts.engine.stopRun();
}

TEST_F(JournalTest, ARecoveredJournalIsAdoptedUntilItsDataAreSafe) {
  const struct {
    const char* name;
    bool legacy;
  } cases[] = {{"a journal of samples", false}, {"a journal of text rows", true}};
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    QDir(folder()).removeRecursively();
    QString base;
    if (tc.legacy)
      legacyJournal(4, base);
    else
      crashedRun(4, base);
    const QList<JournalInfo> journals = abandonedJournals(folder());
    ASSERT_EQ(journals.size(), 1);
    zrvtest::EngineParts parts;
    parts.engine.InitGraph();
    ASSERT_TRUE(recoverJournal(journals[0], parts.engine.document()).ok());
    RunJournal journal(parts.engine, folder());
    ASSERT_TRUE(journal.adopt(journals[0])) << journal.lastError().toStdString();
    EXPECT_TRUE(abandonedJournals(folder()).isEmpty()) << "adopted: in use again";
    EXPECT_EQ(files().size(), 2) << files().join(' ').toStdString();
    EXPECT_FALSE(QFile::exists(journalfile::rows(base))) << "its samples are kept once";
    journal.discard();
    EXPECT_TRUE(files().isEmpty());
    EXPECT_EQ(parts.engine.document().sampleCount(), 4u) << "the data set keeps its samples";
  }
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
  touch("run-b.head", "\"1.0\"\r\n");  // a header without samples
  touch("run-c.head", "\"1.0\"\r\n");
  SampleStore::create(folder() + QStringLiteral("/run-c.samples"), 5);  // no sample in it
  EXPECT_TRUE(abandonedJournals(folder()).isEmpty());
  EXPECT_TRUE(files().isEmpty()) << files().join(' ').toStdString();
}

TEST_F(JournalTest, DamagedJournalsComeBackAsFarAsTheyCanBeReadWithTheLossCounted) {
  // Where row i starts in rows of text.
  const auto rowStart = [](const QByteArray& rows, int i) {
    qsizetype pos = 0;
    for (int k = 0; k < i; ++k)
      pos = rows.indexOf('\n', pos) + 1;
    return pos;
  };
  const auto cut = [](std::optional<qint64> tornRow) {
    return [tornRow](const QString& base, QByteArray&) {
      zrvtest::cutPower(journalfile::samples(base), tornRow);
    };
  };
  const struct {
    const char* name;
    bool text;  // a journal of text rows, as earlier versions wrote them
    std::function<void(const QString& base, QByteArray& rows)> damage;
    int64_t intact, lost;
    bool lastRowIntact;
  } cases[] = {
      {"a power cut before the last sync, every row written whole", false, cut(std::nullopt), 50, 0,
       true},
      {"a power cut that left row 20 half written", false, cut(20), 20, 30, false},
      {"text: zeros from inside row 20 to inside row 27", true,
       [&](const QString&, QByteArray& b) {
         const qsizetype from = rowStart(b, 20) + 10, to = rowStart(b, 27) + 10;
         b.replace(from, to - from, QByteArray(to - from, '\0'));
       },
       42, 8, true},
      {"text: zeros where the last 3 rows were (a power cut before the sync)", true,
       [&](const QString&, QByteArray& b) {
         const qsizetype from = rowStart(b, 47);
         b.replace(from, b.size() - from, QByteArray(b.size() - from, '\0'));
       },
       47, 3, false},
      {"text: a value that is no number", true,
       [&](const QString&, QByteArray& b) {
         const qsizetype at = b.indexOf("\",\"", rowStart(b, 5) + 30);
         b[at - 1] = 'x';
       },
       49, 1, true},
      {"text: half a row after the last (the crash cut it off)", true,
       [](const QString&, QByteArray& b) { b += "\"08/12/2026 01:02:03\",\"0\",\"1.5\",\"2."; }, 50,
       0, true},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    QDir(folder()).removeRecursively();
    QString base;
    QByteArray rows = tc.text ? legacyJournal(50, base) : crashedRun(50, base);
    const QByteArray lastRow = rows.mid(rows.lastIndexOf('\n', rows.size() - 2) + 1);
    tc.damage(base, rows);
    if (tc.text) {
      QFile file(journalfile::rows(base));
      ASSERT_TRUE(file.open(QIODevice::WriteOnly));
      file.write(rows);
    }

    const QList<JournalInfo> journals = abandonedJournals(folder());
    ASSERT_EQ(journals.size(), 1);
    EXPECT_EQ(journals[0].samples, tc.intact);
    EXPECT_EQ(journals[0].lostRows, tc.lost);
    zrvtest::EngineParts back;
    back.engine.InitGraph();
    const RecoveryResult r = recoverJournal(journals[0], back.engine.document());
    EXPECT_TRUE(r.ok()) << r.error.toStdString();
    EXPECT_EQ(r.complete(), tc.lost == 0);
    EXPECT_EQ(r.lostRows, tc.lost);
    if (tc.lost > 0) {
      EXPECT_TRUE(r.shortfall().contains(QStringLiteral("About %1 sample").arg(tc.lost)))
          << r.shortfall().toStdString();
    }
    EXPECT_EQ(int64_t(back.engine.document().sampleCount()), tc.intact);
    if (tc.lastRowIntact) {
      EXPECT_TRUE(back.save().endsWith(lastRow)) << "the rows after the damage";
    }
    EXPECT_EQ(files().size(), 2) << "nothing is removed by looking";
  }
}

TEST_F(JournalTest, SamplesWhoseHeaderIsGoneComeBackWithTheDefaultSettings) {
  const struct {
    const char* name;
    bool legacy;
    int32_t interval;  // what the recovered data set has
  } cases[] = {
      {"a journal of samples: their times tell the interval", false, 250},
      {"a journal of text rows", true, 1000},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    QDir(folder()).removeRecursively();
    QString base;
    const QByteArray saved = tc.legacy ? legacyJournal(58, base) : crashedRun(58, base, 250);
    ASSERT_TRUE(QFile::remove(journalfile::header(base)));

    const QList<JournalInfo> journals = abandonedJournals(folder());
    ASSERT_EQ(journals.size(), 1) << "samples without their header are still a recording";
    EXPECT_EQ(journals[0].samples, 58);
    EXPECT_TRUE(journals[0].withoutHeader);
    EXPECT_FALSE(journals[0].startTime.isEmpty())
        << "the first sample's time stamp tells when it started";
    zrvtest::EngineParts back;
    back.engine.InitGraph();
    const RecoveryResult r = recoverJournal(journals[0], back.engine.document());
    EXPECT_TRUE(r.ok()) << r.error.toStdString();
    EXPECT_TRUE(r.withoutHeader);
    EXPECT_TRUE(r.shortfall().contains(QStringLiteral("default settings")));
    EXPECT_EQ(back.engine.document().sampleCount(), 58u);
    EXPECT_EQ(back.engine.GetTimerInt(), tc.interval);
    EXPECT_EQ(journals[0].startTime, back.engine.document().store().stamp(0).toText());
  }
}

TEST_F(JournalTest, TheJournalIsPrivateAndSaysWhenItWasKeptOnPurpose) {
  ASSERT_TRUE(QDir().mkpath(folder()));
  ASSERT_TRUE(QFile::setPermissions(folder(), QFile::ReadOwner | QFile::WriteOwner |
                                                  QFile::ExeOwner | QFile::ReadOther |
                                                  QFile::ExeOther));  // as older versions made it
  QString base;
  crashedRun(3, base);
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
  for (const QString& name : files()) {
    const QString path = folder() + QLatin1Char('/') + name;
    if (!QFileInfo(path).isDir()) {
      EXPECT_EQ(mode(path), 0600u) << name.toStdString();
      continue;
    }
    EXPECT_EQ(mode(path), 0700u) << name.toStdString();
    for (const QString& inner : QDir(path).entryList(QDir::Files))
      EXPECT_EQ(mode(path + QLatin1Char('/') + inner), 0600u) << inner.toStdString();
  }
  const QList<JournalInfo> journals = abandonedJournals(folder());
  ASSERT_EQ(journals.size(), 2);
  EXPECT_EQ(std::count_if(journals.begin(), journals.end(), [](auto& j) { return j.kept; }), 1);
}

}  // namespace
}  // namespace zrvlog
