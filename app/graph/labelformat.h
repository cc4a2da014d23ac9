#pragma once
// Axis label texts: printf-style formats as hosts give them ("%.1f", "%g V", "%4.0f") and
// time labels. A format is user data (it travels in data files), so it is parsed and only
// one plain numeric conversion is ever handed to the formatter: a format with no
// conversion, with two, or with one that is not numeric (%s, %n, %p, ...) is shown as "%g".

#include <QString>

namespace zrvlog {

/// True when format holds exactly one numeric conversion (d i u f F e E g G), with flags,
/// width and precision of sensible size, and otherwise literal text and "%%".
bool isValidLabelFormat(const QString& format);

/// value formatted with a label format; invalid formats act as "%g". The decimal separator
/// is always a point, as printf gives it whatever the locale.
QString formatLabel(const QString& format, double value);

/// Seconds as a clock time: "1:02:03", "-0:00:05", with the given number of decimals of a
/// second ("0:00:01.5").
QString formatTimeLabel(double seconds, int decimals = 0);

}  // namespace zrvlog
