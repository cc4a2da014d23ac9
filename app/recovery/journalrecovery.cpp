#include "journalrecovery.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "app/acquisition/engine.h"
#include "app/documents/fieldio.h"
#include "app/recovery/privatefiles.h"
#include "common/automationdate.h"
#include "common/automationerror.h"

Q_DECLARE_LOGGING_CATEGORY(lcJournal)

namespace zrvlog {

namespace {

QString rowsPath(const QString& base) {
  return base + QStringLiteral(".rows");
}
QString headerPath(const QString& base) {
  return base + QStringLiteral(".head");
}
QString keptPath(const QString& base) {
  return base + QStringLiteral(".kept");
}

QByteArray encoded(const QString& path) {
  return QFile::encodeName(path);
}

// A journal file's bytes, or why they cannot be had.
struct FileBytes {
  bool exists = false;
  QByteArray bytes;
  QString error;  // set when the file exists but cannot be read
};

FileBytes readFile(const QString& path) {
  FileBytes f;
  QFile file(path);
  f.exists = QFileInfo(path).isFile();
  if (!f.exists) return f;
  if (!file.open(QIODevice::ReadOnly)) {
    f.error = file.errorString();
    return f;
  }
  f.bytes = file.readAll();
  if (file.error() != QFileDevice::NoError) f.error = file.errorString();
  return f;
}

bool ownedByMe(const QString& path) {
  struct stat st {};
  return ::lstat(encoded(path).constData(), &st) == 0 && st.st_uid == ::geteuid();
}

// Whether one line (with its line end) is a sample row as the journal writes them: seven
// quoted fields, the channel values numbers. Anything else is damage (a block of zeros
// after a power cut, a disk error).
bool isSampleRow(std::string_view line, FieldReader& numbers) {
  if (!line.ends_with("\"\r\n") || line.find('\0') != std::string_view::npos) return false;
  std::size_t pos = 0;
  std::array<std::string_view, 7> fields;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (pos >= line.size() || line[pos] != '"') return false;
    const std::size_t close = line.find('"', pos + 1);
    if (close == std::string_view::npos) return false;
    fields[i] = line.substr(pos + 1, close - pos - 1);
    if (fields[i].find_first_of("\r\n") != std::string_view::npos) return false;
    pos = close + 1;
    const char* after = i + 1 < fields.size() ? "," : "\r\n";
    if (line.substr(pos, std::strlen(after)) != after) return false;
    pos += std::strlen(after);
  }
  try {
    for (std::size_t k = 2; k < fields.size(); ++k)
      numbers.toDouble(Field{Field::Kind::Quoted, fields[k], 0});
  } catch (const zrv::AutomationError&) {
    return false;
  }
  return true;
}

// The intact rows of a rows file, and an estimate of the rows lost in its damaged parts.
struct RowScan {
  std::string intact;
  int64_t rows = 0;
  int64_t lost = 0;
  QString firstTimeStamp;  // the text of the first intact row's time stamp
};

RowScan scanRows(const QByteArray& bytes, bool keepIntact) {
  RowScan scan;
  const std::string_view all(bytes.constData(), std::size_t(bytes.size()));
  FieldReader numbers{std::string_view()};
  std::vector<std::size_t> damaged;  // the byte length of each damaged stretch
  std::size_t damage = 0, intactBytes = 0, pos = 0;
  while (pos < all.size()) {
    const std::size_t end = all.find('\n', pos);
    if (end == std::string_view::npos) {
      // The tail: a row cut short by the crash is the loss any crash may bring; zeros the
      // system put there instead of rows it never wrote to the disk are damage.
      const std::string_view tail = all.substr(pos);
      if (tail.find('\0') != std::string_view::npos) damage += tail.size();
      break;
    }
    std::string_view line = all.substr(pos, end + 1 - pos);
    pos = end + 1;
    if (!isSampleRow(line, numbers)) {
      // Zeros run on into the next row, whose line end they did not reach: it starts after
      // the last of them.
      const std::size_t zero = line.rfind('\0');
      const std::string_view after =
          zero == std::string_view::npos ? std::string_view() : line.substr(zero + 1);
      if (after.empty() || !isSampleRow(after, numbers)) {
        damage += line.size();
        continue;
      }
      damage += line.size() - after.size();
      line = after;
    }
    if (damage > 0) damaged.push_back(std::exchange(damage, 0));
    if (scan.rows == 0)
      scan.firstTimeStamp = QString::fromLocal8Bit(line.substr(1, line.find('"', 1) - 1));
    ++scan.rows;
    intactBytes += line.size();
    if (keepIntact) scan.intact += line;
  }
  if (damage > 0) damaged.push_back(damage);
  // Rows are about the same length, so a damaged stretch held about its length in rows.
  const double rowBytes = scan.rows > 0 ? double(intactBytes) / double(scan.rows) : 0;
  for (const std::size_t bytesLost : damaged)
    scan.lost +=
        rowBytes > 0 ? std::max<int64_t>(1, std::llround(double(bytesLost) / rowBytes)) : 1;
  return scan;
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

enum class LockState { Free, InUse, Unreadable };

// Whether a process holds the journal's lock (it is then still being written), with the
// rows read under the lock when it is free. errno tells why a file is unreadable.
LockState readUnlocked(const QString& rows, QByteArray& bytes, QString& error) {
  const int fd = ::open(encoded(rows).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    error = systemError(errno);
    return LockState::Unreadable;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int why = errno;
    ::close(fd);
    if (why == EWOULDBLOCK) return LockState::InUse;
    error = systemError(why);
    return LockState::Unreadable;
  }
  QFile file;
  if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle)) {
    error = file.errorString();
    ::close(fd);
    return LockState::Unreadable;
  }
  bytes = file.readAll();
  const bool failed = file.error() != QFileDevice::NoError;
  if (failed) error = file.errorString();
  file.close();
  ::close(fd);  // releases the lock
  return failed ? LockState::Unreadable : LockState::Free;
}

}  // namespace

QList<JournalInfo> abandonedJournals(const QString& folder, QStringList* leftAlone) {
  QList<JournalInfo> found;
  const auto skip = [&](const QString& message) {
    if (leftAlone)
      *leftAlone << message;
    else
      qCWarning(lcJournal).noquote() << message;
  };
  const QDir dir(folder);
  for (const QFileInfo& rows :
       dir.entryInfoList({QStringLiteral("*.rows")}, QDir::Files | QDir::System)) {
    const QString base = rows.absolutePath() + QLatin1Char('/') + rows.completeBaseName();
    QByteArray bytes;
    QString error;
    switch (readUnlocked(rows.absoluteFilePath(), bytes, error)) {
      case LockState::InUse:
        continue;
      case LockState::Unreadable:
        skip(QStringLiteral("%1 cannot be read (%2); it is left as it is")
                 .arg(rows.absoluteFilePath(), error));
        continue;
      case LockState::Free:
        break;
    }
    const FileBytes header = readFile(headerPath(base));
    if (!header.error.isEmpty()) {
      skip(QStringLiteral("%1 cannot be read (%2); the journal is left as it is")
               .arg(headerPath(base), header.error));
      continue;
    }
    const RowScan scan = scanRows(bytes, false);
    if (scan.rows == 0 && scan.lost == 0) {
      // Nothing recorded that could be given back; another user's files are theirs to clear.
      if (ownedByMe(rows.absoluteFilePath())) removeJournal(base);
      continue;
    }
    JournalInfo info;
    info.base = base;
    info.samples = scan.rows;
    info.lostRows = scan.lost;
    info.withoutHeader = header.bytes.isEmpty();
    info.startTime = info.withoutHeader ? scan.firstTimeStamp : startTimeOf(header.bytes);
    info.kept = QFileInfo::exists(keptPath(base));
    info.written = rows.lastModified();
    found << info;
  }
  // A header or a mark whose rows file is gone belongs to no journal.
  for (const QFileInfo& part : dir.entryInfoList(
           {QStringLiteral("*.head"), QStringLiteral("*.kept")}, QDir::Files | QDir::System)) {
    const QString base = part.absolutePath() + QLatin1Char('/') + part.completeBaseName();
    if (!QFileInfo::exists(rowsPath(base)) && ownedByMe(part.absoluteFilePath()))
      QFile::remove(part.absoluteFilePath());
  }
  std::sort(found.begin(), found.end(),
            [](const JournalInfo& a, const JournalInfo& b) { return a.written > b.written; });
  return found;
}

RecoveryResult recoverJournal(const JournalInfo& journal, AcquisitionEngine& engine) {
  RecoveryResult result;
  const auto cannotRead = [&](const QString& path, const QString& why) {
    result.status = LoadResult::Status::CannotOpen;
    result.error = QStringLiteral("Cannot read %1: %2").arg(path, why);
    return result;
  };
  const FileBytes header = readFile(headerPath(journal.base));
  if (!header.error.isEmpty()) return cannotRead(headerPath(journal.base), header.error);
  const FileBytes rows = readFile(rowsPath(journal.base));
  if (!rows.error.isEmpty()) return cannotRead(rowsPath(journal.base), rows.error);
  if (!rows.exists) return cannotRead(rowsPath(journal.base), systemError(ENOENT));

  result.withoutHeader = header.bytes.isEmpty();
  // Without its header a journal's rows still make a data set: with the settings the engine
  // has (its defaults, as the caller emptied it).
  QByteArray bytes = result.withoutHeader ? dataFileHeader(engine) : header.bytes;
  const RowScan scan = scanRows(rows.bytes, true);
  result.lostRows = scan.lost;
  bytes.append(scan.intact.data(), qsizetype(scan.intact.size()));
  static_cast<LoadResult&>(result) =
      readDataFile(std::string_view(bytes.constData(), std::size_t(bytes.size())), engine);
  // What was recovered is saved nowhere yet.
  engine.data.DataChanged = engine.data.sampleCount() > 0;
  engine.data.CurrentFile.clear();
  return result;
}

QString RecoveryResult::shortfall() const {
  QStringList missing;
  if (lostRows > 0)
    missing << (lostRows == 1 ? QStringLiteral("About 1 sample was")
                              : QStringLiteral("About %1 samples were").arg(lostRows)) +
                   QStringLiteral(
                       " in a damaged part of the journal and could not be read; the "
                       "samples after it were recovered and follow on without a gap.");
  if (withoutHeader)
    missing << QStringLiteral(
        "The journal's settings were missing, so the recording has the default settings "
        "(interval, calibration, graph); the time stamps and values are as recorded.");
  return missing.join(QLatin1Char(' '));
}

void removeJournal(const QString& base) {
  QFile::remove(rowsPath(base));
  QFile::remove(headerPath(base));
  QFile::remove(keptPath(base));
}

QString describeJournal(const JournalInfo& journal) {
  const QString samples = journal.samples == 1 ? QStringLiteral("1 sample")
                                               : QStringLiteral("%1 samples").arg(journal.samples);
  return journal.startTime.isEmpty()
             ? QStringLiteral("a recording of %1").arg(samples)
             : QStringLiteral("a recording of %1 from %2").arg(samples, journal.startTime);
}

}  // namespace zrvlog
