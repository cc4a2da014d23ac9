#include "gridticker.h"

#include <cmath>

#include "app/graph/labelformat.h"
#include "app/graph/nicescale.h"

namespace zrvlog {

void GridTicker::ticksAndLabels(const QCPRange& range, QVector<double>& ticks,
                                QVector<QString>& labels) const {
  const int n = usableDivisions(m_settings.divisions);
  const bool log = m_settings.logarithmic && range.lower > 0 && range.upper > 0;
  const double step = (range.upper - range.lower) / n;
  ticks.clear();
  labels.clear();
  for (int k = 0; k <= n; ++k) {
    double value = log ? range.lower * std::pow(range.upper / range.lower, double(k) / n)
                       : (k == n ? range.upper : range.lower + k * step);
    // A computed 1e-17 is a zero.
    if (!log && std::abs(value) < std::abs(step) * 1e-9) value = 0.0;
    ticks.append(value);
  }
  if (m_settings.timeLabels) {
    const int decimals = std::min(6, gridDecimals(range.lower, log ? 1.0 : step));
    for (double t : ticks)
      labels.append(formatTimeLabel(t, decimals));
  } else if (log) {
    const double ratio = std::pow(range.upper / range.lower, 1.0 / n);
    for (double t : ticks)
      labels.append(GridLabelFormat::logarithmic(m_settings.format, t, ratio)(t));
  } else {
    const GridLabelFormat format(m_settings.format, range.lower, range.upper, step);
    for (double t : ticks)
      labels.append(format(t));
  }
}

int GridTicker::labelStride(const QVector<QString>& labels) const {
  if (!m_axis || labels.size() < 2) return 1;
  const QFontMetrics metrics(m_axis->tickLabelFont());
  const bool horizontal = m_axis->orientation() == Qt::Horizontal;
  double need = metrics.height() + 4.0;
  if (horizontal) {
    int widest = 0;
    for (const QString& label : labels)
      widest = std::max(widest, metrics.horizontalAdvance(label));
    need = widest + 10.0;
  }
  const QRect rect = m_axis->axisRect()->rect();
  const double length = horizontal ? rect.width() : rect.height();
  const int divisions = int(labels.size()) - 1;
  const double spacing = std::max(1.0, length) / divisions;
  const int stride = std::max(1, int(std::ceil(need / spacing)));
  // A stride that divides the divisions labels both ends of the axis (0, 20, ... 100, not
  // 0, 15, ... 90); it may skip up to twice as many labels as needed for that.
  for (int s = stride; s <= std::min(divisions, 2 * stride); ++s)
    if (divisions % s == 0) return s;
  return stride;
}

void GridTicker::generate(const QCPRange& range, const QLocale&, QChar, int, QVector<double>& ticks,
                          QVector<double>* subTicks, QVector<QString>* tickLabels) {
  QVector<QString> labels;
  ticksAndLabels(range, ticks, labels);
  if (subTicks) subTicks->clear();
  if (tickLabels) {
    const int stride = labelStride(labels);
    tickLabels->clear();
    for (int k = 0; k < labels.size(); ++k)
      tickLabels->append(k % stride == 0 ? labels[k] : QString());
  }
}

}  // namespace zrvlog
