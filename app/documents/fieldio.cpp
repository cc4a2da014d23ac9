#include "fieldio.h"

#include <QDate>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "app/documents/numbertext.h"
#include "app/documents/textcodec.h"
#include "common/automationerror.h"

namespace zrvlog {

using zrv::AutomationError;
using zrv::Variant;
namespace err = zrv::err;

namespace {
const QDate kEpoch(1899, 12, 30);
constexpr int64_t kSecondsPerDay = 86'400;
constexpr int64_t kMsPerDay = 86'400'000;
}  // namespace

// ---- Writing ----------------------------------------------------------------------------

ByteWriter::ByteWriter(QIODevice& device, std::size_t capacity)
    : m_device(device), m_capacity(capacity) {
  m_buffer.reserve(capacity + 4096);
}

ByteWriter::~ByteWriter() = default;

void ByteWriter::flush() {
  const char* p = m_buffer.data();
  qint64 left = qint64(m_buffer.size());
  while (left > 0) {
    const qint64 written = m_device.write(p, left);
    if (written <= 0) {
      m_buffer.clear();
      const QString reason = m_device.errorString();
      throw AutomationError(
          err::kPathFileAccessError,
          reason.isEmpty() ? QStringLiteral("the data could not be written") : reason);
    }
    p += written;
    left -= written;
  }
  m_buffer.clear();
}

std::string& FieldWriter::field() {
  std::string& b = m_out.buffer();
  if (m_lineStarted) b.push_back(',');
  m_lineStarted = true;
  return b;
}

void FieldWriter::text(QStringView value) {
  // Nothing is escaped in this format: a reader takes a text up to its first inner quote
  // and drops the rest of the field, and a comma or line end after that quote would even
  // shift every later field. So a text is written up to its first quote, which is all any
  // reader gets of it, and the file reads back as it was written.
  if (const qsizetype quote = value.indexOf(u'"'); quote >= 0) value = value.left(quote);
  std::string& b = field();
  b.push_back('"');
  appendUtf8(b, value);
  b.push_back('"');
}

void FieldWriter::whole(int64_t value) {
  std::string& b = field();
  char buf[24];
  b.append(buf, formatIntegerTo(buf, value));
}

void FieldWriter::boolean(bool value) {
  field() += value ? "#TRUE#" : "#FALSE#";
}

void FieldWriter::real(double value) {
  std::string& b = field();
  char buf[kNumberTextCapacity];
  b.append(buf, formatFileDouble(buf, value));
}

void FieldWriter::date(double days) {
  field() += fileDateText(days);
}

void FieldWriter::variant(const Variant& v) {
  switch (v.type()) {
    case zrv::VarType::Empty:
    case zrv::VarType::Missing:
      field();
      return;
    case zrv::VarType::Integer:
      return whole(v.integerValue());
    case zrv::VarType::Long:
      return whole(v.longValue());
    case zrv::VarType::Double:
      return real(v.doubleValue());
    case zrv::VarType::Date:
      return date(v.dateValue());
    case zrv::VarType::Boolean:
      return boolean(v.boolValue());
    case zrv::VarType::String:
      return text(v.textValue());
  }
}

void FieldWriter::endLine() {
  m_out.buffer() += "\r\n";
  m_lineStarted = false;
  m_out.flushIfFull();
}

std::string fileDateText(double days) {
  if (!std::isfinite(days) || std::fabs(days) > 3'000'000) {
    char buf[kNumberTextCapacity];
    return std::string(buf, formatFileDouble(buf, days));
  }
  // The day and the time of day as the automation date counts them (the fraction runs
  // forward from the whole day, also before the epoch), to the millisecond; the file keeps
  // whole seconds, cut as every other display of the time cuts them.
  const double whole = std::trunc(days);
  int64_t ms = std::llround(std::fabs(days - whole) * double(kMsPerDay));
  QDate date = kEpoch.addDays(static_cast<qint64>(whole));
  if (ms >= kMsPerDay) {
    ms -= kMsPerDay;
    date = date.addDays(1);
  }
  const int64_t seconds = ms / 1000;
  if (!date.isValid() || date.year() < 1 || date.year() > 9999) {
    char buf[kNumberTextCapacity];
    return std::string(buf, formatFileDouble(buf, days));
  }
  char buf[40];
  std::snprintf(buf, sizeof buf, "#%04d-%02d-%02d %02d:%02d:%02d#", date.year(), date.month(),
                date.day(), int(seconds / 3600), int(seconds / 60 % 60), int(seconds % 60));
  return buf;
}

namespace {

// Reads 1 to maxDigits digits at p; advances p.
bool readNumber(std::string_view t, std::size_t& p, int maxDigits, int& value) {
  const std::size_t start = p;
  value = 0;
  while (p < t.size() && p - start < std::size_t(maxDigits) && t[p] >= '0' && t[p] <= '9')
    value = value * 10 + (t[p++] - '0');
  return p > start;
}

bool readTime(std::string_view t, std::size_t& p, int64_t& seconds) {
  int h, m, s;
  if (!readNumber(t, p, 2, h) || p >= t.size() || t[p++] != ':') return false;
  if (!readNumber(t, p, 2, m) || p >= t.size() || t[p++] != ':') return false;
  if (!readNumber(t, p, 2, s)) return false;
  if (h > 23 || m > 59 || s > 59) return false;
  seconds = h * 3600 + m * 60 + s;
  return true;
}

}  // namespace

std::optional<double> parseFileDate(std::string_view t) {
  std::size_t p = 0;
  int64_t seconds = 0;
  if (t.find('-') == std::string_view::npos) {
    if (!readTime(t, p, seconds) || p != t.size()) return std::nullopt;
    return double(seconds) / kSecondsPerDay;
  }
  int y, mo, d;
  if (!readNumber(t, p, 4, y) || p >= t.size() || t[p++] != '-') return std::nullopt;
  if (!readNumber(t, p, 2, mo) || p >= t.size() || t[p++] != '-') return std::nullopt;
  if (!readNumber(t, p, 2, d)) return std::nullopt;
  const QDate date(y, mo, d);
  if (!date.isValid()) return std::nullopt;
  if (p < t.size()) {
    if (t[p++] != ' ' || !readTime(t, p, seconds) || p != t.size()) return std::nullopt;
  }
  const double day = double(kEpoch.daysTo(date));
  const double fraction = double(seconds) / kSecondsPerDay;
  return day >= 0 ? day + fraction : day - fraction;
}

// ---- Reading ----------------------------------------------------------------------------

QString excerpt(QStringView text) {
  return zrv::excerpt(text, kExcerptCharacters);
}

QString excerpt(std::string_view bytes) {
  // Bytes enough for one character more than is quoted, which shows that there is more.
  constexpr std::size_t kBytes = 4 * (std::size_t(kExcerptCharacters) + 1);
  return excerpt(decodeFileText(bytes.substr(0, kBytes)));
}

FieldReader::FieldReader(std::string_view bytes)
    : m_bytes(bytes), m_otherSeparator(userSeparatorUtf8()) {
  if (m_bytes.substr(0, 3) == "\xEF\xBB\xBF") m_pos = 3;
  if (m_otherSeparator == ".") m_otherSeparator.clear();
}

bool FieldReader::atEnd() const {
  for (std::size_t i = m_pos; i < m_bytes.size(); ++i) {
    const char c = m_bytes[i];
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
  }
  return true;
}

Field FieldReader::next() {
  const std::size_t n = m_bytes.size();
  const char* b = m_bytes.data();
  if (m_pos >= n)
    throw AutomationError(err::kInputPastEndOfFile,
                          QStringLiteral("the file ends at line %1").arg(m_line));
  // No search looks further than the longest field allowed.
  const std::size_t limit = std::min(n, m_pos + kMaxFieldBytes);
  const auto isSeparator = [b](std::size_t i) {
    return b[i] == ',' || b[i] == '\r' || b[i] == '\n';
  };
  std::size_t p = m_pos;
  while (p < limit && (b[p] == ' ' || b[p] == '\t'))
    ++p;
  Field f;
  f.line = m_line;
  std::size_t end;       // the separator, or the end of the input
  bool tooLong = false;  // the field goes on past the limit
  if (p < limit && b[p] == '"') {
    const char* close = static_cast<const char*>(std::memchr(b + p + 1, '"', limit - p - 1));
    const std::size_t q = close ? std::size_t(close - b) : limit;
    f.kind = Field::Kind::Quoted;
    f.text = m_bytes.substr(p + 1, q - p - 1);
    end = close ? q + 1 : limit;
    tooLong = !close && limit < n;  // a separator at the limit is still inside the quotes
    while (end < limit && !isSeparator(end))
      ++end;
  } else {
    end = p;
    while (end < limit && !isSeparator(end))
      ++end;
    std::size_t e = end;
    while (e > p && (b[e - 1] == ' ' || b[e - 1] == '\t'))
      --e;
    f.kind = e > p ? Field::Kind::Bare : Field::Kind::Empty;
    f.text = m_bytes.substr(p, e - p);
  }
  if (tooLong || (end == limit && end < n && !isSeparator(end))) {
    const std::size_t start = f.kind == Field::Kind::Quoted ? p + 1 : p;
    throw AutomationError(err::kOverflow,
                          QStringLiteral("field longer than %1 KiB, starting \"%2\"")
                              .arg(kMaxFieldBytes / 1024)
                              .arg(excerpt(m_bytes.substr(start, end - start))));
  }
  if (f.kind == Field::Kind::Quoted) m_line += int(std::count(f.text.begin(), f.text.end(), '\n'));
  // One separator: a comma, CR LF, or a lone CR or LF.
  if (end < n) {
    if (b[end] == ',') {
      ++end;
    } else {
      if (b[end] == '\r' && end + 1 < n && b[end + 1] == '\n') ++end;
      ++end;
      ++m_line;
    }
  }
  m_pos = end;
  return f;
}

QString FieldReader::toText(const Field& field) {
  return decodeFileText(field.text);
}

Variant FieldReader::toVariant(const Field& f) const {
  switch (f.kind) {
    case Field::Kind::Empty:
      return {};
    case Field::Kind::Quoted:
      return Variant(decodeFileText(f.text));
    case Field::Kind::Bare:
      break;
  }
  const std::string_view t = f.text;
  if (t.size() >= 2 && t.front() == '#' && t.back() == '#') {
    const std::string_view inner = t.substr(1, t.size() - 2);
    const auto is = [inner](std::string_view word) {
      return inner.size() == word.size() &&
             std::equal(inner.begin(), inner.end(), word.begin(),
                        [](char a, char w) { return (a & ~0x20) == w; });
    };
    if (is("TRUE")) return Variant(true);
    if (is("FALSE")) return Variant(false);
    if (const auto days = parseFileDate(inner)) return Variant::date(*days);
    return Variant(decodeFileText(t));
  }
  if (isWholeNumberText(t)) {
    int64_t v = 0;
    const char* first = t.data() + (t[0] == '+' ? 1 : 0);
    const auto res = std::from_chars(first, t.data() + t.size(), v);
    if (res.ec == std::errc()) {
      if (v >= INT16_MIN && v <= INT16_MAX) return Variant(static_cast<int16_t>(v));
      if (v >= INT32_MIN && v <= INT32_MAX) return Variant(static_cast<int32_t>(v));
    }
  }
  if (const auto number = parseNumberBytes(t, m_otherSeparator)) return Variant(*number);
  return Variant(decodeFileText(t));
}

double FieldReader::toDouble(const Field& f) const {
  if (const auto number = parseNumberBytes(f.text, m_otherSeparator)) return *number;
  // A decimal comma, from a file written where the comma is the separator: inside a quoted
  // number it cannot be anything else, so files move between locales.
  if (m_otherSeparator != ",") {
    if (const auto number = parseNumberBytes(f.text, ",")) return *number;
  }
  throw AutomationError(err::kTypeMismatch,
                        QStringLiteral("\"%1\" is not a number").arg(excerpt(f.text)));
}

}  // namespace zrvlog
