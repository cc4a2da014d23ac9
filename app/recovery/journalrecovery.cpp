#include "journalrecovery.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cstring>
#include <string>

#include "app/acquisition/engine.h"
#include "app/documents/fieldio.h"
#include "common/automationdate.h"
#include "common/automationerror.h"

namespace zrvlog {

namespace {

QString rowsPath(const QString& base) {
  return base + QStringLiteral(".rows");
}
QString headerPath(const QString& base) {
  return base + QStringLiteral(".head");
}

QByteArray readAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The rows up to the last complete one: a crash may have cut the last row short.
QByteArray completeRowsOf(const QByteArray& rows) {
  return rows.left(rows.lastIndexOf('\n') + 1);
}

// The start time from a header (its second field), in the user's format.
QString startTimeOf(const QByteArray& header) {
  try {
    FieldReader reader(std::string_view(header.constData(), std::size_t(header.size())));
    reader.next();  // the format version
    const zrv::Variant start = reader.toVariant(reader.next());
    return start.type() == zrv::VarType::Date ? zrv::formatGeneralDate(start.dateValue())
                                              : start.toText();
  } catch (const zrv::AutomationError&) {
    return {};
  }
}

// Whether a process holds the journal's lock: it is then still being written.
bool inUse(const QString& rows) {
  const int fd = ::open(QFile::encodeName(rows).constData(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);  // releases the lock if this took it
  return locked;
}

}  // namespace

QList<JournalInfo> abandonedJournals(const QString& folder) {
  QList<JournalInfo> found;
  const QDir dir(folder);
  for (const QFileInfo& rows : dir.entryInfoList({QStringLiteral("*.rows")}, QDir::Files)) {
    const QString base = rows.absolutePath() + QLatin1Char('/') + rows.completeBaseName();
    if (inUse(rows.absoluteFilePath())) continue;
    JournalInfo info;
    info.base = base;
    info.samples = completeRowsOf(readAll(rows.absoluteFilePath())).count('\n');
    const QByteArray header = readAll(headerPath(base));
    if (info.samples == 0 || header.isEmpty()) {
      removeJournal(base);  // nothing recorded that could be given back
      continue;
    }
    info.startTime = startTimeOf(header);
    info.written = rows.lastModified();
    found << info;
  }
  // A header whose rows file is gone belongs to no journal.
  for (const QFileInfo& head : dir.entryInfoList({QStringLiteral("*.head")}, QDir::Files)) {
    const QString base = head.absolutePath() + QLatin1Char('/') + head.completeBaseName();
    if (!QFileInfo::exists(rowsPath(base))) QFile::remove(head.absoluteFilePath());
  }
  std::sort(found.begin(), found.end(),
            [](const JournalInfo& a, const JournalInfo& b) { return a.written > b.written; });
  return found;
}

LoadResult recoverJournal(const JournalInfo& journal, AcquisitionEngine& engine) {
  QByteArray bytes = readAll(headerPath(journal.base));
  if (bytes.isEmpty()) {
    LoadResult result;
    result.status = LoadResult::Status::CannotOpen;
    result.error = QStringLiteral("Cannot read %1").arg(headerPath(journal.base));
    return result;
  }
  bytes += completeRowsOf(readAll(rowsPath(journal.base)));
  LoadResult result =
      readDataFile(std::string_view(bytes.constData(), std::size_t(bytes.size())), engine);
  // What was recovered is saved nowhere yet.
  engine.data.DataChanged = engine.data.sampleCount() > 0;
  engine.data.CurrentFile.clear();
  return result;
}

void removeJournal(const QString& base) {
  QFile::remove(rowsPath(base));
  QFile::remove(headerPath(base));
}

QString describeJournal(const JournalInfo& journal) {
  const QString samples = journal.samples == 1 ? QStringLiteral("1 sample")
                                               : QStringLiteral("%1 samples").arg(journal.samples);
  return journal.startTime.isEmpty()
             ? QStringLiteral("A recording of %1").arg(samples)
             : QStringLiteral("A recording of %1 started on %2").arg(samples, journal.startTime);
}

}  // namespace zrvlog
