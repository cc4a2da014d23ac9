// Recovering the recording of a process that ended without saving, from its journal.
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>

#include "app/headless/cli.h"
#include "app/recovery/journalrecovery.h"
#include "app/recovery/runjournal.h"

namespace zrvlog::cli {

namespace {

QString journalLine(const JournalInfo& j) {
  QStringList notes;
  notes << (j.kept ? QStringLiteral("kept unsaved on purpose")
                   : QStringLiteral("left by a program that ended unexpectedly"));
  if (j.lostRows > 0)
    notes << QStringLiteral("about %1 more in a damaged part cannot be read").arg(j.lostRows);
  if (j.withoutHeader) notes << QStringLiteral("its settings are missing");
  if (j.stoppedEarly) notes << QStringLiteral("it stopped before its run ended");
  return QStringLiteral("%1 (%2): %3")
      .arg(describeJournal(j), notes.join(QStringLiteral("; ")), j.base);
}

}  // namespace

int recover(const QStringList& args) {
  QCommandLineParser p;
  p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QCommandLineOption recoverOption(QStringLiteral("recover")), help(QStringLiteral("help")),
      discard(QStringLiteral("discard"));
  p.addOptions({recoverOption, help, discard});
  addOutputOptions(p);
  if (const auto status = parseOrStop(p, args)) return *status;
  Outputs o;
  if (const auto status = takeOutputs(p, {}, o)) return *status;

  QStringList leftAlone;
  const QList<JournalInfo> journals = abandonedJournals(RunJournal::defaultFolder(), &leftAlone);
  for (const QString& line : leftAlone)
    say(line);
  if (journals.isEmpty()) {
    report(QStringLiteral("no unsaved recordings to recover"));
    return leftAlone.isEmpty() ? kExitOk : kExitFailed;
  }
  const bool writing = !o.empty();
  if (!writing && !p.isSet(discard)) {
    for (const JournalInfo& j : journals)
      report(journalLine(j));
    report(QStringLiteral("zrvlog --recover --zrv FILE writes the newest of them to FILE"));
    return kExitOk;
  }
  const JournalInfo& newest = journals.front();
  if (!writing) {
    removeJournal(newest.base);
    report(QStringLiteral("removed %1").arg(journalLine(newest)));
    return kExitOk;
  }
  QList<NamedFile> journalFiles = {
      {QStringLiteral("the journal"), journalfile::rows(newest.base)},
      {QStringLiteral("the journal"), journalfile::header(newest.base)}};
  for (const QFileInfo& file :
       QDir(journalfile::samples(newest.base)).entryInfoList(QDir::Files | QDir::System))
    journalFiles << NamedFile{QStringLiteral("the journal"), file.absoluteFilePath()};
  if (const auto problem = clobberedFile(journalFiles, o.named())) return usageError(*problem);

  FileDocument file;
  Document& document = file.document;
  const RecoveryResult r = recoverJournal(newest, document);
  if (!r.ok()) say(r.error);
  if (r.headerDamaged)
    say(QStringLiteral("the journal's settings could not be read (%1); the recording has the "
                       "default settings")
            .arg(r.headerError));
  if (document.sampleCount() == 0) {
    say(QStringLiteral("%1 holds no sample that can be read; nothing was written (zrvlog "
                       "--recover --discard removes it)")
            .arg(newest.base));
    return kExitFailed;
  }
  report(QStringLiteral("recovered %1").arg(describeJournal(newest)));
  HeadlessSource source(document, o.picture);
  if (!writeOutputs(o, source.source)) {
    say(QStringLiteral("the journal stays: %1").arg(newest.base));
    return kExitFailed;
  }
  if (!r.complete()) {
    if (!r.shortfall().isEmpty()) say(r.shortfall());
    if (!p.isSet(discard)) {
      // What could not be read may still be worth a closer look; nothing goes unasked.
      say(QStringLiteral("the journal stays: %1 (zrvlog --recover --discard removes it)")
              .arg(newest.base));
      return kExitFailed;
    }
  }
  removeJournal(newest.base);
  return r.complete() ? kExitOk : kExitFailed;
}

}  // namespace zrvlog::cli
