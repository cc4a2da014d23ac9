#include "graphview.h"

#include <qcustomplot.h>
#include <QApplication>
#include <QClipboard>
#include <QHelpEvent>
#include <QImageWriter>
#include <QLoggingCategory>
#include <QMouseEvent>
#include <QPdfWriter>
#include <QPrinter>
#include <QRubberBand>
#include <QSaveFile>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>
#include <cmath>

#include "app/dialogs/dialogs.h"
#include "app/graph/graphmodel.h"
#include "app/graph/logging.h"
#include "app/graphview/colour.h"
#include "app/graphview/elementplottable.h"
#include "app/graphview/gridticker.h"
#include "app/graphview/propertydialog.h"
#include "common/automationerror.h"

namespace zrvlog {

using zrv::AutomationError;
using zrv::Variant;

namespace {

// The frame around the whole picture (FrameStyle: 0 none, 1 flat line, 2 sunken 3-D).
class FrameDecoration : public QCPLayerable {
 public:
  explicit FrameDecoration(QCustomPlot* plot) : QCPLayerable(plot, QStringLiteral("overlay")) {}
  int style = 1;
  QColor colour;

 protected:
  void applyDefaultAntialiasingHint(QCPPainter* painter) const override {
    painter->setAntialiasing(false);
  }
  void draw(QCPPainter* painter) override {
    const QRect r = mParentPlot->viewport().adjusted(0, 0, -1, -1);
    painter->setBrush(Qt::NoBrush);
    if (style == 1) {
      painter->setPen(QPen(colour, 1));
      painter->drawRect(r);
    } else if (style == 2) {
      const QColor dark = colour.darker(250), light = colour.lighter(150);
      for (int i = 0; i < 2; ++i) {
        const QRect q = r.adjusted(i, i, -i, -i);
        painter->setPen(QPen(dark, 1));
        painter->drawLine(q.topLeft(), q.topRight());
        painter->drawLine(q.topLeft(), q.bottomLeft());
        painter->setPen(QPen(light, 1));
        painter->drawLine(q.bottomLeft(), q.bottomRight());
        painter->drawLine(q.topRight(), q.bottomRight());
      }
    }
  }
};

struct CursorItems {
  QCPItemStraightLine* vertical;
  QCPItemStraightLine* horizontal;
};

Qt::PenStyle penStyle(int32_t lineStyle) {
  switch (lineStyle) {
    case 1:
      return Qt::DashLine;
    case 2:
      return Qt::DotLine;
    case 3:
      return Qt::DashDotLine;
    case 4:
      return Qt::DashDotDotLine;
    case 5:
      return Qt::NoPen;
    default:
      return Qt::SolidLine;
  }
}

QFont fontOf(const Variant& face, int pointSize, bool bold = false) {
  QFont f(face.textValue().isEmpty() ? QStringLiteral("Sans Serif") : face.textValue());
  f.setPointSize(pointSize);
  f.setBold(bold);
  return f;
}

// A displayable axis range from the model's: ordered, not empty, positive on log axes.
QCPRange displayRange(GraphModel::Range r, bool log) {
  double lo = std::min(r.lower, r.upper), hi = std::max(r.lower, r.upper);
  if (log) {
    if (hi <= 0) hi = 1.0;
    if (lo <= 0) lo = hi / 1000.0;
  }
  if (!(hi - lo > std::abs(hi) * 1e-12) || hi - lo < 1e-300) {
    const double d = lo == 0 ? 0.5 : std::abs(lo) * 0.05;
    lo -= d;
    hi += d;
    if (log && lo <= 0) lo = hi / 10;
  }
  return QCPRange(lo, hi);
}

[[noreturn]] void fileError(const QString& path, const QString& reason) {
  throw AutomationError(zrv::err::kPathFileAccessError,
                        QStringLiteral("cannot write %1: %2").arg(path, reason));
}

}  // namespace

struct GraphView::Private {
  QCustomPlot* plot = nullptr;
  QCPTextElement* title = nullptr;
  FrameDecoration* frame = nullptr;
  QSharedPointer<GridTicker> xTicker = QSharedPointer<GridTicker>::create();
  QSharedPointer<GridTicker> yTicker = QSharedPointer<GridTicker>::create();
  std::vector<ElementPlottable*> elements;
  std::vector<QCPItemText*> annotations;
  std::vector<CursorItems> cursors;
  // The elements draw on a layer with a buffer of its own, so that new points redraw only
  // them and not the axes, grid, labels and legend (see replotNow).
  QCPLayer* dataLayer = nullptr;
  bool fullReplotDone = false;
  QTimer replotTimer;
  std::function<std::optional<Clock::time_point>()> deadlineSource;
  // Mouse gestures.
  QRubberBand* band = nullptr;
  QPoint pressPos;
  QCPRange pressX, pressY;
  bool dragging = false;
  // The tooltip Qt showed for the plot, if it still shows.
  QPoint tipPos;
  bool tipShown = false;
};

GraphView::GraphView(GraphModel& model, Dialogs& dialogs, QWidget* parent)
    : QWidget(parent), m_model(model), m_dialogs(dialogs), d(std::make_unique<Private>()) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  d->plot = new QCustomPlot(this);
  layout->addWidget(d->plot);
  d->plot->setMouseTracking(true);
  d->plot->installEventFilter(this);
  d->plot->setPlottingHints(QCP::phCacheLabels | QCP::phFastPolylines);
  d->plot->setInteractions({});
  d->plot->xAxis->setTicker(d->xTicker);
  d->plot->yAxis->setTicker(d->yTicker);
  d->plot->xAxis->grid()->setSubGridVisible(false);
  d->plot->yAxis->grid()->setSubGridVisible(false);
  d->plot->xAxis->setSubTicks(false);
  d->plot->yAxis->setSubTicks(false);
  d->plot->axisRect()->setupFullAxesBox(false);
  d->plot->addLayer(QStringLiteral("data"), d->plot->layer(QStringLiteral("main")),
                    QCustomPlot::limAbove);
  d->dataLayer = d->plot->layer(QStringLiteral("data"));
  d->dataLayer->setMode(QCPLayer::lmBuffered);
  d->frame = new FrameDecoration(d->plot);
  d->band = new QRubberBand(QRubberBand::Rectangle, d->plot);
  d->band->hide();

  d->replotTimer.setSingleShot(true);
  d->replotTimer.setTimerType(Qt::PreciseTimer);
  connect(&d->replotTimer, &QTimer::timeout, this, &GraphView::onReplotTimer);
  connect(&m_model, &GraphModel::changed, this, &GraphView::scheduleReplot);
  replotNow();
}

GraphView::~GraphView() {
  // The plot goes first, while everything it reads (its plottables read the model) is there.
  d->replotTimer.stop();
  d->plot->removeEventFilter(this);
  delete d->plot;
}

QSize GraphView::pictureSize() const {
  // The view's own size: a view never shown has not laid out its plot yet.
  return size().isEmpty() ? QSize(640, 480) : size();
}

QWidget* GraphView::mouseArea() const {
  return d->plot;
}

// --- Replot scheduling ---------------------------------------------------------------------

void GraphView::setTickDeadlineSource(std::function<std::optional<Clock::time_point>()> source) {
  d->deadlineSource = std::move(source);
}

bool GraphView::replotPending() const {
  return d->replotTimer.isActive();
}

void GraphView::scheduleReplot() {
  if (d->replotTimer.isActive()) return;
  const auto wait = m_lastReplotStart + kMinReplotGap - Clock::now();
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
  // Even with no wait the replot runs after the current event: a tick never draws.
  d->replotTimer.start(int(std::max<int64_t>(0, ms)));
}

void GraphView::onReplotTimer() {
  if (d->deadlineSource && !m_heldBack) {
    if (const auto deadline = d->deadlineSource()) {
      const auto now = Clock::now();
      const auto cost = std::max<Clock::duration>(m_lastReplotCost, std::chrono::milliseconds(1));
      if (now + cost > *deadline && *deadline - now < std::chrono::seconds(1)) {
        // Let the tick run first and draw right after it; only once, so drawing is never
        // starved by ticks that come faster than a replot takes.
        m_heldBack = true;
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now);
        qCDebug(lcGraph) << "replot held back for a tick due in" << wait.count() << "ms";
        d->replotTimer.start(int(std::max<int64_t>(1, wait.count() + 1)));
        return;
      }
    }
  }
  replotNow();
}

void GraphView::replotNow() {
  m_heldBack = false;
  d->replotTimer.stop();
  m_lastReplotStart = Clock::now();
  const unsigned changes = m_model.takeChanges();
  if (changes == GraphModel::PointsChanged && d->fullReplotDone) {
    // Only points were added: redraw the elements' layer, which a run does many times a
    // second; the rest of the picture is as it was.
    d->dataLayer->replot();
  } else {
    sync();
    d->plot->replot(QCustomPlot::rpQueuedRefresh);
    d->fullReplotDone = true;
  }
  m_lastReplotCost = Clock::now() - m_lastReplotStart;
  ++m_replotCount;
  if (m_lastReplotCost > kMinReplotGap)
    qCDebug(lcGraph) << "slow replot:"
                     << std::chrono::duration<double, std::milli>(m_lastReplotCost).count() << "ms";
}

// --- Model to plot -------------------------------------------------------------------------

void GraphView::sync() {
  QCustomPlot* p = d->plot;
  const GraphModel& m = m_model;
  auto g = [&](GraphMember member) -> const Variant& { return m.graphValue(member); };
  auto colour = [&](GraphMember member) { return fromBgr(g(member).longValue()); };

  const QColor axis = colour(GraphMember::AxisColor), labels = colour(GraphMember::LabelColor);
  const QColor plotArea = colour(GraphMember::PlotAreaColor);
  p->setBackground(colour(GraphMember::FrameColor));
  p->axisRect()->setBackground(plotArea);
  d->frame->style = g(GraphMember::FrameStyle).longValue();
  d->frame->colour = axis;

  const QFont tickFont = fontOf(g(GraphMember::TickFont), 9);
  const QFont axisTitleFont = fontOf(g(GraphMember::AxisTitleFont), 10);
  const QPen gridPen(colour(GraphMember::GridColor), 1, Qt::DotLine);
  for (QCPAxis* a : p->axisRect()->axes()) {
    a->setBasePen(QPen(axis, 1));
    a->setTickPen(QPen(axis, 1));
    a->setTickLabelColor(labels);
    a->setTickLabelFont(tickFont);
    a->setLabelColor(labels);
    a->setLabelFont(axisTitleFont);
    a->grid()->setPen(gridPen);
    a->grid()->setZeroLinePen(gridPen);
    a->grid()->setVisible(g(GraphMember::GridShown).boolValue() &&
                          (a == p->xAxis || a == p->yAxis));
  }
  p->xAxis->setLabel(g(GraphMember::AxisTitleX).textValue());
  p->yAxis->setLabel(g(GraphMember::AxisTitleY).textValue());

  const bool logX = g(GraphMember::LogX).boolValue(), logY = g(GraphMember::LogY).boolValue();
  p->xAxis->setScaleType(logX ? QCPAxis::stLogarithmic : QCPAxis::stLinear);
  p->yAxis->setScaleType(logY ? QCPAxis::stLogarithmic : QCPAxis::stLinear);
  p->xAxis->setRange(displayRange(m.rangeX(), logX));
  p->yAxis->setRange(displayRange(m.rangeY(), logY));
  p->xAxis2->setRange(p->xAxis->range());
  p->yAxis2->setRange(p->yAxis->range());
  p->xAxis2->setScaleType(p->xAxis->scaleType());
  p->yAxis2->setScaleType(p->yAxis->scaleType());

  // Ticks: the divisions asked for, labels thinned where they would overlap.
  const QFontMetrics metrics(tickFont);
  auto tickSettings = [&](GridTicker& ticker, QCPAxis* a, GraphMember count, GraphMember format,
                          GraphMember time, bool log, bool horizontal) {
    GridTicker::Settings s;
    s.divisions = std::max<int>(1, g(count).integerValue());
    s.format = g(format).textValue();
    s.timeLabels = g(time).boolValue();
    s.logarithmic = log;
    ticker.setSettings(s);
    const QCPRange r = a->range();
    const double step = r.size() / s.divisions;
    const int widest = std::max(metrics.horizontalAdvance(ticker.label(r.lower, step)),
                                metrics.horizontalAdvance(ticker.label(r.upper, step)));
    const double need = horizontal ? widest + 10.0 : metrics.height() + 4.0;
    const double length = horizontal ? p->axisRect()->width() : p->axisRect()->height();
    const double spacing = std::max(1.0, length) / s.divisions;
    s.labelStride = std::max(1, int(std::ceil(need / spacing)));
    ticker.setSettings(s);
  };
  tickSettings(*d->xTicker, p->xAxis, GraphMember::GridCountX, GraphMember::LabelFormatX,
               GraphMember::TimeLabelsX, logX, true);
  // Room for half of the last X label on the right and of the top Y label above: a label
  // that the border would cut is left out altogether.
  const QCPRange xr = p->xAxis->range();
  const int lastLabel = metrics.horizontalAdvance(d->xTicker->label(xr.upper, xr.size()));
  p->axisRect()->setMinimumMargins(QMargins(0, metrics.height() / 2 + 6, lastLabel / 2 + 8, 0));
  tickSettings(*d->yTicker, p->yAxis, GraphMember::GridCountY, GraphMember::LabelFormatY,
               GraphMember::TimeLabelsY, logY, false);
  p->xAxis2->setTicker(d->xTicker);
  p->yAxis2->setTicker(d->yTicker);

  // Caption above the plot, only while there is one.
  const QString caption = g(GraphMember::Caption).textValue();
  if (!caption.isEmpty() && !d->title) {
    p->plotLayout()->insertRow(0);
    d->title = new QCPTextElement(p, caption);
    p->plotLayout()->addElement(0, 0, d->title);
  } else if (caption.isEmpty() && d->title) {
    p->plotLayout()->remove(d->title);
    p->plotLayout()->simplify();
    d->title = nullptr;
  }
  if (d->title) {
    d->title->setText(caption);
    d->title->setFont(fontOf(g(GraphMember::TitleFont), 12, true));
    d->title->setTextColor(labels);
  }

  // Elements.
  while (int(d->elements.size()) > m.elementCount()) {
    p->removePlottable(d->elements.back());
    d->elements.pop_back();
  }
  while (int(d->elements.size()) < m.elementCount()) {
    d->elements.push_back(new ElementPlottable(m, int(d->elements.size()), p->xAxis, p->yAxis));
    d->elements.back()->setLayer(d->dataLayer);
  }
  QCPLegend* legend = p->legend;
  legend->setVisible(g(GraphMember::LegendOn).boolValue());
  legend->setFont(fontOf(g(GraphMember::LegendFont), 9));
  legend->setTextColor(labels);
  legend->setBrush(QBrush(plotArea));
  legend->setBorderPen(QPen(axis, 1));
  legend->clearItems();
  for (int e = 0; e < m.elementCount(); ++e) {
    ElementPlottable* plottable = d->elements[e];
    auto v = [&](GraphMember member) -> const Variant& { return m.itemValue(member, e); };
    ElementPlottable::Style style;
    style.line = QPen(fromBgr(v(GraphMember::ElementColor).longValue()),
                      std::clamp(v(GraphMember::ElementLineWidth).longValue(), 0, 50),
                      penStyle(v(GraphMember::ElementLineStyle).longValue()));
    style.symbol = v(GraphMember::ElementPointSymbol).longValue();
    style.pointColour = fromBgr(v(GraphMember::ElementPointColor).longValue());
    style.filledPoints = v(GraphMember::ElementSolidPoints).boolValue();
    plottable->setElement(e);
    plottable->setStyle(style);
    plottable->setName(v(GraphMember::ElementLabel).textValue());
    plottable->setVisible(v(GraphMember::ElementShow).boolValue());
    if (plottable->visible()) plottable->addToLegend(legend);
  }

  // Annotations.
  while (int(d->annotations.size()) > m.annotationCount()) {
    p->removeItem(d->annotations.back());
    d->annotations.pop_back();
  }
  while (int(d->annotations.size()) < m.annotationCount()) {
    auto* text = new QCPItemText(p);
    text->setClipToAxisRect(true);
    text->setPadding(QMargins(3, 1, 3, 1));
    text->setPositionAlignment(Qt::AlignLeft | Qt::AlignBottom);
    d->annotations.push_back(text);
  }
  for (int a = 0; a < m.annotationCount(); ++a) {
    auto v = [&](GraphMember member) -> const Variant& { return m.itemValue(member, a); };
    QCPItemText* text = d->annotations[a];
    text->setText(v(GraphMember::AnnoLabelText).textValue());
    text->position->setCoords(v(GraphMember::AnnoLabelX).doubleValue(),
                              v(GraphMember::AnnoLabelY).doubleValue());
    text->setColor(fromBgr(v(GraphMember::AnnoLabelColor).longValue()));
    text->setBrush(QBrush(fromBgr(v(GraphMember::AnnoLabelBkColor).longValue())));
    text->setRotation(v(GraphMember::AnnoLabelHorizontal).boolValue() ? 0 : -90);
    text->setFont(tickFont);
    text->setVisible(v(GraphMember::AnnoVisible).boolValue());
  }

  // Cursors: a vertical and a horizontal line each, shown as the style says.
  while (int(d->cursors.size()) > m.cursorCount()) {
    p->removeItem(d->cursors.back().vertical);
    p->removeItem(d->cursors.back().horizontal);
    d->cursors.pop_back();
  }
  while (int(d->cursors.size()) < m.cursorCount())
    d->cursors.push_back({new QCPItemStraightLine(p), new QCPItemStraightLine(p)});
  for (int c = 0; c < m.cursorCount(); ++c) {
    auto v = [&](GraphMember member) -> const Variant& { return m.itemValue(member, c); };
    const double x = v(GraphMember::CursorPosX).doubleValue();
    const double y = v(GraphMember::CursorPosY).doubleValue();
    const QPen pen(fromBgr(v(GraphMember::CursorColor).longValue()), 1);
    const int style = v(GraphMember::CursorStyle).integerValue();
    const bool shown = v(GraphMember::CursorVisible).boolValue();
    CursorItems& items = d->cursors[c];
    items.vertical->point1->setCoords(x, 0);
    items.vertical->point2->setCoords(x, 1);
    items.horizontal->point1->setCoords(0, y);
    items.horizontal->point2->setCoords(1, y);
    items.vertical->setPen(pen);
    items.horizontal->setPen(pen);
    items.vertical->setVisible(shown && style != 2);
    items.horizontal->setVisible(shown && style != 1);
  }
}

// --- Geometry --------------------------------------------------------------------------------

void GraphView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  // Label spacing and margins depend on the size.
  d->fullReplotDone = false;
  scheduleReplot();
}

QRect GraphView::plotRect() const {
  return d->plot->axisRect()->rect().translated(d->plot->pos());
}

QPointF GraphView::toPixel(double x, double y) const {
  return QPointF(d->plot->xAxis->coordToPixel(x), d->plot->yAxis->coordToPixel(y)) +
         QPointF(d->plot->pos());
}

QPointF GraphView::toAxis(QPointF pixel) const {
  const QPointF local = pixel - QPointF(d->plot->pos());
  return {d->plot->xAxis->pixelToCoord(local.x()), d->plot->yAxis->pixelToCoord(local.y())};
}

// --- Mouse -----------------------------------------------------------------------------------

void GraphView::track(QPoint pos) {
  const QPointF at = toAxis(QPointF(pos) + QPointF(d->plot->pos()));
  double x = at.x(), y = at.y();
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
  Q_EMIT cursorPosition(x, y);
}

bool GraphView::eventFilter(QObject* watched, QEvent* event) {
  if (watched != d->plot) return QWidget::eventFilter(watched, event);
  const auto type = event->type();
  if (type == QEvent::ToolTip) {
    // Qt shows the tooltip itself; remember where, so that a new text can replace it.
    d->tipPos = static_cast<QHelpEvent*>(event)->globalPos();
    d->tipShown = true;
    return false;
  }
  if (type == QEvent::Leave) d->tipShown = false;
  if (type != QEvent::MouseButtonPress && type != QEvent::MouseMove &&
      type != QEvent::MouseButtonRelease)
    return false;
  const auto* mouse = static_cast<QMouseEvent*>(event);
  const QPoint pos = mouse->position().toPoint();
  const bool inPlot = d->plot->axisRect()->rect().contains(pos);
  const int mode = m_model.graphValue(GraphMember::CursorMode).longValue();
  QCPAxis* xa = d->plot->xAxis;
  QCPAxis* ya = d->plot->yAxis;

  switch (mode) {
    case 1:  // track
      d->plot->setCursor(inPlot ? Qt::CrossCursor : Qt::ArrowCursor);
      if (inPlot && type != QEvent::MouseButtonRelease) track(pos);
      return false;
    case 2:  // zoom
      d->plot->setCursor(inPlot ? Qt::CrossCursor : Qt::ArrowCursor);
      if (type == QEvent::MouseButtonPress && inPlot && mouse->button() == Qt::LeftButton) {
        d->pressPos = pos;
        d->dragging = true;
        d->band->setGeometry(QRect(pos, QSize()));
        d->band->show();
      } else if (type == QEvent::MouseMove && d->dragging) {
        d->band->setGeometry(QRect(d->pressPos, pos).normalized());
      } else if (type == QEvent::MouseButtonRelease && d->dragging &&
                 mouse->button() == Qt::LeftButton) {
        d->dragging = false;
        d->band->hide();
        const QRect r = QRect(d->pressPos, pos).normalized();
        // A click or a sliver is not a zoom request.
        if (r.width() >= 4 && r.height() >= 4) {
          const double x1 = xa->pixelToCoord(r.left()), x2 = xa->pixelToCoord(r.right());
          const double y1 = ya->pixelToCoord(r.bottom()), y2 = ya->pixelToCoord(r.top());
          m_model.setRanges({std::min(x1, x2), std::max(x1, x2)},
                            {std::min(y1, y2), std::max(y1, y2)});
        }
      } else if (type == QEvent::MouseButtonPress && inPlot && mouse->button() == Qt::RightButton) {
        auto out = [](QCPAxis* a, double centre) {
          QCPRange r = a->range();
          r = a->scaleType() == QCPAxis::stLogarithmic
                  ? QCPRange(centre * std::pow(r.lower / centre, 2.0),
                             centre * std::pow(r.upper / centre, 2.0))
                  : QCPRange(centre + (r.lower - centre) * 2, centre + (r.upper - centre) * 2);
          return GraphModel::Range{r.lower, r.upper};
        };
        m_model.setRanges(out(xa, xa->pixelToCoord(pos.x())), out(ya, ya->pixelToCoord(pos.y())));
      }
      return true;
    case 3:  // pan
      if (type == QEvent::MouseButtonPress && inPlot && mouse->button() == Qt::LeftButton) {
        d->pressPos = pos;
        d->pressX = xa->range();
        d->pressY = ya->range();
        d->dragging = true;
        d->plot->setCursor(Qt::ClosedHandCursor);
      } else if (type == QEvent::MouseMove && d->dragging) {
        const QRect rect = d->plot->axisRect()->rect();
        auto shifted = [](QCPRange r, bool log, double pixels, double length) {
          const double fraction = pixels / std::max(1.0, length);
          if (log) {
            const double f = std::pow(r.upper / r.lower, fraction);
            return GraphModel::Range{r.lower * f, r.upper * f};
          }
          const double delta = r.size() * fraction;
          return GraphModel::Range{r.lower + delta, r.upper + delta};
        };
        const QPoint moved = pos - d->pressPos;
        m_model.setRanges(
            shifted(d->pressX, xa->scaleType() == QCPAxis::stLogarithmic, -moved.x(), rect.width()),
            shifted(d->pressY, ya->scaleType() == QCPAxis::stLogarithmic, moved.y(),
                    rect.height()));
      } else if (type == QEvent::MouseButtonRelease && d->dragging) {
        d->dragging = false;
      }
      if (!d->dragging) d->plot->setCursor(inPlot ? Qt::OpenHandCursor : Qt::ArrowCursor);
      return true;
    default:
      d->dragging = false;
      d->band->hide();
      d->plot->setCursor(Qt::ArrowCursor);
      return false;
  }
}

// --- Tooltip ---------------------------------------------------------------------------------

void GraphView::setToolTipText(const QString& text) {
  if (text == d->plot->toolTip()) return;
  d->plot->setToolTip(text);
  // Qt shows a widget's tooltip when the mouse rests; one already showing is refreshed.
  if (d->tipShown && QToolTip::isVisible()) {
    if (text.isEmpty())
      QToolTip::hideText();
    else
      QToolTip::showText(d->tipPos, text, d->plot);
  }
}

QString GraphView::toolTipText() const {
  return d->plot->toolTip();
}

// --- Pictures --------------------------------------------------------------------------------

QImage GraphView::picture(QSize size) {
  replotNow();
  if (!size.isValid() || size.isEmpty()) size = pictureSize();
  QImage image(size, QImage::Format_RGB32);
  image.fill(fromBgr(m_model.graphValue(GraphMember::FrameColor).longValue()));
  QCPPainter painter(&image);
  d->plot->toPainter(&painter, size.width(), size.height());
  painter.end();
  // Drawing at another size changed the plot's layout; put the screen's back.
  replotNow();
  return image;
}

namespace {

void writeImage(const QImage& image, const QString& path, const char* format) {
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) fileError(path, file.errorString());
  QImageWriter writer(&file, format);
  if (!writer.write(image)) fileError(path, writer.errorString());
  if (!file.commit()) fileError(path, file.errorString());
}

}  // namespace

void GraphView::saveBitmap(const QString& path) {
  writeImage(picture(), path, "BMP");
}

void GraphView::savePng(const QString& path) {
  writeImage(picture(), path, "PNG");
}

void GraphView::savePdf(const QString& path) {
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) fileError(path, file.errorString());
  {
    QPdfWriter pdf(&file);
    pdf.setPageOrientation(QPageLayout::Landscape);
    pdf.setTitle(m_model.graphValue(GraphMember::Caption).textValue());
    replotNow();
    const QSize size = pictureSize();
    QCPPainter painter(&pdf);
    const QRect page = painter.viewport();
    const double scale =
        std::min(page.width() / double(size.width()), page.height() / double(size.height()));
    painter.scale(scale, scale);
    d->plot->toPainter(&painter, size.width(), size.height());
    painter.end();
  }
  if (!file.commit()) fileError(path, file.errorString());
  replotNow();
}

void GraphView::printTo(QPrinter& printer) {
  replotNow();
  const QSize size = pictureSize();
  QCPPainter painter;
  if (!painter.begin(&printer))
    throw AutomationError(zrv::err::kDeviceUnavailable, QStringLiteral("the printer cannot print"));
  const QRect page = painter.viewport();
  const double scale =
      std::min(page.width() / double(size.width()), page.height() / double(size.height()));
  painter.translate((page.width() - size.width() * scale) / 2, 0);
  painter.scale(scale, scale);
  d->plot->toPainter(&painter, size.width(), size.height());
  painter.end();
  replotNow();
}

void GraphView::printPlot() {
  QPrinter printer(QPrinter::HighResolution);
  printer.setPageOrientation(QPageLayout::Landscape);
  if (!m_dialogs.print(this, printer)) return;
  printTo(printer);
}

void GraphView::copyGraph() {
  QApplication::clipboard()->setImage(picture());
}

int GraphView::propertyDialog() {
  GraphPropertyDialog dialog(m_model, m_dialogs, this);
  return m_dialogs.exec(dialog);
}

// --- Dispatch --------------------------------------------------------------------------------

Variant GraphView::invoke(int number, std::span<const Variant> args) {
  const MemberInfo* info = findMember(number);
  auto expect = [&](size_t n) {
    if (args.size() != n)
      throw AutomationError(zrv::err::kWrongArgumentCount,
                            QStringLiteral("%1 takes %2 argument(s), not %3")
                                .arg(info->name)
                                .arg(n)
                                .arg(args.size()));
  };
  if (info) {
    switch (info->member) {
      case GraphMember::CopyGraph:
        expect(0);
        copyGraph();
        return {};
      case GraphMember::PrintPlot:
        expect(0);
        printPlot();
        return {};
      case GraphMember::PropertyDialog:
        expect(0);
        propertyDialog();
        return {};
      case GraphMember::SaveBitmap:
        expect(1);
        saveBitmap(args[0].toText());
        return {};
      default:
        break;
    }
  }
  return m_model.invoke(number, args);
}

}  // namespace zrvlog
