#include "gestures.h"

#include <qcustomplot.h>

#include <QMouseEvent>
#include <QRubberBand>
#include <cmath>

namespace zrvlog {

using zrv::Variant;

namespace {

bool isLog(const QCPAxis* axis) {
  return axis->scaleType() == QCPAxis::stLogarithmic;
}

}  // namespace

double PlotGesture::xAt(double pixel) const {
  return m_plot.xAxis->pixelToCoord(pixel);
}

double PlotGesture::yAt(double pixel) const {
  return m_plot.yAxis->pixelToCoord(pixel);
}

int PlotGesture::divisionsX() const {
  return usableDivisions(m_model.graphValue(GraphMember::GridCountX).integerValue());
}

int PlotGesture::divisionsY() const {
  return usableDivisions(m_model.graphValue(GraphMember::GridCountY).integerValue());
}

// --- Track ---------------------------------------------------------------------------------

TrackGesture::TrackGesture(QCustomPlot& plot, GraphModel& model, Report report)
    : PlotGesture(plot, model), m_report(std::move(report)) {}

bool TrackGesture::mouseEvent(const QMouseEvent& event, bool inPlot) {
  m_plot.setCursor(inPlot ? Qt::CrossCursor : Qt::ArrowCursor);
  const auto type = event.type();
  if (inPlot && (type == QEvent::MouseMove || type == QEvent::MouseButtonPress))
    track(event.position().toPoint());
  return false;
}

void TrackGesture::track(QPoint pos) {
  double x = xAt(pos.x()), y = yAt(pos.y());
  const int cursor = m_model.currentCursor();
  if (cursor >= 0) {
    if (m_model.itemValue(GraphMember::CursorSnap, cursor).integerValue() == 1) {
      const int element = m_model.currentElement();
      if (const auto i = m_model.nearestPoint(element, x)) {
        x = m_model.points(element).x(*i);
        y = m_model.points(element).y(*i);
      }
    }
    m_model.setValue(GraphMember::CursorPosX, cursor, Variant(x));
    m_model.setValue(GraphMember::CursorPosY, cursor, Variant(y));
  } else {
    m_model.setTrackPosition(x, y);
  }
  m_report(x, y);
}

// --- Zoom ----------------------------------------------------------------------------------

ZoomGesture::ZoomGesture(QCustomPlot& plot, GraphModel& model, Navigator& navigator)
    : PlotGesture(plot, model),
      m_navigator(navigator),
      m_band(new QRubberBand(QRubberBand::Rectangle, &plot)) {
  m_band->hide();
}

ZoomGesture::~ZoomGesture() = default;  // the band belongs to the plot

void ZoomGesture::cancel() {
  m_dragging = false;
  m_band->hide();
}

bool ZoomGesture::mouseEvent(const QMouseEvent& event, bool inPlot) {
  m_plot.setCursor(inPlot ? Qt::CrossCursor : Qt::ArrowCursor);
  const QPoint pos = event.position().toPoint();
  const auto type = event.type();
  if (type == QEvent::MouseButtonPress && inPlot && event.button() == Qt::LeftButton) {
    m_pressPos = pos;
    m_dragging = true;
    m_band->setGeometry(QRect(pos, QSize()));
    m_band->show();
  } else if (type == QEvent::MouseMove && m_dragging) {
    m_band->setGeometry(QRect(m_pressPos, pos).normalized());
  } else if (type == QEvent::MouseButtonRelease && m_dragging && event.button() == Qt::LeftButton) {
    cancel();
    const QRect r = QRect(m_pressPos, pos).normalized();
    // A click or a sliver is not a zoom request.
    if (r.width() >= 4 && r.height() >= 4) {
      // The view shows what was dragged; the ticks find round values inside it.
      m_navigator.navigate(
          {{std::min(xAt(r.left()), xAt(r.right())), std::max(xAt(r.left()), xAt(r.right()))},
           {std::min(yAt(r.bottom()), yAt(r.top())), std::max(yAt(r.bottom()), yAt(r.top()))}});
    }
  } else if (type == QEvent::MouseButtonPress && inPlot && event.button() == Qt::RightButton) {
    zoomOut(pos);
  }
  return true;
}

void ZoomGesture::zoomOut(QPoint at) {
  auto out = [](QCPAxis* a, double centre, int divisions) {
    const QCPRange r = a->range();
    if (isLog(a)) return logZoomedOut({r.lower, r.upper}, centre);
    return zoomedOut({r.lower, r.upper}, centre, divisions);
  };
  m_navigator.navigate(
      {out(m_plot.xAxis, xAt(at.x()), divisionsX()), out(m_plot.yAxis, yAt(at.y()), divisionsY())});
}

// --- Pan -----------------------------------------------------------------------------------

struct PanGesture::Press {
  QPoint pos;
  QCPRange x, y;     // as shown
  ViewRanges start;  // as the model held them
};

PanGesture::PanGesture(QCustomPlot& plot, GraphModel& model, Navigator& navigator)
    : PlotGesture(plot, model), m_navigator(navigator) {}

PanGesture::~PanGesture() = default;

void PanGesture::cancel() {
  m_press.reset();
}

bool PanGesture::mouseEvent(const QMouseEvent& event, bool inPlot) {
  const QPoint pos = event.position().toPoint();
  const auto type = event.type();
  if (type == QEvent::MouseButtonPress && inPlot && event.button() == Qt::LeftButton) {
    m_press = std::make_unique<Press>(
        Press{pos, m_plot.xAxis->range(), m_plot.yAxis->range(), m_model.ranges()});
    m_plot.setCursor(Qt::ClosedHandCursor);
  } else if (type == QEvent::MouseMove && m_press) {
    const QRect rect = m_plot.axisRect()->rect();
    // The point under the mouse stays under it: the ranges move pixel for pixel.
    auto shifted = [](QCPRange r, bool log, double pixels, double length) {
      const double fraction = pixels / std::max(1.0, length);
      if (log) {
        const double f = std::pow(r.upper / r.lower, fraction);
        return AxisRange{r.lower * f, r.upper * f};
      }
      return AxisRange{r.lower + r.size() * fraction, r.upper + r.size() * fraction};
    };
    const QPoint moved = pos - m_press->pos;
    m_navigator.preview({shifted(m_press->x, isLog(m_plot.xAxis), -moved.x(), rect.width()),
                         shifted(m_press->y, isLog(m_plot.yAxis), moved.y(), rect.height())});
  } else if (type == QEvent::MouseButtonRelease && m_press) {
    m_navigator.dragEnded(m_press->start);
    m_press.reset();
  }
  if (!m_press) m_plot.setCursor(inPlot ? Qt::OpenHandCursor : Qt::ArrowCursor);
  return true;
}

}  // namespace zrvlog

namespace zrvlog {

ViewRanges wheelZoomed(QCustomPlot& plot, QPointF at, double steps, Qt::KeyboardModifiers keys) {
  // One notch of the wheel shows 80% of the range (or 125%), the point under the mouse staying
  // where it is. Ctrl: the X axis only, Shift: the Y axis only.
  const double factor = std::pow(0.8, steps);
  auto zoomed = [factor](const QCPAxis* axis, double pixel, bool zoom) {
    const QCPRange r = axis->range();
    if (!zoom) return AxisRange{r.lower, r.upper};
    const double centre = axis->pixelToCoord(pixel);
    if (isLog(axis) && r.lower > 0 && centre > 0)
      return AxisRange{centre * std::pow(r.lower / centre, factor),
                       centre * std::pow(r.upper / centre, factor)};
    return AxisRange{centre - (centre - r.lower) * factor, centre + (r.upper - centre) * factor};
  };
  const bool onlyX = keys & Qt::ControlModifier, onlyY = keys & Qt::ShiftModifier;
  return {zoomed(plot.xAxis, at.x(), !onlyY || onlyX), zoomed(plot.yAxis, at.y(), !onlyX || onlyY)};
}

}  // namespace zrvlog
