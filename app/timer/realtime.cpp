#include "realtime.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <QLoggingCategory>
#include <algorithm>
#include <cstring>

Q_DECLARE_LOGGING_CATEGORY(lcTimer)

namespace zrvlog {

bool requestRealTimePriority(int priority) {
  // A machine where the sampling threads must not take precedence can say so.
  if (qEnvironmentVariable("ZRVLOG_REALTIME") == QLatin1String("0")) return false;
  const int lowest = sched_get_priority_min(SCHED_FIFO);
  const int highest = sched_get_priority_max(SCHED_FIFO);
  sched_param param{};
  param.sched_priority = std::clamp(priority, lowest, highest);
  int error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
  if (error == EPERM) {
    // Without the capability, the soft RLIMIT_RTPRIO is the highest priority allowed.
    rlimit limit{};
    if (getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        int(limit.rlim_cur) >= lowest && int(limit.rlim_cur) < param.sched_priority) {
      param.sched_priority = int(limit.rlim_cur);
      error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    }
  }
  if (error != 0) {
    qCDebug(lcTimer) << "real-time priority refused:" << strerror(error);
    return false;
  }
  qCDebug(lcTimer) << "real-time priority" << param.sched_priority;
  return true;
}

bool hasRealTimePriority() {
  int policy = 0;
  sched_param param{};
  return pthread_getschedparam(pthread_self(), &policy, &param) == 0 && policy == SCHED_FIFO;
}

}  // namespace zrvlog
