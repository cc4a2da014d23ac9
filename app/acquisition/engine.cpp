#include "engine.h"

#include <QLoggingCategory>
#include <QMetaObject>
#include <array>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>

#include "app/acquisition/boardcontrol.h"
#include "app/graph/graphmodel.h"
#include "app/timer/samplingtimer.h"
#include "common/automationdate.h"
#include "common/automationerror.h"
#include "common/numberformat.h"

Q_LOGGING_CATEGORY(lcAcq, "zrvlog.acq", QtWarningMsg)

namespace zrvlog {

namespace {

using zrv::Variant;
using M = GraphMember;

// A setting typed by the user as a number: the whole text in the user's notation (so "2,5" is
// 2.5 where a comma separates decimals), else its leading number, as the settings have always
// been read.
double settingNumber(const Variant& value) {
  if (!value.isText()) return value.toDouble();
  if (const auto n = zrv::parseNumber(value.textValue())) return *n;
  return zrv::leadingNumber(value.textValue());
}

// Integers that must not wrap: the tick's jitter and scroll arithmetic is checked.
int32_t checked32(int64_t value) {
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
    throw zrv::AutomationError(zrv::err::kOverflow);
  return static_cast<int32_t>(value);
}

// How long a stop waits for the tick thread to hand over the readings it holds: a tick at a
// fast interval takes a few milliseconds; one waiting on a slow board does not hold up the window.
constexpr std::chrono::milliseconds kStopSettleWait{50};

}  // namespace

AcquisitionEngine::AcquisitionEngine(Document& document, BoardControl& board, SamplingTimer& timer,
                                     QObject* parent)
    : QObject(parent),
      settings(document.settings),
      data(document.data),
      m_document(document),
      m_board(board),
      m_timer(timer),
      m_sampler(std::make_unique<Sampler>(board, timer, m_baton, m_epoch)) {
  m_timer.setTickThread(SamplingTimer::TickThread::Own);
  m_timer.runOnTickThread([this, ms = m_document.interval()] { m_timer.setInterval(ms); });
  m_epoch.store(data.generation(), std::memory_order_release);
  connect(&m_document, &Document::samplesCleared, this, &AcquisitionEngine::samplesCleared);
  connect(&m_document, &Document::autorangeChanged, this, &AcquisitionEngine::autorangeChanged);
  // Readings come back queued from the tick thread, at once from the caller's.
  connect(m_sampler.get(), &Sampler::samplesWaiting, this, &AcquisitionEngine::takeSamples);
  connect(m_sampler.get(), &Sampler::tickMissed, this, &AcquisitionEngine::onTickMissed);
  connect(m_sampler.get(), &Sampler::failed, this, &AcquisitionEngine::onSamplerFailed);
  connect(m_sampler.get(), &Sampler::waitingForPort, this,
          [this](uint64_t run, const QString& status) {
            takeSamples();
            if (m_running && run == m_run) Q_EMIT waitingForPort(status);
          });
}

namespace {
std::unique_ptr<Document> documentOf(GraphModel& graph, const SamplingTimer& timer) {
  auto document = std::make_unique<Document>(graph);
  document->setInterval(std::max(timer.interval(), 1));
  return document;
}
}  // namespace

AcquisitionEngine::AcquisitionEngine(GraphModel& graph, BoardControl& board, SamplingTimer& timer,
                                     QObject* parent)
    : AcquisitionEngine(*documentOf(graph, timer).release(), board, timer, parent) {
  m_ownDocument.reset(&m_document);
}

AcquisitionEngine::~AcquisitionEngine() {
  // The timer and the link may outlive the engine; leave neither running on its behalf, and
  // let the tick thread finish with the sampler before it goes. Nobody hears of it: what
  // listens may be gone already.
  blockSignals(true);
  if (m_running) stopRun();
  m_timer.runOnTickThread([this] { m_sampler->end(); });
  m_timer.waitForTickThread();
  m_timer.setTickThread(SamplingTimer::TickThread::Ui);
}

bool AcquisitionEngine::realTimePriority() const {
  return m_timer.realTimePriority();
}

// ---- Resets ------------------------------------------------------------------------------

void AcquisitionEngine::samplesCleared() {
  // Ticks that began before this belong to the old data set.
  m_epoch.store(data.generation(), std::memory_order_release);
  Q_EMIT dataReset();
}

void AcquisitionEngine::ClearAll() {
  m_document.clearAll();
}

void AcquisitionEngine::InitGraph() {
  m_document.initGraph();
}

void AcquisitionEngine::ClearForRun() {
  m_document.clearForRun();
}

void AcquisitionEngine::quickset(Quickset preset) {
  m_document.quickset(preset);
}

void AcquisitionEngine::applyStartUpDefaults() {
  m_document.applyStartUpDefaults();
  SetTimerInt(m_document.interval());
}

// ---- Runs ----------------------------------------------------------------------------------

void AcquisitionEngine::reclaimLink() {
  m_baton.waitReleased();
}

void AcquisitionEngine::startRun() {
  ClearForRun();
  reclaimLink();
  // A loaded document may have brought its own interval.
  m_timer.runOnTickThread([this, ms = m_document.interval()] { m_timer.setInterval(ms); });
  // The board set-up, repeated by the sampler when the board may have reset or the port
  // came back.
  RunLink link;
  link.setUp = [board = &m_board, clkx2 = settings.ClkX2, refsel = settings.RefSel] {
    board->resetall();
    board->a2dconf(true, clkx2, refsel);
  };
  link.reconnectGrace = m_reconnectGrace;
  try {
    m_board.setPortopen(true);
    link.setUp();
  } catch (...) {
    // A board that was opened but could not be set up must not stay open.
    if (m_board.portopen()) {
      try {
        m_board.setPortopen(false);
      } catch (const zrv::AutomationError& e) {
        qCWarning(lcAcq) << "closing the link after a failed start:" << e.message();
      }
    }
    throw;
  }
  data.DataChanged = true;
  const uint64_t run = ++m_run;
  m_running = true;
  m_missedTicks = 0;
  m_plan = readPlan();
  // From here the sampler alone uses the board, until it has closed the link.
  m_baton.give();
  m_timer.runOnTickThread([this, run, plan = m_plan, link] { m_sampler->begin(run, plan, link); });
  if (const int cpu = m_timer.realTimePriority() ? SharedCpu::choose() : -1; cpu >= 0) {
    m_windowCpu.pin(cpu, kWindowStepBack);
    m_timer.runOnTickThread([this, cpu] { m_tickCpu.pin(cpu); });
  }
  Q_EMIT runningChanged(true);
}

void AcquisitionEngine::endRun(RunEnd why, const QString& message) {
  if (!m_running) return;
  m_running = false;
  ++m_run;  // readings still on their way belong to the past
  m_timer.runOnTickThread([this] {
    m_sampler->end();
    m_tickCpu.restore();
  });
  m_windowCpu.restore();
  Q_EMIT runningChanged(false);
  Q_EMIT runEnded(why, message);
}

void AcquisitionEngine::readPlanChanged() {
  if (readPlan() == m_plan) return;
  m_plan = readPlan();
  m_timer.runOnTickThread([this, plan = m_plan] { m_sampler->setPlan(plan); });
}

void AcquisitionEngine::takeSamples() {
  for (const RawTick& tick : m_sampler->takeSamples())
    record(tick);
}

void AcquisitionEngine::stopRun() {
  // Readings of ticks before the stop still count, those the sampler holds for their proof
  // too: it stops ticking and proves them (a sub-millisecond wait) before the stop takes
  // effect. A tick still reading a slow board is not waited for: it counts as missed.
  const auto stoppedAt = std::chrono::steady_clock::now();
  struct Done {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
  };
  const auto settled = std::make_shared<Done>();
  // Ticks the stop's proof doubts are counted below, once, whichever thread settles them.
  m_stopping = true;
  m_sampler->stopAt(stoppedAt);
  m_timer.runOnTickThread([this, settled] {
    m_sampler->end();
    std::lock_guard lock(settled->mutex);
    settled->done = true;
    settled->cv.notify_all();
  });
  bool done = false;
  {
    std::unique_lock lock(settled->mutex);
    done = settled->cv.wait_for(lock, kStopSettleWait, [&] { return settled->done; });
  }
  m_stopping = false;
  // The run's final count, whether or not the tick thread got to end() in time: held readings
  // the stop's proof doubted, a tick still reading and the deadlines it kept waiting are
  // missed ticks too, as far as they came before the stop.
  Sampler::StopCount count = m_sampler->countAtStop(stoppedAt);
  for (const RawTick& tick : count.samples)
    if (tick.started <= stoppedAt) record(tick);
  if (m_running && count.run == m_run && count.missed > m_missedTicks) {
    m_missedTicks = count.missed;
    Q_EMIT tickMissed(
        count.missed,
        done ? count.why : QStringLiteral("the run stopped while a tick was reading"));
  }
  endRun(RunEnd::Stopped);
}

void AcquisitionEngine::onTickMissed(uint64_t run, int64_t missed, const QString& why,
                                     qint64 elapsedMs) {
  takeSamples();  // the readings before the missed tick come first
  if (!m_running || run != m_run || m_stopping) return;
  m_missedTicks = missed;
  Q_EMIT tickMissed(missed, why);
  // The stop time is wall time: ticks without a sample bring it closer too.
  try {
    if (stopTimePassed(elapsedMs, m_document.interval())) endRun(RunEnd::StopTimeReached);
  } catch (const zrv::AutomationError& e) {
    endRun(RunEnd::Failed, e.message());
  }
}

bool AcquisitionEngine::stopTimePassed(int64_t elapsedMs, int32_t intervalMs) const {
  if (settings.stopsec.isEmptyText()) return false;
  // The tick's place on the interval's grid, so that a late tick neither loses the sample at
  // the stop time nor takes one past it: a run takes every tick from 0 up to and including
  // the stop time.
  const double interval = std::max(intervalMs, 1);
  const double nextTick = (std::round(double(elapsedMs) / interval) + 1) * interval / 1000.0;
  return nextTick > settingNumber(settings.stopsec);
}

void AcquisitionEngine::onSamplerFailed(uint64_t run, const QString& message) {
  takeSamples();  // the readings before the failure come first
  if (!m_running || run != m_run) return;
  endRun(RunEnd::Failed, message);
}

// ---- Recording -----------------------------------------------------------------------------

void AcquisitionEngine::record(const RawTick& tick) {
  // A reading of a run that has stopped, or of a data set cleared or replaced since its tick
  // began, belongs nowhere.
  if (!m_running || tick.run != m_run || tick.epoch != data.generation()) return;
  m_missedTicks = tick.missedTicks;
  readPlanChanged();

  // Compute every value before recording any: a coefficient that is not a number, or a
  // calibration that overflows, ends the run without a half-recorded sample.
  SampleReport report;
  bool stopHere = false;
  try {
    report.jitter = checked32(int64_t{tick.milliseconds} - tick.intervalMs);
    for (int c = 0; c < kChannels; ++c) {
      // Channels not read count as 0, so their elements still get a point (of a0).
      const Variant sum = c < tick.plan.channels ? Variant(tick.sums[c]) : Variant();
      const Variant average = sum / Variant(tick.plan.average);
      Variant acc = data.GetCoef(4, static_cast<int16_t>(c));
      for (int k = 3; k >= 0; --k)
        acc = acc * average + data.GetCoef(static_cast<int16_t>(k), static_cast<int16_t>(c));
      report.values[c] = acc.toDouble();
      if (!std::isfinite(report.values[c]))
        throw zrv::AutomationError(
            zrv::err::kOverflow,
            QStringLiteral("the calibration of channel %1 gives no finite value").arg(c));
    }
    const double tolerance = settings.Tol.toDouble();
    report.overrun = std::fabs(double(tick.intervalMs) - tick.milliseconds) >
                     tolerance / 100.0 * tick.intervalMs;
    stopHere = stopTimePassed(tick.elapsedMs, tick.intervalMs);
  } catch (const zrv::AutomationError& e) {
    endRun(RunEnd::Failed, e.message());
    return;
  }

  if (data.StartTime.isEmptyText()) {
    data.StartTime = Variant::date(tick.tickStart);
    report.first = true;
  }
  // The sample goes into the store once; the graph and the live outputs follow it there.
  report.sampleTime = data.SampleTime.toDouble();
  try {
    m_document.appendSample(Variant::date(tick.tickStart), Variant(report.jitter), report.values,
                            tick.intervalMs);
  } catch (const zrv::AutomationError& e) {
    // A full disk: the samples before this one stay.
    endRun(RunEnd::Failed, e.detail().isEmpty() ? e.message() : e.detail());
    return;
  }
  // Every sample since the last save is unsaved, whatever happened to the ones before it.
  data.DataChanged = true;

  // The range the user may have zoomed, panned or autoranged to becomes the settings' range.
  GraphModel& g = graph();
  settings.MINX = g.property(M::RangeXMin).toDouble();
  settings.MAXX = g.property(M::RangeXMax).toDouble();
  settings.MINY = g.property(M::RangeYMin).toDouble();
  settings.MAXY = g.property(M::RangeYMax).toDouble();
  scrollOrFit(tick.intervalMs);

  report.tickStart = tick.tickStart;
  report.started = tick.started;
  report.reading = tick.reading;
  report.missedTicks = tick.missedTicks;
  report.samples = m_document.sampleCount();
  Q_EMIT sampleRecorded(report);

  if (stopHere) endRun(RunEnd::StopTimeReached);
}

void AcquisitionEngine::scrollOrFit(int32_t intervalMs) {
  if (m_document.autorange()) {
    graph().fitRange();
    return;
  }
  const double next = data.SampleTime.toDouble();
  if (next <= settingNumber(settings.MAXX)) return;
  // Page on so that the newest point sits one interval right of the left edge.
  const double width = settings.MAXX.toDouble() - settings.MINX.toDouble();
  const double minX = next - checked32(2 * int64_t{intervalMs}) / 1000.0;
  settings.MINX = minX;
  settings.MAXX = minX + width;
  m_document.setGraphRanges();
}

// ---- Timer access ---------------------------------------------------------------------------

int32_t AcquisitionEngine::GetTimerInt() const {
  return m_document.interval();
}
void AcquisitionEngine::SetTimerInt(int32_t milliseconds) {
  // The document checks it, so that a refused interval reaches the caller; the timer takes
  // it on its tick thread.
  m_document.setInterval(milliseconds);
  m_timer.runOnTickThread([this, milliseconds] { m_timer.setInterval(milliseconds); });
}
int32_t AcquisitionEngine::GetTimerFreq() const {
  return m_timer.statistics().frequency();
}
void AcquisitionEngine::SetTimerFreq(int32_t frequency) {
  m_timer.statistics().setFrequency(frequency);
}
int32_t AcquisitionEngine::GetTimerRes() const {
  return m_timer.statistics().resolution();
}
int32_t AcquisitionEngine::GetTimerResMax() const {
  return m_timer.statistics().maximumResolution();
}
int32_t AcquisitionEngine::GetTimerResMin() const {
  return m_timer.statistics().minimumResolution();
}

zrv::Variant settingValue(const AcquisitionEngine& engine, const SettingDescriptor& d) {
  switch (d.id) {
    case SettingId::TimerFrequency:
      return zrv::Variant(engine.GetTimerFreq());
    case SettingId::Reconnect:
      return zrv::Variant(static_cast<int32_t>(engine.reconnectGrace().count()));
    default:
      return settingValue(engine.document(), d);
  }
}

void setSetting(AcquisitionEngine& engine, const SettingDescriptor& d, const zrv::Variant& value) {
  switch (d.id) {
    case SettingId::TimerFrequency:
      engine.SetTimerFreq(value.toLong());
      return;
    case SettingId::Reconnect:
      engine.setReconnectGrace(std::chrono::seconds(value.toLong()));
      return;
    case SettingId::Interval:
      engine.SetTimerInt(value.toLong());
      return;
    default:
      setSetting(engine.document(), d, value);
  }
}

QString settingText(const AcquisitionEngine& engine, const SettingDescriptor& d) {
  return settingText(d, settingValue(engine, d));
}

}  // namespace zrvlog
