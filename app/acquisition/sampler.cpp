#include "sampler.h"

#include <QDateTime>
#include <QLoggingCategory>
#include <algorithm>
#include <limits>

#include "app/timer/samplingtimer.h"
#include "common/automationerror.h"

Q_DECLARE_LOGGING_CATEGORY(lcAcq)

namespace zrvlog {

namespace {

int32_t clamp32(int64_t value) {
  return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

}  // namespace

Sampler::Sampler(BoardControl& board, SamplingTimer& timer, LinkBaton& baton,
                 const std::atomic<uint64_t>& epoch, QObject* parent)
    : QObject(parent), m_board(board), m_timer(timer), m_baton(baton), m_epoch(epoch) {
  // Called on the timer's tick thread, whichever thread this object belongs to.
  connect(&m_timer, &SamplingTimer::tick, this, &Sampler::Timer1_Timer, Qt::DirectConnection);
}

void Sampler::begin(uint64_t run, ReadPlan plan) {
  m_run = run;
  m_plan = plan;
  m_active = true;
  m_missed = 0;
  m_msSinceSample = 0;
  m_failing = false;
  m_timer.setEnabled(true);
}

void Sampler::end() {
  m_timer.setEnabled(false);
  m_active = false;
  if (!m_baton.withSampler()) return;
  try {
    if (m_board.portopen()) m_board.setPortopen(false);
  } catch (const zrv::AutomationError& e) {
    // The link is as good as closed when closing it fails; the run is over either way.
    qCWarning(lcAcq) << "closing the link:" << e.message();
  }
  m_baton.release();
}

void Sampler::hand(const RawTick& tick) {
  // Waking the engine's thread for every reading of a fast run costs the reading thread and
  // the drawing more than it gives: readings are announced at most every kAnnounceGap, and
  // the next tick announces what is left (the engine also takes them before a stop).
  bool announce = false;
  {
    std::lock_guard lock(m_outMutex);
    m_out.push_back(tick);
    // On the caller's thread (tests) every reading is announced at once.
    const bool due = !m_timer.ownTickThread() || tick.started - m_lastAnnounced >= kAnnounceGap;
    if (!m_outAnnounced && due) {
      m_outAnnounced = true;
      m_lastAnnounced = tick.started;
      announce = true;
    }
  }
  if (announce) Q_EMIT samplesWaiting();
}

std::deque<RawTick> Sampler::takeSamples() {
  std::lock_guard lock(m_outMutex);
  m_outAnnounced = false;
  return std::exchange(m_out, {});
}

double Sampler::localNow() {
  // The system's local-time conversion looks at the time-zone files on every call, a tenth
  // of a tick's own cost; the offset from UTC is taken once a second instead.
  const int64_t now = QDateTime::currentMSecsSinceEpoch();
  if (m_offsetTakenAt < 0 || now - m_offsetTakenAt >= 1000 || now < m_offsetTakenAt) {
    m_utcOffsetMs = int64_t{QDateTime::fromMSecsSinceEpoch(now).offsetFromUtc()} * 1000;
    m_offsetTakenAt = now;
  }
  constexpr double kUnixEpoch = 25569.0;  // 1970-01-01 as a day count
  return kUnixEpoch + double(now + m_utcOffsetMs) / 86'400'000.0;
}

void Sampler::Timer1_Timer(int32_t Milliseconds) {
  if (!m_active || m_inTick) return;
  m_inTick = true;
  RawTick tick;
  tick.run = m_run;
  tick.started = std::chrono::steady_clock::now();
  tick.tickStart = localNow();
  tick.epoch = m_epoch.load(std::memory_order_acquire);
  tick.intervalMs = m_timer.interval();
  tick.plan = m_plan;
  QString why;
  Outcome outcome;
  try {
    outcome = readChannels(tick.run, tick, why);
  } catch (const zrv::AutomationError& e) {
    outcome = abandoned(tick.run) ? Outcome::Abandoned : Outcome::Fatal;
    why = e.message();
  }
  m_inTick = false;
  tick.reading = std::chrono::steady_clock::now() - tick.started;

  switch (outcome) {
    case Outcome::Read:
      tick.milliseconds = clamp32(m_msSinceSample + Milliseconds);
      tick.missedTicks = m_missed;
      m_msSinceSample = 0;
      m_failing = false;
      hand(tick);
      return;
    case Outcome::Missed:
      ++m_missed;
      m_msSinceSample += Milliseconds;
      // How long the board has been silent: from the first failed tick of this streak to
      // this one, as the timer measured it.
      m_silentMs = std::exchange(m_failing, true) ? m_silentMs + Milliseconds : 0;
      if (m_silentMs < kSilenceLimit.count()) {
        qCDebug(lcAcq).noquote() << "missed tick" << m_missed << why;
        Q_EMIT tickMissed(tick.run, m_missed, why);
        return;
      }
      why = QStringLiteral("the board on %1 has not answered for %2 s (%3)")
                .arg(m_board.portDescription())
                .arg(m_silentMs / 1000.0)
                .arg(why);
      break;
    case Outcome::Fatal:
      break;
    case Outcome::Abandoned:
      return;
  }
  m_active = false;
  m_timer.setEnabled(false);
  Q_EMIT failed(tick.run, why);
}

Sampler::Outcome Sampler::readChannels(uint64_t run, RawTick& tick, QString& why) {
  const int16_t channels = tick.plan.channels;
  if (channels > kRawSlots)
    throw zrv::AutomationError(zrv::err::kSubscriptOutOfRange,
                               QStringLiteral("%1 channels: at most 5 can be read").arg(channels));
  for (int16_t c = 0; c < channels; ++c) {
    bool ok = readChannel(c, tick.plan.average, tick.sums[c]);
    if (abandoned(run)) return Outcome::Abandoned;
    if (ok) continue;
    // Whatever misled this read (a stray byte, a late reply) goes before the one retry.
    m_board.discardInput();
    ok = readChannel(c, tick.plan.average, tick.sums[c]);
    if (abandoned(run)) return Outcome::Abandoned;
    if (ok) continue;
    if (m_failure.kind == ReadFailure::PortError) {
      why = QStringLiteral("the port %1 failed: %2").arg(m_board.portDescription(), m_failure.why);
      return Outcome::Fatal;
    }
    why = QStringLiteral("channel %1: %2").arg(c + 1).arg(m_failure.why);
    return Outcome::Missed;
  }
  return Outcome::Read;
}

bool Sampler::readChannel(int16_t channel, int16_t average, int32_t& sum) {
  const auto failedRead = [this] {
    m_failure = {m_board.lastReadFailure(), m_board.lastReadError()};
    return false;
  };
  try {
    if (average != 1) m_board.repeat(average);
    int64_t total = m_board.a2d(channel);
    if (m_board.errflag()) return failedRead();
    for (int k = 2; k <= average; ++k) {
      total += m_board.readword();
      if (m_board.errflag()) return failedRead();
    }
    sum = clamp32(total);
    return true;
  } catch (const zrv::AutomationError& e) {
    // A board that was not ready in time is a read that failed; a port that is gone, a link
    // closed by the end of the run or a refused argument are not.
    if (e.number() != zrv::err::kDeviceUnavailable || !m_active) throw;
    m_failure = {ReadFailure::NoReply, e.message()};
    return false;
  }
}

}  // namespace zrvlog
