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
        x = m_model.series(element).x(*i);
        y = m_model.series(element).y(*i);
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

ZoomGesture::ZoomGesture(QCustomPlot& plot, GraphModel& model, Navigate navigate)
    : PlotGesture(plot, model),
      m_navigate(std::move(navigate)),
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
      const double x1 = xAt(r.left()), x2 = xAt(r.right());
      const double y1 = yAt(r.bottom()), y2 = yAt(r.top());
      m_navigate({std::min(x1, x2), std::max(x1, x2)}, {std::min(y1, y2), std::max(y1, y2)});
    }
  } else if (type == QEvent::MouseButtonPress && inPlot && event.button() == Qt::RightButton) {
    zoomOut(pos);
  }
  return true;
}

void ZoomGesture::zoomOut(QPoint at) {
  auto out = [](QCPAxis* a, double centre) {
    QCPRange r = a->range();
    r = isLog(a) ? QCPRange(centre * std::pow(r.lower / centre, 2.0),
                            centre * std::pow(r.upper / centre, 2.0))
                 : QCPRange(centre + (r.lower - centre) * 2, centre + (r.upper - centre) * 2);
    return GraphModel::Range{r.lower, r.upper};
  };
  m_navigate(out(m_plot.xAxis, xAt(at.x())), out(m_plot.yAxis, yAt(at.y())));
}

// --- Pan -----------------------------------------------------------------------------------

struct PanGesture::Press {
  QPoint pos;
  QCPRange x, y;
};

PanGesture::PanGesture(QCustomPlot& plot, GraphModel& model, Navigate navigate)
    : PlotGesture(plot, model), m_navigate(std::move(navigate)) {}

PanGesture::~PanGesture() = default;

void PanGesture::cancel() {
  m_press.reset();
}

bool PanGesture::mouseEvent(const QMouseEvent& event, bool inPlot) {
  const QPoint pos = event.position().toPoint();
  const auto type = event.type();
  if (type == QEvent::MouseButtonPress && inPlot && event.button() == Qt::LeftButton) {
    m_press = std::make_unique<Press>(Press{pos, m_plot.xAxis->range(), m_plot.yAxis->range()});
    m_plot.setCursor(Qt::ClosedHandCursor);
  } else if (type == QEvent::MouseMove && m_press) {
    const QRect rect = m_plot.axisRect()->rect();
    auto shifted = [](QCPRange r, bool log, double pixels, double length) {
      const double fraction = pixels / std::max(1.0, length);
      if (log) {
        const double f = std::pow(r.upper / r.lower, fraction);
        return GraphModel::Range{r.lower * f, r.upper * f};
      }
      const double delta = r.size() * fraction;
      return GraphModel::Range{r.lower + delta, r.upper + delta};
    };
    const QPoint moved = pos - m_press->pos;
    m_navigate(shifted(m_press->x, isLog(m_plot.xAxis), -moved.x(), rect.width()),
               shifted(m_press->y, isLog(m_plot.yAxis), moved.y(), rect.height()));
  } else if (type == QEvent::MouseButtonRelease && m_press) {
    m_press.reset();
  }
  if (!m_press) m_plot.setCursor(inPlot ? Qt::OpenHandCursor : Qt::ArrowCursor);
  return true;
}

}  // namespace zrvlog
