#pragma once
// One channel of a SampleStore drawn with the store's min/max summary: when more samples fall
// on the plot than it has pixel columns, each column is drawn as the span between the lowest
// and highest value of its samples, which the summary gives from a few entries whatever the
// number of samples; zoomed in, the samples themselves are joined. X is the sample's key.
// A NaN value leaves a gap in the line.

#include <qcustomplot.h>

#include <vector>

#include "app/store/samplestore.h"

namespace zrvlog {

class StorePlottable : public QCPAbstractPlottable {
 public:
  StorePlottable(const SampleStore& store, int channel, QCPAxis* keyAxis, QCPAxis* valueAxis);

  /// What is drawn on the current axes, in pixels: polylines of the samples (zoomed in), or
  /// one vertical span per pixel column from its lowest to its highest value, reaching to the
  /// nearer end of the column before so that the line stays joined (zoomed out). The raster
  /// engine fills such spans several times faster than it strokes a zigzag polyline.
  struct Shape {
    bool dense = false;
    std::vector<QPolygonF> lines;
    QVector<QLineF> spans;
  };
  Shape shape() const;

  double selectTest(const QPointF&, bool, QVariant* = nullptr) const override { return -1; }
  QCPRange getKeyRange(bool& foundRange, QCP::SignDomain inSignDomain = QCP::sdBoth) const override;
  QCPRange getValueRange(bool& foundRange, QCP::SignDomain inSignDomain = QCP::sdBoth,
                         const QCPRange& inKeyRange = QCPRange()) const override;

 protected:
  void draw(QCPPainter* painter) override;
  void drawLegendIcon(QCPPainter* painter, const QRectF& rect) const override;

 private:
  const SampleStore& m_store;
  int m_channel;
};

}  // namespace zrvlog
