#include "runjournal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>

#include "app/acquisition/engine.h"
#include "app/documents/datafile.h"
#include "app/documents/numbertext.h"
#include "app/graph/graphmodel.h"
#include "app/recovery/journalrecovery.h"
#include "app/recovery/privatefiles.h"
#include "app/safewrite/safewrite.h"

Q_LOGGING_CATEGORY(lcJournal, "zrvlog.journal", QtWarningMsg)

namespace zrvlog {

namespace {

// Opens a journal's rows file for appending and takes its lock; -1 with errno when either
// fails (EWOULDBLOCK: another process writes it).
int openLocked(const QString& path, int flags) {
  const int fd = ::open(QFile::encodeName(path).constData(),
                        flags | O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

}  // namespace

// Syncs the rows file to the disk after each flush, away from the UI thread: a sync can take
// a while on a busy disk, and a tick must not wait for it. Flushes that come quicker than
// the gap are synced together.
class RunJournal::Syncer {
 public:
  Syncer(int fd, QString folder, std::chrono::milliseconds gap)
      : m_fd(fd), m_folder(std::move(folder)), m_gap(gap), m_thread([this] { run(); }) {}
  ~Syncer() {
    {
      std::lock_guard lock(m_mutex);
      m_stop = true;
    }
    m_wake.notify_one();
    m_thread.join();
  }
  /// Rows were written; with folderChanged, a file of the journal appeared or was renamed.
  /// The errno of the first sync that failed, 0 while none did.
  int failure() {
    std::lock_guard lock(m_mutex);
    return m_error;
  }
  void markWritten(bool folderChanged = false) {
    bool idle = false;
    {
      std::lock_guard lock(m_mutex);
      m_rowsDirty = true;
      m_folderDirty |= folderChanged;
      idle = m_idle;
    }
    // Waking a thread costs the waker its turn on a busy machine: only an idle syncer is
    // woken; one that waits for the gap syncs these rows with the others when it ends.
    if (idle) m_wake.notify_one();
  }

 private:
  void run() {
    using Clock = std::chrono::steady_clock;
    std::unique_lock lock(m_mutex);
    Clock::time_point lastSync{};
    for (;;) {
      m_idle = true;
      m_wake.wait(lock, [this] { return m_stop || m_rowsDirty || m_folderDirty; });
      m_idle = false;
      if (m_stop) break;
      if (m_wake.wait_until(lock, lastSync + m_gap, [this] { return m_stop; })) break;
      syncNow(lock);
      lastSync = Clock::now();
    }
    syncNow(lock);  // what was written before the end
  }
  void syncNow(std::unique_lock<std::mutex>& lock) {
    const bool rows = std::exchange(m_rowsDirty, false);
    const bool folder = std::exchange(m_folderDirty, false);
    if (!rows && !folder) return;
    lock.unlock();
    // Checked like every write: a disk that fails the sync has not got the rows.
    int error = 0;
    if (rows && ::fdatasync(m_fd) != 0) error = errno;
    if (folder && !syncFolder(m_folder) && error == 0) error = errno != 0 ? errno : EIO;
    lock.lock();
    if (error != 0 && m_error == 0) m_error = error;
  }

  const int m_fd;
  const QString m_folder;
  const std::chrono::milliseconds m_gap;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_rowsDirty = false, m_folderDirty = false, m_stop = false;
  bool m_idle = false;  // waiting for rows to sync, not for the gap to end
  int m_error = 0;
  std::thread m_thread;  // last: it starts running once everything above is set up
};

RunJournal::RunJournal(AcquisitionEngine& engine, QString folder, Timing timing, QObject* parent)
    : QObject(parent), m_engine(engine), m_folder(std::move(folder)), m_timing(timing) {
  connect(&engine, &AcquisitionEngine::sampleRecorded, this, &RunJournal::onSampleRecorded);
  connect(&engine, &AcquisitionEngine::dataReset, this, &RunJournal::discard);
  // Rows buffered when the ticks stop (a stopped run, a long interval) still go out in time.
  m_flushTimer.setInterval(int(m_timing.flushEvery.count()));
  connect(&m_flushTimer, &QTimer::timeout, this, &RunJournal::flush);
}

RunJournal::~RunJournal() {
  close(false);
}

QString RunJournal::defaultFolder() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
         QStringLiteral("/ZRVLOG/recovery");
}

void RunJournal::onSampleRecorded() {
  if (!m_error.isEmpty()) return;  // stopped for this data set; the next one tries again
  if (!active()) {
    if (m_engine.document().sampleCount() <= m_rows || !start()) return;
  }
  // Rows are formatted when they are written, a second's worth at a time: a tick pays for
  // nothing but this check.
  if (std::chrono::steady_clock::now() - m_lastFlush >= m_timing.flushEvery) flush();
}

void RunJournal::formatNewRows() {
  const std::size_t complete = m_engine.document().sampleCount();
  if (complete <= m_rows) return;
  appendSampleRows(m_pending, *m_text, m_engine.document().store(), m_rows, complete);
  m_rows = complete;
}

bool RunJournal::start() {
  if (const auto problem = makePrivateFolder(m_folder)) {
    fail(*problem);
    return false;
  }
  const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
  for (int attempt = 0;; ++attempt) {
    QString base =
        QStringLiteral("%1/run-%2-%3").arg(m_folder, stamp).arg(QCoreApplication::applicationPid());
    if (attempt > 0) base += QLatin1Char('-') + QString::number(attempt);
    // The rows file first, locked: a journal is never seen without its owner's lock.
    const int fd = openLocked(journalfile::rows(base), O_CREAT | O_EXCL);
    if (fd >= 0) {
      m_rowsFd = fd;
      m_base = base;
      break;
    }
    if (errno != EEXIST || attempt > 100) {
      fail(QStringLiteral("Cannot create %1: %2").arg(journalfile::rows(base), systemError(errno)));
      return false;
    }
  }
  m_text = std::make_unique<GeneralText>();
  m_syncer = std::make_unique<Syncer>(m_rowsFd, m_folder, m_timing.minSyncGap);
  m_header.clear();
  m_lastFlush = std::chrono::steady_clock::now();
  m_flushTimer.start();
  writeHeaderIfChanged();
  return active();
}

void RunJournal::writeHeaderIfChanged() {
  const QByteArray header = dataFileHeader(m_engine.document());
  if (header == m_header) return;
  if (const auto problem = replacePrivateFile(journalfile::header(m_base), header)) {
    fail(*problem);
    return;
  }
  m_header = header;
  // The new name has to reach the disk as well as the bytes.
  if (m_syncer) m_syncer->markWritten(true);
}

void RunJournal::writePending() {
  if (m_syncer) {
    if (const int error = m_syncer->failure()) {
      fail(QStringLiteral("Cannot sync %1: %2").arg(journalfile::rows(m_base), systemError(error)));
      return;
    }
  }
  if (!writeWhole(m_rowsFd, m_pending.data(), m_pending.size())) {
    fail(QStringLiteral("Cannot write %1: %2").arg(journalfile::rows(m_base), systemError(errno)));
    return;
  }
  m_pending.clear();
  if (m_syncer) m_syncer->markWritten();
}

void RunJournal::flush() {
  if (!active()) return;
  writeHeaderIfChanged();
  if (!active()) return;
  formatNewRows();
  writePending();
  m_lastFlush = std::chrono::steady_clock::now();
}

void RunJournal::fail(const QString& message) {
  qCWarning(lcJournal) << message;
  const bool first = m_error.isEmpty();
  m_error = message;
  m_pending.clear();  // what could not be written stays out; the rows before it are whole
  // The files stay for a crash before the data set is saved, and go with it once it is.
  // A mark says that the journal ends before its run did: a recovery must not pass it off
  // as the whole run. It takes no data block, so it can be made on a full disk.
  if (active()) {
    m_leftBehind = m_base;
    const int fd = createPrivateFile(journalfile::stopped(m_base));
    if (fd >= 0) ::close(fd);
    syncFolder(m_folder);
  }
  close(false);
  if (first) Q_EMIT failed(message);
}

void RunJournal::close(bool remove) {
  m_flushTimer.stop();
  if (!active()) return;
  if (!remove && m_error.isEmpty()) {
    formatNewRows();
    writePending();
  }
  m_syncer.reset();  // a last sync of what was written, unless the files are going anyway
  // Lets go of the lock as well. A failed close may have lost rows: the mark says so.
  if (::close(m_rowsFd) != 0 && !remove && m_error.isEmpty()) {
    const int fd = createPrivateFile(journalfile::stopped(m_base));
    if (fd >= 0) ::close(fd);
  }
  m_rowsFd = -1;
  if (remove) removeJournal(m_base);
  m_pending.clear();
  m_base.clear();
}

void RunJournal::removeLeftBehind() {
  if (m_leftBehind.isEmpty()) return;
  removeJournal(m_leftBehind);
  m_leftBehind.clear();
}

void RunJournal::discard() {
  m_pending.clear();  // thrown away with the files
  close(true);
  removeLeftBehind();
  m_rows = 0;
  m_header.clear();
  m_error.clear();
}

void RunJournal::keep() {
  const QString base = active() ? m_base : m_leftBehind;
  close(false);
  m_leftBehind.clear();
  // A journal that stopped early: how many samples the run had, so that a recovery can say
  // how many are missing (best effort: its disk may still be full).
  if (!base.isEmpty() && QFileInfo::exists(journalfile::stopped(base))) {
    const QByteArray count =
        QByteArray::number(qulonglong(m_engine.document().sampleCount())) + '\n';
    replacePrivateFile(journalfile::stopped(base), count);
  }
  // The next start can then say that the data were kept unsaved, not lost in a crash.
  if (!base.isEmpty()) {
    const int fd = createPrivateFile(journalfile::kept(base));
    if (fd >= 0) {
      ::fdatasync(fd);
      ::close(fd);
      syncFolder(m_folder);
    } else if (errno != EEXIST) {
      qCWarning(lcJournal) << "Cannot mark" << base << "as kept:" << systemError(errno);
    }
  }
  // Should this data set go on, a new journal starts with all of its rows, whole on its own.
  m_rows = 0;
  m_header.clear();
}

bool RunJournal::adopt(const JournalInfo& journal) {
  discard();
  const int fd = openLocked(journalfile::rows(journal.base), 0);
  if (fd < 0) {
    m_error = QStringLiteral("Cannot continue %1: %2")
                  .arg(journalfile::rows(journal.base), systemError(errno));
    return false;
  }
  // A row cut off by the crash would run into the next one written: drop it from the file.
  QFile rows(journalfile::rows(journal.base));
  qint64 keep = 0;
  if (rows.open(QIODevice::ReadOnly)) {
    const QByteArray bytes = rows.readAll();
    keep = bytes.lastIndexOf('\n') + 1;
  }
  if (::ftruncate(fd, keep) != 0) {
    m_error = QStringLiteral("Cannot continue %1: %2")
                  .arg(journalfile::rows(journal.base), systemError(errno));
    ::close(fd);
    return false;
  }
  // Journals of older versions were readable by others.
  ::fchmod(fd, 0600);
  ::chmod(QFile::encodeName(journalfile::header(journal.base)).constData(), 0600);
  m_rowsFd = fd;
  m_base = journal.base;
  m_rows = m_engine.document().sampleCount();
  m_text = std::make_unique<GeneralText>();
  m_syncer =
      std::make_unique<Syncer>(m_rowsFd, QFileInfo(m_base).absolutePath(), m_timing.minSyncGap);
  // In use again: should this process end unexpectedly, that is what the next start says.
  QFile::remove(journalfile::kept(m_base));
  QFile header(journalfile::header(m_base));
  if (header.open(QIODevice::ReadOnly)) m_header = header.readAll();
  m_lastFlush = std::chrono::steady_clock::now();
  m_flushTimer.start();
  return true;
}

}  // namespace zrvlog
