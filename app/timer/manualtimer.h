#pragma once
// A sampling timer for tests: it ticks only when the test calls fire(), and keeps the same
// rules as the real one (no tick while disabled, none inside a running tick).

#include "app/timer/samplingtimer.h"

namespace zrvlog {

class ManualTimer : public SamplingTimer {
  Q_OBJECT

 public:
  using SamplingTimer::SamplingTimer;

  bool enabled() const override { return m_enabled; }
  void setEnabled(bool enabled) override;
  int32_t interval() const override { return m_interval; }
  void setInterval(int32_t milliseconds) override;
  std::optional<Clock::time_point> nextDeadline() const override;
  TimerStatistics& statistics() override { return m_statistics; }
  TickInfo lastTick() const override { return m_lastTick; }
  int64_t droppedTicks() const override { return m_dropped; }

  /// Delivers one tick carrying milliseconds (the interval when not given). Returns false,
  /// and delivers nothing, while disabled or from inside a tick handler (counted as dropped).
  bool fire(std::optional<int32_t> milliseconds = std::nullopt);

 private:
  bool m_enabled = false;
  bool m_inTick = false;
  int32_t m_interval = 1000;
  Clock::time_point m_next;
  TickInfo m_lastTick{};
  int64_t m_dropped = 0;
  int64_t m_delivered = 0;
  TimerStatistics m_statistics;
};

}  // namespace zrvlog
