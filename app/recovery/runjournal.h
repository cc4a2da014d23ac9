#pragma once
// RunJournal: keeps what a run records on disk as it is recorded, so that a crash, a power
// cut or a killed session loses at most about a second of samples.
//
// A journal is a data file in two parts in the user's data folder
// (~/.local/share/ZRVLOG/recovery): NAME.head holds everything before the sample rows (the
// settings, interval, coefficients, start time, graph ranges and look), rewritten whenever
// it changes; NAME.rows gets the sample rows appended. Put together they are the data file
// a save would have written, so recovering one gives exactly what a save and a reload give.
//
// Costs: a tick only checks the clock. At least once a second the new rows are formatted and
// handed to the system in one write, and a thread of their own syncs them to the disk right
// after (at most once a second), so a slow disk never holds up a tick. The folder is synced
// too when a journal's files appear in it, or the files could vanish with a power cut.
//
// Ownership: the process that writes a journal holds a lock on its rows file; a journal
// whose lock is free was left behind by a process that ended (see journalrecovery.h). The
// files are private to the user (mode 0600, in a folder of mode 0700). A journal left on
// purpose, by keep(), says so in a third file, NAME.kept; one without it was left by a
// process that ended unexpectedly.
// The journal goes when its data is safe or deliberately thrown away: discard(); so does a
// journal that stopped on a write error, once its data set is saved.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace zrvlog {

class AcquisitionEngine;
class GeneralText;
struct JournalInfo;

/// How often a journal writes: buffered rows reach the system at every flush, and the disk
/// right after it, but not more often than once per minSyncGap.
struct JournalTiming {
  std::chrono::milliseconds flushEvery{1000};
  std::chrono::milliseconds minSyncGap{1000};
};

class RunJournal : public QObject {
  Q_OBJECT

 public:
  using Timing = JournalTiming;

  /// The journal of the engine's data set, in folder (created when needed).
  explicit RunJournal(AcquisitionEngine& engine, QString folder = defaultFolder(),
                      Timing timing = Timing{}, QObject* parent = nullptr);
  /// Writes what is buffered and lets go of the files; they stay unless discard() ran.
  ~RunJournal() override;

  /// ~/.local/share/ZRVLOG/recovery (under XDG_DATA_HOME when set).
  static QString defaultFolder();

  /// Whether a journal file is being written.
  bool active() const { return m_rowsFd >= 0; }
  /// The journal's name: NAME.head and NAME.rows; empty while inactive.
  QString base() const { return m_base; }
  /// Rows handed to the system so far.
  std::size_t rows() const { return m_rows; }

  /// Writes a changed header and the buffered rows now.
  void flush();
  /// The data set is safe (saved) or was deliberately thrown away: the files go, those of a
  /// journal that stopped on an error as well.
  void discard();
  /// Lets go of the journal but leaves its files, marked as kept on purpose, to be recovered
  /// later, whatever becomes of the data set (a save that failed or was cancelled before the
  /// data set is thrown away).
  void keep();
  /// Continues a recovered journal, whose rows the engine now holds, so that the recovered
  /// data stay protected until they are saved. False (with lastError()) when it cannot.
  bool adopt(const JournalInfo& journal);

  /// Why the journal stopped, if it did; the run goes on without it.
  QString lastError() const { return m_error; }

 Q_SIGNALS:
  /// Writing the journal failed; it stops, and message says why, for people.
  void failed(const QString& message);

 private:
  class Syncer;
  void onSampleRecorded();
  bool start();
  void formatNewRows();
  void writeHeaderIfChanged();
  void writePending();
  void fail(const QString& message);
  void close(bool remove);
  void removeLeftBehind();

  AcquisitionEngine& m_engine;
  QString m_folder;
  Timing m_timing;
  QString m_base;
  QString m_leftBehind;  // a journal that stopped on an error: its files wait for discard()
  int m_rowsFd = -1;
  std::size_t m_rows = 0;
  std::string m_pending;
  QByteArray m_header;  // as last written
  std::unique_ptr<GeneralText> m_text;
  std::chrono::steady_clock::time_point m_lastFlush{};
  QTimer m_flushTimer;
  std::unique_ptr<Syncer> m_syncer;
  QString m_error;
};

}  // namespace zrvlog
