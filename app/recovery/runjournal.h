#pragma once
// RunJournal: keeps what a run records on disk as it is recorded, so that a crash, a power
// cut or a killed session loses at most about a second of samples.
//
// A journal lives in the user's data folder (~/.local/share/ZRVLOG/recovery): NAME.samples
// is the data set's own sample store, moved there when the run's first sample is recorded
// and synced to the disk every second by the store's own thread; NAME.head holds everything
// a data file keeps before its sample rows (the settings, interval, coefficients, start
// time, graph ranges and look), rewritten whenever it changes. The header and the store's
// rows make the data file a save would have written, so recovering one gives what a save
// and a reload give. The samples are written once, into the store: the journal costs no
// disk beyond the store the data set needs anyway.
//
// Costs: a tick only checks the clock. At most once a second the header is compared with
// the one written, and rewritten when it changed; the store syncs on its own thread, so a
// slow disk never holds up a tick.
//
// Ownership: the process that writes a journal holds its store open, and with it the
// store's lock; a journal whose lock is free was left behind by a process that ended (see
// journalrecovery.h). The files are private to the user (mode 0600, in folders of mode
// 0700). A journal left on purpose, by keep(), says so in a file NAME.kept; one without it
// was left by a process that ended unexpectedly. The journal goes when its data is safe or
// deliberately thrown away: discard(), which gives the data set its samples back; so does a
// journal that stopped on an error, once its data set is saved.
//
// Journals of earlier versions kept the rows as text in NAME.rows; they are still recovered.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>

namespace zrvlog {

class AcquisitionEngine;
struct JournalInfo;

/// How often a journal writes: its header when it changed, at every flush; the samples reach
/// the disk every syncEvery.
struct JournalTiming {
  std::chrono::milliseconds flushEvery{1000};
  std::chrono::milliseconds syncEvery{1000};
};

class RunJournal : public QObject {
  Q_OBJECT

 public:
  using Timing = JournalTiming;

  /// The journal of the engine's data set, in folder (created when needed).
  explicit RunJournal(AcquisitionEngine& engine, QString folder = defaultFolder(),
                      Timing timing = Timing{}, QObject* parent = nullptr);
  /// Lets go of the journal; its files stay unless discard() ran.
  ~RunJournal() override;

  /// ~/.local/share/ZRVLOG/recovery (under XDG_DATA_HOME when set).
  static QString defaultFolder();

  /// Whether a journal is being written.
  bool active() const { return !m_base.isEmpty(); }
  /// The journal's name: NAME.head and NAME.samples; empty while inactive.
  QString base() const { return m_base; }
  /// Whether files of this data set's journal are on the disk: it is active, or it stopped
  /// on an error and left them.
  bool holdsSamples() const { return active() || !m_leftBehind.isEmpty(); }

  /// Writes a changed header now, and says whether the samples' syncing failed.
  void flush();
  /// The data set is safe (saved) or was deliberately thrown away: the files go, those of a
  /// journal that stopped on an error as well.
  void discard();
  /// Lets go of the journal but leaves its files, marked as kept on purpose, to be recovered
  /// later, whatever becomes of the data set (a save that failed or was cancelled before the
  /// data set is thrown away).
  void keep();
  /// Continues a recovered journal, whose samples the engine now holds, so that the recovered
  /// data stay protected until they are saved. False (with lastError()) when it cannot.
  bool adopt(const JournalInfo& journal);

  /// Why the journal stopped, if it did; the run goes on without it.
  QString lastError() const { return m_error; }

 Q_SIGNALS:
  /// Writing the journal failed; it stops, and message says why, for people.
  void failed(const QString& message);

 private:
  void onSampleRecorded();
  bool start();
  void writeHeaderIfChanged();
  void fail(const QString& message);
  void close();
  /// Removes a journal's files, giving the data set its samples back first when they are
  /// the journal's.
  void remove(const QString& base);

  AcquisitionEngine& m_engine;
  QString m_folder;
  Timing m_timing;
  QString m_base;
  QString m_leftBehind;  // a journal that stopped on an error: its files wait for discard()
  QByteArray m_header;   // as last written
  std::chrono::steady_clock::time_point m_lastFlush{};
  QTimer m_flushTimer;
  QString m_error;
};

}  // namespace zrvlog
