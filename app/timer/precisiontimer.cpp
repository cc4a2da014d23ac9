#include "precisiontimer.h"

#include <sys/prctl.h>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <cerrno>
#include <cmath>
#include <ctime>
#include <limits>

#include "app/timer/realtime.h"
#include "common/automationerror.h"

Q_LOGGING_CATEGORY(lcTimer, "zrvlog.timer", QtInfoMsg)

namespace zrvlog {

namespace {

using namespace std::chrono_literals;

// The part of each wait slept with clock_nanosleep; before it the thread waits on the
// condition variable, which control changes can interrupt. Long enough to absorb the
// condition variable's own wake-up error, short enough that nobody waits on it noticeably.
constexpr auto kFinalStretch = 2ms;

// Deadlines that pass while a tick is pending are still delivered when they are no older
// than this (at least one of them): a stall this short costs no sample, and a longer one
// does not unleash a long burst of ticks.
constexpr auto kCatchUp = 10ms;

const QEvent::Type kTickEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

class TickEvent : public QEvent {
 public:
  TickEvent(uint64_t generation, SamplingTimer::Clock::time_point deadline,
            SamplingTimer::Clock::time_point woke)
      : QEvent(kTickEvent), generation(generation), deadline(deadline), woke(woke) {}
  const uint64_t generation;
  const SamplingTimer::Clock::time_point deadline;
  const SamplingTimer::Clock::time_point woke;
};

timespec toTimespec(SamplingTimer::Clock::time_point t) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch());
  return timespec{static_cast<time_t>(ns.count() / 1000000000),
                  static_cast<long>(ns.count() % 1000000000)};
}

void sleepUntil(SamplingTimer::Clock::time_point deadline) {
  const timespec ts = toTimespec(deadline);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

int32_t wholeMilliseconds(SamplingTimer::Clock::duration d) {
  const double ms = std::chrono::duration<double, std::milli>(d).count();
  return static_cast<int32_t>(std::clamp(std::round(ms),
                                         double(std::numeric_limits<int32_t>::min()),
                                         double(std::numeric_limits<int32_t>::max())));
}

}  // namespace

PrecisionTimer::PrecisionTimer(QObject* parent) : SamplingTimer(parent) {
  // steady_clock must be CLOCK_MONOTONIC for the deadlines handed to clock_nanosleep.
  static_assert(Clock::is_steady);
  m_thread = std::thread([this] { run(); });
}

PrecisionTimer::~PrecisionTimer() {
  {
    std::lock_guard lock(m_mutex);
    m_schedule.quit = true;
  }
  m_wake.notify_all();
  m_thread.join();
  // Ticks still posted are removed with this object by Qt.
}

void PrecisionTimer::setEnabled(bool enabled) {
  if (enabled == m_enabled) return;
  m_enabled = enabled;
  const auto now = Clock::now();
  {
    std::lock_guard lock(m_mutex);
    Schedule& s = m_schedule;
    s.enabled = enabled;
    ++s.generation;  // whatever is posted now belongs to the past and is discarded
    s.pending = false;
    s.owed.clear();
    if (enabled) {
      s.next = now + std::chrono::milliseconds(m_interval);
      s.dropped = 0;
    }
  }
  if (enabled) m_previousStart = now;
  qCDebug(lcTimer) << (enabled ? "enabled at" : "disabled at") << m_interval << "ms";
  m_wake.notify_all();
}

void PrecisionTimer::setInterval(int32_t milliseconds) {
  if (milliseconds < 1)
    throw zrv::AutomationError(
        zrv::err::kInvalidArgument,
        QStringLiteral("the timer interval must be at least 1 ms, not %1").arg(milliseconds));
  if (milliseconds == m_interval) return;
  {
    std::lock_guard lock(m_mutex);
    Schedule& s = m_schedule;
    const auto interval = std::chrono::milliseconds(milliseconds);
    if (s.enabled) {
      // Continue the grid from the last deadline with the new step.
      const auto previous = s.next - s.interval;
      s.next = std::max(previous + interval, Clock::now());
    }
    s.interval = interval;
  }
  m_interval = milliseconds;
  m_wake.notify_all();
}

std::optional<SamplingTimer::Clock::time_point> PrecisionTimer::nextDeadline() const {
  std::lock_guard lock(m_mutex);
  if (!m_schedule.enabled) return std::nullopt;
  return m_schedule.next;
}

std::chrono::microseconds PrecisionTimer::earlyWake() const {
  std::lock_guard lock(m_mutex);
  return std::chrono::duration_cast<std::chrono::microseconds>(m_schedule.earlyWake);
}

void PrecisionTimer::setEarlyWake(std::chrono::microseconds lead) {
  std::lock_guard lock(m_mutex);
  m_schedule.earlyWake = std::max(lead, std::chrono::microseconds(0));
}

void PrecisionTimer::post(uint64_t generation, Clock::time_point deadline, Clock::time_point woke) {
  QCoreApplication::postEvent(this, new TickEvent(generation, deadline, woke),
                              Qt::HighEventPriority);
}

int64_t PrecisionTimer::droppedTicks() const {
  std::lock_guard lock(m_mutex);
  return m_schedule.dropped;
}

void PrecisionTimer::setTickThread(TickThread where) {
  std::lock_guard lock(m_mutex);
  m_schedule.tickThread = where;
}

bool PrecisionTimer::ownTickThread() const {
  std::lock_guard lock(m_mutex);
  return m_schedule.tickThread == TickThread::Own;
}

void PrecisionTimer::runOnTickThread(std::function<void()> job) {
  {
    std::lock_guard lock(m_mutex);
    if (m_schedule.tickThread == TickThread::Own) {
      m_schedule.jobs.push_back(std::move(job));
      m_wake.notify_all();
      return;
    }
  }
  job();
}

void PrecisionTimer::waitForTickThread() {
  std::unique_lock lock(m_mutex);
  m_idle.wait(lock, [this] { return m_schedule.jobs.empty() && !m_schedule.busy; });
}

void PrecisionTimer::run() {
  // Waking up on time is this thread's whole job.
  m_realTime = requestRealTimePriority();
  int32_t slack = -1;
  std::unique_lock lock(m_mutex);
  while (!m_schedule.quit) {
    if (!m_schedule.jobs.empty()) {
      auto job = std::move(m_schedule.jobs.front());
      m_schedule.jobs.pop_front();
      m_schedule.busy = true;
      lock.unlock();
      job();
      lock.lock();
      m_schedule.busy = false;
      if (m_schedule.jobs.empty()) m_idle.notify_all();
      continue;
    }
    if (!m_schedule.enabled) {
      m_wake.wait(lock);
      continue;
    }
    if (const int32_t wanted = m_statistics.resolution(); wanted != slack) {
      slack = wanted;
      if (prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack) * 1000UL, 0, 0, 0) != 0)
        qCWarning(lcTimer) << "cannot lower the timer slack:" << strerror(errno);
    }
    const Clock::time_point deadline = m_schedule.next;
    const bool here = m_schedule.tickThread == TickThread::Own;
    // Ticks posted to another thread leave early (see the header); those called here do not.
    const Clock::time_point wakeAt =
        here ? deadline : deadline - std::min(m_schedule.earlyWake, m_schedule.interval / 5);
    if (Clock::now() < wakeAt - kFinalStretch) {
      // Wakes early on any change; the loop then looks at the schedule afresh.
      m_wake.wait_until(lock, wakeAt - kFinalStretch);
      continue;
    }
    const uint64_t generation = m_schedule.generation;
    lock.unlock();
    // A run that is behind finds its deadline passed. A sleep that would end at once still
    // costs a timer interrupt and two switches (12 us on a virtual machine, a quarter of
    // what a 3 ms run leaves free), so it is not asked for.
    if (Clock::now() < wakeAt) sleepUntil(wakeAt);
    const auto woke = Clock::now();
    lock.lock();
    Schedule& s = m_schedule;
    if (s.quit || !s.enabled || s.generation != generation || s.next != deadline) continue;
    if (here) {
      deliverHere(lock, generation, deadline, woke);
      continue;
    }
    if (!s.pending) {
      s.pending = true;
      post(generation, deadline, woke);
    } else {
      s.owed.emplace_back(deadline, woke);
    }
    // Next grid point. Deadlines that already passed (the thread itself was held up) are
    // owed like the others.
    s.next = deadline + s.interval;
    const auto now = Clock::now();
    for (; s.next <= now; s.next += s.interval)
      s.owed.emplace_back(s.next, now);
    // Only the recent ones are kept (at least one).
    while (s.owed.size() > 1 && s.owed.front().first < now - kCatchUp) {
      s.owed.pop_front();
      ++s.dropped;
    }
  }
}

void PrecisionTimer::deliverHere(std::unique_lock<std::mutex>& lock, uint64_t generation,
                                 Clock::time_point deadline, Clock::time_point woke) {
  Schedule& s = m_schedule;
  s.busy = true;
  lock.unlock();
  const auto now = Clock::now();
  const int32_t ms = wholeMilliseconds(now - m_previousStart);
  m_previousStart = now;
  m_lastTick = {deadline, woke, now};
  Q_EMIT tick(ms);
  lock.lock();
  s.busy = false;
  if (s.jobs.empty()) m_idle.notify_all();
  // A handler that disabled the timer, or gave it a new interval, has set the schedule.
  if (generation != s.generation || !s.enabled || s.next != deadline) return;
  // Deadlines that passed while the handler ran come next, one at a time; of those older than
  // kCatchUp only the newest is kept.
  s.next = deadline + s.interval;
  const auto after = Clock::now();
  while (s.next + s.interval <= after && s.next < after - kCatchUp) {
    s.next += s.interval;
    ++s.dropped;
  }
}

bool PrecisionTimer::event(QEvent* event) {
  if (event->type() != kTickEvent) return SamplingTimer::event(event);
  const auto* tick = static_cast<const TickEvent*>(event);
  deliver(tick->generation, tick->deadline, tick->woke);
  return true;
}

void PrecisionTimer::deliver(uint64_t generation, Clock::time_point deadline,
                             Clock::time_point woke) {
  {
    std::lock_guard lock(m_mutex);
    // Posted before a disable (or before a disable and a new enable): not ours any more.
    if (generation != m_schedule.generation || !m_schedule.enabled) return;
  }
  // A handler that disabled and re-enabled the timer is still running: the new schedule's
  // first tick would run inside it, so it is dropped.
  if (m_inTick) {
    std::lock_guard lock(m_mutex);
    if (generation == m_schedule.generation) {
      m_schedule.pending = false;
      m_schedule.dropped += 1 + int64_t(m_schedule.owed.size());
      m_schedule.owed.clear();
    }
    return;
  }
  // Posted early on purpose (see the header): wait out the rest of the time here.
  auto now = Clock::now();
  while (now < deadline)
    now = Clock::now();
  const int32_t ms = wholeMilliseconds(now - m_previousStart);
  m_previousStart = now;
  m_lastTick = {deadline, woke, now};
  m_inTick = true;
  Q_EMIT tick(ms);
  m_inTick = false;
  std::lock_guard lock(m_mutex);
  if (generation != m_schedule.generation) return;
  // Deadlines that passed while this tick ran come next, still one at a time; those that
  // have grown too old meanwhile are dropped.
  const auto limit = Clock::now() - kCatchUp;
  while (m_schedule.owed.size() > 1 && m_schedule.owed.front().first < limit) {
    m_schedule.owed.pop_front();
    ++m_schedule.dropped;
  }
  if (!m_schedule.owed.empty()) {
    post(generation, m_schedule.owed.front().first, m_schedule.owed.front().second);
    m_schedule.owed.pop_front();
  } else {
    m_schedule.pending = false;
  }
}

}  // namespace zrvlog
