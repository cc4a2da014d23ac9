#pragma once
// One graph element drawn straight from where its points are kept (its own series, or a
// document's sample store): nothing is copied into QCustomPlot's data containers.
//
// Drawing is bounded by the plot's width, not by the number of points: when X is in order
// the visible index range is found by binary search, and where more points fall on the
// screen than there are pixel columns each column is summarised by the first, lowest,
// highest and last value of its points; the points give the extremes of a column from
// their block extremes (partExtremes), so a replot reads a few values per column, however
// many points fall on it. A solid line over such columns is painted as one vertical span per column
// (reaching halfway to its neighbours, where the connecting line would run), which the
// raster engine fills several times faster than it strokes the equivalent polyline.

#include <qcustomplot.h>

#include <optional>
#include <vector>

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

  /// One pixel column of a decimated element, Y in pixels.
  struct Column {
    int px;
    double first, lo, hi, last;
  };
  /// What the element looks like on the current axes: either the exact points, or the
  /// decimated columns with the exact points just outside the plot on either side.
  struct Shape {
    bool dense = false;
    QVector<QPointF> points;  ///< exact mode: the polyline
    std::vector<Column> columns;
    std::optional<QPointF> before, after;
  };
  Shape shape() const;
  /// The shape as one polyline (dense columns as first, lowest, highest, last).
  QVector<QPointF> polyline() const;

  double selectTest(const QPointF&, bool, QVariant* = nullptr) const override { return -1; }
  QCPRange getKeyRange(bool& foundRange, QCP::SignDomain inSignDomain = QCP::sdBoth) const override;
  QCPRange getValueRange(bool& foundRange, QCP::SignDomain inSignDomain = QCP::sdBoth,
                         const QCPRange& inKeyRange = QCPRange()) const override;

 protected:
  /// The plot area and a line's width around it: the axis's top end is drawn one pixel
  /// above the area, and a trace there (5 V on a 0-5 V axis) must still show.
  QRect clipRect() const override;
  void draw(QCPPainter* painter) override;
  void drawLegendIcon(QCPPainter* painter, const QRectF& rect) const override;

 private:
  QCPScatterStyle scatterStyle() const;
  void decimate(const Points& s, size_t begin, size_t end, std::vector<Column>& out) const;
  void unsortedColumns(const Points& s, Shape& out) const;
  void drawSpans(QCPPainter* painter, const Shape& shape) const;
  /// A dot where a lone point would otherwise show nothing.
  void markLonePoint(QCPPainter* painter, const QVector<QPointF>& points) const;

  const GraphModel& m_model;
  int m_element;
  Style m_style;
};

}  // namespace zrvlog
