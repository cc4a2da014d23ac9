#include "elementplottable.h"

#include <algorithm>
#include <cmath>

namespace zrvlog {

namespace {

// Pixel coordinates far outside the plot are clamped: the raster engine misdraws lines
// with coordinates in the millions.
constexpr double kPixelLimit = 1.0e6;

QPointF clamped(double x, double y) {
  return {std::clamp(x, -kPixelLimit, kPixelLimit), std::clamp(y, -kPixelLimit, kPixelLimit)};
}

// The first index in [from, to) whose X is greater than x (X sorted).
size_t upperBound(const ChunkedColumn& xs, double x, size_t from, size_t to) {
  while (from < to) {
    const size_t mid = from + (to - from) / 2;
    if (xs[mid] <= x)
      from = mid + 1;
    else
      to = mid;
  }
  return from;
}

}  // namespace

ElementPlottable::ElementPlottable(const GraphModel& model, int element, QCPAxis* keyAxis,
                                   QCPAxis* valueAxis)
    : QCPAbstractPlottable(keyAxis, valueAxis), m_model(model), m_element(element) {
  setSelectable(QCP::stNone);
}

void ElementPlottable::setStyle(const Style& style) {
  m_style = style;
  setPen(style.line);
}

QCPScatterStyle ElementPlottable::scatterStyle() const {
  static const QCPScatterStyle::ScatterShape kShapes[] = {
      QCPScatterStyle::ssNone,   QCPScatterStyle::ssDot,     QCPScatterStyle::ssCircle,
      QCPScatterStyle::ssSquare, QCPScatterStyle::ssDiamond, QCPScatterStyle::ssTriangle,
      QCPScatterStyle::ssCross,  QCPScatterStyle::ssPlus,    QCPScatterStyle::ssStar};
  const int symbol =
      (m_style.symbol >= 0 && m_style.symbol < int(std::size(kShapes))) ? m_style.symbol : 0;
  QCPScatterStyle style(kShapes[symbol], 6.0);
  style.setPen(QPen(m_style.pointColour, 1.0));
  style.setBrush(m_style.filledPoints ? QBrush(m_style.pointColour) : QBrush(Qt::NoBrush));
  return style;
}

QCPRange ElementPlottable::getKeyRange(bool& foundRange, QCP::SignDomain) const {
  const Extents& e = m_model.series(m_element).extents();
  foundRange = !e.empty();
  return foundRange ? QCPRange(e.minX, e.maxX) : QCPRange();
}

QCPRange ElementPlottable::getValueRange(bool& foundRange, QCP::SignDomain, const QCPRange&) const {
  const Extents& e = m_model.series(m_element).extents();
  foundRange = !e.empty();
  return foundRange ? QCPRange(e.minY, e.maxY) : QCPRange();
}

void ElementPlottable::decimate(const Series& s, size_t begin, size_t end,
                                QVector<QPointF>& out) const {
  QCPAxis* keys = keyAxis();
  QCPAxis* values = valueAxis();
  const ChunkedColumn& xs = s.xColumn();
  const ChunkedColumn& ys = s.yColumn();
  const QRect rect = keys->axisRect()->rect();
  const int left = rect.left(), right = rect.right() + 1;
  out.reserve(out.size() + 4 * (right - left + 1) + 4);
  size_t i = begin;
  for (int px = left; px <= right && i < end; ++px) {
    // Points up to the right border of this pixel column.
    const size_t stop = px == right ? end : upperBound(xs, keys->pixelToCoord(px + 1), i, end);
    if (stop == i) continue;
    const double first = ys[i], last = ys[stop - 1];
    if (stop - i <= 2) {
      for (size_t k = i; k < stop; ++k)
        out.append(clamped(keys->coordToPixel(xs[k]), values->coordToPixel(ys[k])));
    } else {
      double lo = first, hi = first;
      ys.forEachRun(i, stop, [&](const double* v, size_t n) {
        for (size_t k = 0; k < n; ++k) {
          lo = v[k] < lo ? v[k] : lo;
          hi = v[k] > hi ? v[k] : hi;
        }
      });
      const double x = px + 0.5;
      out.append(clamped(x, values->coordToPixel(first)));
      out.append(clamped(x, values->coordToPixel(lo)));
      out.append(clamped(x, values->coordToPixel(hi)));
      out.append(clamped(x, values->coordToPixel(last)));
    }
    i = stop;
  }
}

void ElementPlottable::unsortedPolyline(const Series& s, QVector<QPointF>& out) const {
  // X out of order: every point is looked at, but runs of points on one pixel column still
  // collapse into their first, lowest, highest and last value.
  QCPAxis* keys = keyAxis();
  QCPAxis* values = valueAxis();
  const size_t n = s.size();
  size_t i = 0;
  while (i < n) {
    const double px = keys->coordToPixel(s.x(i));
    const double column = std::floor(px);
    size_t j = i + 1;
    double lo = s.y(i), hi = s.y(i);
    while (j < n && std::floor(keys->coordToPixel(s.x(j))) == column) {
      lo = std::min(lo, s.y(j));
      hi = std::max(hi, s.y(j));
      ++j;
    }
    out.append(clamped(px, values->coordToPixel(s.y(i))));
    if (j - i > 2) {
      out.append(clamped(px, values->coordToPixel(lo)));
      out.append(clamped(px, values->coordToPixel(hi)));
    }
    if (j - i > 1)
      out.append(clamped(keys->coordToPixel(s.x(j - 1)), values->coordToPixel(s.y(j - 1))));
    i = j;
  }
}

QVector<QPointF> ElementPlottable::polyline() const {
  QVector<QPointF> out;
  QCPAxis* keys = keyAxis();
  QCPAxis* values = valueAxis();
  if (!keys || !values || m_element >= m_model.elementCount()) return out;
  const Series& s = m_model.series(m_element);
  const size_t n = s.size();
  if (n == 0) return out;
  if (!s.xSorted()) {
    unsortedPolyline(s, out);
    return out;
  }
  const ChunkedColumn& xs = s.xColumn();
  const QCPRange range = keys->range();
  // Visible points, plus one neighbour on each side so lines run out of the plot.
  size_t begin = xs.lowerBound(range.lower, n);
  size_t end = upperBound(xs, range.upper, begin, n);
  if (begin > 0) --begin;
  if (end < n) ++end;
  const int width = keys->axisRect()->width();
  if (end - begin <= size_t(2 * std::max(width, 1))) {
    out.reserve(int(end - begin));
    for (size_t i = begin; i < end; ++i)
      out.append(clamped(keys->coordToPixel(xs[i]), values->coordToPixel(s.y(i))));
    return out;
  }
  // The outside neighbours are drawn exactly, the inside decimated per pixel column.
  size_t inner = begin, innerEnd = end;
  if (xs[begin] < range.lower) {
    out.append(clamped(keys->coordToPixel(xs[begin]), values->coordToPixel(s.y(begin))));
    ++inner;
  }
  const bool rightNeighbour = xs[end - 1] > range.upper;
  if (rightNeighbour) --innerEnd;
  decimate(s, inner, innerEnd, out);
  if (rightNeighbour)
    out.append(clamped(keys->coordToPixel(xs[end - 1]), values->coordToPixel(s.y(end - 1))));
  return out;
}

void ElementPlottable::draw(QCPPainter* painter) {
  const QVector<QPointF> points = polyline();
  if (points.isEmpty()) return;
  if (m_style.line.style() != Qt::NoPen && points.size() > 1) {
    applyDefaultAntialiasingHint(painter);
    painter->setPen(m_style.line);
    painter->setBrush(Qt::NoBrush);
    painter->drawPolyline(points.constData(), int(points.size()));
  }
  if (m_style.symbol > 0) {
    applyScattersAntialiasingHint(painter);
    const QCPScatterStyle style = scatterStyle();
    style.applyTo(painter, m_style.line);
    for (const QPointF& p : points)
      style.drawShape(painter, p);
  }
}

void ElementPlottable::drawLegendIcon(QCPPainter* painter, const QRectF& rect) const {
  if (m_style.line.style() != Qt::NoPen) {
    applyDefaultAntialiasingHint(painter);
    painter->setPen(m_style.line);
    painter->drawLine(QLineF(rect.left(), rect.center().y(), rect.right(), rect.center().y()));
  }
  if (m_style.symbol > 0) {
    applyScattersAntialiasingHint(painter);
    const QCPScatterStyle style = scatterStyle();
    style.applyTo(painter, m_style.line);
    style.drawShape(painter, rect.center());
  }
}

}  // namespace zrvlog
