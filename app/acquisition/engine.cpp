#include "engine.h"

#include <QDateTime>
#include <QLoggingCategory>
#include <array>
#include <cmath>
#include <limits>

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

// The five channel elements: colour (00BBGGRR) and legend name.
struct ChannelLook {
  int32_t colour;
  const char* name;
};
constexpr std::array<ChannelLook, kChannels> kChannelLooks{{
    {0x00FF00, "Channel 1"},  // green
    {0x0000FF, "Channel 2"},  // red
    {0xFF0000, "Channel 3"},  // blue
    {0x00FFFF, "Channel 4"},  // yellow
    {0xFFFFFF, "Channel 5"},  // white
}};

// The settings a new run keeps from the previous one, graph-wide and per element.
constexpr std::array kRunGraphLook{M::Caption,   M::LabelFormatX,  M::LabelFormatY,  M::FrameStyle,
                                   M::GridColor, M::GridShown,     M::AxisTitleFont, M::LabelColor,
                                   M::TickFont,  M::PlotAreaColor, M::TitleFont,     M::LegendFont};
constexpr std::array kRunElementLook{
    M::ElementColor,       M::ElementLabel, M::ElementLineStyle,   M::ElementPointColor,
    M::ElementPointSymbol, M::ElementShow,  M::ElementSolidPoints, M::ElementLineWidth};

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

}  // namespace

AcquisitionEngine::AcquisitionEngine(GraphModel& graph, BoardControl& board, SamplingTimer& timer,
                                     QObject* parent)
    : QObject(parent), m_graph(graph), m_board(board), m_timer(timer) {
  connect(&m_timer, &SamplingTimer::tick, this, &AcquisitionEngine::Timer1_Timer);
}

AcquisitionEngine::~AcquisitionEngine() {
  // The timer and the link may outlive the engine; leave neither running on its behalf.
  m_timer.setEnabled(false);
}

// ---- Resets ------------------------------------------------------------------------------

void AcquisitionEngine::setStatus(StatusPanel panel, const QString& text) {
  Q_EMIT statusChanged(panel, text);
}

void AcquisitionEngine::setGraphRanges() {
  m_graph.setProperty(M::RangeXMax, settings.MAXX);
  m_graph.setProperty(M::RangeYMax, settings.MAXY);
  m_graph.setProperty(M::RangeXMin, settings.MINX);
  m_graph.setProperty(M::RangeYMin, settings.MINY);
}

void AcquisitionEngine::buildChannelElements() {
  m_graph.resetElements();
  for (int c = 0; c < kChannels; ++c) {
    if (c > 0) m_graph.newElement();
    m_graph.setProperty(M::ElementIndex, Variant(static_cast<int16_t>(c)));
    m_graph.setProperty(M::ElementColor, Variant(kChannelLooks[c].colour));
    m_graph.setProperty(M::ElementLabel, Variant(kChannelLooks[c].name));
  }
}

void AcquisitionEngine::ClearAll() {
  data.reset();
  Q_EMIT dataReset();
  buildChannelElements();
  setGraphRanges();
  m_graph.setProperty(M::GridCountX, Variant(int16_t{20}));
  m_graph.setProperty(M::GridCountY, Variant(int16_t{10}));
  setStatus(StatusPanel::Status, {});
  setStatus(StatusPanel::Start, {});
}

void AcquisitionEngine::InitGraph() {
  ClearAll();
  // The graph receives these ranges at the next ClearAll or ClearForRun.
  settings.MINX = int16_t{0};
  settings.MAXX = int16_t{100};
  settings.MINY = int16_t{0};
  settings.MAXY = int16_t{5};
  m_graph.setProperty(M::LabelFormatX, Variant("%.1f"));
  m_graph.setProperty(M::LabelFormatY, Variant("%g"));
  for (int i = m_graph.annotationCount() - 1; i >= 0; --i)
    m_graph.dropAnnotation(i);
  for (int i = m_graph.cursorCount() - 1; i >= 0; --i)
    m_graph.dropCursor(i);
}

void AcquisitionEngine::ClearForRun() {
  std::array<Variant, kRunGraphLook.size()> graphLook;
  for (std::size_t i = 0; i < kRunGraphLook.size(); ++i)
    graphLook[i] = m_graph.property(kRunGraphLook[i]);
  const Variant legend = m_graph.property(M::LegendOn);
  std::array<std::array<Variant, kRunElementLook.size()>, kChannels> elementLook;
  for (int c = 0; c < kChannels; ++c) {
    m_graph.setProperty(M::ElementIndex, Variant(static_cast<int16_t>(c)));
    for (std::size_t i = 0; i < kRunElementLook.size(); ++i)
      elementLook[c][i] = m_graph.property(kRunElementLook[i]);
  }

  data.reset();
  Q_EMIT dataReset();
  m_graph.resetElements();
  setGraphRanges();
  for (std::size_t i = 0; i < kRunGraphLook.size(); ++i)
    m_graph.setProperty(kRunGraphLook[i], graphLook[i]);
  for (int c = 0; c < kChannels; ++c) {
    if (c > 0) m_graph.newElement();
    m_graph.setProperty(M::ElementIndex, Variant(static_cast<int16_t>(c)));
    for (std::size_t i = 0; i < kRunElementLook.size(); ++i)
      m_graph.setProperty(kRunElementLook[i], elementLook[c][i]);
  }
  m_graph.setProperty(M::LegendOn, legend);
  setStatus(StatusPanel::Status, {});
  setStatus(StatusPanel::Start, {});
}

void AcquisitionEngine::quickset(Quickset preset) {
  const bool volts = preset == Quickset::Volts0To5;
  settings.MINY = int16_t{0};
  settings.MAXY = volts ? int16_t{5} : int16_t{1023};
  m_graph.setProperty(M::RangeYMax, settings.MAXY);
  m_graph.setProperty(M::RangeYMin, settings.MINY);
  data.ClearCoef();
  for (int16_t c = 0; c < kChannels; ++c)
    data.SetCoef(1, c, Variant(volts ? kVoltsPerCount : 1.0));
  m_graph.setProperty(M::LabelFormatY, Variant(volts ? "%g V" : "%4.0f"));
}

void AcquisitionEngine::applyStartUpDefaults() {
  SetTimerInt(1000);
  InitGraph();
  ClearAll();  // hands InitGraph's ranges to the graph
  settings.Tol = int16_t{25};
  quickset(Quickset::Volts0To5);
  settings.AvgCt = 1;
  settings.ChanLimit = 5;
  settings.ClkX2 = true;
}

void AcquisitionEngine::setAutorange(bool on) {
  if (on == m_autorange) return;
  m_autorange = on;
  Q_EMIT autorangeChanged(on);
}

// ---- Runs ----------------------------------------------------------------------------------

bool AcquisitionEngine::running() const {
  return m_board.portopen();
}

void AcquisitionEngine::startRun() {
  ClearForRun();
  try {
    m_board.setPortopen(true);
    m_board.resetall();
    m_board.a2dconf(true, settings.ClkX2, settings.RefSel);
  } catch (...) {
    // A board that was opened but could not be set up must not stay open: the program takes
    // an open link for a running acquisition.
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
  ++m_runGeneration;
  m_timer.setEnabled(true);
  Q_EMIT runningChanged(true);
}

void AcquisitionEngine::stopRun() {
  m_timer.setEnabled(false);
  ++m_runGeneration;
  try {
    m_board.setPortopen(false);
  } catch (const zrv::AutomationError& e) {
    // The link is as good as closed when closing it fails; the run is over either way.
    qCWarning(lcAcq) << "closing the link:" << e.message();
  }
  Q_EMIT runningChanged(false);
}

// ---- The tick ------------------------------------------------------------------------------

bool AcquisitionEngine::interrupted(uint64_t dataGeneration, uint64_t runGeneration) const {
  return data.generation() != dataGeneration || m_runGeneration != runGeneration || !running();
}

void AcquisitionEngine::Timer1_Timer(int32_t Milliseconds) {
  if (m_inTick) return;  // a tick delivered from inside a board wait of the current one
  m_inTick = true;
  const uint64_t dataGeneration = data.generation();
  const uint64_t runGeneration = m_runGeneration;
  try {
    takeSample(Milliseconds);
  } catch (const zrv::AutomationError& e) {
    m_inTick = false;
    // A command that stopped, cleared or replaced the data set under the tick explains the
    // failure (a closed link, say); that is not an error of the run.
    if (interrupted(dataGeneration, runGeneration)) return;
    if (running()) stopRun();
    Q_EMIT tickFailed(e.message());
    return;
  }
  m_inTick = false;
}

int32_t AcquisitionEngine::readChannel(int16_t channel) {
  // A reply that never came reads as 0; recording it would put false zeros in the data.
  const auto checkReply = [this] {
    if (m_board.errflag())
      throw zrv::AutomationError(zrv::err::kDeviceUnavailable,
                                 QStringLiteral("the board on %1 stopped answering (%2)")
                                     .arg(m_board.portDescription(), m_board.lastReadError()));
  };
  if (settings.AvgCt != 1) m_board.repeat(settings.AvgCt);
  int64_t sum = m_board.a2d(channel);
  checkReply();
  for (int k = 2; k <= settings.AvgCt; ++k) {
    sum += m_board.readword();
    checkReply();
  }
  return checked32(sum);
}

double AcquisitionEngine::localNow() {
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

void AcquisitionEngine::takeSample(int32_t Milliseconds) {
  const double tickStart = localNow();
  const uint64_t dataGeneration = data.generation();
  const uint64_t runGeneration = m_runGeneration;

  // Read. Board waits may run other commands; nothing is written until all reads are done.
  const int16_t channels = settings.ChanLimit;
  if (channels > 6)
    throw zrv::AutomationError(zrv::err::kSubscriptOutOfRange,
                               QStringLiteral("%1 channels: at most 5 can be read").arg(channels));
  std::array<Variant, 6> raw;
  for (int16_t c = 0; c < channels; ++c)
    raw[c] = Variant(readChannel(c));
  if (interrupted(dataGeneration, runGeneration)) return;

  // Compute every value before recording any, so that a coefficient that is not a number
  // leaves the time stamps, jitters and graph elements in step.
  const int32_t interval = m_timer.interval();
  const int32_t jitter = checked32(int64_t{Milliseconds} - interval);
  std::array<Variant, kChannels> values;
  for (int c = 0; c < kChannels; ++c) {
    const Variant average = raw[c] / Variant(settings.AvgCt);
    Variant acc = data.GetCoef(4, static_cast<int16_t>(c));
    for (int k = 3; k >= 0; --k)
      acc = acc * average + data.GetCoef(static_cast<int16_t>(k), static_cast<int16_t>(c));
    values[c] = acc;
  }
  std::array<double, kChannels> ys;
  for (int c = 0; c < kChannels; ++c)
    ys[c] = values[c].toDouble();
  const double tolerance = settings.Tol.toDouble();
  const double stopAt = settings.stopsec.isEmptyText() ? 0.0 : settingNumber(settings.stopsec);

  // Record.
  if (data.StartTime.isEmptyText()) {
    data.StartTime = Variant::date(tickStart);
    setStatus(StatusPanel::Start, zrv::formatGeneralDate(tickStart));
  }
  data.addSample(Variant::date(tickStart), Variant(jitter));
  const Variant savedElement = m_graph.property(M::ElementIndex);
  const double x = data.SampleTime.toDouble();
  QString text;
  for (int c = 0; c < kChannels; ++c) {
    m_graph.addPoint(x, ys[c], c);
    text += zrv::formatPattern(ys[c], u"0.0 ");
  }
  setStatus(StatusPanel::RunningTime, zrv::formatPattern(x, u"0.0"));
  text += QLatin1Char('(') + QString::number(jitter) + QLatin1Char(')');
  data.advanceSampleTime(interval);
  m_graph.setProperty(M::ElementIndex, savedElement);

  // The range the user may have zoomed, panned or autoranged to becomes the settings' range.
  settings.MINX = m_graph.property(M::RangeXMin).toDouble();
  settings.MAXX = m_graph.property(M::RangeXMax).toDouble();
  settings.MINY = m_graph.property(M::RangeYMin).toDouble();
  settings.MAXY = m_graph.property(M::RangeYMax).toDouble();
  scrollOrFit(interval);

  if (std::fabs(double(interval) - Milliseconds) > tolerance / 100.0 * interval)
    text = QStringLiteral("Timing overrun!");
  setStatus(StatusPanel::Status, text);
  Q_EMIT sampleRecorded();

  if (!settings.stopsec.isEmptyText() && data.SampleTime.toDouble() > stopAt) stopRun();
}

void AcquisitionEngine::scrollOrFit(int32_t intervalMs) {
  if (m_autorange) {
    m_graph.fitRange();
    return;
  }
  const double next = data.SampleTime.toDouble();
  if (next <= settingNumber(settings.MAXX)) return;
  // Page on so that the newest point sits one interval right of the left edge.
  const double width = settings.MAXX.toDouble() - settings.MINX.toDouble();
  const double minX = next - checked32(2 * int64_t{intervalMs}) / 1000.0;
  settings.MINX = minX;
  settings.MAXX = minX + width;
  setGraphRanges();
}

// ---- Timer access ---------------------------------------------------------------------------

int32_t AcquisitionEngine::GetTimerInt() const {
  return m_timer.interval();
}
void AcquisitionEngine::SetTimerInt(int32_t milliseconds) {
  m_timer.setInterval(milliseconds);
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

}  // namespace zrvlog
