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

void Sampler::begin(uint64_t run, ReadPlan plan, RunLink link) {
  m_run = run;
  m_plan = plan;
  m_link = std::move(link);
  m_active = true;
  m_missed = 0;
  m_lastMissedWhy.clear();
  m_msSinceSample = 0;
  m_failing = false;
  m_setUpDue = false;
  m_elapsedMs = -1;
  m_portLost = false;
  m_readingSince.reset();
  m_held.clear();
  m_stopAt.store(-1, std::memory_order_release);
  m_timer.setEnabled(true);
  m_dropped = m_timer.droppedTicks();
  // The grid's origin, one interval before its first deadline.
  m_lastDeadline = m_timer.nextDeadline().value_or(std::chrono::steady_clock::now()) -
                   std::chrono::milliseconds(m_timer.interval());
  syncLedger();
}

void Sampler::end() {
  m_timer.setEnabled(false);
  m_active = false;
  // Readings held for their proof were read before the stop: the line's quiet proves them
  // now, unless a tick is in the middle of an exchange, whose replies would spoil the proof.
  if (!m_inTick && m_baton.withSampler() && m_board.portopen())
    settleHeld(true);
  else
    dropHeld(QStringLiteral("the run stopped before the readings were proven"));
  m_readingSince.reset();
  syncLedger();
  if (!m_baton.withSampler()) return;
  try {
    if (m_board.portopen()) m_board.setPortopen(false);
  } catch (const zrv::AutomationError& e) {
    // The link is as good as closed when closing it fails; the run is over either way.
    qCWarning(lcAcq) << "closing the link:" << e.message();
  }
  m_baton.release();
}

void Sampler::hand(std::vector<RawTick> ticks) {
  if (ticks.empty()) return;
  // Waking the engine's thread for every reading of a fast run costs the reading thread and
  // the drawing more than it gives: readings are announced at most every kAnnounceGap, and
  // the next tick announces what is left (the engine also takes them before a stop).
  bool announce = false;
  {
    std::lock_guard lock(m_outMutex);
    m_out.insert(m_out.end(), ticks.begin(), ticks.end());
    // Handed over and no longer held, in one step for a stop that counts them.
    syncLedgerLocked();
    const RawTick& tick = ticks.back();
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

void Sampler::syncLedger() {
  std::lock_guard lock(m_outMutex);
  syncLedgerLocked();
}

void Sampler::syncLedgerLocked() {
  m_ledger.run = m_run;
  m_ledger.missed = m_missed;
  m_ledger.why = m_lastMissedWhy;
  m_ledger.held.clear();
  for (const RawTick& held : m_held)
    m_ledger.held.push_back(held.started);
  m_ledger.reading = m_readingSince;
  m_ledger.deadline = m_lastDeadline;
  m_ledger.onClock = m_timer.ownTickThread();
  m_ledger.interval = std::chrono::milliseconds(std::max(m_timer.interval(), 1));
}

Sampler::StopCount Sampler::countAtStop(std::chrono::steady_clock::time_point stoppedAt) {
  std::lock_guard lock(m_outMutex);
  m_outAnnounced = false;
  StopCount count{std::exchange(m_out, {}), m_ledger.run, m_ledger.missed, m_ledger.why};
  count.missed += std::count_if(m_ledger.held.begin(), m_ledger.held.end(),
                                [&](auto started) { return started <= stoppedAt; });
  if (m_ledger.reading && *m_ledger.reading <= stoppedAt) ++count.missed;
  // Deadlines the timer could not serve yet: the tick thread was still busy with the latest.
  // Only a timer of its own keeps to the clock's grid (a manual one fires when told).
  if (m_ledger.onClock && stoppedAt > m_ledger.deadline)
    count.missed += (stoppedAt - m_ledger.deadline) / m_ledger.interval;
  return count;
}

void Sampler::stopAt(std::chrono::steady_clock::time_point at) {
  m_stopAt.store(at.time_since_epoch().count(), std::memory_order_release);
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

void Sampler::stampTick(RawTick& tick) {
  tick.started = std::chrono::steady_clock::now();
  tick.tickStart = localNow();
}

void Sampler::Timer1_Timer(int32_t Milliseconds) {
  if (!m_active || m_inTick) return;
  // A tick after the stop belongs to no run; end() comes next.
  if (const auto stop = m_stopAt.load(std::memory_order_acquire);
      stop >= 0 && m_timer.lastTick().started.time_since_epoch().count() > stop)
    return;
  m_inTick = true;
  settleHeld(!m_held.empty() &&
             std::chrono::steady_clock::now() - m_held.front().started >= kMaxHeldFor);
  // Deadlines the timer dropped since the last tick (it was held up, most likely by a read
  // that was failing) passed without a sample.
  const int64_t dropped = m_timer.droppedTicks();
  m_missed += std::max<int64_t>(0, dropped - m_dropped);
  m_dropped = dropped;
  m_elapsedMs = m_elapsedMs < 0 ? 0 : m_elapsedMs + Milliseconds;
  RawTick tick;
  tick.run = m_run;
  tick.epoch = m_epoch.load(std::memory_order_acquire);
  tick.intervalMs = m_timer.interval();
  tick.plan = m_plan;
  tick.elapsedMs = m_elapsedMs;
  stampTick(tick);
  m_readingSince = tick.started;
  m_lastDeadline = m_timer.lastTick().deadline;
  syncLedger();
  QString why;
  Outcome outcome;
  try {
    outcome = readTick(tick.run, tick, why);
  } catch (const zrv::AutomationError& e) {
    outcome = abandoned(tick.run) ? Outcome::Abandoned : Outcome::Fatal;
    why = e.message();
  }
  m_inTick = false;
  m_readingSince.reset();
  tick.reading = std::chrono::steady_clock::now() - tick.started;
  // The held readings' proof was this tick's: a tick that could not read takes them with it.
  if (outcome != Outcome::Read && outcome != Outcome::Abandoned && !m_held.empty()) dropHeld(why);

  switch (outcome) {
    case Outcome::Read:
      tick.milliseconds = clamp32(m_msSinceSample + Milliseconds);
      tick.missedTicks = m_missed;
      m_msSinceSample = 0;
      m_failing = false;
      m_held.push_back(tick);
      // Proven in this tick: so are the readings held for its proof.
      if (!std::exchange(m_proofDeferred, false))
        hand(std::exchange(m_held, {}));
      else
        syncLedger();
      return;
    case Outcome::PortLost:
      // Waiting for the port: the board cannot be silent meanwhile.
      ++m_missed;
      m_msSinceSample += Milliseconds;
      m_failing = false;
      syncLedger();
      Q_EMIT tickMissed(tick.run, m_missed, why, m_elapsedMs);
      Q_EMIT waitingForPort(tick.run, why);
      return;
    case Outcome::Missed:
      ++m_missed;
      syncLedger();
      m_msSinceSample += Milliseconds;
      // A run of failed reads may be a board that reset: when it answers again, it is set
      // up first.
      m_setUpDue = true;
      // How long the board has been silent: from the first failed tick of this streak to
      // this one, as the timer measured it.
      m_silentMs = std::exchange(m_failing, true) ? m_silentMs + Milliseconds : 0;
      if (m_silentMs < kSilenceLimit.count()) {
        qCDebug(lcAcq).noquote() << "missed tick" << m_missed << why;
        Q_EMIT tickMissed(tick.run, m_missed, why, m_elapsedMs);
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
      syncLedger();
      return;
  }
  syncLedger();
  m_active = false;
  m_timer.setEnabled(false);
  Q_EMIT failed(tick.run, why);
}

void Sampler::settleHeld(bool wait) {
  if (m_held.empty()) return;
  ReplyProof proof = ReplyProof::Doubted;
  try {
    if (wait)
      proof = m_board.settleReplies() ? ReplyProof::Proven : ReplyProof::Doubted;
    else
      proof = m_board.checkReplies();
  } catch (const zrv::AutomationError& e) {
    qCDebug(lcAcq) << "proving the held ticks' replies:" << e.message();
  }
  switch (proof) {
    case ReplyProof::Pending:
      return;  // this tick's proof decides
    case ReplyProof::Proven:
      // Taken out first: handing over may end the run, and end() looks at them.
      hand(std::exchange(m_held, {}));
      return;
    case ReplyProof::Doubted:
      dropHeld(m_board.lastReadError());
      m_setUpDue = true;
      return;
  }
}

void Sampler::dropHeld(const QString& why) {
  // Too late for a retry: the ticks are missed, and their time goes to the next sample.
  for (const RawTick& held : std::exchange(m_held, {})) {
    ++m_missed;
    m_lastMissedWhy = why;
    m_msSinceSample += held.milliseconds;
    Q_EMIT tickMissed(held.run, m_missed, why, held.elapsedMs);
  }
  syncLedger();
}

Sampler::Outcome Sampler::readTick(uint64_t run, RawTick& tick, QString& why) {
  if (m_portLost) {
    const Outcome back = awaitPort(run, why);
    if (back != Outcome::Read) return back;
    stampTick(tick);  // reopening took its time
  }
  // A retry must be done within the tick's own period: a sample read later belongs to no
  // tick.
  const auto tickEnds = m_timer.lastTick().deadline + std::chrono::milliseconds(tick.intervalMs);
  for (int attempt = 0;; ++attempt) {
    // The set-up's commands would end the proof the held readings wait for: it comes first.
    if (m_setUpDue) settleHeld(true);
    Outcome o = m_setUpDue ? setUpBoard(run, why) : Outcome::Read;
    if (o == Outcome::Read) o = readChannels(run, tick, why, tickEnds);
    if (o == Outcome::Read && attempt > 0 && std::chrono::steady_clock::now() > tickEnds) {
      why = QStringLiteral("the retry of a failed read ended after the tick's period");
      o = Outcome::Missed;
    }
    if (o == Outcome::PortLost && !m_portLost) {
      if (m_link.reconnectGrace <= std::chrono::seconds::zero()) return Outcome::Fatal;
      // The adapter may have been unplugged: wait for it to come back.
      qCWarning(lcAcq).noquote() << why << "- waiting for the port to come back";
      m_portLost = true;
      m_portLostWhy = why;
      const auto now = std::chrono::steady_clock::now();
      m_reconnectUntil = now + m_link.reconnectGrace;
      m_nextReconnect = now + kReconnectEvery;
      try {
        if (m_board.portopen()) m_board.setPortopen(false);
      } catch (const zrv::AutomationError& e) {
        qCWarning(lcAcq) << "closing the failed port:" << e.message();
      }
      return awaitPort(run, why);
    }
    if (o != Outcome::Missed || attempt == 1 || std::chrono::steady_clock::now() >= tickEnds)
      return o;
    // Whatever misled this read (a stray byte, a late reply) goes before the one retry, and
    // may have come within the held readings' quiet.
    if (!m_held.empty()) dropHeld(why);
    m_board.discardInput();
    if (abandoned(run)) return Outcome::Abandoned;
    stampTick(tick);
  }
}

Sampler::Outcome Sampler::setUpBoard(uint64_t run, QString& why) {
  try {
    if (m_link.setUp) m_link.setUp();
    m_setUpDue = false;
    return Outcome::Read;
  } catch (const zrv::AutomationError& e) {
    if (abandoned(run)) return Outcome::Abandoned;
    why = e.message();
    if (e.number() == zrv::err::kDeviceUnavailable) return Outcome::Missed;
    if (e.number() == zrv::err::kPortWriteFailed || e.number() == zrv::err::kPortNotOpen) {
      why = QStringLiteral("the port %1 failed: %2").arg(m_board.portDescription(), e.message());
      return Outcome::PortLost;
    }
    throw;
  }
}

Sampler::Outcome Sampler::awaitPort(uint64_t run, QString& why) {
  const auto now = std::chrono::steady_clock::now();
  if (now >= m_nextReconnect) {
    m_nextReconnect = now + kReconnectEvery;
    try {
      m_board.setPortopen(true);
      if (m_link.setUp) m_link.setUp();
      qCWarning(lcAcq).noquote() << m_board.portDescription() << "is back; the run goes on";
      m_portLost = false;
      m_setUpDue = false;
      return Outcome::Read;
    } catch (const zrv::AutomationError& e) {
      if (abandoned(run)) return Outcome::Abandoned;
      qCDebug(lcAcq).noquote() << "the port is not back yet:" << e.message();
      try {
        if (m_board.portopen()) m_board.setPortopen(false);
      } catch (const zrv::AutomationError&) {
      }
    }
  }
  if (now >= m_reconnectUntil) {
    why = QStringLiteral("%1; it did not come back within %2 s")
              .arg(m_portLostWhy)
              .arg(m_link.reconnectGrace.count());
    return Outcome::Fatal;
  }
  const auto left = std::chrono::ceil<std::chrono::seconds>(m_reconnectUntil - now);
  why = QStringLiteral("Waiting for COM%1 to come back (%2 s)")
            .arg(m_board.CommPort())
            .arg(left.count());
  return Outcome::PortLost;
}

Sampler::Outcome Sampler::readChannels(uint64_t run, RawTick& tick, QString& why,
                                       std::chrono::steady_clock::time_point tickEnds) {
  m_proofDeferred = false;
  const int16_t channels = tick.plan.channels;
  // Checked before any read: the sums have room for kChannels.
  if (channels < 0 || channels > kChannels)
    throw zrv::AutomationError(
        zrv::err::kSubscriptOutOfRange,
        QStringLiteral("%1 channels: 0 to %2 can be read").arg(channels).arg(kChannels));
  for (int16_t c = 0; c < channels; ++c) {
    const bool ok = readChannel(c, tick.plan.average, tick.sums[c]);
    if (abandoned(run)) return Outcome::Abandoned;
    if (ok) continue;
    if (m_failure.kind == ReadFailure::PortError) {
      why = QStringLiteral("the port %1 failed: %2").arg(m_board.portDescription(), m_failure.why);
      return Outcome::PortLost;
    }
    // A reply the configured converter cannot give may be the board's power-on state.
    if (m_failure.kind == ReadFailure::InvalidReply) m_setUpDue = true;
    why = QStringLiteral("channel %1: %2").arg(c + 1).arg(m_failure.why);
    return Outcome::Missed;
  }
  // The readings count only once the line has proven the replies; when waiting for its quiet
  // would run into the next tick, that tick proves them (see settleHeld).
  m_proofDeferred =
      tick.intervalMs <= kNextTickProvesUpTo.count() ||
      std::chrono::steady_clock::now() + m_board.quietTime() + kProofMargin > tickEnds;
  if (m_proofDeferred) return Outcome::Read;
  if (!m_board.settleReplies()) {
    if (abandoned(run)) return Outcome::Abandoned;
    why = m_board.lastReadError();
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
    // A board that was not ready in time is a read that failed, a device that refuses
    // writes a port that failed; a link closed by the end of the run or a refused argument
    // are neither.
    if (!m_active) throw;
    if (e.number() == zrv::err::kDeviceUnavailable) {
      m_failure = {ReadFailure::NoReply, e.message()};
    } else if (e.number() == zrv::err::kPortWriteFailed || e.number() == zrv::err::kPortNotOpen) {
      m_failure = {ReadFailure::PortError, e.message()};
    } else {
      throw;
    }
    return false;
  }
}

}  // namespace zrvlog
