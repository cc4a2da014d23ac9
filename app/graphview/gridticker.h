#pragma once
// Axis ticks for the graph: exactly the set number of grid divisions across the shown
// range (evenly spaced in pixels, on logarithmic axes too), labelled with the printf-style
// label format (its precision following the step, labelformat.h) or as clock times. Labels
// are thinned to every n-th tick where they would overlap at the axis's length when the
// ticks are made, so pictures of any size get the labels that fit them.

#include <qcustomplot.h>

namespace zrvlog {

class GridTicker : public QCPAxisTicker {
 public:
  struct Settings {
    int divisions = 10;
    QString format = QStringLiteral("%g");
    bool timeLabels = false;
    bool logarithmic = false;
  };

  /// The axis whose length and tick font decide how many labels fit.
  explicit GridTicker(QCPAxis* axis = nullptr) : m_axis(axis) {}
  void setAxis(QCPAxis* axis) { m_axis = axis; }

  void setSettings(const Settings& settings) { m_settings = settings; }
  const Settings& settings() const { return m_settings; }

  /// The tick values across range and the label of each (none thinned out).
  void ticksAndLabels(const QCPRange& range, QVector<double>& ticks,
                      QVector<QString>& labels) const;
  /// Every n-th label is shown: how many fit at the axis's present length.
  int labelStride(const QVector<QString>& labels) const;

  void generate(const QCPRange& range, const QLocale& locale, QChar formatChar, int precision,
                QVector<double>& ticks, QVector<double>* subTicks,
                QVector<QString>* tickLabels) override;

 private:
  Settings m_settings;
  QCPAxis* m_axis;
};

}  // namespace zrvlog
