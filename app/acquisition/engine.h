#pragma once
// AcquisitionEngine: the data set, the settings and the run, without any window.
//
// A run opens the board link, and every tick of the sampling timer reads the channels,
// averages and calibrates them, plots one point per channel, records the tick's wall-clock
// time and jitter, scrolls or autoranges the graph, flags timing overruns and ends the run at
// the stop time. The window shows what the engine reports through its signals; the headless
// recorder and the tests drive the same engine.
//
// Re-entrance: a board command may let the event loop run while it waits for the board, so
// a user command (Stop, Clear, New, Open) can run in the middle of a tick. A tick never
// starts inside another, and a tick whose run was stopped or whose data set was cleared or
// replaced meanwhile ends without writing anything.
//
// Errors inside a tick stop the run and are reported through tickFailed(); a tick never lets
// an exception out into the event loop.

#include <QObject>
#include <QString>
#include <cstdint>

#include "app/acquisition/dataset.h"
#include "app/acquisition/runsettings.h"

namespace zrvlog {

class BoardControl;
class GraphModel;
class SamplingTimer;

/// Status-bar panels the engine writes (1-based, as the window numbers them).
enum class StatusPanel { Status = 1, Start = 2, RunningTime = 3 };

/// The two calibration presets of the Data menu.
enum class Quickset { Volts0To5, RawCounts };

class AcquisitionEngine : public QObject {
  Q_OBJECT

 public:
  AcquisitionEngine(GraphModel& graph, BoardControl& board, SamplingTimer& timer,
                    QObject* parent = nullptr);
  ~AcquisitionEngine() override;

  GraphModel& graph() { return m_graph; }
  BoardControl& board() { return m_board; }
  SamplingTimer& timer() { return m_timer; }

  AcquisitionSettings settings;
  DataSet data;

  /// The Data > Autorange switch: while on, every tick fits the graph to the data. The menu's
  /// check mark follows it through autorangeChanged().
  bool autorange() const { return m_autorange; }
  void setAutorange(bool on);

  // --- Graph and data set resets ------------------------------------------------------
  /// Empties the data set and rebuilds the five channel elements with their colours and
  /// names; hands the settings' ranges to the graph.
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
  /// Whether a run is going on: the board link is open exactly while one is.
  bool running() const;
  /// Starts a run: ClearForRun, open the link, reset and configure the board, mark the data
  /// changed, start the timer. On failure the link is closed again, nothing runs, and the
  /// error (zrv::AutomationError) reaches the caller.
  void startRun();
  /// Stops the run: timer off, link closed. The data stays for saving and export.
  void stopRun();

  /// The tick: one sample (see the file comment). Connected to the timer.
  void Timer1_Timer(int32_t Milliseconds);

  // --- Timer access, as the options dialog uses it --------------------------------------
  int32_t GetTimerInt() const;
  void SetTimerInt(int32_t milliseconds);
  int32_t GetTimerFreq() const;
  void SetTimerFreq(int32_t frequency);
  int32_t GetTimerRes() const;
  int32_t GetTimerResMax() const;
  int32_t GetTimerResMin() const;

 Q_SIGNALS:
  /// A status-bar panel's new text.
  void statusChanged(zrvlog::StatusPanel panel, const QString& text);
  /// A run started or stopped (by command, at the stop time, or after an error).
  void runningChanged(bool running);
  /// One sample has been recorded.
  void sampleRecorded();
  /// A tick failed and the run was stopped; message says what happened, for people.
  void tickFailed(const QString& message);
  /// The autorange switch was turned on or off.
  void autorangeChanged(bool on);
  /// The samples were emptied (Clear, New, a new run, before a file is loaded): what was
  /// recorded is gone from the data set.
  void dataReset();

 private:
  void takeSample(int32_t Milliseconds);
  double localNow();
  bool interrupted(uint64_t dataGeneration, uint64_t runGeneration) const;
  int32_t readChannel(int16_t channel);
  void scrollOrFit(int32_t intervalMs);
  void setStatus(StatusPanel panel, const QString& text);
  void setGraphRanges();
  void buildChannelElements();

  GraphModel& m_graph;
  BoardControl& m_board;
  SamplingTimer& m_timer;
  bool m_autorange = false;
  bool m_inTick = false;
  uint64_t m_runGeneration = 0;  // changes at every start and stop
  // The local time's offset from UTC, and when it was taken (see localNow).
  int64_t m_utcOffsetMs = 0;
  int64_t m_offsetTakenAt = -1;  // never
};

}  // namespace zrvlog
