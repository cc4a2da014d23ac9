#pragma once
// Axis label texts: printf-style formats as hosts give them ("%.1f", "%g V", "%4.0f") and
// time labels. A format is user data (it travels in data files), so it is parsed and only
// one plain numeric conversion is ever handed to the formatter: a format with no
// conversion, with two, or with one that is not numeric (%s, %n, %p, ...) is shown as "%g".

#include <QByteArray>
#include <QString>

namespace zrvlog {

/// True when format holds exactly one numeric conversion (d i u f F e E g G), with flags,
/// width and precision of sensible size, and otherwise literal text and "%%".
bool isValidLabelFormat(const QString& format);

/// value formatted with a label format; invalid formats act as "%g". The decimal separator
/// is always a point, as printf gives it whatever the locale.
QString formatLabel(const QString& format, double value);

/// The smallest grid step a format shows as distinct labels as written: 1 for whole numbers,
/// 0.1 for "%.1f", 0 where the format adapts its decimals to the step ("%g"). Grids keep
/// their steps at least this large, so that a format the user set is shown as written.
double smallestStepShown(const QString& format);

/// The decimals that show the values lower + k x step exactly (those of the step's leading
/// digit, and up to three more where the step or lower need them), so that no two of them
/// look the same.
int gridDecimals(double lower, double step);

/// Labels of the grid lines lower, lower + step, ... upper in a label format, with the
/// precision following the step: "%.1f" shows 0.05 steps as 0.05, 0.10, ...; "%g" shows
/// fixed decimals (0.0 V, 0.5 V, 1.0 V), so labels keep one width; "%d" gets decimals when the
/// step needs them. The format's own precision is kept where it shows more.
class GridLabelFormat {
 public:
  GridLabelFormat(const QString& format, double lower, double upper, double step);
  /// The label of one tick of a logarithmic axis whose ticks grow by the factor ratio: as
  /// many decimals as tell it from its neighbours, and one more.
  static GridLabelFormat logarithmic(const QString& format, double value, double ratio);
  QString operator()(double value) const;

 private:
  // magnitude: the largest value labelled; step: between labels; decimals: what they need.
  GridLabelFormat(const QString& format, double magnitude, double step, int decimals);

  QString m_prefix, m_suffix;
  QByteArray m_printf;
  QByteArray m_wide;  // whole-number formats: for values beyond long long
};

/// Seconds as a clock time: "1:02:03", "-0:00:05", with the given number of decimals of a
/// second ("0:00:01.5").
QString formatTimeLabel(double seconds, int decimals = 0);

}  // namespace zrvlog
