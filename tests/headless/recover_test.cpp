// zrvlog --recover on journals that are not whole, and on journals it cannot read: what it
// writes, what it says, its exit status, and that it removes nothing it was not asked to.
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>

#include "app/recovery/runjournal.h"
#include "tests/headless/headlessfixture.h"
#include "tests/support/powercut.h"

namespace zrvlog {
namespace {

class RecoverTest : public HeadlessTest {
 protected:
  // A journal of samples as a recorder that was killed leaves it; its NAME.
  QString makeJournal(int samples, std::unique_ptr<RunJournal>* keepOpen = nullptr) {
    auto parts = std::make_unique<zrvtest::EngineParts>();
    auto journal = std::make_unique<RunJournal>(parts->engine, journalFolder());
    parts->record(samples);
    journal->flush();
    const QString base = journal->base();
    if (keepOpen) {
      *keepOpen = std::move(journal);  // its lock held: a live recorder's journal
      running.push_back(std::move(parts));
    }
    return base;
  }
  // The journals' files and their samples' folders.
  QStringList journalFiles() const {
    return QDir(journalFolder())
        .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
  }
  std::vector<std::unique_ptr<zrvtest::EngineParts>> running;
};

TEST_F(RecoverTest, ARecoveryThatCannotGiveBackEverythingSaysWhatIsMissingAndKeepsTheJournal) {
  const struct {
    const char* name;
    std::function<void(const QString& base)> damage;
    const char* said;
    const char* listed;
    int64_t rows;
  } cases[] = {
      {"a power cut that tore row 47",
       [](const QString& base) { zrvtest::cutPower(base + QStringLiteral(".samples"), 47); },
       "About 3 samples were at the end", "about 3 more in a damaged part", 47},
      {"the header gone",
       [](const QString& base) { ASSERT_TRUE(QFile::remove(base + QStringLiteral(".head"))); },
       "default settings", "its settings are missing", 50},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QDir(journalFolder()).removeRecursively();
    const QString base = makeJournal(50);
    c.damage(base);
    const QStringList files = journalFiles();

    const Outcome listed = run({"--recover"});
    EXPECT_EQ(listed.status, 0);
    EXPECT_TRUE(listed.out.contains(QLatin1String(c.listed))) << listed.out.toStdString();
    const Outcome o = run({"--recover", "--zrv", path("back.zrv")});
    EXPECT_EQ(o.status, 1) << "not everything came back";
    EXPECT_TRUE(o.err.contains(QLatin1String(c.said))) << o.err.toStdString();
    EXPECT_TRUE(o.err.contains(QStringLiteral("the journal stays"))) << o.err.toStdString();
    EXPECT_TRUE(o.out.contains(QStringLiteral("recovered a recording of"))) << o.out.toStdString();
    EXPECT_EQ(load(path("back.zrv")).rows, c.rows);
    EXPECT_EQ(journalFiles(), files) << "kept until it is discarded on purpose";

    const Outcome discarded = run({"--recover", "--discard"});
    EXPECT_EQ(discarded.status, 0) << discarded.err.toStdString();
    EXPECT_TRUE(journalFiles().isEmpty());
  }
}

TEST_F(RecoverTest, AJournalWithoutOneReadableSampleSaysSoWritesNothingAndStays) {
  const QString base = makeJournal(5);
  zrvtest::cutPower(base + QStringLiteral(".samples"), 0);
  const QStringList files = journalFiles();
  const Outcome o = run({"--recover", "--zrv", path("back.zrv")});
  EXPECT_EQ(o.status, 1);
  EXPECT_TRUE(o.err.contains(QStringLiteral("no sample that can be read"))) << o.err.toStdString();
  EXPECT_FALSE(QFile::exists(path("back.zrv")));
  EXPECT_EQ(journalFiles(), files);
}

TEST_F(RecoverTest, JournalsItCannotReadAreLeftAloneLiveOrNot) {
  // Another user's journals in a folder this user may write to. As root the other user is
  // nobody (root reads every file); otherwise the files are made unreadable.
  const bool asRoot = ::geteuid() == 0;
  std::unique_ptr<RunJournal> live;
  makeJournal(5, &live);
  makeJournal(7);
  const QStringList files = journalFiles();
  ASSERT_EQ(files.size(), 4);
  for (const QString& folder : {dir.path(), path("data"), path("data/ZRVLOG")})
    ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0755), 0);
  ASSERT_EQ(::chmod(QFile::encodeName(journalFolder()).constData(), 0777), 0);
  ASSERT_TRUE(QDir().mkpath(path("out")));
  ASSERT_EQ(::chmod(QFile::encodeName(path("out")).constData(), 0777), 0);
  if (!asRoot) {
    for (const QString& name : files)
      ASSERT_EQ(::chmod(QFile::encodeName(journalFolder() + u'/' + name).constData(), 0), 0);
  }

  for (const QStringList& args :
       {QStringList{"--recover"}, QStringList{"--recover", "--zrv", path("out/x.zrv")}}) {
    SCOPED_TRACE(args.join(u' ').toStdString());
    QProcess p;
    if (asRoot)
      p.setChildProcessModifier([] {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(99);
      });
    start(p, args);
    const Outcome o = finish(p);
    EXPECT_EQ(o.status, 1) << "nothing could be recovered: " << o.err.toStdString();
    EXPECT_EQ(o.err.count(QStringLiteral("cannot be read")), 2) << o.err.toStdString();
    EXPECT_EQ(journalFiles(), files) << "nothing removed that could not be read";
    EXPECT_FALSE(QFile::exists(path("out/x.zrv")));
  }
}

}  // namespace
}  // namespace zrvlog
