#include "gridticker.h"

#include <cmath>

#include "app/graph/labelformat.h"
#include "app/graph/nicescale.h"

namespace zrvlog {

namespace {

// The 1, 2 or 5 times a power of ten nearest to step (by ratio).
double nearestNiceStep(double step) {
  const double above = niceStepAtLeast(step);
  const double below = niceStepBelow(step);
  return below > 0 && step / below < above / step ? below : above;
}

}  // namespace

void GridTicker::ticksAndLabels(const QCPRange& range, QVector<double>& ticks,
                                QVector<QString>& labels) const {
  const int n = usableDivisions(m_settings.divisions);
  const bool log = m_settings.logarithmic && range.lower > 0 && range.upper > 0;
  ticks.clear();
  labels.clear();
  double step = (range.upper - range.lower) / n;
  if (log) {
    for (int k = 0; k <= n; ++k)
      ticks.append(range.lower * std::pow(range.upper / range.lower, double(k) / n));
  } else if (step > 0 && std::isfinite(step)) {
    // Round values inside the range, about as many as the grid count asks for: a range that
    // is already round (0 to 5 in 10) gets exactly its divisions, a dragged one (1.93 to
    // 2.80) gets 1.95, 2.00, ... A format that fixes its decimals is never asked for a step
    // it would show as the same label twice.
    // Only a range too short for two of those steps gets finer ones, and more decimals.
    double coarsest = smallestStepShown(m_settings.format);
    if (range.upper - range.lower < 2 * coarsest) coarsest = 0;
    step = std::max(nearestNiceStep(step), coarsest);
    const double first = std::ceil(range.lower / step - 1e-9);
    const double last = std::floor(range.upper / step + 1e-9);
    for (double k = first; k <= last && ticks.size() <= kMaxDivisions; ++k) {
      double value = k * step;
      // A computed 1e-17 is a zero.
      if (std::abs(value) < step * 1e-9) value = 0.0;
      ticks.append(value);
    }
  }
  if (m_settings.timeLabels) {
    const int decimals = std::min(6, gridDecimals(ticks.value(0), log ? 1.0 : step));
    for (double t : ticks)
      labels.append(formatTimeLabel(t, decimals));
  } else if (log) {
    const double ratio = std::pow(range.upper / range.lower, 1.0 / n);
    for (double t : ticks)
      labels.append(GridLabelFormat::logarithmic(m_settings.format, t, ratio)(t));
  } else {
    const GridLabelFormat format(m_settings.format, ticks.value(0), ticks.value(ticks.size() - 1),
                                 step);
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
  if (!tickLabels) return;
  int stride = labelStride(labels);
  tickLabels->clear();
  const bool linear = !(m_settings.logarithmic && range.lower > 0 && range.upper > 0);
  if (linear && stride > 1 && ticks.size() >= 2) {
    // Linear ticks are whole multiples of their step: the labels kept are those on a round
    // multiple of it (every 0.02 of 0.01 steps, not 0.31, 0.33, ...).
    const double step = ticks[1] - ticks[0];
    double labelStep = niceStepAtLeast(stride * step * (1 - 1e-9));
    while (std::abs(labelStep / step - std::round(labelStep / step)) > 1e-6)
      labelStep = niceStepAtLeast(labelStep * 1.01);
    stride = int(std::lround(labelStep / step));
    for (double t : ticks) {
      const long long k = std::llround(t / step);
      tickLabels->append(k % stride == 0 ? labels[tickLabels->size()] : QString());
    }
    return;
  }
  for (int k = 0; k < labels.size(); ++k)
    tickLabels->append(k % stride == 0 ? labels[k] : QString());
}

}  // namespace zrvlog
