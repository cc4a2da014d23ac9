#pragma once
// Axis ticks for the graph: exactly the set number of grid divisions across the shown
// range (evenly spaced in pixels, on logarithmic axes too), labelled with the printf-style
// label format or as clock times. Labels are thinned to every n-th tick when they would
// overlap.

#include <qcustomplot.h>

namespace zrvlog {

class GridTicker : public QCPAxisTicker {
 public:
  struct Settings {
    int divisions = 10;
    QString format = QStringLiteral("%g");
    bool timeLabels = false;
    bool logarithmic = false;
    int labelStride = 1;  ///< label every n-th tick only
  };

  void setSettings(const Settings& settings) { m_settings = settings; }
  const Settings& settings() const { return m_settings; }

  /// The label of one tick value, with the step between ticks (for time decimals and for
  /// showing a computed 1e-17 as 0).
  QString label(double value, double step) const;

  void generate(const QCPRange& range, const QLocale& locale, QChar formatChar, int precision,
                QVector<double>& ticks, QVector<double>* subTicks,
                QVector<QString>* tickLabels) override;

 private:
  Settings m_settings;
};

}  // namespace zrvlog
