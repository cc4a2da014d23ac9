#pragma once
// Variant: the automation value that settings, board calls and the data file exchange.
//
// It holds one of: nothing (empty), a 16-bit or 32-bit signed integer, a double, text, a
// date-time (a day count, see automationdate.h), a boolean (true is -1, false 0 when used
// as a number) or the missing-argument marker. Settings keep what was assigned to them, text
// as typed, and are converted where a number is needed:
//  - empty acts as 0 in arithmetic and as empty text in comparisons and concatenation;
//  - + - * widen Integer -> Long -> Double as the result needs; "/" always gives a double;
//  - text takes part in arithmetic as the number it denotes (parseNumber), else mismatch.
// Conversion failures raise AutomationError: 13 type mismatch, 6 overflow, 11 division by 0.

#include <QString>
#include <cstdint>
#include <variant>

namespace zrv {

enum class VarType : uint8_t { Empty, Integer, Long, Double, String, Date, Boolean, Missing };

/// The name of a variant type as people know it ("Integer", "Long", "Double", ...).
QString typeName(VarType type);

class Variant {
 public:
  struct DateTag {
    double days;
    friend bool operator==(DateTag, DateTag) = default;
  };
  struct MissingTag {
    friend bool operator==(MissingTag, MissingTag) = default;
  };

  Variant() = default;  ///< empty
  Variant(int16_t v) : m_value(v) {}
  Variant(int32_t v) : m_value(v) {}
  Variant(double v) : m_value(v) {}
  Variant(bool v) : m_value(v) {}
  Variant(const QString& v) : m_value(v) {}
  Variant(QString&& v) : m_value(std::move(v)) {}
  Variant(const char* v) : m_value(QString::fromUtf8(v)) {}
  Variant(DateTag v) : m_value(v) {}
  Variant(MissingTag v) : m_value(v) {}
  // Other widths would silently pick a type; say which one is meant instead.
  Variant(int64_t) = delete;
  Variant(uint32_t) = delete;
  Variant(float) = delete;

  static Variant date(double days) { return Variant(DateTag{days}); }
  static Variant missing() { return Variant(MissingTag{}); }

  VarType type() const { return static_cast<VarType>(m_value.index()); }
  bool isEmpty() const { return type() == VarType::Empty; }
  bool isMissing() const { return type() == VarType::Missing; }
  bool isText() const { return type() == VarType::String; }
  /// True for the integer, double, date and boolean types (what arithmetic takes as is).
  bool isNumeric() const;
  /// Empty, or text without characters: what "= empty text" is true for.
  bool isEmptyText() const;

  double toDouble() const;    ///< as a number (empty 0, true -1, text parsed); 13 otherwise
  int16_t toInteger() const;  ///< rounded ties to even; 6 when out of range
  int32_t toLong() const;     ///< rounded ties to even; 6 when out of range
  bool toBool() const;        ///< non-zero numbers, "True"/"False"; 13 otherwise
  double toDate() const;      ///< a date or a number as a day count; 13 otherwise
  /// Text: numbers in the general number format, dates as the general date, booleans as
  /// "True"/"False", empty as empty text.
  QString toText() const;

  /// The stored value of a given type; only valid when type() says so.
  int16_t integerValue() const { return std::get<int16_t>(m_value); }
  int32_t longValue() const { return std::get<int32_t>(m_value); }
  double doubleValue() const { return std::get<double>(m_value); }
  const QString& textValue() const { return std::get<QString>(m_value); }
  double dateValue() const { return std::get<DateTag>(m_value).days; }
  bool boolValue() const { return std::get<bool>(m_value); }

  /// Identity: the same type and the same value (text compared exactly).
  friend bool operator==(const Variant& a, const Variant& b);

  friend Variant operator+(const Variant& a, const Variant& b);
  friend Variant operator-(const Variant& a, const Variant& b);
  friend Variant operator*(const Variant& a, const Variant& b);
  friend Variant operator/(const Variant& a, const Variant& b);
  /// Text concatenation, each side converted with toText().
  static Variant concat(const Variant& a, const Variant& b);

 private:
  std::variant<std::monostate, int16_t, int32_t, double, QString, DateTag, bool, MissingTag>
      m_value;
};

/// A readable rendering for logs and test failures: "Integer 5", "String \"abc\"".
QString describe(const Variant& v);
/// The same for error messages, where a long text is named by its start (see excerpt).
QString describeBriefly(const Variant& v);

/// The start of a text for a message: at most characters characters, then "…" when there is
/// more; control characters show as U+FFFD.
QString excerpt(QStringView text, qsizetype characters);

}  // namespace zrv
