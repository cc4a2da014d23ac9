#pragma once
// One graph element drawn straight from the model's point storage: nothing is copied into
// QCustomPlot's data containers, so the points exist once in memory.
//
// Drawing is bounded by the plot's width, not by the number of points: when X is in order
// the visible index range is found by binary search, and where more points fall on the
// screen than there are pixel columns each column is drawn as the first, lowest, highest and
// last value of its points. Only the Y values in view are read, once, per replot.

#include <qcustomplot.h>

#include "app/graph/graphmodel.h"

namespace zrvlog {

class ElementPlottable : public QCPAbstractPlottable {
 public:
  struct Style {
    QPen line;  ///< Qt::NoPen: no line
    int symbol = 0;
    QColor pointColour;
    bool filledPoints = false;
  };

  ElementPlottable(const GraphModel& model, int element, QCPAxis* keyAxis, QCPAxis* valueAxis);

  void setElement(int element) { m_element = element; }
  void setStyle(const Style& style);

  /// The polyline for the current axes, in pixels (what draw() paints).
  QVector<QPointF> polyline() const;

  double selectTest(const QPointF&, bool, QVariant* = nullptr) const override { return -1; }
  QCPRange getKeyRange(bool& foundRange, QCP::SignDomain inSignDomain = QCP::sdBoth) const override;
  QCPRange getValueRange(bool& foundRange, QCP::SignDomain inSignDomain = QCP::sdBoth,
                         const QCPRange& inKeyRange = QCPRange()) const override;

 protected:
  void draw(QCPPainter* painter) override;
  void drawLegendIcon(QCPPainter* painter, const QRectF& rect) const override;

 private:
  QCPScatterStyle scatterStyle() const;
  void decimate(const Series& s, size_t begin, size_t end, QVector<QPointF>& out) const;
  void unsortedPolyline(const Series& s, QVector<QPointF>& out) const;

  const GraphModel& m_model;
  int m_element;
  Style m_style;
};

}  // namespace zrvlog
