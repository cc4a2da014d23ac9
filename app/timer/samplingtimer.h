#pragma once
// The sampling timer: ticks at a set interval, carrying the whole milliseconds measured since
// the previous tick (since enabling, on the first one).
//
// Guarantees of every implementation:
//  - the first tick comes one interval after enabling, then one per interval on a grid of
//    absolute deadlines (enable time + k x interval), so late ticks do not make a run drift;
//  - never two ticks at once: a deadline that passes while a tick is pending or its handler
//    is still running is DELAYED: it is delivered as soon as that handler returns, then the
//    next such deadline, one at a time. Only deadlines of the last 10 ms are owed this way
//    (always at least one); older ones are DROPPED and counted in droppedTicks(). So a short
//    stall costs no sample, and a long one does not unleash a burst of ticks;
//  - no tick after setEnabled(false), even one already posted when it was called, and none
//    after destruction;
//  - a new interval takes effect from the last grid point: the next deadline becomes the
//    previous deadline plus the new interval (or now, if that has passed).
// Threading: ticks come on the tick thread. By default that is the thread the timer lives in
// (the UI thread), as events; setTickThread(TickThread::Own) makes a timer with a thread of its
// own call the tick handlers there, straight from its sleep, so that nothing the UI thread
// does can delay a tick. The control members (enabled, interval) are then called on the tick
// thread too, through runOnTickThread(); statistics(), nextDeadline() and runOnTickThread()
// may be called from any thread.

#include <QObject>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace zrvlog {

/// The timer's statistics object. All four figures are 32-bit integers:
///  - resolution: the wake-up slack, in microseconds, that the timer allows the system
///    when it sleeps towards a deadline (how late a wake-up may come by design);
///  - minimum and maximum resolution: the finest and coarsest slack it accepts (1 and
///    1000 us);
///  - frequency: the wake-up precision as a rate in Hz, as set by the user. Writing it
///    sets the resolution to 1,000,000 / frequency microseconds, clamped to the minimum and
///    maximum; it reads back what was written. Zero or less raises 5.
class TimerStatistics {
 public:
  static constexpr int32_t kMinimumResolution = 1;
  static constexpr int32_t kMaximumResolution = 1000;

  int32_t frequency() const { return m_frequency.load(); }
  void setFrequency(int32_t hz);
  int32_t resolution() const { return m_resolution.load(); }
  int32_t minimumResolution() const { return kMinimumResolution; }
  int32_t maximumResolution() const { return kMaximumResolution; }

 private:
  std::atomic<int32_t> m_frequency{1000000};
  std::atomic<int32_t> m_resolution{1};
};

class SamplingTimer : public QObject {
  Q_OBJECT

 public:
  using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC

  /// What the tick being delivered was due for; valid inside a tick handler.
  struct TickInfo {
    Clock::time_point deadline;  ///< the grid point this tick stands for
    Clock::time_point woke;      ///< when the timer thread woke for it (early, see below)
    Clock::time_point started;   ///< when the handler was called
  };

  using QObject::QObject;

  /// Where ticks are delivered (see the file comment).
  enum class TickThread { Ui, Own };
  /// Chooses the tick thread; while disabled. A timer without a thread of its own keeps
  /// delivering on the caller's.
  virtual void setTickThread(TickThread where) { Q_UNUSED(where); }
  /// Whether ticks come on a thread of the timer's own (rather than the caller's).
  virtual bool ownTickThread() const { return false; }
  /// Runs job on the tick thread, between ticks, in the order given; at once when that is the
  /// calling thread.
  virtual void runOnTickThread(std::function<void()> job) { job(); }
  /// Waits until the jobs given so far have run and no tick handler is running.
  virtual void waitForTickThread() {}
  /// Whether the tick thread runs with real-time priority (app/timer/realtime.h).
  virtual bool realTimePriority() const { return false; }

  virtual bool enabled() const = 0;
  virtual void setEnabled(bool enabled) = 0;
  /// Milliseconds between ticks; 1 or more (5 otherwise). Starts at 1000.
  virtual int32_t interval() const = 0;
  virtual void setInterval(int32_t milliseconds) = 0;
  /// When the next tick is due, or nothing while disabled.
  virtual std::optional<Clock::time_point> nextDeadline() const = 0;
  virtual TimerStatistics& statistics() = 0;
  virtual TickInfo lastTick() const = 0;
  /// Deadlines that passed without a tick since enabling (see the guarantees above).
  virtual int64_t droppedTicks() const = 0;

 Q_SIGNALS:
  /// One tick: the milliseconds measured since the previous tick's handler started (on the
  /// first tick, since enabling), rounded to the nearest whole millisecond.
  void tick(int32_t milliseconds);
};

}  // namespace zrvlog
