#include "variant.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "automationdate.h"
#include "automationerror.h"
#include "numberformat.h"

namespace zrv {

QString typeName(VarType type) {
  switch (type) {
    case VarType::Empty:
      return QStringLiteral("Empty");
    case VarType::Integer:
      return QStringLiteral("Integer");
    case VarType::Long:
      return QStringLiteral("Long");
    case VarType::Double:
      return QStringLiteral("Double");
    case VarType::String:
      return QStringLiteral("String");
    case VarType::Date:
      return QStringLiteral("Date");
    case VarType::Boolean:
      return QStringLiteral("Boolean");
    case VarType::Missing:
      return QStringLiteral("Missing");
  }
  return {};
}

namespace {

[[noreturn]] void mismatch(const Variant& v, const char* wanted) {
  throw AutomationError(
      err::kTypeMismatch,
      QStringLiteral("%1 is not %2").arg(describeBriefly(v), QLatin1String(wanted)));
}

// Arithmetic operands: the value as a double plus the rank that decides the result's type.
enum class Rank { Integer, Long, Double, Date };

struct Operand {
  double value;
  Rank rank;
};

Operand operand(const Variant& v) {
  switch (v.type()) {
    case VarType::Empty:
      return {0.0, Rank::Integer};
    case VarType::Integer:
      return {double(v.integerValue()), Rank::Integer};
    case VarType::Long:
      return {double(v.longValue()), Rank::Long};
    case VarType::Double:
      return {v.doubleValue(), Rank::Double};
    case VarType::Boolean:
      return {v.boolValue() ? -1.0 : 0.0, Rank::Integer};
    case VarType::Date:
      return {v.dateValue(), Rank::Date};
    case VarType::String:
      return {v.toDouble(), Rank::Double};
    case VarType::Missing:
      break;
  }
  mismatch(v, "a number");
}

// The narrowest type of the rank or above that holds the result.
Variant fit(double r, Rank rank) {
  if (!std::isfinite(r)) throw AutomationError(err::kOverflow);
  if (rank == Rank::Date) return Variant::date(r);
  if (rank == Rank::Integer && r >= std::numeric_limits<int16_t>::min() &&
      r <= std::numeric_limits<int16_t>::max())
    return Variant(static_cast<int16_t>(r));
  if (rank != Rank::Double && r >= std::numeric_limits<int32_t>::min() &&
      r <= std::numeric_limits<int32_t>::max())
    return Variant(static_cast<int32_t>(r));
  return Variant(r);
}

Rank wider(Rank a, Rank b) {
  return static_cast<int>(a) > static_cast<int>(b) ? a : b;
}

}  // namespace

bool Variant::isNumeric() const {
  switch (type()) {
    case VarType::Integer:
    case VarType::Long:
    case VarType::Double:
    case VarType::Date:
    case VarType::Boolean:
      return true;
    default:
      return false;
  }
}

bool Variant::isEmptyText() const {
  return isEmpty() || (isText() && textValue().isEmpty());
}

double Variant::toDouble() const {
  switch (type()) {
    case VarType::Empty:
      return 0.0;
    case VarType::Integer:
      return integerValue();
    case VarType::Long:
      return longValue();
    case VarType::Double:
      return doubleValue();
    case VarType::Date:
      return dateValue();
    case VarType::Boolean:
      return boolValue() ? -1.0 : 0.0;
    case VarType::String:
      if (const auto n = parseNumber(textValue())) return *n;
      break;
    case VarType::Missing:
      break;
  }
  mismatch(*this, "a number");
}

int16_t Variant::toInteger() const {
  if (type() == VarType::Integer) return integerValue();
  return roundToInt16(toDouble());
}

int32_t Variant::toLong() const {
  if (type() == VarType::Long) return longValue();
  return roundToInt32(toDouble());
}

bool Variant::toBool() const {
  if (type() == VarType::Boolean) return boolValue();
  if (isText()) {
    const QString& t = textValue();
    if (t.trimmed().compare(QLatin1String("True"), Qt::CaseInsensitive) == 0) return true;
    if (t.trimmed().compare(QLatin1String("False"), Qt::CaseInsensitive) == 0) return false;
  }
  return toDouble() != 0.0;
}

double Variant::toDate() const {
  if (type() == VarType::Date) return dateValue();
  return toDouble();
}

QString Variant::toText() const {
  switch (type()) {
    case VarType::Empty:
      return {};
    case VarType::Integer:
      return QString::number(integerValue());
    case VarType::Long:
      return QString::number(longValue());
    case VarType::Double:
      return formatGeneral(doubleValue());
    case VarType::Date:
      return formatGeneralDate(dateValue());
    case VarType::Boolean:
      return boolValue() ? QStringLiteral("True") : QStringLiteral("False");
    case VarType::String:
      return textValue();
    case VarType::Missing:
      break;
  }
  mismatch(*this, "text");
}

bool operator==(const Variant& a, const Variant& b) {
  return a.m_value == b.m_value;
}

Variant operator+(const Variant& a, const Variant& b) {
  // Text with text (or with empty) joins, as it does for the people who write such sums.
  if ((a.isText() && (b.isText() || b.isEmpty())) || (a.isEmpty() && b.isText()))
    return Variant::concat(a, b);
  const Operand x = operand(a), y = operand(b);
  return fit(x.value + y.value, wider(x.rank, y.rank));
}

Variant operator-(const Variant& a, const Variant& b) {
  const Operand x = operand(a), y = operand(b);
  // A date minus a date is a span of days, not a date.
  const Rank rank =
      (x.rank == Rank::Date && y.rank == Rank::Date) ? Rank::Double : wider(x.rank, y.rank);
  return fit(x.value - y.value, rank);
}

Variant operator*(const Variant& a, const Variant& b) {
  const Operand x = operand(a), y = operand(b);
  Rank rank = wider(x.rank, y.rank);
  if (rank == Rank::Date) rank = Rank::Double;
  return fit(x.value * y.value, rank);
}

Variant operator/(const Variant& a, const Variant& b) {
  const double divisor = operand(b).value;
  const double dividend = operand(a).value;
  if (divisor == 0.0) throw AutomationError(err::kDivisionByZero);
  return fit(dividend / divisor, Rank::Double);
}

Variant Variant::concat(const Variant& a, const Variant& b) {
  return Variant(a.toText() + b.toText());
}

QString describe(const Variant& v) {
  switch (v.type()) {
    case VarType::Empty:
    case VarType::Missing:
      return typeName(v.type());
    case VarType::String:
      return QStringLiteral("String \"%1\"").arg(v.textValue());
    case VarType::Double:
      return QStringLiteral("Double %1").arg(formatNumber(v.doubleValue(), NumberStyle{}));
    case VarType::Date:
      return QStringLiteral("Date %1").arg(formatNumber(v.dateValue(), NumberStyle{}));
    default:
      return typeName(v.type()) + QLatin1Char(' ') + v.toText();
  }
}

QString describeBriefly(const Variant& v) {
  // A field of a file may hold 64 KB: its start names it well enough.
  constexpr qsizetype kQuoted = 40;
  if (v.type() == VarType::String && v.textValue().size() > kQuoted)
    return QStringLiteral("String \"%1\"").arg(excerpt(v.textValue(), kQuoted));
  return describe(v);
}

QString excerpt(QStringView text, qsizetype characters) {
  qsizetype length = std::min(text.size(), characters);
  if (length > 0 && length < text.size() && text[length - 1].isHighSurrogate()) --length;
  QString out = text.left(length).toString();
  for (QChar& c : out)
    if (c.unicode() < 0x20 || c.unicode() == 0x7F) c = QChar::ReplacementCharacter;
  if (length < text.size()) out += QChar(0x2026);
  return out;
}

}  // namespace zrv
