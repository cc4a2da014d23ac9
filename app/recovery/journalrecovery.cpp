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
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "app/documents/document.h"
#include "app/documents/fieldio.h"
#include "app/recovery/privatefiles.h"
#include "app/store/samplestore.h"
#include "common/automationdate.h"
#include "common/automationerror.h"
#include "common/counted.h"

Q_DECLARE_LOGGING_CATEGORY(lcJournal)

namespace zrvlog {

namespace journalfile {
QString samples(const QString& base) {
  return base + QStringLiteral(".samples");
}
QString rows(const QString& base) {
  return base + QStringLiteral(".rows");
}
QString header(const QString& base) {
  return base + QStringLiteral(".head");
}
QString kept(const QString& base) {
  return base + QStringLiteral(".kept");
}
QString stopped(const QString& base) {
  return base + QStringLiteral(".stopped");
}
}  // namespace journalfile

namespace {

QByteArray encoded(const QString& path) {
  return QFile::encodeName(path);
}

// A journal file's bytes, or why they cannot be had.
struct FileBytes {
  bool exists = false;
  QByteArray bytes;
  QString error;  // set when the file exists but cannot be read
};

// Opens a journal file for reading: a regular file only (a FIFO named like one would block
// the reader for ever), never through a link. -1 with error set when it cannot be used.
int openJournalFile(const QString& path, QString& error) {
  const int fd = ::open(encoded(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = systemError(errno);
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = QStringLiteral("it is not a regular file");
    ::close(fd);
    return -1;
  }
  return fd;
}

// Hands the file's bytes to take, a block at a time: a large journal costs no more memory
// than a block while it is scanned.
bool readBlocks(int fd, const std::function<void(std::string_view)>& take, QString& error) {
  constexpr std::size_t kBlock = std::size_t{1} << 20;
  std::string block(kBlock, '\0');
  for (;;) {
    const ssize_t n = ::read(fd, block.data(), kBlock);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = systemError(errno);
      return false;
    }
    if (n == 0) return true;
    take(std::string_view(block.data(), std::size_t(n)));
  }
}

FileBytes readFile(const QString& path) {
  FileBytes f;
  struct stat st {};
  f.exists = ::lstat(encoded(path).constData(), &st) == 0;
  if (!f.exists) return f;
  const int fd = openJournalFile(path, f.error);
  if (fd < 0) return f;
  readBlocks(
      fd, [&](std::string_view b) { f.bytes.append(b.data(), qsizetype(b.size())); }, f.error);
  ::close(fd);
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

// The intact rows of a rows file, and an estimate of the rows lost in its damaged parts,
// taken a block at a time (a line may run from one block into the next).
class RowScanner {
 public:
  /// Intact rows are appended to intact when it is given.
  explicit RowScanner(std::string* intact) : m_intact(intact) {}
  void feed(std::string_view block) {
    std::size_t pos = 0;
    if (!m_partial.empty()) {
      const std::size_t end = block.find('\n');
      if (end == std::string_view::npos) {
        m_partial.append(block);
        return;
      }
      m_partial.append(block.substr(0, end + 1));
      const std::string line = std::move(m_partial);
      m_partial.clear();
      takeLine(line);
      pos = end + 1;
    }
    while (pos < block.size()) {
      const std::size_t end = block.find('\n', pos);
      if (end == std::string_view::npos) {
        m_partial.assign(block.substr(pos));
        return;
      }
      takeLine(block.substr(pos, end + 1 - pos));
      pos = end + 1;
    }
  }
  void finish() {
    // The tail: a row cut short by the crash is the loss any crash may bring; zeros the
    // system put there instead of rows it never wrote to the disk are damage.
    if (m_partial.find('\0') != std::string::npos) m_damage += m_partial.size();
    m_partial.clear();
    if (m_damage > 0) m_damaged.push_back(std::exchange(m_damage, 0));
    // Rows are about the same length, so a damaged stretch held about its length in rows.
    const double rowBytes = rows > 0 ? double(m_intactBytes) / double(rows) : 0;
    for (const std::size_t bytesLost : m_damaged)
      lost += rowBytes > 0 ? std::max<int64_t>(1, std::llround(double(bytesLost) / rowBytes)) : 1;
  }

  int64_t rows = 0;
  int64_t lost = 0;
  QString firstTimeStamp;  // the text of the first intact row's time stamp

 private:
  void takeLine(std::string_view line) {
    if (!isSampleRow(line, m_numbers)) {
      // Zeros run on into the next row, whose line end they did not reach: it starts after
      // the last of them.
      const std::size_t zero = line.rfind('\0');
      const std::string_view after =
          zero == std::string_view::npos ? std::string_view() : line.substr(zero + 1);
      if (after.empty() || !isSampleRow(after, m_numbers)) {
        m_damage += line.size();
        return;
      }
      m_damage += line.size() - after.size();
      line = after;
    }
    if (m_damage > 0) m_damaged.push_back(std::exchange(m_damage, 0));
    if (rows == 0) firstTimeStamp = QString::fromLocal8Bit(line.substr(1, line.find('"', 1) - 1));
    ++rows;
    m_intactBytes += line.size();
    if (m_intact) m_intact->append(line);
  }

  std::string* m_intact;
  FieldReader m_numbers{std::string_view()};
  std::string m_partial;
  std::vector<std::size_t> m_damaged;  // the byte length of each damaged stretch
  std::size_t m_damage = 0, m_intactBytes = 0;
};

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
// rows scanned under the lock when it is free.
LockState scanUnlocked(const QString& rows, RowScanner& scan, QString& error) {
  const int fd = openJournalFile(rows, error);
  if (fd < 0) return LockState::Unreadable;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int why = errno;
    ::close(fd);
    if (why == EWOULDBLOCK) return LockState::InUse;
    error = systemError(why);
    return LockState::Unreadable;
  }
  const bool read = readBlocks(
      fd, [&](std::string_view b) { scan.feed(b); }, error);
  ::close(fd);  // releases the lock
  scan.finish();
  return read ? LockState::Free : LockState::Unreadable;
}

// The number of samples its run had when a journal that stopped early was kept; -1 when it
// is not known (the disk that stopped the journal may have had no room for it either).
int64_t samplesWhenStopped(const QString& base) {
  const FileBytes f = readFile(journalfile::stopped(base));
  bool ok = false;
  const qlonglong n = f.bytes.trimmed().toLongLong(&ok);
  return ok ? n : -1;
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
    RowScanner scan(nullptr);
    QString error;
    switch (scanUnlocked(rows.absoluteFilePath(), scan, error)) {
      case LockState::InUse:
        continue;
      case LockState::Unreadable:
        skip(QStringLiteral("%1 cannot be read (%2); it is left as it is")
                 .arg(rows.absoluteFilePath(), error));
        continue;
      case LockState::Free:
        break;
    }
    const FileBytes header = readFile(journalfile::header(base));
    if (!header.error.isEmpty()) {
      skip(QStringLiteral("%1 cannot be read (%2); the journal is left as it is")
               .arg(journalfile::header(base), header.error));
      continue;
    }
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
    info.kept = QFileInfo::exists(journalfile::kept(base));
    info.stoppedEarly = QFileInfo::exists(journalfile::stopped(base));
    info.written = rows.lastModified();
    found << info;
  }
  for (const QFileInfo& samples : dir.entryInfoList(
           {QStringLiteral("*.samples")}, QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks)) {
    const QString path = samples.absoluteFilePath();
    const QString base = samples.absolutePath() + QLatin1Char('/') + samples.completeBaseName();
    if (SampleStore::inUse(path)) continue;
    const FileBytes header = readFile(journalfile::header(base));
    if (!header.error.isEmpty()) {
      skip(QStringLiteral("%1 cannot be read (%2); the journal is left as it is")
               .arg(journalfile::header(base), header.error));
      continue;
    }
    JournalInfo info;
    try {
      // Opening recovers the store: rows a power cut damaged are counted and left out.
      SampleStore::Options options;
      options.syncInterval = std::chrono::milliseconds::zero();
      const auto store = SampleStore::open(path, options);
      info.samples = int64_t(store->rows());
      info.lostRows = int64_t(store->lostRows());
      if (info.samples > 0) info.startTime = store->stamp(0).toText();
    } catch (const zrv::AutomationError& e) {
      if (SampleStore::inUse(path)) continue;  // its owner opened it meanwhile
      skip(QStringLiteral("%1 cannot be read (%2); it is left as it is")
               .arg(path, e.detail().isEmpty() ? e.message() : e.detail()));
      continue;
    }
    if (info.samples == 0 && info.lostRows == 0) {
      if (ownedByMe(path)) removeJournal(base);
      continue;
    }
    info.base = base;
    info.withoutHeader = header.bytes.isEmpty();
    if (!info.withoutHeader) info.startTime = startTimeOf(header.bytes);
    info.kept = QFileInfo::exists(journalfile::kept(base));
    info.stoppedEarly = QFileInfo::exists(journalfile::stopped(base));
    for (const QFileInfo& file : QDir(path).entryInfoList(QDir::Files))
      info.written = std::max(info.written, file.lastModified());
    found << info;
  }
  // A header or a mark whose samples are gone belongs to no journal.
  for (const QFileInfo& part : dir.entryInfoList(
           {QStringLiteral("*.head"), QStringLiteral("*.kept"), QStringLiteral("*.stopped")},
           QDir::Files | QDir::System)) {
    const QString base = part.absolutePath() + QLatin1Char('/') + part.completeBaseName();
    if (!QFileInfo::exists(journalfile::rows(base)) &&
        !QFileInfo::exists(journalfile::samples(base)) && ownedByMe(part.absoluteFilePath()))
      QFile::remove(part.absoluteFilePath());
  }
  std::sort(found.begin(), found.end(),
            [](const JournalInfo& a, const JournalInfo& b) { return a.written > b.written; });
  return found;
}

namespace {

// What a journal's stopped mark says, and what the document holds afterwards.
void finishRecovery(const JournalInfo& journal, int64_t intact, int64_t lost,
                    RecoveryResult& result, Document& document) {
  result.stoppedEarly = QFileInfo::exists(journalfile::stopped(journal.base));
  if (result.stoppedEarly) {
    const int64_t had = samplesWhenStopped(journal.base);
    result.missingAfterStop = had >= 0 ? std::max<int64_t>(0, had - intact - lost) : -1;
  }
  // What was recovered is saved nowhere yet.
  document.data.DataChanged = document.sampleCount() > 0;
  document.data.CurrentFile.clear();
}

// A journal whose samples are a store: the header read into the document, which then takes
// the store as it is.
RecoveryResult recoverStore(const JournalInfo& journal, Document& document) {
  RecoveryResult result;
  const QString samples = journalfile::samples(journal.base);
  const FileBytes header = readFile(journalfile::header(journal.base));
  if (!header.error.isEmpty()) {
    result.status = LoadResult::Status::CannotOpen;
    result.error =
        QStringLiteral("Cannot read %1: %2").arg(journalfile::header(journal.base), header.error);
    return result;
  }
  result.withoutHeader = header.bytes.isEmpty();
  if (!result.withoutHeader) {
    const QByteArray defaults = dataFileHeader(document);
    const LoadResult h = readDataFile(
        std::string_view(header.bytes.constData(), std::size_t(header.bytes.size())), document);
    if (h.rowsReached) {
      result.startTimeRead = h.startTimeRead;
    } else {
      // The settings read before the damage go: the defaults stand in for all of them.
      result.headerDamaged = true;
      result.headerError = h.error;
      document.initGraph();
      readDataFile(std::string_view(defaults.constData(), std::size_t(defaults.size())), document);
    }
  }
  std::unique_ptr<SampleStore> store;
  try {
    store = SampleStore::open(samples);
  } catch (const zrv::AutomationError& e) {
    result.status = LoadResult::Status::CannotOpen;
    result.error = QStringLiteral("Cannot read %1: %2")
                       .arg(samples, e.detail().isEmpty() ? e.message() : e.detail());
    return result;
  }
  result.lostRows = int64_t(store->lostRows());
  result.lostAtEnd = true;
  result.rows = int64_t(store->rows());
  // Without the settings the samples' own times still tell the interval they were taken at.
  if ((result.withoutHeader || result.headerDamaged) && store->rows() >= 2) {
    const double ms = std::round((store->key(1) - store->key(0)) * 1000);
    if (ms >= 1 && ms <= std::numeric_limits<int32_t>::max()) document.setInterval(int32_t(ms));
  }
  document.adoptSamples(std::move(store));
  finishRecovery(journal, result.rows, result.lostRows, result, document);
  return result;
}

}  // namespace

RecoveryResult recoverJournal(const JournalInfo& journal, Document& document) {
  if (QFileInfo(journalfile::samples(journal.base)).isDir()) return recoverStore(journal, document);
  RecoveryResult result;
  const auto cannotRead = [&](const QString& path, const QString& why) {
    result.status = LoadResult::Status::CannotOpen;
    result.error = QStringLiteral("Cannot read %1: %2").arg(path, why);
    return result;
  };
  const FileBytes header = readFile(journalfile::header(journal.base));
  if (!header.error.isEmpty()) return cannotRead(journalfile::header(journal.base), header.error);

  result.withoutHeader = header.bytes.isEmpty();
  // Without its header, or with one that cannot be read, a journal's rows still make a data
  // set: with the settings the engine has (its defaults, as the caller emptied it).
  const QByteArray defaults = dataFileHeader(document);
  if (!result.withoutHeader) {
    const LoadResult h = readDataFile(
        std::string_view(header.bytes.constData(), std::size_t(header.bytes.size())), document);
    if (!h.rowsReached) {
      result.headerDamaged = true;
      result.headerError = h.error;
    }
    // Empty again: the header is read once more with the rows (twice would double its
    // annotations and cursors).
    document.initGraph();
  }
  // The header and the intact rows, put together as a save would have written them. The
  // rows are read a block at a time, so only the rows kept take memory, once.
  std::string bytes = result.withoutHeader || result.headerDamaged ? defaults.toStdString()
                                                                   : header.bytes.toStdString();
  bytes.reserve(bytes.size() + std::size_t(std::max<qint64>(
                                   0, QFileInfo(journalfile::rows(journal.base)).size())));
  RowScanner scan(&bytes);
  QString error;
  const int fd = openJournalFile(journalfile::rows(journal.base), error);
  if (fd < 0) return cannotRead(journalfile::rows(journal.base), error);
  const bool read = readBlocks(
      fd, [&](std::string_view b) { scan.feed(b); }, error);
  ::close(fd);
  if (!read) return cannotRead(journalfile::rows(journal.base), error);
  scan.finish();
  result.lostRows = scan.lost;
  const bool headerDamaged = result.headerDamaged;
  const QString headerError = result.headerError;
  static_cast<LoadResult&>(result) = readDataFile(std::string_view(bytes), document);
  result.headerDamaged = headerDamaged;
  result.headerError = headerError;
  finishRecovery(journal, scan.rows, scan.lost, result, document);
  return result;
}

QString RecoveryResult::shortfall() const {
  QStringList missing;
  if (lostRows > 0)
    missing << (lostRows == 1 ? QStringLiteral("About 1 sample was")
                              : QStringLiteral("About %1 samples were").arg(lostRows)) +
                   (lostAtEnd ? QStringLiteral(" at the end of the journal, in a part the disk had "
                                               "not written whole, and could not be read.")
                              : QStringLiteral(
                                    " in a damaged part of the journal and could not be read; "
                                    "the samples after it were recovered and follow on without "
                                    "a gap."));
  if (stoppedEarly)
    missing << (missingAfterStop > 0
                    ? QStringLiteral("The journal stopped before the run ended (its disk was "
                                     "full or failed): the last %1 samples of the run are "
                                     "missing.")
                          .arg(missingAfterStop)
                : missingAfterStop == 0
                    ? QStringLiteral("The journal stopped before the run ended, but "
                                     "every sample of the run is in it.")
                    : QStringLiteral("The journal stopped before the run ended (its disk "
                                     "was full or failed): the samples taken after that "
                                     "are missing; how many is not known."));
  if (headerDamaged)
    missing << QStringLiteral(
        "The journal's settings could not be read, so the recording has the default settings "
        "(interval, calibration, graph); the time stamps and values are as recorded.");
  if (withoutHeader)
    missing << QStringLiteral(
        "The journal's settings were missing, so the recording has the default settings "
        "(interval, calibration, graph); the time stamps and values are as recorded.");
  return missing.join(QLatin1Char(' '));
}

void removeJournal(const QString& base) {
  SampleStore::remove(journalfile::samples(base));
  QFile::remove(journalfile::rows(base));
  QFile::remove(journalfile::header(base));
  QFile::remove(journalfile::kept(base));
  QFile::remove(journalfile::stopped(base));
}

QString describeJournal(const JournalInfo& journal) {
  const QString samples = zrv::counted(journal.samples, QStringLiteral("sample"));
  return journal.startTime.isEmpty()
             ? QStringLiteral("a recording of %1").arg(samples)
             : QStringLiteral("a recording of %1 from %2").arg(samples, journal.startTime);
}

}  // namespace zrvlog
