#include "runjournal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QSaveFile>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>

#include "app/acquisition/engine.h"
#include "app/documents/datafile.h"
#include "app/documents/numbertext.h"
#include "app/graph/graphmodel.h"
#include "app/recovery/journalrecovery.h"

Q_LOGGING_CATEGORY(lcJournal, "zrvlog.journal", QtWarningMsg)

namespace zrvlog {

namespace {

QString systemError(int error) {
  return QString::fromLocal8Bit(std::strerror(error));
}

QString rowsPath(const QString& base) {
  return base + QStringLiteral(".rows");
}
QString headerPath(const QString& base) {
  return base + QStringLiteral(".head");
}

// Opens a journal's rows file for appending and takes its lock; -1 with errno when either
// fails (EWOULDBLOCK: another process writes it).
int openLocked(const QString& path, int flags) {
  const int fd =
      ::open(QFile::encodeName(path).constData(), flags | O_WRONLY | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

// The graph's current element, annotation and cursor: writing the header walks them, and a
// journal must not move the user's selection every second.
struct SelectionGuard {
  explicit SelectionGuard(GraphModel& g)
      : graph(g),
        element(g.property(GraphMember::ElementIndex)),
        annotation(g.property(GraphMember::AnnotationIndex)),
        cursor(g.property(GraphMember::CursorIndex)) {}
  ~SelectionGuard() {
    graph.setProperty(GraphMember::ElementIndex, element);
    if (graph.annotationCount() > 0) graph.setProperty(GraphMember::AnnotationIndex, annotation);
    if (graph.cursorCount() > 0) graph.setProperty(GraphMember::CursorIndex, cursor);
  }
  GraphModel& graph;
  zrv::Variant element, annotation, cursor;
};

}  // namespace

// Syncs the rows file to the disk now and then, away from the UI thread: a sync can take a
// while on a busy disk, and a tick must not wait for it.
class RunJournal::Syncer {
 public:
  Syncer(int fd, std::chrono::milliseconds every)
      : m_fd(fd), m_every(every), m_thread([this] { run(); }) {}
  ~Syncer() {
    {
      std::lock_guard lock(m_mutex);
      m_stop = true;
    }
    m_wake.notify_one();
    m_thread.join();
  }
  void markWritten() { m_dirty.store(true, std::memory_order_release); }

 private:
  void run() {
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
      m_wake.wait_for(lock, m_every, [this] { return m_stop; });
      if (m_dirty.exchange(false)) {
        lock.unlock();
        ::fdatasync(m_fd);
        lock.lock();
      }
    }
    if (m_dirty.exchange(false)) ::fdatasync(m_fd);
  }

  const int m_fd;
  const std::chrono::milliseconds m_every;
  std::atomic<bool> m_dirty{false};
  std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_stop = false;
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
    if (completeRows(m_engine.data, m_engine.graph()) <= m_rows || !start()) return;
  }
  // Rows are formatted when they are written, a second's worth at a time: a tick pays for
  // nothing but this check.
  if (std::chrono::steady_clock::now() - m_lastFlush >= m_timing.flushEvery) flush();
}

void RunJournal::formatNewRows() {
  const std::size_t complete = completeRows(m_engine.data, m_engine.graph());
  if (complete <= m_rows) return;
  appendSampleRows(m_pending, *m_text, m_engine.data, m_engine.graph(), m_rows, complete);
  m_rows = complete;
}

bool RunJournal::start() {
  if (!QDir().mkpath(m_folder)) {
    fail(QStringLiteral("Cannot create the folder %1").arg(m_folder));
    return false;
  }
  const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
  for (int attempt = 0;; ++attempt) {
    QString base =
        QStringLiteral("%1/run-%2-%3").arg(m_folder, stamp).arg(QCoreApplication::applicationPid());
    if (attempt > 0) base += QLatin1Char('-') + QString::number(attempt);
    // The rows file first, locked: a journal is never seen without its owner's lock.
    const int fd = openLocked(rowsPath(base), O_CREAT | O_EXCL);
    if (fd >= 0) {
      m_rowsFd = fd;
      m_base = base;
      break;
    }
    if (errno != EEXIST || attempt > 100) {
      fail(QStringLiteral("Cannot create %1: %2").arg(rowsPath(base), systemError(errno)));
      return false;
    }
  }
  m_text = std::make_unique<GeneralText>();
  m_syncer = std::make_unique<Syncer>(m_rowsFd, m_timing.syncEvery);
  m_header.clear();
  m_lastFlush = std::chrono::steady_clock::now();
  m_flushTimer.start();
  writeHeaderIfChanged();
  return active();
}

void RunJournal::writeHeaderIfChanged() {
  QByteArray header;
  {
    SelectionGuard keep(m_engine.graph());
    header = dataFileHeader(m_engine);
  }
  if (header == m_header) return;
  QSaveFile file(headerPath(m_base));
  if (!file.open(QIODevice::WriteOnly) || file.write(header) != header.size() || !file.commit()) {
    fail(QStringLiteral("Cannot write %1: %2").arg(headerPath(m_base), file.errorString()));
    return;
  }
  m_header = header;
}

void RunJournal::writePending() {
  std::size_t done = 0;
  while (done < m_pending.size()) {
    const ssize_t n = ::write(m_rowsFd, m_pending.data() + done, m_pending.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : ENOSPC;
      // Keep the rows that made it whole; a part of a row would end the file in a muddle.
      m_pending.erase(0, done);
      fail(QStringLiteral("Cannot write %1: %2").arg(rowsPath(m_base), systemError(error)));
      return;
    }
    done += std::size_t(n);
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
  m_syncer.reset();   // a last sync of what was written, unless the files are going anyway
  ::close(m_rowsFd);  // lets go of the lock as well
  m_rowsFd = -1;
  if (remove) removeJournal(m_base);
  m_pending.clear();
  m_base.clear();
}

void RunJournal::discard() {
  m_pending.clear();  // thrown away with the files
  close(true);
  m_rows = 0;
  m_header.clear();
  m_error.clear();
}

void RunJournal::keep() {
  close(false);
  // Should this data set go on, a new journal starts with all of its rows, whole on its own.
  m_rows = 0;
  m_header.clear();
}

bool RunJournal::adopt(const JournalInfo& journal) {
  discard();
  const int fd = openLocked(rowsPath(journal.base), 0);
  if (fd < 0) {
    m_error =
        QStringLiteral("Cannot continue %1: %2").arg(rowsPath(journal.base), systemError(errno));
    return false;
  }
  // A row cut off by the crash would run into the next one written: drop it from the file.
  QFile rows(rowsPath(journal.base));
  qint64 keep = 0;
  if (rows.open(QIODevice::ReadOnly)) {
    const QByteArray bytes = rows.readAll();
    keep = bytes.lastIndexOf('\n') + 1;
  }
  if (::ftruncate(fd, keep) != 0) {
    m_error =
        QStringLiteral("Cannot continue %1: %2").arg(rowsPath(journal.base), systemError(errno));
    ::close(fd);
    return false;
  }
  m_rowsFd = fd;
  m_base = journal.base;
  m_rows = completeRows(m_engine.data, m_engine.graph());
  m_text = std::make_unique<GeneralText>();
  m_syncer = std::make_unique<Syncer>(m_rowsFd, m_timing.syncEvery);
  QFile header(headerPath(m_base));
  if (header.open(QIODevice::ReadOnly)) m_header = header.readAll();
  m_lastFlush = std::chrono::steady_clock::now();
  m_flushTimer.start();
  return true;
}

}  // namespace zrvlog
