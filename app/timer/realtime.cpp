#include "realtime.h"

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QFile>
#include <QLoggingCategory>
#include <algorithm>
#include <cstring>
#include <utility>

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

int SharedCpu::choose() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) < 2) return -1;
  for (int cpu = CPU_SETSIZE - 1; cpu >= 0; --cpu)
    if (CPU_ISSET(cpu, &allowed)) return cpu;
  return -1;
}

namespace {

constexpr int kCapSysNice = 23;  // linux/capability.h

bool hasCapSysNice() {
  QFile status(QStringLiteral("/proc/self/status"));
  if (!status.open(QIODevice::ReadOnly)) return false;
  for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
    if (!line.startsWith("CapEff:")) continue;
    bool ok = false;
    const qulonglong caps = line.mid(7).trimmed().toULongLong(&ok, 16);
    return ok && (caps >> kCapSysNice & 1) != 0;
  }
  return false;
}

// getpriority() may return -1 as a value; errno tells an error apart.
bool threadNice(int& nice) {
  errno = 0;
  nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  return errno == 0;
}

}  // namespace

bool rlimitNiceAllows(unsigned long long limit, int nice) {
  return limit == RLIM_INFINITY || 20 - nice <= static_cast<long long>(std::min(limit, 40ULL));
}

bool mayRaisePriorityTo(int nice) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NICE, &limit) == 0 && rlimitNiceAllows(limit.rlim_cur, nice)) return true;
  return hasCapSysNice();
}

bool SharedCpu::pin(int cpu, int stepBack) {
  restore();
  if (cpu < 0 || cpu >= CPU_SETSIZE) return false;
  cpu_set_t only;
  CPU_ZERO(&only);
  CPU_SET(cpu, &only);
  const pthread_t self = pthread_self();
  if (pthread_getaffinity_np(self, sizeof m_saved, &m_saved) != 0 ||
      pthread_setaffinity_np(self, sizeof only, &only) != 0) {
    qCDebug(lcTimer) << "cannot keep the thread on CPU" << cpu;
    return false;
  }
  m_thread = self;
  m_pinned = true;
  if (stepBack > 0 && !hasRealTimePriority() && threadNice(m_savedNice) &&
      mayRaisePriorityTo(m_savedNice)) {
    m_stepped = setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()),
                            std::min(m_savedNice + stepBack, 19)) == 0;
  }
  return true;
}

void SharedCpu::restore() {
  if (!std::exchange(m_pinned, false)) return;
  // Only the thread that was pinned can be given its CPUs back from here.
  if (!pthread_equal(pthread_self(), m_thread)) return;
  pthread_setaffinity_np(m_thread, sizeof m_saved, &m_saved);
  if (std::exchange(m_stepped, false))
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), m_savedNice);
}

}  // namespace zrvlog
