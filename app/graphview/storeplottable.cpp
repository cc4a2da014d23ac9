#include "storeplottable.h"

#include <algorithm>
#include <cmath>

namespace zrvlog {

namespace {
// The raster engine misdraws lines with coordinates in the millions.
constexpr double kPixelLimit = 1.0e6;
double clampPixel(double p) {
  return std::clamp(p, -kPixelLimit, kPixelLimit);
}
}  // namespace

StorePlottable::StorePlottable(const SampleStore& store, int channel, QCPAxis* keyAxis,
                               QCPAxis* valueAxis)
    : QCPAbstractPlottable(keyAxis, valueAxis), m_store(store), m_channel(channel) {
  setSelectable(QCP::stNone);
}

QCPRange StorePlottable::getKeyRange(bool& foundRange, QCP::SignDomain) const {
  const std::span<const double> keys = m_store.keys();
  foundRange = !keys.empty();
  return foundRange ? QCPRange(keys.front(), keys.back()) : QCPRange();
}

QCPRange StorePlottable::getValueRange(bool& foundRange, QCP::SignDomain, const QCPRange&) const {
  const MinMax m = m_store.extremes(m_channel, 0, m_store.rows());
  foundRange = !m.empty() && std::isfinite(m.min) && std::isfinite(m.max);
  return foundRange ? QCPRange(m.min, m.max) : QCPRange();
}

StorePlottable::Shape StorePlottable::shape() const {
  Shape out;
  QCPAxis* keys = keyAxis();
  QCPAxis* values = valueAxis();
  const std::size_t rows = m_store.rows();
  if (!keys || !values || rows == 0) return out;
  const QRect rect = keys->axisRect()->rect();
  const int width = rect.width();
  if (width <= 0) return out;
  // The visible samples and one more on each side, so that lines run out of the plot.
  const QCPRange range = keys->range();
  std::size_t first = m_store.lowerBound(range.lower);
  first = first > 0 ? first - 1 : 0;
  const std::size_t end = std::min(rows, m_store.lowerBound(range.upper) + 1);
  if (first >= end) return out;
  const auto y = [&](double v) { return clampPixel(values->coordToPixel(v)); };
  QPolygonF line;
  const auto breakLine = [&] {
    if (!line.isEmpty()) out.lines.push_back(std::exchange(line, {}));
  };

  if (end - first <= std::size_t(2 * width)) {
    const std::span<const double> k = m_store.keys();
    const std::span<const double> v = m_store.values(m_channel);
    for (std::size_t row = first; row < end; ++row) {
      if (std::isnan(v[row])) {
        breakLine();
        continue;
      }
      line.append(QPointF(clampPixel(keys->coordToPixel(k[row])), y(v[row])));
    }
    breakLine();
    return out;
  }

  // One column per pixel, in key order whichever way the axis runs: its rows are those whose
  // keys fall between the column's edges.
  out.dense = true;
  std::vector<double> edges(std::size_t(width) + 1);
  for (int i = 0; i <= width; ++i)
    edges[std::size_t(i)] = keys->pixelToCoord(rect.left() + i);
  if (edges.front() > edges.back()) std::reverse(edges.begin(), edges.end());
  std::vector<std::size_t> borders(edges.size());
  borders.front() = first;
  borders.back() = end;
  // Keys are nearly evenly spaced: a guess from the ends finds each border in a few reads.
  const double firstKey = m_store.key(first), lastKey = m_store.key(end - 1);
  const double rowsPerKey = lastKey > firstKey ? double(end - 1 - first) / (lastKey - firstKey) : 0;
  for (std::size_t i = 1; i + 1 < edges.size(); ++i) {
    const double guess = std::clamp((edges[i] - firstKey) * rowsPerKey, 0.0, double(end - first));
    borders[i] = std::clamp(m_store.lowerBound(edges[i], first + std::size_t(guess)), first, end);
  }
  std::vector<MinMax> columns(static_cast<std::size_t>(width));
  m_store.summarize(m_channel, borders, columns);
  out.spans.reserve(qsizetype(columns.size()));
  bool joined = false;  // the column before had a value
  double lastLo = 0, lastHi = 0;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const MinMax& m = columns[i];
    if (borders[i] == borders[i + 1]) continue;  // no sample here: the line runs across
    if (m.empty()) {
      joined = false;
      continue;
    }
    const double x = clampPixel(keys->coordToPixel(0.5 * (edges[i] + edges[i + 1])));
    const double a = y(m.min), b = y(m.max);
    double lo = std::min(a, b), hi = std::max(a, b);
    const double ownLo = lo, ownHi = hi;
    if (joined) {
      lo = std::min(lo, lastHi);
      hi = std::max(hi, lastLo);
    }
    out.spans.append(QLineF(x, lo, x, hi));
    joined = true;
    lastLo = ownLo;
    lastHi = ownHi;
  }
  return out;
}

void StorePlottable::draw(QCPPainter* painter) {
  if (pen().style() == Qt::NoPen) return;
  const Shape s = shape();
  painter->setPen(pen());
  painter->setBrush(Qt::NoBrush);
  if (s.dense) {
    // Columns one pixel apart, filled as whole-pixel rectangles as wide as the pen: the
    // raster engine's fastest path, and smoothing would only blur them.
    const int w = std::max(1, int(std::lround(pen().widthF())));
    const int half = (w - 1) / 2;
    QVector<QRect> rects;
    rects.reserve(s.spans.size());
    for (const QLineF& span : s.spans) {
      const int top = int(std::floor(span.y1())), bottom = int(std::floor(span.y2()));
      rects.append(
          QRect(int(std::floor(span.x1())) - half, top - half, w, bottom - top + 1 + 2 * half));
    }
    painter->setAntialiasing(false);
    painter->setPen(Qt::NoPen);
    painter->setBrush(pen().color());
    painter->drawRects(rects.constData(), int(rects.size()));
    painter->setBrush(Qt::NoBrush);
    return;
  }
  applyDefaultAntialiasingHint(painter);
  for (const QPolygonF& line : s.lines) {
    if (line.size() == 1)
      painter->drawPoint(line.front());
    else
      painter->drawPolyline(line);
  }
}

void StorePlottable::drawLegendIcon(QCPPainter* painter, const QRectF& rect) const {
  painter->setPen(pen());
  painter->drawLine(QLineF(rect.left(), rect.center().y(), rect.right(), rect.center().y()));
}

}  // namespace zrvlog
