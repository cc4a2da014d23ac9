#include "manualtimer.h"

#include "common/automationerror.h"

namespace zrvlog {

void ManualTimer::setEnabled(bool enabled) {
  if (enabled == m_enabled) return;
  m_enabled = enabled;
  if (enabled) {
    m_next = Clock::now() + std::chrono::milliseconds(m_interval);
    m_dropped = 0;
  }
}

void ManualTimer::setInterval(int32_t milliseconds) {
  if (milliseconds < 1)
    throw zrv::AutomationError(
        zrv::err::kInvalidArgument,
        QStringLiteral("the timer interval must be at least 1 ms, not %1").arg(milliseconds));
  m_next += std::chrono::milliseconds(milliseconds) - std::chrono::milliseconds(m_interval);
  m_interval = milliseconds;
}

std::optional<SamplingTimer::Clock::time_point> ManualTimer::nextDeadline() const {
  if (!m_enabled) return std::nullopt;
  return m_next;
}

bool ManualTimer::fire(std::optional<int32_t> milliseconds) {
  if (!m_enabled) return false;
  if (m_inTick) {
    ++m_dropped;
    return false;
  }
  const auto now = Clock::now();
  m_lastTick = {m_next, now, now};
  m_next += std::chrono::milliseconds(m_interval);
  ++m_delivered;
  m_inTick = true;
  Q_EMIT tick(milliseconds.value_or(m_interval));
  m_inTick = false;
  return true;
}

}  // namespace zrvlog
