#pragma once
// Numbers and dates as text at file speed. A million samples are seven million fields; the
// general conversions in common/ build a QString per value, which alone would take seconds.
// Everything here writes bytes into caller buffers and gives exactly the text of its
// reference conversion (tests compare the two over many values and several locales).

#include <QDate>
#include <QDateTime>
#include <QString>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/variant.h"

namespace zrvlog {

/// Room that formatNumberTo needs.
inline constexpr std::size_t kNumberTextCapacity = 48;

/// zrv::formatNumber(value, {separator, leadingZero}) as bytes (separator given as UTF-8);
/// returns the length.
std::size_t formatNumberTo(char* out, double value, std::string_view separator, bool leadingZero);

/// The data file's double form: 15 significant digits, a point, no 0 before it (.25, -.5,
/// 1E-05, 1E+20).
std::size_t formatFileDouble(char* out, double value);

/// A whole number in decimal.
std::size_t formatIntegerTo(char* out, int64_t value);

/// The user's decimal separator as UTF-8.
std::string userSeparatorUtf8();

/// Parses text as zrv::parseNumber does: surrounding blanks, a sign, digits with a decimal
/// point or the given other separator, an exponent (E or D), also &H/&O integers. Nothing
/// when the text is not a number or not finite.
std::optional<double> parseNumberBytes(std::string_view text, std::string_view otherSeparator);

/// True when text is an optional sign and decimal digits only (a whole-number literal).
bool isWholeNumberText(std::string_view text);

/// The text zrv::Variant::toText() gives, in the user's locale as it is when this is made,
/// appended as UTF-8: numbers in the general format, dates as the general date, booleans
/// as True/False. Repeated values and dates of the same day cost next to nothing.
class GeneralText {
 public:
  GeneralText();

  void appendVariant(std::string& out, const zrv::Variant& value);
  void appendNumber(std::string& out, double value);
  void appendDate(std::string& out, double days);

  const std::string& separator() const { return m_separator; }

 private:
  struct CachedNumber {
    uint64_t bits = 0;
    uint8_t length = 0;  // 0: unused
    char text[kNumberTextCapacity - 1];
  };
  // One piece of the compiled time format.
  struct TimePiece {
    enum Kind : uint8_t { Literal, Hour, Hour2, Minute, Minute2, Second, Second2, AmPm } kind;
    std::string text;   // Literal: the bytes; AmPm: the morning text
    std::string after;  // AmPm: the afternoon text
  };

  void compileTimeFormat(const QString& format);
  void appendTime(std::string& out, int msOfDay);

  std::string m_separator;
  std::vector<CachedNumber> m_numbers;
  QString m_timeFormat;
  std::vector<TimePiece> m_timePieces;
  bool m_fastTime = false;
  bool m_twelveHour = false;
  int64_t m_cachedDay = INT64_MIN;
  std::string m_cachedDayText;
  uint64_t m_cachedDateBits = ~uint64_t{0};
  std::string m_cachedDateText;
};

/// The moment a sample's time stamp stands for: a date as recorded, or a loaded file's text
/// (the general date it was saved as, in the user's locale or the C locale, or ISO-8601). Nothing
/// for a text that is not a date. Two-digit years fall in 1930-2029.
std::optional<QDateTime> timeStampMoment(const zrv::Variant& stamp);

}  // namespace zrvlog
