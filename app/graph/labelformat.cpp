#include "labelformat.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace zrvlog {

namespace {

// Generous, but keeps a hostile format from asking for megabytes of padding.
constexpr int kMaxWidth = 64;
constexpr int kMaxPrecision = 30;
constexpr int kMaxGridDecimals = 15;

struct ParsedFormat {
  QString prefix;
  QString flags;
  QString width;
  std::optional<int> precision;
  QChar conversion;
  QString suffix;

  bool integer() const { return QStringView(u"diu").contains(conversion); }
  // The printf conversion for one value: whole numbers as long long, the rest as double.
  QByteArray printfFormat() const {
    QString out = QStringLiteral("%") + flags + width;
    if (precision) out += QStringLiteral(".%1").arg(*precision);
    out += integer() ? QStringLiteral("lld") : QString(conversion);
    return out.toLatin1();
  }
  // For a whole-number conversion, the one for values beyond long long ("%.0f"); else empty.
  QByteArray wideFormat() const {
    if (!integer()) return {};
    ParsedFormat asDouble = *this;
    asDouble.conversion = u'f';
    asDouble.precision = 0;
    return asDouble.printfFormat();
  }
};

// Literal text up to the next conversion, with "%%" turned into "%". Returns the index of
// the '%' that starts a conversion, or -1 at the end; appends the literal part to out.
qsizetype literalUntilConversion(const QString& f, qsizetype i, QString& out) {
  while (i < f.size()) {
    if (f[i] != u'%') {
      out += f[i++];
      continue;
    }
    if (i + 1 < f.size() && f[i + 1] == u'%') {
      out += u'%';
      i += 2;
      continue;
    }
    return i;
  }
  return -1;
}

std::optional<ParsedFormat> parse(const QString& f) {
  ParsedFormat p;
  qsizetype i = literalUntilConversion(f, 0, p.prefix);
  if (i < 0) return std::nullopt;
  ++i;
  while (i < f.size() && QStringView(u"-+ #0").contains(f[i]))
    p.flags += f[i++];
  auto number = [&](int limit) -> std::optional<QString> {
    QString digits;
    while (i < f.size() && f[i].isDigit() && f[i].unicode() < 128)
      digits += f[i++];
    if (digits.size() > 3 || digits.toInt() > limit) return std::nullopt;
    return digits;
  };
  const auto width = number(kMaxWidth);
  if (!width) return std::nullopt;
  p.width = *width;
  if (i < f.size() && f[i] == u'.') {
    ++i;
    const auto precision = number(kMaxPrecision);
    if (!precision) return std::nullopt;
    p.precision = precision->toInt();  // "%.f" is "%.0f"
  }
  while (i < f.size() && (f[i] == u'l' || f[i] == u'L' || f[i] == u'h'))
    ++i;
  if (i >= f.size()) return std::nullopt;
  p.conversion = f[i++];
  if (!QStringView(u"diufFeEgG").contains(p.conversion)) return std::nullopt;
  if (literalUntilConversion(f, i, p.suffix) >= 0) return std::nullopt;
  return p;
}

const ParsedFormat& fallbackFormat() {
  static const ParsedFormat fallback = *parse(QStringLiteral("%g"));
  return fallback;
}

// A value through a format's printf conversions (printfFormat() and wideFormat()).
QString printed(const QByteArray& format, const QByteArray& wide, double value) {
  if (wide.isEmpty()) return QString::asprintf(format.constData(), value);
  if (std::abs(value) < 9.0e18)
    return QString::asprintf(format.constData(), static_cast<long long>(std::llround(value)));
  return QString::asprintf(wide.constData(), value);
}

QString apply(const ParsedFormat& p, double value) {
  return p.prefix + printed(p.printfFormat(), p.wideFormat(), value) + p.suffix;
}

// True when x is a whole number of 10^-decimals, to rounding.
bool hasDecimals(double x, int decimals) {
  const double scaled = x * std::pow(10.0, decimals);
  return std::abs(scaled - std::round(scaled)) <= std::max(1e-6, std::abs(scaled) * 1e-12);
}

}  // namespace

bool isValidLabelFormat(const QString& format) {
  return parse(format).has_value();
}

QString formatLabel(const QString& format, double value) {
  const auto parsed = parse(format);
  return apply(parsed ? *parsed : fallbackFormat(), value);
}

double smallestStepShown(const QString& format) {
  const auto p = parse(format);
  if (!p) return 0;
  if (p->integer()) return 1;
  if (p->precision && (p->conversion == u'f' || p->conversion == u'F'))
    return std::pow(10.0, -*p->precision);
  return 0;
}

int gridDecimals(double lower, double step) {
  if (!(step > 0) || !std::isfinite(step) || !std::isfinite(lower)) return 0;
  // The decimals of the step's leading digit, and up to three more where the step or the
  // first value need them (0.625, 0.05 from 1.05); beyond that a step is not a decimal one.
  const int leading = std::clamp(int(-std::floor(std::log10(step) + 1e-9)), 0, kMaxPrecision);
  const int most = std::min(leading + 3, kMaxGridDecimals);
  for (int d = leading; d < most; ++d)
    if (hasDecimals(step, d) && hasDecimals(lower, d)) return d;
  return most;
}

GridLabelFormat::GridLabelFormat(const QString& format, double lower, double upper, double step)
    : GridLabelFormat(format, std::max(std::abs(lower), std::abs(upper)), step,
                      gridDecimals(lower, step)) {}

GridLabelFormat GridLabelFormat::logarithmic(const QString& format, double value, double ratio) {
  // Neighbouring ticks differ by the factor ratio: one digit beyond the first that differs.
  const double gap = std::abs(value) * std::abs(1.0 - 1.0 / ratio);
  int decimals = 0;
  if (gap > 0 && std::isfinite(gap))
    decimals = std::clamp(int(-std::floor(std::log10(gap))) + 1, 0, kMaxGridDecimals);
  return GridLabelFormat(format, std::abs(value), gap, decimals);
}

GridLabelFormat::GridLabelFormat(const QString& format, double magnitude, double step,
                                 int decimals) {
  const auto parsed = parse(format);
  ParsedFormat p = parsed ? *parsed : fallbackFormat();
  // In exponent form: the digits after the mantissa's point that reach down to the step's
  // leading digit, and the decimals the grid needs beyond it.
  int mantissaDecimals = 0;
  if (magnitude > 0 && step > 0 && std::isfinite(magnitude) && std::isfinite(step)) {
    const int stepDigit = int(std::floor(std::log10(step) + 1e-9));
    mantissaDecimals = std::clamp(
        int(std::floor(std::log10(magnitude))) - stepDigit + decimals - std::max(0, -stepDigit), 0,
        16);
  }
  switch (p.conversion.unicode()) {
    case u'f':
    case u'F':
      p.precision = std::max(p.precision.value_or(6), decimals);
      break;
    case u'g':
    case u'G':
      // Fixed decimals on a grid: labels of one width that show the step's precision.
      if (magnitude < 1e9) {
        p.conversion = u'f';
        p.precision = decimals;
      } else {
        p.precision = std::max(p.precision.value_or(6), mantissaDecimals + 1);
      }
      break;
    case u'e':
    case u'E':
      p.precision = std::max(p.precision.value_or(6), mantissaDecimals);
      break;
    default:  // whole numbers, until the step needs decimals
      if (decimals > 0) {
        p.conversion = u'f';
        p.precision = decimals;
      }
      break;
  }
  m_prefix = p.prefix;
  m_suffix = p.suffix;
  m_printf = p.printfFormat();
  m_wide = p.wideFormat();
}

QString GridLabelFormat::operator()(double value) const {
  return m_prefix + printed(m_printf, m_wide, value) + m_suffix;
}

QString formatTimeLabel(double seconds, int decimals) {
  decimals = std::clamp(decimals, 0, 6);
  const double scale = std::pow(10.0, decimals);
  const double total = std::round(std::abs(seconds) * scale) / scale;
  const auto whole = static_cast<long long>(std::floor(total));
  const double fraction = total - double(whole);
  QString text = QStringLiteral("%1%2:%3:%4")
                     .arg(seconds < 0 && total > 0 ? QStringLiteral("-") : QString())
                     .arg(whole / 3600)
                     .arg((whole / 60) % 60, 2, 10, QLatin1Char('0'))
                     .arg(whole % 60, 2, 10, QLatin1Char('0'));
  if (decimals > 0) text += QString::asprintf("%.*f", decimals, fraction).mid(1);  // ".5" of "0.5"
  return text;
}

}  // namespace zrvlog
