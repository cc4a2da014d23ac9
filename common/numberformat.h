#pragma once
// Number <-> text conversions shared by the board tools, the program and its files.
//
// The "general number format" writes a double with at most 15 significant digits and no
// trailing zeros. It switches to exponent form (mantissa, E, sign, two or more digits) for
// magnitudes of 1E+15 and above, below 1E-04, and where the plain form would need more
// than 15 digits after leading zeros (0.00488758553274682 becomes 4.88758553274682E-03).
// Working on the 15-digit decimal form is what makes 0.1 + 0.2 come out as "0.3".

#include <QChar>
#include <QString>
#include <QStringView>
#include <cstdint>
#include <optional>

namespace zrv {

/// The decimal separator of the user's locale (QLocale's default, which follows the system).
QChar userDecimalSeparator();

struct NumberStyle {
  QChar decimalSeparator = QLatin1Char('.');
  bool leadingZero = true;  ///< "0.25" rather than ".25"
};

/// A double in the general number format with the given separator and leading-zero rule.
QString formatNumber(double value, NumberStyle style);
/// The general number format with the user's decimal separator and a leading zero.
QString formatGeneral(double value);

/// A format pattern such as "0.0", "0.0 " or "0": digit placeholders 0 (always shown) and
/// # (shown when significant), one optional decimal point, other characters literal.
/// Rounds half away from zero on the 15-digit decimal form; uses the user's separator
/// unless one is given.
QString formatPattern(double value, QStringView pattern, QChar decimalSeparator = {});

/// The longest numeric prefix of text, as a number: blanks skipped, an optional sign,
/// digits with an optional point and fraction, an optional exponent (E or D), or &H/&O
/// integers. 0 when the text does not start with a number. Only the point separates
/// decimals here, whatever the locale.
double leadingNumber(QStringView text);

/// The whole text as a number, or nothing: surrounding blanks, an optional sign, digits
/// with an optional decimal point (the user's separator or a point), an optional exponent;
/// also &H/&O integers. Empty text is not a number.
std::optional<double> parseNumber(QStringView text);

/// Rounds to the nearest integer, ties to even; raises overflow (6) when the result does not
/// fit 16 or 32 bits, and type mismatch (13) for NaN.
int16_t roundToInt16(double value);
int32_t roundToInt32(double value);

}  // namespace zrv
