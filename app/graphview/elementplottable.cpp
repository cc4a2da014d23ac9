#include "elementplottable.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zrvlog {

namespace {

// Pixel coordinates far outside the plot are clamped: the raster engine misdraws lines
// with coordinates in the millions.
constexpr double kPixelLimit = 1.0e6;

QPointF clamped(double x, double y) {
  return {std::clamp(x, -kPixelLimit, kPixelLimit), std::clamp(y, -kPixelLimit, kPixelLimit)};
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
  // The library's own dot is a zero-length smoothed line that hardly shows: a small disc.
  QCPScatterStyle style(symbol == 1 ? QCPScatterStyle::ssDisc : kShapes[symbol],
                        symbol == 1 ? 3.0 : 6.0);
  style.setPen(QPen(m_style.pointColour, 1.0));
  style.setBrush(m_style.filledPoints || symbol == 1 ? QBrush(m_style.pointColour)
                                                     : QBrush(Qt::NoBrush));
  return style;
}

QCPRange ElementPlottable::getKeyRange(bool& foundRange, QCP::SignDomain) const {
  const Extents& e = m_model.points(m_element).extents();
  foundRange = !e.empty();
  return foundRange ? QCPRange(e.minX, e.maxX) : QCPRange();
}

QCPRange ElementPlottable::getValueRange(bool& foundRange, QCP::SignDomain, const QCPRange&) const {
  const Extents& e = m_model.points(m_element).extents();
  foundRange = !e.empty();
  return foundRange ? QCPRange(e.minY, e.maxY) : QCPRange();
}

void ElementPlottable::decimate(const Points& s, size_t begin, size_t end,
                                std::vector<Column>& out) const {
  QCPAxis* keys = keyAxis();
  QCPAxis* values = valueAxis();
  const QRect rect = keys->axisRect()->rect();
  const int left = rect.left(), right = rect.right();
  if (right < left) return;  // a plot not laid out yet has no columns
  // The points up to the right border of each pixel column that has any.
  std::vector<int> pixels;
  std::vector<size_t> borders{begin};
  pixels.reserve(size_t(right - left + 1));
  borders.reserve(size_t(right - left + 2));
  for (int px = left; px <= right && borders.back() < end; ++px) {
    const size_t i = borders.back();
    const size_t stop = px == right ? end : s.upperBound(keys->pixelToCoord(px + 1), i, end);
    if (stop == i) continue;
    pixels.push_back(px);
    borders.push_back(stop);
  }
  std::vector<double> lo, hi;
  s.partExtremes(borders, lo, hi);
  out.reserve(out.size() + pixels.size());
  for (size_t k = 0; k < pixels.size(); ++k) {
    const size_t from = borders[k], stop = borders[k + 1];
    if (from >= stop || lo[k] > hi[k]) continue;  // no value here: the line runs across
    // A sample without a value at either end: the column's extremes stand in for it.
    const double first = std::isnan(s.y(from)) ? lo[k] : s.y(from);
    const double last = std::isnan(s.y(stop - 1)) ? hi[k] : s.y(stop - 1);
    const double a = values->coordToPixel(lo[k]), b = values->coordToPixel(hi[k]);
    out.push_back({pixels[k], values->coordToPixel(first), std::min(a, b), std::max(a, b),
                   values->coordToPixel(last)});
  }
}

void ElementPlottable::unsortedColumns(const Points& s, Shape& out) const {
  // X out of order: every point is looked at, but runs of points on one pixel column still
  // collapse into one column summary.
  QCPAxis* keys = keyAxis();
  QCPAxis* values = valueAxis();
  const size_t n = s.size();
  size_t i = 0;
  while (i < n) {
    const double column = std::floor(keys->coordToPixel(s.x(i)));
    const double first = values->coordToPixel(s.y(i));
    double lo = first, hi = first, last = first;
    size_t j = i + 1;
    for (; j < n && std::floor(keys->coordToPixel(s.x(j))) == column; ++j) {
      last = values->coordToPixel(s.y(j));
      lo = std::min(lo, last);
      hi = std::max(hi, last);
    }
    out.columns.push_back(
        {int(std::clamp(column, -kPixelLimit, kPixelLimit)), first, lo, hi, last});
    i = j;
  }
}

ElementPlottable::Shape ElementPlottable::shape() const {
  Shape out;
  QCPAxis* keys = keyAxis();
  QCPAxis* values = valueAxis();
  if (!keys || !values || m_element >= m_model.elementCount()) return out;
  const Points& s = m_model.points(m_element);
  const size_t n = s.size();
  if (n == 0) return out;
  const int width = std::max(keys->axisRect()->width(), 1);
  if (!s.xSorted()) {
    if (n > size_t(2 * width)) {
      out.dense = true;
      unsortedColumns(s, out);
      return out;
    }
    for (size_t i = 0; i < n; ++i)
      if (!std::isnan(s.y(i)))
        out.points.append(clamped(keys->coordToPixel(s.x(i)), values->coordToPixel(s.y(i))));
    return out;
  }
  const QCPRange range = keys->range();
  // Visible points, plus one neighbour on each side so lines run out of the plot.
  size_t begin = s.lowerBound(range.lower, 0, n);
  size_t end = s.upperBound(range.upper, begin, n);
  if (begin > 0) --begin;
  if (end < n) ++end;
  if (end - begin <= size_t(2 * width)) {
    out.points.reserve(int(end - begin));
    // A sample without a value leaves no point: the line joins its neighbours.
    for (size_t i = begin; i < end; ++i)
      if (!std::isnan(s.y(i)))
        out.points.append(clamped(keys->coordToPixel(s.x(i)), values->coordToPixel(s.y(i))));
    return out;
  }
  out.dense = true;
  if (s.x(begin) < range.lower) {
    if (!std::isnan(s.y(begin)))
      out.before = clamped(keys->coordToPixel(s.x(begin)), values->coordToPixel(s.y(begin)));
    ++begin;
  }
  if (s.x(end - 1) > range.upper) {
    if (!std::isnan(s.y(end - 1)))
      out.after = clamped(keys->coordToPixel(s.x(end - 1)), values->coordToPixel(s.y(end - 1)));
    --end;
  }
  decimate(s, begin, end, out.columns);
  return out;
}

QVector<QPointF> ElementPlottable::polyline() const {
  const Shape sh = shape();
  if (!sh.dense) return sh.points;
  QVector<QPointF> out;
  out.reserve(int(4 * sh.columns.size() + 2));
  if (sh.before) out.append(*sh.before);
  for (const Column& c : sh.columns) {
    const double x = c.px + 0.5;
    out.append(clamped(x, c.first));
    out.append(clamped(x, c.lo));
    out.append(clamped(x, c.hi));
    out.append(clamped(x, c.last));
  }
  if (sh.after) out.append(*sh.after);
  return out;
}

void ElementPlottable::drawSpans(QCPPainter* painter, const Shape& shape) const {
  const int w = std::max(1, m_style.line.width());
  const int half = (w - 1) / 2;
  struct Span {
    int px;
    double top, bottom;
  };
  std::vector<Span> spans;
  spans.reserve(shape.columns.size());
  QVector<QLineF> links;
  auto link = [&](QPointF a, QPointF b) { links.append(QLineF(a, b)); };
  const Column* previous = nullptr;
  for (const Column& c : shape.columns) {
    Span span{c.px, std::min(c.lo, std::min(c.first, c.last)),
              std::max(c.hi, std::max(c.first, c.last))};
    if (previous && previous->px == c.px - 1) {
      // Neighbouring columns: the line between them fills up to their midpoint on each side.
      const double mid = (previous->last + c.first) / 2;
      span.top = std::min(span.top, mid);
      span.bottom = std::max(span.bottom, mid);
      spans.back().top = std::min(spans.back().top, mid);
      spans.back().bottom = std::max(spans.back().bottom, mid);
    } else if (previous) {
      link(QPointF(previous->px + 0.5, previous->last), QPointF(c.px + 0.5, c.first));
    }
    spans.push_back(span);
    previous = &c;
  }
  if (shape.before && !shape.columns.empty())
    link(*shape.before, QPointF(shape.columns.front().px + 0.5, shape.columns.front().first));
  if (shape.after && !shape.columns.empty())
    link(QPointF(shape.columns.back().px + 0.5, shape.columns.back().last), *shape.after);

  QVector<QRect> rects;
  rects.reserve(int(spans.size()));
  for (const Span& s : spans) {
    const int top = int(std::floor(std::clamp(s.top, -kPixelLimit, kPixelLimit)));
    const int bottom = int(std::floor(std::clamp(s.bottom, -kPixelLimit, kPixelLimit)));
    rects.append(QRect(s.px - half, top - half, w, bottom - top + 1 + 2 * half));
  }
  painter->setAntialiasing(false);
  painter->setPen(Qt::NoPen);
  painter->setBrush(m_style.line.color());
  painter->drawRects(rects.constData(), int(rects.size()));
  painter->setBrush(Qt::NoBrush);
  if (!links.isEmpty()) {
    painter->setPen(m_style.line);
    painter->drawLines(links.constData(), int(links.size()));
  }
}

QRect ElementPlottable::clipRect() const {
  const int grow = std::max(1, (m_style.line.width() + 1) / 2);
  return QCPAbstractPlottable::clipRect().adjusted(-grow, -grow, grow, grow);
}

void ElementPlottable::draw(QCPPainter* painter) {
  const Shape sh = shape();
  if (sh.points.isEmpty() && sh.columns.empty()) return;
  const bool line = m_style.line.style() != Qt::NoPen;
  if (line && sh.dense && m_style.line.style() == Qt::SolidLine) {
    drawSpans(painter, sh);
  } else if (line) {
    // Points drawn exactly are smoothed; dense dashed lines are not (nothing to gain).
    const QVector<QPointF> points = sh.dense ? polyline() : sh.points;
    if (points.size() > 1) {
      if (sh.dense)
        painter->setAntialiasing(false);
      else
        applyDefaultAntialiasingHint(painter);
      painter->setPen(m_style.line);
      painter->setBrush(Qt::NoBrush);
      painter->drawPolyline(points.constData(), int(points.size()));
    }
  }
  if (line && m_style.symbol == 0 && !sh.dense) markLonePoint(painter, sh.points);
  if (m_style.symbol > 0) {
    applyScattersAntialiasingHint(painter);
    const QCPScatterStyle style = scatterStyle();
    style.applyTo(painter, m_style.line);
    if (!sh.dense) {
      for (const QPointF& p : sh.points)
        style.drawShape(painter, p);
    } else {
      // Too many points to mark each: the extremes of every column are marked.
      for (const Column& c : sh.columns) {
        style.drawShape(painter, clamped(c.px + 0.5, c.lo));
        if (c.hi != c.lo) style.drawShape(painter, clamped(c.px + 0.5, c.hi));
      }
    }
  }
}

void ElementPlottable::markLonePoint(QCPPainter* painter, const QVector<QPointF>& points) const {
  // A line needs two points. The points drawn include the nearest one beyond each side of
  // the plot, so a single one here is an element with nothing to join it to (a run of one
  // sample): without a mark it would not show at all.
  if (points.size() != 1 || !keyAxis()->axisRect()->rect().contains(points[0].toPoint())) return;
  const double radius = std::max(2.5, m_style.line.widthF() + 1.5);
  painter->setAntialiasing(true);
  painter->setPen(Qt::NoPen);
  painter->setBrush(m_style.line.color());
  painter->drawEllipse(points[0], radius, radius);
  painter->setBrush(Qt::NoBrush);
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
