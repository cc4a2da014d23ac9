#include "numberformat.h"

#include <QLocale>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "automationerror.h"

namespace zrv {

namespace {

// A finite non-negative double as at most 15 significant decimal digits:
// value == 0.d1 d2 ... dn x 10^(exponent + 1), i.e. d1.d2...dn x 10^exponent.
struct Decimal15 {
  std::string digits;  // no trailing zeros; "0" for zero
  int exponent = 0;
};

Decimal15 toDecimal15(double magnitude) {
  Decimal15 d;
  if (magnitude == 0.0) {
    d.digits = "0";
    return d;
  }
  char buf[64];
  const auto res =
      std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific, 14);
  const std::string_view text(buf, res.ptr - buf);  // "d.dddddddddddddde+XX"
  const auto e = text.find('e');
  for (char c : text.substr(0, e))
    if (c != '.') d.digits.push_back(c);
  while (d.digits.size() > 1 && d.digits.back() == '0')
    d.digits.pop_back();
  std::from_chars(text.data() + e + 1 + (text[e + 1] == '+' ? 1 : 0), text.data() + text.size(),
                  d.exponent);
  return d;
}

// Splits a decimal into its plain integer and fraction digit strings.
void toPlain(const Decimal15& d, std::string& intPart, std::string& fracPart) {
  const int n = static_cast<int>(d.digits.size());
  if (d.exponent >= 0) {
    const int intDigits = d.exponent + 1;
    if (n <= intDigits) {
      intPart = d.digits + std::string(intDigits - n, '0');
      fracPart.clear();
    } else {
      intPart = d.digits.substr(0, intDigits);
      fracPart = d.digits.substr(intDigits);
    }
  } else {
    intPart = "0";
    fracPart = std::string(-d.exponent - 1, '0') + d.digits;
  }
}

QString withSign(bool negative, const std::string& body) {
  QString s = QString::fromLatin1(body);
  if (negative) s.prepend(QLatin1Char('-'));
  return s;
}

}  // namespace

QChar userDecimalSeparator() {
  const QString point = QLocale().decimalPoint();
  return point.isEmpty() ? QLatin1Char('.') : point.front();
}

QString formatNumber(double value, NumberStyle style) {
  if (std::isnan(value)) return QStringLiteral("NaN");
  if (std::isinf(value)) return value > 0 ? QStringLiteral("Inf") : QStringLiteral("-Inf");
  if (value == 0.0) return QStringLiteral("0");
  const bool negative = value < 0;
  const Decimal15 d = toDecimal15(std::fabs(value));
  const int n = static_cast<int>(d.digits.size());
  const int x = d.exponent;
  const bool exponentForm = x >= 15 || x < -4 || (x < 0 && (-x - 1) + n > 15);
  std::string out;
  if (exponentForm) {
    out.push_back(d.digits[0]);
    if (n > 1) {
      out.push_back('.');
      out.append(d.digits, 1);
    }
    out.push_back('E');
    out.push_back(x < 0 ? '-' : '+');
    const std::string exp = std::to_string(std::abs(x));
    if (exp.size() < 2) out.push_back('0');
    out.append(exp);
  } else {
    std::string intPart, fracPart;
    toPlain(d, intPart, fracPart);
    if (intPart != "0" || style.leadingZero || fracPart.empty()) out = intPart;
    if (!fracPart.empty()) {
      out.push_back('.');
      out.append(fracPart);
    }
  }
  QString s = withSign(negative, out);
  if (style.decimalSeparator != QLatin1Char('.'))
    s.replace(QLatin1Char('.'), style.decimalSeparator);
  return s;
}

QString formatGeneral(double value) {
  return formatNumber(value, NumberStyle{userDecimalSeparator(), true});
}

QString formatPattern(double value, QStringView pattern, QChar decimalSeparator) {
  if (decimalSeparator.isNull()) decimalSeparator = userDecimalSeparator();
  // Locate the numeric section: the run of 0, # and one point.
  qsizetype first = -1, last = -1;
  for (qsizetype i = 0; i < pattern.size(); ++i) {
    const QChar c = pattern[i];
    if (c == u'0' || c == u'#' || c == u'.') {
      if (first < 0) first = i;
      last = i;
    } else if (first >= 0) {
      break;
    }
  }
  if (first < 0) return pattern.toString();
  const QStringView numeric = pattern.mid(first, last - first + 1);
  const qsizetype point = numeric.indexOf(u'.');
  const QStringView intSpec = point < 0 ? numeric : numeric.left(point);
  const QStringView fracSpec = point < 0 ? QStringView() : numeric.mid(point + 1);
  const int minInt = static_cast<int>(intSpec.count(u'0'));
  const int maxFrac = static_cast<int>(fracSpec.size());
  const int minFrac = static_cast<int>(fracSpec.count(u'0'));

  if (!std::isfinite(value)) return formatNumber(value, {decimalSeparator, true});
  const bool negative = value < 0;
  std::string intPart, fracPart;
  toPlain(toDecimal15(std::fabs(value)), intPart, fracPart);
  // Round half away from zero at maxFrac decimals.
  if (static_cast<int>(fracPart.size()) > maxFrac) {
    const bool up = fracPart[maxFrac] >= '5';
    fracPart.resize(maxFrac);
    if (up) {
      int i = maxFrac - 1;
      for (; i >= 0; --i) {
        if (fracPart[i] == '9') {
          fracPart[i] = '0';
        } else {
          ++fracPart[i];
          break;
        }
      }
      if (i < 0) {
        int j = static_cast<int>(intPart.size()) - 1;
        for (; j >= 0; --j) {
          if (intPart[j] == '9') {
            intPart[j] = '0';
          } else {
            ++intPart[j];
            break;
          }
        }
        if (j < 0) intPart.insert(intPart.begin(), '1');
      }
    }
  }
  while (static_cast<int>(fracPart.size()) > minFrac && !fracPart.empty() && fracPart.back() == '0')
    fracPart.pop_back();
  while (static_cast<int>(fracPart.size()) < minFrac)
    fracPart.push_back('0');
  // Integer digits: drop leading zeros down to the pattern's minimum.
  std::size_t lead = 0;
  while (lead + 1 < intPart.size() && intPart[lead] == '0')
    ++lead;
  intPart.erase(0, lead);
  if (intPart == "0" && minInt == 0) intPart.clear();
  while (static_cast<int>(intPart.size()) < minInt)
    intPart.insert(intPart.begin(), '0');

  const bool allZero = intPart.find_first_not_of('0') == std::string::npos &&
                       fracPart.find_first_not_of('0') == std::string::npos;
  QString number = QString::fromLatin1(intPart);
  if (!fracPart.empty()) number += decimalSeparator + QString::fromLatin1(fracPart);
  // A value that rounds to zero shows without a minus sign.
  if (negative && !allZero) number.prepend(QLatin1Char('-'));
  return pattern.left(first).toString() + number + pattern.mid(last + 1).toString();
}

namespace {

bool isBlank(QChar c) {
  return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

// Parses a number at the start of text. Returns the characters consumed (0 when there is no
// number) and stores the value.
qsizetype scanNumber(QStringView text, QChar altSeparator, double& value) {
  qsizetype i = 0;
  const qsizetype n = text.size();
  if (i + 1 < n && text[i] == u'&') {
    const QChar kind = text[i + 1].toUpper();
    const int base = kind == u'H' ? 16 : kind == u'O' ? 8 : 0;
    if (base != 0) {
      qsizetype j = i + 2;
      uint64_t v = 0;
      while (j < n) {
        const char16_t c = text[j].toUpper().unicode();
        const int digit = (c >= u'0' && c <= u'9')   ? c - u'0'
                          : (c >= u'A' && c <= u'F') ? c - u'A' + 10
                                                     : -1;
        if (digit < 0 || digit >= base || v > 0xFFFFFFFFull) break;
        v = v * base + digit;
        ++j;
      }
      if (j == i + 2) return 0;
      // Like the integer literals they come from: 4-digit hex wraps to 16 bits, longer to 32.
      if (v <= 0xFFFF && j - (i + 2) <= 4 && base == 16)
        value = static_cast<int16_t>(static_cast<uint16_t>(v));
      else
        value = static_cast<int32_t>(static_cast<uint32_t>(v));
      return j;
    }
  }
  std::string buf;
  if (i < n && (text[i] == u'+' || text[i] == u'-'))
    buf.push_back(static_cast<char>(text[i++].unicode()));
  qsizetype digits = 0;
  while (i < n && text[i] >= u'0' && text[i] <= u'9') {
    buf.push_back(static_cast<char>(text[i++].unicode()));
    ++digits;
  }
  if (i < n && (text[i] == u'.' || (!altSeparator.isNull() && text[i] == altSeparator))) {
    qsizetype j = i + 1;
    std::string frac;
    while (j < n && text[j] >= u'0' && text[j] <= u'9')
      frac.push_back(static_cast<char>(text[j++].unicode()));
    if (digits > 0 || !frac.empty()) {
      buf.push_back('.');
      buf += frac;
      digits += static_cast<qsizetype>(frac.size());
      i = j;
    }
  }
  if (digits == 0) return 0;
  if (i < n && (text[i].toUpper() == u'E' || text[i].toUpper() == u'D')) {
    qsizetype j = i + 1;
    std::string exp = "e";
    if (j < n && (text[j] == u'+' || text[j] == u'-'))
      exp.push_back(static_cast<char>(text[j++].unicode()));
    qsizetype expDigits = 0;
    while (j < n && text[j] >= u'0' && text[j] <= u'9') {
      exp.push_back(static_cast<char>(text[j++].unicode()));
      ++expDigits;
    }
    if (expDigits > 0) {
      buf += exp;
      i = j;
    }
  }
  const char* begin = buf.data() + (buf[0] == '+' ? 1 : 0);
  const auto res = std::from_chars(begin, buf.data() + buf.size(), value);
  if (res.ec == std::errc::result_out_of_range) {
    // Beyond the double range: infinity for large magnitudes, zero for tiny ones.
    const bool tiny = buf.find("e-") != std::string::npos;
    value = tiny ? 0.0 : (buf[0] == '-' ? -1.0 : 1.0) * std::numeric_limits<double>::infinity();
  }
  return i;
}

}  // namespace

double leadingNumber(QStringView text) {
  qsizetype i = 0;
  while (i < text.size() && isBlank(text[i]))
    ++i;
  double value = 0;
  return scanNumber(text.mid(i), QChar(), value) > 0 ? value : 0.0;
}

std::optional<double> parseNumber(QStringView text) {
  qsizetype begin = 0, end = text.size();
  while (begin < end && isBlank(text[begin]))
    ++begin;
  while (end > begin && isBlank(text[end - 1]))
    --end;
  const QStringView body = text.mid(begin, end - begin);
  if (body.isEmpty()) return std::nullopt;
  double value = 0;
  const QChar sep = userDecimalSeparator();
  const qsizetype used = scanNumber(body, sep == u'.' ? QChar() : sep, value);
  if (used != body.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

namespace {
template <typename Int>
Int roundTo(double value) {
  if (std::isnan(value)) throw AutomationError(err::kTypeMismatch);
  const double r = std::nearbyint(value);  // the default rounding mode: ties to even
  if (r < static_cast<double>(std::numeric_limits<Int>::min()) ||
      r > static_cast<double>(std::numeric_limits<Int>::max()))
    throw AutomationError(err::kOverflow);
  return static_cast<Int>(r);
}
}  // namespace

int16_t roundToInt16(double value) {
  return roundTo<int16_t>(value);
}
int32_t roundToInt32(double value) {
  return roundTo<int32_t>(value);
}

}  // namespace zrv
