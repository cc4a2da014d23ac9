#include "gridticker.h"

#include <cmath>

#include "app/graph/labelformat.h"

namespace zrvlog {

namespace {
// More divisions than this would only paint the plot area grey.
constexpr int kMaxDivisions = 500;
}  // namespace

QString GridTicker::label(double value, double step) const {
  if (std::abs(value) < std::abs(step) * 1e-9) value = 0.0;
  if (m_settings.timeLabels) {
    const int decimals =
        step >= 1.0 || step <= 0 ? 0 : std::min(3, int(std::ceil(-std::log10(step))));
    return formatTimeLabel(value, decimals);
  }
  return formatLabel(m_settings.format, value);
}

void GridTicker::generate(const QCPRange& range, const QLocale&, QChar, int, QVector<double>& ticks,
                          QVector<double>* subTicks, QVector<QString>* tickLabels) {
  const int n = std::clamp(m_settings.divisions, 1, kMaxDivisions);
  const int stride = std::max(1, m_settings.labelStride);
  ticks.clear();
  const bool log = m_settings.logarithmic && range.lower > 0 && range.upper > 0;
  const double step = (range.upper - range.lower) / n;
  for (int k = 0; k <= n; ++k) {
    ticks.append(log ? range.lower * std::pow(range.upper / range.lower, double(k) / n)
                     : (k == n ? range.upper : range.lower + k * step));
  }
  if (subTicks) subTicks->clear();
  if (tickLabels) {
    tickLabels->clear();
    for (int k = 0; k <= n; ++k) {
      const double tickStep =
          log ? ticks[k] * (std::pow(range.upper / range.lower, 1.0 / n) - 1) : step;
      tickLabels->append(k % stride == 0 ? label(ticks[k], tickStep) : QString());
    }
  }
}

}  // namespace zrvlog
