#include "labelformat.h"

#include <cmath>
#include <optional>

namespace zrvlog {

namespace {

// Generous, but keeps a hostile format from asking for megabytes of padding.
constexpr int kMaxWidth = 64;
constexpr int kMaxPrecision = 30;

struct ParsedFormat {
  QString prefix;
  QString spec;  // a clean printf conversion, e.g. "%-8.3f"
  QString suffix;
  bool integer = false;
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
  QString spec = QStringLiteral("%");
  while (i < f.size() && QStringView(u"-+ #0").contains(f[i]))
    spec += f[i++];
  auto number = [&](int limit) -> std::optional<QString> {
    QString digits;
    while (i < f.size() && f[i].isDigit() && f[i].unicode() < 128)
      digits += f[i++];
    if (digits.size() > 3 || digits.toInt() > limit) return std::nullopt;
    return digits;
  };
  const auto width = number(kMaxWidth);
  if (!width) return std::nullopt;
  spec += *width;
  if (i < f.size() && f[i] == u'.') {
    ++i;
    const auto precision = number(kMaxPrecision);
    if (!precision) return std::nullopt;
    spec += u'.' + (precision->isEmpty() ? QStringLiteral("0") : *precision);
  }
  while (i < f.size() && (f[i] == u'l' || f[i] == u'L' || f[i] == u'h'))
    ++i;
  if (i >= f.size()) return std::nullopt;
  const QChar conversion = f[i++];
  if (QStringView(u"diu").contains(conversion)) {
    p.integer = true;
    spec += QStringLiteral("lld");
  } else if (QStringView(u"fFeEgG").contains(conversion)) {
    spec += conversion;
  } else {
    return std::nullopt;
  }
  p.spec = spec;
  if (literalUntilConversion(f, i, p.suffix) >= 0) return std::nullopt;
  return p;
}

QString apply(const ParsedFormat& p, double value) {
  QString body;
  if (p.integer && std::abs(value) < 9.0e18) {
    body = QString::asprintf(p.spec.toLatin1().constData(),
                             static_cast<long long>(std::llround(value)));
  } else {
    QString spec = p.spec;
    if (p.integer) spec.replace(QStringLiteral("lld"), QStringLiteral(".0f"));
    body = QString::asprintf(spec.toLatin1().constData(), value);
  }
  return p.prefix + body + p.suffix;
}

}  // namespace

bool isValidLabelFormat(const QString& format) {
  return parse(format).has_value();
}

QString formatLabel(const QString& format, double value) {
  static const ParsedFormat fallback = *parse(QStringLiteral("%g"));
  const auto parsed = parse(format);
  return apply(parsed ? *parsed : fallback, value);
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
