#include "app/documents/settingtable.h"

#include <array>
#include <chrono>
#include <cmath>
#include <limits>

#include "app/documents/document.h"
#include "app/graph/graphmodel.h"
#include "common/automationerror.h"
#include "common/numberformat.h"

namespace zrvlog {

using zrv::Variant;

namespace {

constexpr double kMaxInt16 = std::numeric_limits<int16_t>::max();
constexpr double kMaxInt32 = std::numeric_limits<int32_t>::max();
constexpr double kMaxDouble = std::numeric_limits<double>::max();

constexpr SettingChoice kReferences[] = {
    {"Vdd, Vss", "vdd", 0}, {"Ch3, Vss", "ch3", 1}, {"Ch3, Ch2", "ch3-ch2", 8}};

// The graph page's rows differ only in these: a range on line 7, kept as typed, and the
// grid's divisions on line 8; neither has an option or a stored default.
constexpr SettingDescriptor rangeRow(SettingId id, const char* name, const char* defaultText,
                                     const char* label, const char* unit, const char* takes) {
  return {id,          name,       SettingType::Text,
          -kMaxDouble, kMaxDouble, false,
          false,       1,          defaultText,
          name,        label,      unit,
          takes,       nullptr,    7,
          nullptr,     nullptr,    nullptr,
          {},          nullptr};
}

constexpr SettingDescriptor gridRow(SettingId id, const char* name, const char* defaultText,
                                    const char* label) {
  return {id,
          name,
          SettingType::Int16,
          0,
          kMaxInt16,
          true,
          false,
          1,
          defaultText,
          name,
          label,
          "divisions",
          "a whole number from 1 to 32767",
          nullptr,
          8,
          nullptr,
          nullptr,
          nullptr,
          {},
          nullptr};
}

// The averaging count is a 16-bit setting; the board's repeat count carries up to 65536
// conversions (its argument is the count minus one in 16 bits) and 32767 words of at most
// 65535 still add up within 32 bits, so the whole 16-bit range is usable.
constexpr SettingDescriptor kTable[] = {
    {SettingId::StopTime,
     "stopsec",
     SettingType::Text,
     0,
     1e9,
     true,
     true,
     1,
     "",
     "StopTime",
     "Stop time:",
     "Seconds (leave empty to free run)",
     "a number of seconds above 0 and at most 1000000000, or nothing to run until stopped",
     nullptr,
     3,
     "stop",
     "SECONDS",
     "stop time (without it the run goes on until Ctrl+C)",
     {},
     "StopTime"},
    {SettingId::TimerFrequency,
     "timer frequency",
     SettingType::Int32,
     0,
     kMaxInt32,
     true,
     false,
     1,
     nullptr,
     "TFreq",
     "Timer Freq:",
     "Hz (Advanced use only)",
     "a whole number of Hz from 1 to 2147483647",
     nullptr,
     0,
     nullptr,
     nullptr,
     nullptr,
     {},
     "TimerFreq"},
    {SettingId::Tolerance,
     "Tol",
     SettingType::Text,
     0,
     std::numeric_limits<double>::max(),
     false,
     false,
     1,
     "25",
     "TTol",
     "Tolerance:",
     "%",
     "a percentage of 0 or more",
     nullptr,
     0,
     nullptr,
     nullptr,
     nullptr,
     {},
     "Tolerance"},
    {SettingId::Interval,
     "sample interval",
     SettingType::Int32,
     0,
     kMaxInt32 / 1000.0,
     true,
     false,
     1000,
     "1",
     "SampRate",
     "Sample Rate:",
     "Seconds between samples",
     "a number of seconds from 0.001 to 2147483.647",
     nullptr,
     9,
     "interval",
     "SECONDS",
     "sample interval",
     {},
     "Interval"},
    {SettingId::Average,
     "AvgCt",
     SettingType::Int16,
     0,
     kMaxInt16,
     true,
     false,
     1,
     "1",
     "Avg",
     "Average:",
     "Samples",
     "a whole number of samples from 1 to 32767",
     nullptr,
     4,
     "average",
     "N",
     "conversions averaged per channel and sample",
     {},
     "Average"},
    {SettingId::Channels,
     "ChanLimit",
     SettingType::Int16,
     0,
     5,
     true,
     false,
     1,
     "5",
     "Chan",
     "Channels:",
     "",
     "a whole number from 1 to 5",
     "5 Channels maximum",
     0,
     "channels",
     "N",
     "channels 0 to N-1 are read",
     {},
     "Channels"},
    {SettingId::Reconnect,
     "reconnect wait",
     SettingType::Int32,
     0,
     86400,
     false,
     false,
     1,
     "30",
     "Reconnect",
     "Reconnect:",
     "seconds",
     "a whole number of seconds from 0 to 86400",
     nullptr,
     0,
     "reconnect",
     "SECONDS",
     "when the port fails (a USB adapter unplugged), wait this long for it to come back, trying "
     "once a second, before the run ends; 0 ends it at once",
     {},
     "Reconnect"},
    {SettingId::Reference,
     "RefSel",
     SettingType::Choice,
     0,
     0,
     false,
     false,
     1,
     "0",
     "RefSel",
     "Reference:",
     "",
     "vdd (Vdd, Vss), ch3 (Ch3, Vss) or ch3-ch2 (Ch3, Ch2)",
     nullptr,
     0,
     "reference",
     "REF",
     "A/D reference",
     kReferences,
     "RefSel"},
    // The graph page. A range takes any number, kept as typed; its unit is the axis's (the
    // Y axis's is the calibrated one, which only the user knows).
    rangeRow(SettingId::MinX, "MINX", "0", "Minimum X", "seconds", "a number of seconds"),
    rangeRow(SettingId::MaxX, "MAXX", "100", "Maximum X", "seconds", "a number of seconds"),
    rangeRow(SettingId::MinY, "MINY", "0", "Minimum Y", "", "a number"),
    rangeRow(SettingId::MaxY, "MAXY", "5", "Maximum Y", "", "a number"),
    gridRow(SettingId::XSteps, "XSTEP", "20", "X Steps"),
    gridRow(SettingId::YSteps, "YSTEP", "10", "Y Steps"),
};

constexpr SettingPair kPairs[] = {
    {SettingId::MinX, SettingId::MaxX, "Maximum X must be larger than minimum X"},
    {SettingId::MinY, SettingId::MaxY, "Maximum Y must be larger than minimum Y"},
};

static_assert(kChannels == 5, "the channel count's texts above say 5");
static_assert(std::size(kTable) == std::size_t(SettingId::YSteps) + 1);

constexpr bool inIdOrder() {
  for (std::size_t i = 0; i < std::size(kTable); ++i)
    if (std::size_t(kTable[i].id) != i) return false;
  return true;
}
static_assert(inIdOrder(), "the rows follow SettingId");

// The whole number a typed number stands for, ties to even, or nothing when it is beyond
// what 32 bits hold.
std::optional<double> rounded(double typed, double scale) {
  const double r = std::nearbyint(typed * scale);
  if (!std::isfinite(r) || std::abs(r) > kMaxInt32) return std::nullopt;
  return r;
}

}  // namespace

std::span<const SettingDescriptor> settingTable() {
  return kTable;
}

const SettingDescriptor& setting(SettingId id) {
  return kTable[std::size_t(id)];
}

const SettingDescriptor* settingOnFileLine(int line) {
  for (const SettingDescriptor& d : kTable)
    if (d.fileLine == line) return &d;
  return nullptr;
}

std::span<const SettingPair> settingPairs() {
  return kPairs;
}

bool pairHolds(const Variant& minimum, const Variant& maximum) {
  const auto number = [](const Variant& v) -> std::optional<double> {
    if (v.isText()) return zrv::parseNumber(v.textValue());
    if (v.isNumeric()) return v.toDouble();
    return std::nullopt;
  };
  const std::optional<double> low = number(minimum), high = number(maximum);
  return low && high && *high > *low;
}

SettingCheck checkSetting(const SettingDescriptor& d, QStringView text) {
  SettingCheck c;
  if (text.isEmpty() && d.emptyAllowed) {
    c.value = Variant(QString());
    return c;
  }
  if (d.type == SettingType::Choice) {
    const QString word = text.trimmed().toString().toLower();
    for (const SettingChoice& choice : d.choices)
      if (word == QLatin1String(choice.word) || word == QString::number(choice.code) ||
          word == QString::fromLatin1(choice.text).toLower()) {
        c.value = Variant(choice.code);
        return c;
      }
    c.problem = text.trimmed().isEmpty() ? SettingProblem::Empty : SettingProblem::NotANumber;
    return c;
  }
  const std::optional<double> v = zrv::parseNumber(text);
  if (!v) {
    c.problem = text.trimmed().isEmpty() ? SettingProblem::Empty : SettingProblem::NotANumber;
    return c;
  }
  if (*v < d.lowest || (d.aboveLowest && *v == d.lowest) || !std::isfinite(*v)) {
    c.problem = SettingProblem::OutOfRange;
    return c;
  }
  if (*v > d.highest) {
    c.problem = d.tooHighMessage ? SettingProblem::TooHigh : SettingProblem::OutOfRange;
    return c;
  }
  if (d.type == SettingType::Text) {
    c.value = Variant(text.toString());  // kept as typed
    return c;
  }
  const std::optional<double> whole = rounded(*v, d.scale);
  const double held = d.type == SettingType::Int16 ? kMaxInt16 : kMaxInt32;
  const double least = d.aboveLowest ? std::floor(d.lowest * d.scale) + 1 : d.lowest * d.scale;
  if (!whole || *whole > held || *whole > std::floor(d.highest * d.scale + 0.5)) {
    c.problem = SettingProblem::OutOfRange;
  } else if (*whole < least) {
    // A positive interval that rounds to 0 ms would give every sample the key of the one
    // before; a count that rounds to 0 counts nothing.
    c.problem = d.scale != 1 ? SettingProblem::RoundsToZero : SettingProblem::OutOfRange;
  } else if (d.type == SettingType::Int16) {
    c.value = Variant(static_cast<int16_t>(*whole));
  } else {
    c.value = Variant(static_cast<int32_t>(*whole));
  }
  return c;
}

Variant settingValue(const Document& document, const SettingDescriptor& d) {
  const AcquisitionSettings& s = document.settings;
  switch (d.id) {
    case SettingId::StopTime:
      return s.stopsec;
    case SettingId::Tolerance:
      return s.Tol;
    case SettingId::Interval:
      return Variant(document.interval());
    case SettingId::Average:
      return Variant(s.AvgCt);
    case SettingId::Channels:
      return Variant(s.ChanLimit);
    case SettingId::Reference:
      return Variant(s.RefSel);
    case SettingId::MinX:
      return s.MINX;
    case SettingId::MaxX:
      return s.MAXX;
    case SettingId::MinY:
      return s.MINY;
    case SettingId::MaxY:
      return s.MAXY;
    case SettingId::XSteps:
      return document.graph().property(GraphMember::GridCountX);
    case SettingId::YSteps:
      return document.graph().property(GraphMember::GridCountY);
    case SettingId::TimerFrequency:
    case SettingId::Reconnect:
      break;
  }
  return {};
}

void setSetting(Document& document, const SettingDescriptor& d, const Variant& value) {
  AcquisitionSettings& s = document.settings;
  switch (d.id) {
    case SettingId::StopTime:
      s.stopsec = value;
      return;
    case SettingId::Tolerance:
      s.Tol = value;
      return;
    case SettingId::Interval:
      document.setInterval(value.toLong());
      return;
    case SettingId::Average:
      s.AvgCt = value.toInteger();
      return;
    case SettingId::Channels:
      s.ChanLimit = value.toInteger();
      return;
    case SettingId::Reference:
      s.RefSel = value.toInteger();
      return;
    // The ranges reach the graph together once the caller has set all four
    // (Document::setGraphRanges); the data file reader checks all four before it sets any.
    case SettingId::MinX:
      s.MINX = value;
      return;
    case SettingId::MaxX:
      s.MAXX = value;
      return;
    case SettingId::MinY:
      s.MINY = value;
      return;
    case SettingId::MaxY:
      s.MAXY = value;
      return;
    case SettingId::XSteps:
      document.graph().setProperty(GraphMember::GridCountX, value);
      return;
    case SettingId::YSteps:
      document.graph().setProperty(GraphMember::GridCountY, value);
      return;
    case SettingId::TimerFrequency:
    case SettingId::Reconnect:
      return;
  }
}

QString settingText(const SettingDescriptor& d, const Variant& v) {
  switch (d.type) {
    case SettingType::Text:
      return v.toText();
    case SettingType::Choice:
      for (const SettingChoice& choice : d.choices)
        if (choice.code == v.toInteger()) return QString::fromLatin1(choice.word);
      return QString::number(v.toInteger());
    case SettingType::Int16:
    case SettingType::Int32:
      return d.scale == 1 ? QString::number(v.toLong()) : zrv::formatGeneral(v.toLong() / d.scale);
  }
  return {};
}

Variant settingDefault(const SettingDescriptor& d) {
  if (!d.defaultText) return {};
  return checkSetting(d, QString::fromLatin1(d.defaultText)).value;
}

std::optional<Variant> storedSetting(const SettingDescriptor& d, const QString& text) {
  // The held value back as typed, judged as a typed one: a value damaged in the file, or
  // one a former version took that this one refuses, is not used.
  Variant held(text);
  if (d.type != SettingType::Text) {
    const std::optional<double> n = zrv::parseNumber(text);
    if (!n || !(std::abs(*n) <= kMaxInt32)) return std::nullopt;
    held = Variant(*n);
  }
  try {
    const SettingCheck c = checkSetting(d, settingText(d, held));
    if (c.ok()) return c.value;
  } catch (const zrv::AutomationError&) {
    // beyond what the setting's type holds
  }
  return std::nullopt;
}

bool changesBetweenRunsOnly(const SettingDescriptor& d) {
  return d.id == SettingId::Interval;
}

}  // namespace zrvlog
