#include "samplingtimer.h"

#include <algorithm>
#include <cmath>

#include "common/automationerror.h"

namespace zrvlog {

void TimerStatistics::setFrequency(int32_t hz) {
  if (hz <= 0)
    throw zrv::AutomationError(
        zrv::err::kInvalidArgument,
        QStringLiteral("the timer frequency must be at least 1 Hz, not %1").arg(hz));
  const double microseconds = std::round(1.0e6 / hz);
  m_resolution = static_cast<int32_t>(
      std::clamp(microseconds, double(kMinimumResolution), double(kMaximumResolution)));
  m_frequency = hz;
}

}  // namespace zrvlog
