#include "runjournal.h"

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

#include "app/acquisition/engine.h"
#include "app/documents/datafile.h"
#include "app/recovery/journalrecovery.h"
#include "app/recovery/privatefiles.h"
#include "app/store/samplestore.h"
#include "common/automationerror.h"

Q_LOGGING_CATEGORY(lcJournal, "zrvlog.journal", QtWarningMsg)

namespace zrvlog {

RunJournal::RunJournal(AcquisitionEngine& engine, QString folder, Timing timing, QObject* parent)
    : QObject(parent), m_engine(engine), m_folder(std::move(folder)), m_timing(timing) {
  connect(&engine, &AcquisitionEngine::sampleRecorded, this, &RunJournal::onSampleRecorded);
  connect(&engine, &AcquisitionEngine::dataReset, this, &RunJournal::discard);
  // A header changed when the ticks have stopped (a stopped run, a long interval) still
  // goes out in time.
  m_flushTimer.setInterval(int(m_timing.flushEvery.count()));
  connect(&m_flushTimer, &QTimer::timeout, this, &RunJournal::flush);
}

RunJournal::~RunJournal() {
  close();
}

QString RunJournal::defaultFolder() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
         QStringLiteral("/ZRVLOG/recovery");
}

void RunJournal::onSampleRecorded() {
  if (!m_error.isEmpty()) return;  // stopped for this data set; the next one tries again
  if (!active() && !start()) return;
  // The header is compared a second's worth of ticks at a time: a tick pays for nothing but
  // this check.
  if (std::chrono::steady_clock::now() - m_lastFlush >= m_timing.flushEvery) flush();
}

bool RunJournal::start() {
  if (const auto problem = makePrivateFolder(m_folder)) {
    fail(*problem);
    return false;
  }
  Document& document = m_engine.document();
  const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
  for (int attempt = 0;; ++attempt) {
    QString base =
        QStringLiteral("%1/run-%2-%3").arg(m_folder, stamp).arg(QCoreApplication::applicationPid());
    if (attempt > 0) base += QLatin1Char('-') + QString::number(attempt);
    // The samples first, with the store's lock: a journal is never seen without its owner's
    // lock. A name that is taken (by any file) is left alone.
    if (QFileInfo::exists(journalfile::header(base)) ||
        QFileInfo::exists(journalfile::rows(base))) {
      if (attempt > 100) {
        fail(QStringLiteral("Cannot find a free name for a journal in %1").arg(m_folder));
        return false;
      }
      continue;
    }
    try {
      document.moveSamplesTo(journalfile::samples(base), m_timing.syncEvery);
      m_base = base;
      break;
    } catch (const zrv::AutomationError& e) {
      if (QFileInfo::exists(journalfile::samples(base)) && attempt <= 100) continue;
      fail(QStringLiteral("Cannot keep the samples in the journal: %1").arg(e.detail()));
      return false;
    }
  }
  m_header.clear();
  m_lastFlush = std::chrono::steady_clock::now();
  m_flushTimer.start();
  writeHeaderIfChanged();
  // The new names have to reach the disk as well as the bytes.
  if (active() && !syncFolder(m_folder)) fail(QStringLiteral("Cannot sync %1").arg(m_folder));
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
}

void RunJournal::flush() {
  if (!active()) return;
  if (const int error = m_engine.document().store().syncError()) {
    fail(
        QStringLiteral("Cannot sync %1: %2").arg(journalfile::samples(m_base), systemError(error)));
    return;
  }
  writeHeaderIfChanged();
  m_lastFlush = std::chrono::steady_clock::now();
}

void RunJournal::fail(const QString& message) {
  qCWarning(lcJournal) << message;
  const bool first = m_error.isEmpty();
  m_error = message;
  // The files stay for a crash before the data set is saved, and go with it once it is.
  // A mark says that the journal ends before its run did: a recovery must not pass it off
  // as the whole run. It takes no data block, so it can be made on a full disk.
  if (active()) {
    m_leftBehind = m_base;
    const int fd = createPrivateFile(journalfile::stopped(m_base));
    if (fd >= 0) ::close(fd);
    syncFolder(m_folder);
  }
  close();
  if (first) Q_EMIT failed(message);
}

void RunJournal::close() {
  m_flushTimer.stop();
  if (active() && m_error.isEmpty()) flush();
  m_base.clear();
}

void RunJournal::remove(const QString& base) {
  if (base.isEmpty()) return;
  Document& document = m_engine.document();
  if (document.sampleFolder() == journalfile::samples(base)) document.takeSamplesBack();
  removeJournal(base);
}

void RunJournal::discard() {
  m_flushTimer.stop();
  remove(std::exchange(m_base, QString()));
  remove(std::exchange(m_leftBehind, QString()));
  m_header.clear();
  m_error.clear();
}

void RunJournal::keep() {
  const QString base = active() ? m_base : m_leftBehind;
  close();
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
  // Should this data set go on, a new journal starts with all of its samples.
  m_header.clear();
}

bool RunJournal::adopt(const JournalInfo& journal) {
  discard();
  Document& document = m_engine.document();
  const QString samples = journalfile::samples(journal.base);
  if (document.sampleFolder() == samples) {
    // Recovered in place: the data set's samples are the journal's, locked by this process.
    m_base = journal.base;
    document.store().setSyncInterval(m_timing.syncEvery);
    // In use again: should this process end unexpectedly, that is what the next start says.
    QFile::remove(journalfile::kept(m_base));
    ::chmod(QFile::encodeName(journalfile::header(m_base)).constData(), 0600);
    QFile header(journalfile::header(m_base));
    if (header.open(QIODevice::ReadOnly)) m_header = header.readAll();
    m_lastFlush = std::chrono::steady_clock::now();
    m_flushTimer.start();
    return true;
  }
  // A journal of text rows, whose samples were read into the data set: a new journal takes
  // them over, and the old one goes once they are on the disk.
  if (!start()) return false;
  if (!document.store().sync()) {
    m_error = QStringLiteral("Cannot sync %1").arg(journalfile::samples(m_base));
    return false;
  }
  removeJournal(journal.base);
  return true;
}

}  // namespace zrvlog
