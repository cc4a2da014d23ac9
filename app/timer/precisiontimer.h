#pragma once
// The real sampling timer: a thread sleeps to each absolute deadline with clock_nanosleep
// (CLOCK_MONOTONIC, TIMER_ABSTIME, with its timer slack lowered to the statistics'
// resolution) and posts the tick to the UI thread, at most one at a time. A QTimer cannot do
// this: it rounds every wait up to a whole millisecond, which at 1 ms gives ~917 ticks a
// second.
//
// The thread waits on a condition variable until shortly before the deadline (so enabling,
// disabling, a new interval and destruction are seen at once) and sleeps the last stretch
// with clock_nanosleep. Destruction stops and joins it.
//
// Waking a sleeping UI thread takes the system 50 us to over a millisecond, far more than
// the timer thread's own error. So the tick is posted a little early (earlyWake(), at most
// a fifth of the interval) and the UI thread waits out the rest of it precisely, spinning on
// the clock: the handler starts at the deadline, not one wake-up later. The cost is that
// much UI-thread time per tick (3% at 10 ms with the default 300 us); setEarlyWake(0)
// turns it off.
//
// With setTickThread(TickThread::Own) the timer's thread calls the tick handlers itself, right
// after its sleep to the deadline: no event, no wake-up of another thread, nothing early. The
// thread then also runs the jobs given to runOnTickThread() between ticks; it asks for
// real-time priority either way.

#include <QEvent>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "app/timer/samplingtimer.h"

namespace zrvlog {

class PrecisionTimer : public SamplingTimer {
  Q_OBJECT

 public:
  explicit PrecisionTimer(QObject* parent = nullptr);
  ~PrecisionTimer() override;

  void setTickThread(TickThread where) override;
  bool ownTickThread() const override;
  void runOnTickThread(std::function<void()> job) override;
  void waitForTickThread() override;
  bool realTimePriority() const override { return m_realTime; }

  bool enabled() const override { return m_enabled; }
  void setEnabled(bool enabled) override;
  int32_t interval() const override { return m_interval; }
  void setInterval(int32_t milliseconds) override;
  std::optional<Clock::time_point> nextDeadline() const override;
  TimerStatistics& statistics() override { return m_statistics; }
  TickInfo lastTick() const override { return m_lastTick; }
  int64_t droppedTicks() const override;

  std::chrono::microseconds earlyWake() const;
  void setEarlyWake(std::chrono::microseconds lead);

 protected:
  bool event(QEvent* event) override;

 private:
  void run();
  void deliver(uint64_t generation, Clock::time_point deadline, Clock::time_point woke);
  /// Own tick thread: calls the handlers here and moves the schedule on.
  void deliverHere(std::unique_lock<std::mutex>& lock, uint64_t generation,
                   Clock::time_point deadline, Clock::time_point woke);
  void post(uint64_t generation, Clock::time_point deadline, Clock::time_point woke);

  // State of the tick thread (the UI thread, or the timer's own).
  bool m_enabled = false;
  int32_t m_interval = 1000;
  Clock::time_point m_previousStart;
  TickInfo m_lastTick{};
  bool m_inTick = false;
  TimerStatistics m_statistics;

  // Shared with the thread: only under m_mutex.
  struct Schedule {
    bool enabled = false;
    bool quit = false;
    bool pending = false;     // a tick is posted or its handler runs
    uint64_t generation = 0;  // changes on every enable and disable
    Clock::time_point next;
    Clock::duration interval = std::chrono::milliseconds(1000);
    Clock::duration earlyWake = std::chrono::microseconds(300);
    int64_t dropped = 0;
    // Deadlines that passed while a tick was pending, oldest first, and when they were seen.
    std::deque<std::pair<Clock::time_point, Clock::time_point>> owed;
    TickThread tickThread = TickThread::Ui;
    std::deque<std::function<void()>> jobs;  // for the own tick thread
    bool busy = false;                       // the own tick thread runs a job or a tick
  };
  mutable std::mutex m_mutex;
  std::condition_variable m_wake;
  std::condition_variable m_idle;  // the own tick thread ran out of work
  std::atomic<bool> m_realTime{false};
  Schedule m_schedule;
  std::thread m_thread;
};

}  // namespace zrvlog
