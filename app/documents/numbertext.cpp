#include "numbertext.h"

#include <QLocale>
#include <QRegularExpression>
#include <QTime>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

#include "app/documents/textcodec.h"
#include "common/automationdate.h"
#include "common/numberformat.h"

namespace zrvlog {

namespace {

char* put(char* p, std::string_view s) {
  std::memcpy(p, s.data(), s.size());
  return p + s.size();
}

}  // namespace

std::size_t formatNumberTo(char* out, double value, std::string_view separator, bool leadingZero) {
  char* p = out;
  if (std::isnan(value)) return std::size_t(put(p, "NaN") - out);
  if (std::isinf(value)) return std::size_t(put(p, value > 0 ? "Inf" : "-Inf") - out);
  if (value == 0.0) return std::size_t(put(p, "0") - out);
  if (value < 0) *p++ = '-';

  // d.dddddddddddddde+XX: the 15 significant digits, correctly rounded.
  char sci[40];
  const auto res =
      std::to_chars(sci, sci + sizeof sci, std::fabs(value), std::chars_format::scientific, 14);
  char digits[15];
  int n = 0;
  digits[n++] = sci[0];
  const char* e = sci + 2;
  while (*e != 'e')
    digits[n++] = *e++;
  while (n > 1 && digits[n - 1] == '0')
    --n;
  int x = 0;
  std::from_chars(e + (e[1] == '+' ? 2 : 1), res.ptr, x);

  const bool exponentForm = x >= 15 || x < -4 || (x < 0 && (-x - 1) + n > 15);
  if (exponentForm) {
    *p++ = digits[0];
    if (n > 1) {
      p = put(p, separator);
      p = put(p, std::string_view(digits + 1, std::size_t(n - 1)));
    }
    *p++ = 'E';
    *p++ = x < 0 ? '-' : '+';
    const int ax = std::abs(x);
    if (ax < 10) *p++ = '0';
    p = std::to_chars(p, p + 8, ax).ptr;
  } else if (x >= 0) {
    const int intDigits = x + 1;
    if (n <= intDigits) {
      p = put(p, std::string_view(digits, std::size_t(n)));
      std::memset(p, '0', std::size_t(intDigits - n));
      p += intDigits - n;
    } else {
      p = put(p, std::string_view(digits, std::size_t(intDigits)));
      p = put(p, separator);
      p = put(p, std::string_view(digits + intDigits, std::size_t(n - intDigits)));
    }
  } else {
    if (leadingZero) *p++ = '0';
    p = put(p, separator);
    std::memset(p, '0', std::size_t(-x - 1));
    p += -x - 1;
    p = put(p, std::string_view(digits, std::size_t(n)));
  }
  return std::size_t(p - out);
}

std::size_t formatFileDouble(char* out, double value) {
  return formatNumberTo(out, value, ".", false);
}

std::size_t formatIntegerTo(char* out, int64_t value) {
  return std::size_t(std::to_chars(out, out + 24, value).ptr - out);
}

std::string userSeparatorUtf8() {
  std::string s;
  appendUtf8(s, QString(zrv::userDecimalSeparator()));
  return s;
}

bool isWholeNumberText(std::string_view t) {
  std::size_t i = (!t.empty() && (t[0] == '-' || t[0] == '+')) ? 1 : 0;
  if (i == t.size()) return false;
  for (; i < t.size(); ++i)
    if (t[i] < '0' || t[i] > '9') return false;
  return true;
}

namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

std::optional<double> parseNumberBytes(std::string_view text, std::string_view otherSeparator) {
  std::size_t b = 0, e = text.size();
  while (b < e && isBlank(text[b]))
    ++b;
  while (e > b && isBlank(text[e - 1]))
    --e;
  const std::string_view t = text.substr(b, e - b);
  if (t.empty()) return std::nullopt;

  // The plain forms go straight to from_chars; anything else takes the general parser.
  char buf[72];
  std::size_t n = 0, i = 0, digits = 0;
  bool simple = t.size() < 64;
  if (simple && (t[0] == '-' || t[0] == '+')) {
    if (t[0] == '-') buf[n++] = '-';
    ++i;
  }
  while (simple && i < t.size() && isDigit(t[i])) {
    buf[n++] = t[i++];
    ++digits;
  }
  if (simple && i < t.size()) {
    std::size_t sepLength = 0;
    if (t[i] == '.')
      sepLength = 1;
    else if (!otherSeparator.empty() && t.substr(i, otherSeparator.size()) == otherSeparator)
      sepLength = otherSeparator.size();
    if (sepLength) {
      buf[n++] = '.';
      i += sepLength;
      while (i < t.size() && isDigit(t[i])) {
        buf[n++] = t[i++];
        ++digits;
      }
    }
  }
  if (simple && digits == 0) simple = false;
  if (simple && i < t.size() && (t[i] == 'E' || t[i] == 'e' || t[i] == 'D' || t[i] == 'd')) {
    std::size_t j = i + 1;
    std::size_t expStart = n;
    buf[n++] = 'e';
    if (j < t.size() && (t[j] == '+' || t[j] == '-')) buf[n++] = t[j++];
    std::size_t expDigits = 0;
    while (j < t.size() && isDigit(t[j])) {
      buf[n++] = t[j++];
      ++expDigits;
    }
    if (expDigits == 0) n = expStart;  // a dangling exponent is not part of the number
    i = expDigits ? j : i;
  }
  if (simple && i == t.size()) {
    double value = 0;
    const auto res = std::from_chars(buf, buf + n, value);
    if (res.ec == std::errc::result_out_of_range) {
      // As the general parser does: tiny magnitudes are 0, huge ones are not finite.
      if (std::string_view(buf, n).find("e-") != std::string_view::npos) return 0.0;
      return std::nullopt;
    }
    if (res.ec != std::errc() || res.ptr != buf + n || !std::isfinite(value)) return std::nullopt;
    return value;
  }
  return zrv::parseNumber(decodeFileText(t));
}

// ---- GeneralText ------------------------------------------------------------------------

namespace {

constexpr int kCacheBits = 12;
constexpr int64_t kMsPerDay = 86'400'000;
const QDate kEpoch(1899, 12, 30);

// The locale's long time format without its time-zone field, as the general date shows it.
QString generalTimeFormat() {
  QString format = QLocale().timeFormat(QLocale::LongFormat);
  format.remove(QRegularExpression(QStringLiteral("\\s*t+\\s*")));
  return format.trimmed();
}

void appendTwo(std::string& out, int v) {
  out.push_back(char('0' + v / 10));
  out.push_back(char('0' + v % 10));
}

void appendOneOrTwo(std::string& out, int v) {
  if (v >= 10) out.push_back(char('0' + v / 10));
  out.push_back(char('0' + v % 10));
}

}  // namespace

GeneralText::GeneralText()
    : m_separator(userSeparatorUtf8()), m_numbers(std::size_t{1} << kCacheBits) {
  m_timeFormat = generalTimeFormat();
  compileTimeFormat(m_timeFormat);
}

void GeneralText::compileTimeFormat(const QString& format) {
  const QLocale locale;
  m_fastTime = locale.zeroDigit() == QLatin1String("0");
  m_timePieces.clear();
  m_twelveHour = false;
  const auto literal = [this](QStringView text) {
    if (m_timePieces.empty() || m_timePieces.back().kind != TimePiece::Literal)
      m_timePieces.push_back({TimePiece::Literal, {}, {}});
    appendUtf8(m_timePieces.back().text, text);
  };
  const qsizetype n = format.size();
  for (qsizetype i = 0; i < n && m_fastTime;) {
    const QChar c = format[i];
    if (c == u'\'') {
      // Quoted text; two quotes stand for one.
      qsizetype j = i + 1;
      if (j < n && format[j] == u'\'') {
        literal(u"'");
        i = j + 1;
        continue;
      }
      QString text;
      while (j < n) {
        if (format[j] == u'\'') {
          if (j + 1 < n && format[j + 1] == u'\'') {
            text += QLatin1Char('\'');
            j += 2;
            continue;
          }
          break;
        }
        text += format[j++];
      }
      literal(text);
      i = j + 1;
      continue;
    }
    qsizetype run = 1;
    while (i + run < n && format[i + run] == c)
      ++run;
    const char16_t u = c.unicode();
    if (u == u'h' || u == u'H' || u == u'm' || u == u's') {
      const bool two = run >= 2;
      const TimePiece::Kind kind = u == u'm'   ? (two ? TimePiece::Minute2 : TimePiece::Minute)
                                   : u == u's' ? (two ? TimePiece::Second2 : TimePiece::Second)
                                               : (two ? TimePiece::Hour2 : TimePiece::Hour);
      // 'H' is always the 24-hour clock; 'h' follows the AM/PM marker (resolved below).
      m_timePieces.push_back({kind, u == u'H' ? std::string("H") : std::string(), {}});
      i += two ? 2 : 1;
    } else if (u == u'a' || u == u'A') {
      const qsizetype len = (i + 1 < n && (format[i + 1] == u'p' || format[i + 1] == u'P')) ? 2 : 1;
      const QString token = format.mid(i, len);
      // The exact morning and afternoon texts, as the locale writes this marker.
      TimePiece piece{TimePiece::AmPm, {}, {}};
      appendUtf8(piece.text, locale.toString(QTime(1, 0), token));
      appendUtf8(piece.after, locale.toString(QTime(13, 0), token));
      m_timePieces.push_back(std::move(piece));
      m_twelveHour = true;
      i += len;
    } else if ((u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z')) {
      m_fastTime = false;  // milliseconds, zones, date fields: leave those to the locale
    } else {
      literal(format.mid(i, 1));
      ++i;
    }
  }
}

void GeneralText::appendTime(std::string& out, int ms) {
  const int hour = ms / 3'600'000, minute = ms / 60'000 % 60, second = ms / 1000 % 60;
  for (const TimePiece& piece : m_timePieces) {
    switch (piece.kind) {
      case TimePiece::Literal:
        out += piece.text;
        break;
      case TimePiece::Hour:
      case TimePiece::Hour2: {
        int h = hour;
        if (m_twelveHour && piece.text.empty()) {
          if (h > 12)
            h -= 12;
          else if (h == 0)
            h = 12;
        }
        piece.kind == TimePiece::Hour2 ? appendTwo(out, h) : appendOneOrTwo(out, h);
        break;
      }
      case TimePiece::Minute:
        appendOneOrTwo(out, minute);
        break;
      case TimePiece::Minute2:
        appendTwo(out, minute);
        break;
      case TimePiece::Second:
        appendOneOrTwo(out, second);
        break;
      case TimePiece::Second2:
        appendTwo(out, second);
        break;
      case TimePiece::AmPm:
        out += hour < 12 ? piece.text : piece.after;
        break;
    }
  }
}

void GeneralText::appendDate(std::string& out, double days) {
  if (!m_fastTime || !std::isfinite(days) || std::fabs(days) > 3e6) {
    // Unusual locales and values: the general conversion itself, for repeats from a cache.
    const uint64_t bits = std::bit_cast<uint64_t>(days);
    if (bits != m_cachedDateBits) {
      m_cachedDateText.clear();
      appendUtf8(m_cachedDateText, zrv::formatGeneralDate(days));
      m_cachedDateBits = bits;
    }
    out += m_cachedDateText;
    return;
  }
  // The same split into day and time of day as the general date (fromAutomationDate).
  double whole = std::trunc(days);
  int64_t ms = std::llround(std::fabs(days - whole) * double(kMsPerDay));
  if (ms >= kMsPerDay) {
    ms = 0;
    whole += days < 0 ? -1 : 1;
  }
  const bool hasDate = std::trunc(days) != 0;
  const bool hasTime = ms != 0;
  if (hasDate || !hasTime) {
    const auto day = static_cast<int64_t>(whole);
    if (day != m_cachedDay) {
      m_cachedDayText.clear();
      appendUtf8(m_cachedDayText, QLocale().toString(kEpoch.addDays(day), QLocale::ShortFormat));
      m_cachedDay = day;
    }
    out += m_cachedDayText;
  }
  if (hasTime) {
    if (hasDate || !hasTime) out.push_back(' ');
    appendTime(out, static_cast<int>(ms));
  }
}

void GeneralText::appendNumber(std::string& out, double value) {
  const uint64_t bits = std::bit_cast<uint64_t>(value);
  CachedNumber& slot = m_numbers[(bits * 0x9E3779B97F4A7C15ull) >> (64 - kCacheBits)];
  if (slot.length == 0 || slot.bits != bits) {
    slot.length = static_cast<uint8_t>(formatNumberTo(slot.text, value, m_separator, true));
    slot.bits = bits;
  }
  out.append(slot.text, slot.length);
}

void GeneralText::appendVariant(std::string& out, const zrv::Variant& v) {
  char buf[24];
  switch (v.type()) {
    case zrv::VarType::Empty:
    case zrv::VarType::Missing:
      return;
    case zrv::VarType::Integer:
      out.append(buf, formatIntegerTo(buf, v.integerValue()));
      return;
    case zrv::VarType::Long:
      out.append(buf, formatIntegerTo(buf, v.longValue()));
      return;
    case zrv::VarType::Double:
      appendNumber(out, v.doubleValue());
      return;
    case zrv::VarType::Date:
      appendDate(out, v.dateValue());
      return;
    case zrv::VarType::Boolean:
      out += v.boolValue() ? "True" : "False";
      return;
    case zrv::VarType::String:
      appendUtf8(out, v.textValue());
      return;
  }
}

namespace {

// The formats a general date is written in (see zrv::formatGeneralDate), in this locale: date
// and time, the date alone at midnight, the time alone on day 0.
QStringList generalDateFormats(const QLocale& locale) {
  QString time = locale.timeFormat(QLocale::LongFormat);
  time.remove(QRegularExpression(QStringLiteral("\\s*t+\\s*")));
  time = time.trimmed();
  const QString date = locale.dateFormat(QLocale::ShortFormat);
  return {date + QLatin1Char(' ') + time, date, time};
}

}  // namespace

std::optional<QDateTime> timeStampMoment(const zrv::Variant& stamp) {
  if (stamp.type() == zrv::VarType::Date) return zrv::fromAutomationDate(stamp.dateValue());
  if (!stamp.isText()) return std::nullopt;
  const QString text = stamp.textValue().trimmed();
  if (text.isEmpty()) return std::nullopt;
  // The file was written in its user's locale: this one, or none set (the C locale, as a
  // recorder started from a service writes it).
  for (const QLocale& locale : {QLocale(), QLocale::c()})
    for (const QString& format : generalDateFormats(locale)) {
      if (!format.contains(QLatin1Char('y'))) {
        // The time alone stands for day 0 of the automation dates.
        const QTime time = locale.toTime(text, format);
        if (!time.isValid()) continue;
        QDateTime moment = zrv::fromAutomationDate(0);
        moment.setTime(time);
        return moment;
      }
      const QDateTime moment = locale.toDateTime(text, format);
      if (!moment.isValid()) continue;
      // Qt reads a two-digit year in the 1900s; a general date's is 1930-2029.
      if (!format.contains(QLatin1String("yyyy")) && moment.date().year() < 1930)
        return QDateTime(moment.date().addYears(100), moment.time());
      return moment;
    }
  // A text that says its own offset (an ISO-8601 time stamp) is this machine's local time.
  const QDateTime iso = QDateTime::fromString(text, Qt::ISODateWithMs);
  if (iso.isValid()) return iso.toLocalTime();
  return std::nullopt;
}

}  // namespace zrvlog
