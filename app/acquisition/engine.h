#pragma once
// AcquisitionEngine: the run, without any window. It records into a Document
// (app/documents/document.h), which holds the samples, the settings and the graph's look.
//
// A run opens the board link and hands it to the Sampler (sampler.h), which reads the
// channels on every tick of the sampling timer. The engine records each tick's readings on
// the UI thread: it averages and calibrates them, appends the sample (key, the tick's
// wall-clock time, jitter and values) to the document's store once, scrolls or autoranges the
// graph, flags timing overruns, and ends the run at the stop time (wall time from the run's first
// tick: ticks without a sample count too). What happened is reported as values (SampleReport,
// RunEnd); the window and the headless recorder turn them into texts.
//
// Threads: the sampler reads on the timer's tick thread. With the real timer that is a thread
// of its own (real-time where the system grants it), so the engine never waits on the board
// during a run and no replot or dialog delays a read; with the manual timer of the tests it is
// the caller's, and a tick is recorded before ManualTimer::fire() returns. With real-time
// priority a run keeps the engine's thread and the tick thread on one CPU (SharedCpu): the
// tick thread takes it whenever it reads, the drawing gets the rest (a step behind the
// kernel's own work there), and the other CPUs stay free for the kernel's work on the serial
// port that every read waits for. Either way a reading that belongs to a stopped run or to a
// data set that was cleared or replaced since its tick began is dropped, and the board link
// closes only after the sampler has let go of it.

#include <QObject>
#include <QString>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "app/acquisition/sampler.h"
#include "app/documents/document.h"
#include "app/documents/settingtable.h"
#include "app/timer/realtime.h"

namespace zrvlog {

class BoardControl;
class GraphModel;
class SamplingTimer;

/// One recorded sample, as the window and the headless recorder show it.
struct SampleReport {
  double sampleTime = 0;                          ///< its nominal time in seconds (X of its points)
  std::array<double, kChannels> values{};         ///< calibrated values, channels not read included
  int32_t jitter = 0;                             ///< measured period minus the interval, ms
  bool overrun = false;                           ///< the period was outside the tolerance
  bool first = false;                             ///< the run's first sample: it set StartTime
  double tickStart = 0;                           ///< local date-time of its tick (day count)
  std::chrono::steady_clock::time_point started;  ///< the same instant, to the microsecond
  std::chrono::steady_clock::duration reading{};  ///< how long reading the board took
  int64_t missedTicks = 0;                        ///< ticks of the run that could not read so far
  std::size_t samples = 0;                        ///< samples in the data set, this one included
};

/// Why a run ended.
enum class RunEnd {
  Stopped,          ///< by command (Stop, New, Open, Exit, a signal)
  StopTimeReached,  ///< by itself, after the sample at the stop time
  Failed,           ///< the board, the port or the calibration failed; see the message
};

class AcquisitionEngine : public QObject {
  Q_OBJECT

 public:
  /// Records into document. The timer delivers its ticks on a thread of its own from here on
  /// (where it has one).
  AcquisitionEngine(Document& document, BoardControl& board, SamplingTimer& timer,
                    QObject* parent = nullptr);
  /// Records into a document of its own whose look is graph.
  AcquisitionEngine(GraphModel& graph, BoardControl& board, SamplingTimer& timer,
                    QObject* parent = nullptr);
  ~AcquisitionEngine() override;

  Document& document() { return m_document; }
  const Document& document() const { return m_document; }
  GraphModel& graph() { return m_document.graph(); }
  /// The board control. While a run goes on (and until its last tick has let go of it) the
  /// sampler alone may use it; reclaimLink() waits for that.
  BoardControl& board() { return m_board; }
  /// The timer, for its statistics and deadlines. Its interval is set through SetTimerInt.
  SamplingTimer& timer() { return m_timer; }

  /// The document's settings and data set.
  AcquisitionSettings& settings;
  DataSet& data;

  /// The Data > Autorange switch: while on, every tick fits the graph to the data. The menu's
  /// check mark follows it through autorangeChanged().
  bool autorange() const { return m_document.autorange(); }
  void setAutorange(bool on) { m_document.setAutorange(on); }

  // --- Graph and data set resets ------------------------------------------------------
  /// The document's resets (document.h). Empties the data set and rebuilds the five channel
  /// elements with their colours and names; hands the settings' ranges to the graph.
  void ClearAll();
  /// Empties the data set for a new run, keeping the graph's look (element colours, names,
  /// styles, label formats, fonts and the other appearance settings).
  void ClearForRun();
  /// ClearAll, then the default ranges (0-100 s, 0-5) in the settings, default label
  /// formats, and no annotations or cursors.
  void InitGraph();
  /// The Y range and calibration presets: 0-5 V (a1 = kVoltsPerCount) or raw counts (a1 = 1).
  void quickset(Quickset preset);
  /// What the program sets up when it starts: a 1000 ms interval, the default graph and
  /// ranges, 25% tolerance, the 0-5 V preset, no averaging, five channels, doubled A/D clock.
  void applyStartUpDefaults();

  // --- Runs ----------------------------------------------------------------------------
  /// Whether a run is going on.
  bool running() const { return m_running; }
  /// Starts a run: ClearForRun, open the link, reset and configure the board, mark the data
  /// changed, hand the link to the sampler and start the timer. On failure the link is closed
  /// again, nothing runs, and the error (zrv::AutomationError) reaches the caller.
  void startRun();
  /// Stops the run: no sample is recorded after it; the sampler stops ticking, hands over the
  /// readings it held for their proof and closes the link once its current tick (if any) has
  /// finished. A tick still reading after a short wait (50 ms) is not recorded. The data stays for
  /// saving and export.
  void stopRun();
  /// Whether the board is read with real-time priority (see app/timer/realtime.h).
  bool realTimePriority() const;
  /// Ticks of the current (or last) run that produced no sample.
  int64_t missedTicks() const { return m_missedTicks; }
  /// How long a run waits for a port that failed (an unplugged adapter) to come back before
  /// it ends; 0: it ends at once. Takes effect at the next start.
  static constexpr std::chrono::seconds kDefaultReconnectGrace{30};
  std::chrono::seconds reconnectGrace() const { return m_reconnectGrace; }
  void setReconnectGrace(std::chrono::seconds grace) {
    m_reconnectGrace = std::max(grace, std::chrono::seconds::zero());
  }
  /// Waits until no tick holds the board any more (after a stop); needed only before using
  /// the board outside a run.
  void reclaimLink();
  /// The channel count or the averaging changed during a run: the next tick reads the new
  /// way. (A recorded sample also notices, one tick later.)
  void readPlanChanged();

  // --- Timer access, as the options dialog uses it --------------------------------------
  int32_t GetTimerInt() const;
  void SetTimerInt(int32_t milliseconds);
  int32_t GetTimerFreq() const;
  void SetTimerFreq(int32_t frequency);
  int32_t GetTimerRes() const;
  int32_t GetTimerResMax() const;
  int32_t GetTimerResMin() const;

 Q_SIGNALS:
  /// A run started or stopped (by command, at the stop time, or after an error).
  void runningChanged(bool running);
  /// A run ended, and why; message says what failed, for people (empty otherwise). Comes
  /// right after runningChanged(false).
  void runEnded(zrvlog::RunEnd why, const QString& message);
  /// One sample has been recorded.
  void sampleRecorded(const zrvlog::SampleReport& report);
  /// A tick of the run could not read; missed counts them (the run goes on).
  void tickMissed(int64_t missed, const QString& why);
  /// The port failed and the run waits for it to come back: "Waiting for COM3 to come back
  /// (12 s)", once a tick until a sample is recorded again or the run ends.
  void waitingForPort(const QString& status);
  /// The autorange switch was turned on or off.
  void autorangeChanged(bool on);
  /// The samples were emptied (Clear, New, a new run, before a file is loaded): what was
  /// recorded is gone from the data set.
  void dataReset();

 private:
  void takeSamples();
  void record(const RawTick& tick);
  void endRun(RunEnd why, const QString& message = {});
  void onTickMissed(uint64_t run, int64_t missed, const QString& why, qint64 elapsedMs);
  /// Whether a tick elapsedMs after the run's first one is the last before the stop time.
  bool stopTimePassed(int64_t elapsedMs, int32_t intervalMs) const;
  void onSamplerFailed(uint64_t run, const QString& message);
  ReadPlan readPlan() const { return {settings.ChanLimit, settings.AvgCt}; }
  void samplesCleared();
  void scrollOrFit(int32_t intervalMs);

  std::unique_ptr<Document> m_ownDocument;
  Document& m_document;
  BoardControl& m_board;
  SamplingTimer& m_timer;
  bool m_running = false;
  uint64_t m_run = 0;  // changes at every start and stop
  int64_t m_missedTicks = 0;
  bool m_stopping = false;  // stopRun() is settling the sampler's held readings
  std::chrono::seconds m_reconnectGrace = kDefaultReconnectGrace;
  ReadPlan m_plan;                   // as last handed to the sampler
  std::atomic<uint64_t> m_epoch{0};  // the data set's generation, for the sampler
  LinkBaton m_baton;
  // During a run with real-time priority the window and the tick thread share one CPU.
  SharedCpu m_windowCpu;
  SharedCpu m_tickCpu;
  std::unique_ptr<Sampler> m_sampler;
};

/// The setting table's values as a run holds them: the document's, and the timer's frequency
/// and the reconnect wait of the engine. The interval goes to the timer as well.
zrv::Variant settingValue(const AcquisitionEngine& engine, const SettingDescriptor& d);
void setSetting(AcquisitionEngine& engine, const SettingDescriptor& d, const zrv::Variant& value);
QString settingText(const AcquisitionEngine& engine, const SettingDescriptor& d);

}  // namespace zrvlog
