// Recovering the recording of a process that ended without saving, from its journal.
#include <QCommandLineParser>

#include "app/headless/cli.h"
#include "app/recovery/journalrecovery.h"
#include "app/recovery/runjournal.h"

namespace zrvlog::cli {

int recover(const QStringList& args) {
  QCommandLineParser p;
  p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QCommandLineOption recoverOption(QStringLiteral("recover")), help(QStringLiteral("help")),
      zrv(QStringLiteral("zrv"), {}, QStringLiteral("file")),
      csv(QStringLiteral("csv"), {}, QStringLiteral("file"));
  p.addOptions({recoverOption, help, zrv, csv});
  if (const auto status = parseOrStop(p, args)) return *status;
  OutputFiles o;
  o.zrvPath = p.value(zrv);
  o.csvPath = p.value(csv);
  for (const QString& path : {o.zrvPath, o.csvPath}) {
    if (path.isEmpty()) continue;
    if (const auto problem = unwritableFolder(path))
      return usageError(QStringLiteral("cannot write %1: %2").arg(path, *problem));
  }

  const QList<JournalInfo> journals = abandonedJournals(RunJournal::defaultFolder());
  if (journals.isEmpty()) {
    report(QStringLiteral("no unsaved recordings to recover"));
    return kExitOk;
  }
  if (o.zrvPath.isEmpty() && o.csvPath.isEmpty()) {
    for (const JournalInfo& j : journals)
      report(QStringLiteral("%1 (%2)").arg(describeJournal(j), j.base));
    report(QStringLiteral("zrvlog --recover --zrv FILE writes the newest of them to FILE"));
    return kExitOk;
  }
  const JournalInfo& newest = journals.front();
  FileEngine files;
  AcquisitionEngine& engine = files.engine;
  const LoadResult r = recoverJournal(newest, engine);
  if (!r.ok()) say(r.error);
  if (engine.data.sampleCount() == 0) return kExitFailed;
  report(QStringLiteral("recovered %1").arg(describeJournal(newest)));
  if (!writeOutputs(o, engine)) return kExitFailed;
  removeJournal(newest.base);
  return kExitOk;
}

}  // namespace zrvlog::cli
