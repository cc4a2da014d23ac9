#include "graphview.h"

#include <qcustomplot.h>
#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QDateTime>
#include <QHelpEvent>
#include <QImageWriter>
#include <QLocale>
#include <QLoggingCategory>
#include <QMouseEvent>
#include <QPdfWriter>
#include <QPrinter>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <limits>

#include "app/dialogs/dialogs.h"
#include "app/graph/graphmodel.h"
#include "app/graph/logging.h"
#include "app/graph/zoomhistory.h"
#include "app/graphview/colour.h"
#include "app/graphview/elementplottable.h"
#include "app/graphview/gestures.h"
#include "app/graphview/gridticker.h"
#include "app/graphview/propertydialog.h"
#include "app/safewrite/safewrite.h"
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

// Fonts are sized in pixels of the picture, as a 96 dpi screen shows their point size: a
// point size would be taken in the dots of each device (a 1200 dpi PDF page drew 9 pt labels
// thirteen times too large), and pictures drawn anywhere must match the screen.
constexpr double kPixelsPerPoint = 96.0 / 72.0;

QFont fontOf(const Variant& face, int pointSize, bool bold = false) {
  QFont f(face.textValue().isEmpty() ? QStringLiteral("Sans Serif") : face.textValue());
  f.setPixelSize(int(std::lround(pointSize * kPixelsPerPoint)));
  f.setBold(bold);
  return f;
}

// Relative luminance of a colour, 0 (black) to 1 (white).
double luminance(const QColor& c) {
  auto linear = [](int v) {
    const double x = v / 255.0;
    return x <= 0.04045 ? x / 12.92 : std::pow((x + 0.055) / 1.055, 2.4);
  };
  return 0.2126 * linear(c.red()) + 0.7152 * linear(c.green()) + 0.0722 * linear(c.blue());
}

// A colour darkened until it stands out on white paper (a contrast of about 4:1), keeping its
// hue: the screen's green, yellow and white channels would all but vanish there.
QColor onPaper(QColor c) {
  constexpr double kMaxLuminance = 0.2;
  const QColor original = c;
  for (double f = 1.0; luminance(c) > kMaxLuminance && f > 0.05; f -= 0.02)
    c = QColor::fromRgbF(original.redF() * f, original.greenF() * f, original.blueF() * f);
  return c;
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

}  // namespace

// The plot, with its layout pass in reach. Tick labels are thinned for the axis lengths of
// the layout before (the ticks are made before the axes are measured), so a plot at a new
// size is laid out twice: once for the lengths, once for the labels that fit them.
class Plot : public QCustomPlot {
 public:
  using QCustomPlot::QCustomPlot;
  void layOut(const QRect& viewport) {
    setViewport(viewport);
    updateLayout();
    updateLayout();
  }
};

DialogChoice pictureStyleChoice() {
  return {
      QStringLiteral("Style"), {QStringLiteral("As shown"), QStringLiteral("Light, for paper")}, 0};
}

PictureStyle pictureStyleAt(int index) {
  return index == 1 ? PictureStyle::Light : PictureStyle::AsShown;
}

struct GraphView::Private : Navigator {
  explicit Private(GraphView& view) : view(view) {}
  void navigate(const ViewRanges& to) override { view.showRanges(to, true); }
  void preview(const ViewRanges& to) override { view.showRanges(to, false); }
  void dragEnded(const ViewRanges& from) override {
    history.record(from, view.m_model.ranges());
    Q_EMIT view.zoomHistoryChanged();
  }

  GraphView& view;
  Plot* plot = nullptr;
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
  // The mouse in each cursor mode, and the one that saw the last event.
  std::unique_ptr<TrackGesture> track;
  std::unique_ptr<ZoomGesture> zoom;
  std::unique_ptr<PanGesture> pan;
  PlotGesture* activeGesture = nullptr;
  PlotGesture* gesture(std::optional<CursorMode> mode) const {
    switch (mode.value_or(CursorMode::Normal)) {
      case CursorMode::Track:
        return track.get();
      case CursorMode::Zoom:
        return zoom.get();
      case CursorMode::Pan:
        return pan.get();
      case CursorMode::Normal:
        break;
    }
    return nullptr;
  }
  ZoomHistory history;
  // Track mode's crosshair at the tracked point, with the read-out beside it.
  QCPLayer* trackLayer = nullptr;
  QCPItemStraightLine* crossV = nullptr;
  QCPItemStraightLine* crossH = nullptr;
  QCPItemText* crossText = nullptr;
  std::optional<QPointF> crossAt;
  // Elements past this count hold no recorded channel: not drawn, not in the legend.
  int recordedElements = std::numeric_limits<int>::max();
  // How sync() colours the plot: as the model says, or for paper while a picture is drawn.
  PictureStyle style = PictureStyle::AsShown;
  // The size the plot was last laid out at.
  QSize laidOut;
  // The tooltip Qt showed for the plot, if it still shows.
  QPoint tipPos;
  bool tipShown = false;
};

GraphView::GraphView(GraphModel& model, Dialogs& dialogs, QWidget* parent)
    : QWidget(parent), m_model(model), m_dialogs(dialogs), d(std::make_unique<Private>(*this)) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  d->plot = new Plot(this);
  layout->addWidget(d->plot);
  d->plot->setMouseTracking(true);
  d->plot->installEventFilter(this);
  d->plot->setPlottingHints(QCP::phCacheLabels | QCP::phFastPolylines);
  d->plot->setInteractions({});
  d->xTicker->setAxis(d->plot->xAxis);
  d->yTicker->setAxis(d->plot->yAxis);
  d->plot->xAxis->setTicker(d->xTicker);
  d->plot->yAxis->setTicker(d->yTicker);
  d->plot->xAxis->grid()->setSubGridVisible(false);
  d->plot->yAxis->grid()->setSubGridVisible(false);
  d->plot->xAxis->setSubTicks(false);
  d->plot->yAxis->setSubTicks(false);
  d->plot->axisRect()->setupFullAxesBox(false);
  // Above the axes: a trace on the edge of the range (5 V on a 0-5 V axis) lies on the axis
  // line and must not disappear under it.
  d->plot->addLayer(QStringLiteral("data"), d->plot->layer(QStringLiteral("axes")),
                    QCustomPlot::limAbove);
  d->dataLayer = d->plot->layer(QStringLiteral("data"));
  d->dataLayer->setMode(QCPLayer::lmBuffered);
  d->frame = new FrameDecoration(d->plot);
  // Track mode's crosshair and read-out, on a layer of their own so that following the mouse
  // redraws nothing else.
  d->plot->addLayer(QStringLiteral("track"), d->plot->layer(QStringLiteral("overlay")),
                    QCustomPlot::limBelow);
  d->trackLayer = d->plot->layer(QStringLiteral("track"));
  d->trackLayer->setMode(QCPLayer::lmBuffered);
  d->crossV = new QCPItemStraightLine(d->plot);
  d->crossH = new QCPItemStraightLine(d->plot);
  d->crossText = new QCPItemText(d->plot);
  d->crossText->setPositionAlignment(Qt::AlignLeft | Qt::AlignBottom);
  d->crossText->setPadding(QMargins(4, 2, 4, 2));
  d->crossText->setClipToAxisRect(false);
  for (QCPAbstractItem* item :
       {static_cast<QCPAbstractItem*>(d->crossV), static_cast<QCPAbstractItem*>(d->crossH),
        static_cast<QCPAbstractItem*>(d->crossText)}) {
    item->setLayer(d->trackLayer);
    item->setVisible(false);
  }
  d->track = std::make_unique<TrackGesture>(*d->plot, m_model, [this](double x, double y) {
    d->crossAt = QPointF(x, y);
    Q_EMIT cursorPosition(x, y);
    showCrosshair();
  });
  d->zoom = std::make_unique<ZoomGesture>(*d->plot, m_model, *d);
  d->pan = std::make_unique<PanGesture>(*d->plot, m_model, *d);

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
  } else if (!isVisible()) {
    // Nothing on screen to draw; pictures lay the plot out at their own size. The first
    // replot after showing draws everything.
    sync();
    d->fullReplotDone = false;
  } else {
    sync();
    if (d->plot->size() != d->laidOut) {
      d->plot->layOut(d->plot->rect());
      d->laidOut = d->plot->size();
    }
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

// The colours and fonts of one drawing, resolved from the model's settings.
struct GraphView::Look {
  QColor frame, plotArea, axis, labels, grid;
  QFont tick, axisTitle, title, legend;
};

GraphView::Look GraphView::look() const {
  auto g = [&](GraphMember member) -> const Variant& { return m_model.graphValue(member); };
  auto colour = [&](GraphMember member) { return fromBgr(g(member).longValue()); };
  Look l{colour(GraphMember::FrameColor),
         colour(GraphMember::PlotAreaColor),
         colour(GraphMember::AxisColor),
         colour(GraphMember::LabelColor),
         colour(GraphMember::GridColor),
         fontOf(g(GraphMember::TickFont), 9),
         fontOf(g(GraphMember::AxisTitleFont), 10),
         fontOf(g(GraphMember::TitleFont), 12, true),
         fontOf(g(GraphMember::LegendFont), 9)};
  if (d->style == PictureStyle::Light) {
    // White paper, dark text and axes, a grid that guides without shouting.
    l.frame = l.plotArea = Qt::white;
    l.axis = QColor(0x40, 0x40, 0x40);
    l.labels = Qt::black;
    l.grid = QColor(0xB0, 0xB0, 0xB0);
  }
  return l;
}

QColor GraphView::itemColour(int32_t bgr) const {
  const QColor c = fromBgr(bgr);
  return d->style == PictureStyle::Light ? onPaper(c) : c;
}

void GraphView::sync() {
  const Look l = look();
  syncAxes(l);
  syncTicks(l);
  syncCaption(l);
  syncElements(l);
  syncAnnotations(l);
  syncCursors();
}

void GraphView::syncAxes(const Look& l) {
  QCustomPlot* p = d->plot;
  auto g = [&](GraphMember member) -> const Variant& { return m_model.graphValue(member); };
  p->setBackground(l.frame);
  p->axisRect()->setBackground(l.plotArea);
  d->frame->style = g(GraphMember::FrameStyle).longValue();
  d->frame->colour = l.axis;

  const QPen gridPen(l.grid, 1, Qt::DotLine);
  for (QCPAxis* a : p->axisRect()->axes()) {
    a->setBasePen(QPen(l.axis, 1));
    a->setTickPen(QPen(l.axis, 1));
    a->setTickLabelColor(l.labels);
    a->setTickLabelFont(l.tick);
    a->setLabelColor(l.labels);
    a->setLabelFont(l.axisTitle);
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
  p->xAxis->setRange(displayRange(m_model.rangeX(), logX));
  p->yAxis->setRange(displayRange(m_model.rangeY(), logY));
  p->xAxis2->setRange(p->xAxis->range());
  p->yAxis2->setRange(p->yAxis->range());
  p->xAxis2->setScaleType(p->xAxis->scaleType());
  p->yAxis2->setScaleType(p->yAxis->scaleType());
}

void GraphView::syncTicks(const Look& l) {
  QCustomPlot* p = d->plot;
  auto g = [&](GraphMember member) -> const Variant& { return m_model.graphValue(member); };
  auto settings = [&](GridTicker& ticker, QCPAxis* a, GraphMember count, GraphMember format,
                      GraphMember time) {
    ticker.setSettings({g(count).integerValue(), g(format).textValue(), g(time).boolValue(),
                        a->scaleType() == QCPAxis::stLogarithmic});
  };
  settings(*d->xTicker, p->xAxis, GraphMember::GridCountX, GraphMember::LabelFormatX,
           GraphMember::TimeLabelsX);
  settings(*d->yTicker, p->yAxis, GraphMember::GridCountY, GraphMember::LabelFormatY,
           GraphMember::TimeLabelsY);
  p->xAxis2->setTicker(d->xTicker);
  p->yAxis2->setTicker(d->yTicker);
  // Room for half of the last X label on the right and of the top Y label above: a label
  // that the border would cut is left out altogether.
  QVector<double> ticks;
  QVector<QString> labels;
  d->xTicker->ticksAndLabels(p->xAxis->range(), ticks, labels);
  const QFontMetrics metrics(l.tick);
  const int lastLabel = labels.isEmpty() ? 0 : metrics.horizontalAdvance(labels.back());
  p->axisRect()->setMinimumMargins(QMargins(0, metrics.height() / 2 + 6, lastLabel / 2 + 8, 0));
}

void GraphView::syncCaption(const Look& l) {
  // Above the plot, only while there is one.
  QCustomPlot* p = d->plot;
  const QString caption = m_model.graphValue(GraphMember::Caption).textValue();
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
    d->title->setFont(l.title);
    d->title->setTextColor(l.labels);
  }
}

void GraphView::syncElements(const Look& l) {
  QCustomPlot* p = d->plot;
  const GraphModel& m = m_model;
  while (int(d->elements.size()) > m.elementCount()) {
    p->removePlottable(d->elements.back());
    d->elements.pop_back();
  }
  while (int(d->elements.size()) < m.elementCount()) {
    d->elements.push_back(new ElementPlottable(m, int(d->elements.size()), p->xAxis, p->yAxis));
    d->elements.back()->setLayer(d->dataLayer);
  }
  QCPLegend* legend = p->legend;
  legend->setVisible(m.graphValue(GraphMember::LegendOn).boolValue());
  legend->setFont(l.legend);
  legend->setTextColor(l.labels);
  legend->setBrush(QBrush(l.plotArea));
  legend->setBorderPen(QPen(l.axis, 1));
  legend->clearItems();
  for (int e = 0; e < m.elementCount(); ++e) {
    ElementPlottable* plottable = d->elements[e];
    auto v = [&](GraphMember member) -> const Variant& { return m.itemValue(member, e); };
    ElementPlottable::Style style;
    style.line = QPen(itemColour(v(GraphMember::ElementColor).longValue()),
                      std::clamp(v(GraphMember::ElementLineWidth).longValue(), 0, 50),
                      penStyle(v(GraphMember::ElementLineStyle).longValue()));
    style.symbol = v(GraphMember::ElementPointSymbol).longValue();
    style.pointColour = itemColour(v(GraphMember::ElementPointColor).longValue());
    style.filledPoints = v(GraphMember::ElementSolidPoints).boolValue();
    plottable->setElement(e);
    plottable->setStyle(style);
    plottable->setName(v(GraphMember::ElementLabel).textValue());
    plottable->setVisible(v(GraphMember::ElementShow).boolValue() && e < d->recordedElements);
    if (plottable->visible()) plottable->addToLegend(legend);
  }
}

void GraphView::syncAnnotations(const Look& l) {
  QCustomPlot* p = d->plot;
  const GraphModel& m = m_model;
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
    text->setFont(l.tick);
    text->setVisible(v(GraphMember::AnnoVisible).boolValue());
  }
}

void GraphView::syncCursors() {
  // A vertical and a horizontal line each, shown as the style says.
  QCustomPlot* p = d->plot;
  const GraphModel& m = m_model;
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
    const QPen pen(itemColour(v(GraphMember::CursorColor).longValue()), 1);
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

void GraphView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  d->fullReplotDone = false;
  scheduleReplot();
}

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

// --- Mouse -----------------------------------------------------------------------------------

bool GraphView::eventFilter(QObject* watched, QEvent* event) {
  if (watched != d->plot) return QWidget::eventFilter(watched, event);
  switch (event->type()) {
    case QEvent::ToolTip:
      // Qt shows the tooltip itself; remember where, so that a new text can replace it.
      d->tipPos = static_cast<QHelpEvent*>(event)->globalPos();
      d->tipShown = true;
      return false;
    case QEvent::Leave:
      d->tipShown = false;
      d->crossAt.reset();
      showCrosshair();
      return false;
    case QEvent::Wheel: {
      // The wheel zooms about the pointer in every cursor mode.
      const auto* wheel = static_cast<QWheelEvent*>(event);
      const QPoint delta = wheel->angleDelta();
      // Some systems turn Shift+wheel into a horizontal wheel.
      const double steps = (delta.y() != 0 ? delta.y() : delta.x()) / 120.0;
      if (steps == 0 || !d->plot->axisRect()->rect().contains(wheel->position().toPoint()))
        return false;
      showRanges(wheelZoomed(*d->plot, wheel->position(), steps, wheel->modifiers()), true);
      return true;
    }
    case QEvent::MouseButtonPress:
    case QEvent::MouseMove:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
      break;
    default:
      return false;
  }
  PlotGesture* gesture = d->gesture(m_model.cursorMode());
  if (!gesture && event->type() == QEvent::MouseButtonDblClick &&
      static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
    zoomToFit();
    return true;
  }
  if (gesture != d->activeGesture) {
    if (d->activeGesture) d->activeGesture->cancel();
    d->activeGesture = gesture;
    d->crossAt.reset();
    showCrosshair();
  }
  if (!gesture) {
    d->plot->setCursor(Qt::ArrowCursor);
    return false;
  }
  const auto* mouse = static_cast<QMouseEvent*>(event);
  const bool inPlot = d->plot->axisRect()->rect().contains(mouse->position().toPoint());
  return gesture->mouseEvent(*mouse, inPlot);
}

// --- Navigation ------------------------------------------------------------------------------

void GraphView::showRanges(const ViewRanges& to, bool remember) {
  const ViewRanges from = m_model.ranges();
  m_model.setRanges(to.x, to.y);
  if (!remember) return;
  d->history.record(from, m_model.ranges());
  Q_EMIT zoomHistoryChanged();
}

void GraphView::zoomToFit() {
  if (const auto fitted = m_model.fittedRanges()) showRanges(*fitted, true);
}

void GraphView::zoomAroundMiddle(bool in) {
  // A logarithmic axis halves or doubles its decades; one whose range does not lie above
  // zero takes round steps like a linear one.
  auto zoomed = [in](AxisRange r, bool log, int divisions) {
    if (log && r.lower > 0 && r.upper > 0) {
      if (!in) return logZoomedOut(r, std::sqrt(r.lower * r.upper));
      return AxisRange{std::pow(r.lower, 0.75) * std::pow(r.upper, 0.25),
                       std::pow(r.lower, 0.25) * std::pow(r.upper, 0.75)};
    }
    const double middle = (r.lower + r.upper) / 2;
    return in ? zoomedIn(r, middle, divisions) : zoomedOut(r, middle, divisions);
  };
  const ViewRanges now = m_model.ranges();
  auto g = [&](GraphMember member) -> const Variant& { return m_model.graphValue(member); };
  showRanges(
      {zoomed(now.x, g(GraphMember::LogX).boolValue(), g(GraphMember::GridCountX).integerValue()),
       zoomed(now.y, g(GraphMember::LogY).boolValue(), g(GraphMember::GridCountY).integerValue())},
      true);
}

void GraphView::zoomIn() {
  zoomAroundMiddle(true);
}

void GraphView::zoomOut() {
  zoomAroundMiddle(false);
}

void GraphView::zoomBack() {
  if (const auto view = d->history.back(m_model.ranges())) m_model.setRanges(view->x, view->y);
  Q_EMIT zoomHistoryChanged();
}

void GraphView::zoomForward() {
  if (const auto view = d->history.forward()) m_model.setRanges(view->x, view->y);
  Q_EMIT zoomHistoryChanged();
}

void GraphView::forgetZoomHistory() {
  d->history.clear();
  Q_EMIT zoomHistoryChanged();
}

bool GraphView::canZoomBack() const {
  return d->history.canGoBack();
}

bool GraphView::canZoomForward() const {
  return d->history.canGoForward();
}

// --- Tooltip ---------------------------------------------------------------------------------

void GraphView::setToolTipText(const QString& text) {
  if (text == d->plot->toolTip()) return;
  d->plot->setToolTip(text);
  if (d->crossAt) showCrosshair();
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

void GraphView::showCrosshair() {
  const bool shown = d->crossAt && m_model.cursorMode() == CursorMode::Track;
  const QColor colour = fromBgr(m_model.graphValue(GraphMember::LabelColor).longValue());
  if (shown) {
    const QPointF at = *d->crossAt;
    d->crossV->point1->setCoords(at.x(), 0);
    d->crossV->point2->setCoords(at.x(), 1);
    d->crossH->point1->setCoords(0, at.y());
    d->crossH->point2->setCoords(1, at.y());
    const QPen pen(colour, 1, Qt::DashLine);
    d->crossV->setPen(pen);
    d->crossH->setPen(pen);
    // One value a line: a read-out of five channels stays narrow beside the point.
    d->crossText->setText(
        QString(d->plot->toolTip()).replace(QStringLiteral(" Ch"), QStringLiteral("\nCh")));
    d->crossText->setColor(colour);
    d->crossText->setBrush(
        QBrush(fromBgr(m_model.graphValue(GraphMember::PlotAreaColor).longValue())));
    d->crossText->setFont(fontOf(m_model.graphValue(GraphMember::TickFont), 9));
    // Beside the point, on the side with room.
    const QPointF pixel(d->plot->xAxis->coordToPixel(at.x()), d->plot->yAxis->coordToPixel(at.y()));
    const QRect area = d->plot->axisRect()->rect();
    const bool left = pixel.x() > area.center().x(), below = pixel.y() < area.center().y();
    d->crossText->setPositionAlignment((left ? Qt::AlignRight : Qt::AlignLeft) |
                                       (below ? Qt::AlignTop : Qt::AlignBottom));
    d->crossText->position->setType(QCPItemPosition::ptAbsolute);
    d->crossText->position->setCoords(pixel + QPointF(left ? -6 : 6, below ? 6 : -6));
  }
  const bool textShown = shown && !d->crossText->text().isEmpty();
  if (d->crossV->visible() == shown && d->crossText->visible() == textShown && !shown) return;
  d->crossV->setVisible(shown);
  d->crossH->setVisible(shown);
  d->crossText->setVisible(textShown);
  d->trackLayer->replot();
}

bool GraphView::crosshairShown() const {
  return d->crossV->visible();
}

QString GraphView::crosshairText() const {
  return d->crossText->visible() ? d->crossText->text() : QString();
}

void GraphView::setRecordedElements(int count) {
  if (count == d->recordedElements) return;
  d->recordedElements = count;
  d->fullReplotDone = false;
  scheduleReplot();
}

// --- Pictures --------------------------------------------------------------------------------

void GraphView::layOutPicture(QSize size, PictureStyle style) {
  d->style = style;
  sync();
  // Laid out at the picture's size before drawing, so that its labels are those that fit it.
  d->plot->layOut(QRect(QPoint(), size));
}

void GraphView::restoreScreen() {
  // The plot was laid out and coloured for a picture: the screen's layout and colours come back.
  d->style = PictureStyle::AsShown;
  d->laidOut = QSize();
  d->fullReplotDone = false;
  if (isVisible())
    replotNow();
  else
    sync();
}

void GraphView::render(QCPPainter& painter, QSize size, PictureStyle style) {
  layOutPicture(size, style);
  // The crosshair follows the mouse on screen; it is no part of a picture.
  d->trackLayer->setVisible(false);
  d->plot->toPainter(&painter, size.width(), size.height());
  d->trackLayer->setVisible(true);
  restoreScreen();
}

QSize GraphView::pictureSize(const PictureOptions& options) const {
  if (options.size.isValid() && !options.size.isEmpty()) return options.size;
  // The view's own size: a view never shown has not laid out its plot yet.
  return size().isEmpty() ? QSize(640, 480) : size();
}

QImage GraphView::picture(const PictureOptions& options) {
  const QSize size = pictureSize(options);
  QImage image(size, QImage::Format_RGB32);
  image.fill(options.style == PictureStyle::Light
                 ? QColor(Qt::white)
                 : fromBgr(m_model.graphValue(GraphMember::FrameColor).longValue()));
  QCPPainter painter(&image);
  render(painter, size, options.style);
  painter.end();
  return image;
}

void GraphView::writeImage(QIODevice& out, const char* format, const PictureOptions& options) {
  // Drawn whole first: the writer then hands the bytes on in one go, to a file or a stream.
  QByteArray bytes;
  {
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    if (!writer.write(picture(options)))
      throw AutomationError(zrv::err::kPathFileAccessError, writer.errorString());
  }
  if (out.write(bytes) != bytes.size())
    throw AutomationError(zrv::err::kPathFileAccessError, out.errorString());
}

namespace {

// A picture written by name through the safe writer; 75 with the reason when it fails.
template <class Write>
void writePictureFile(const QString& path, Write&& write) {
  const auto problem =
      writeOutputFile(path, QStringLiteral("write"), [&](QIODevice& out) -> std::optional<QString> {
        try {
          write(out);
        } catch (const AutomationError& e) {
          return e.detail().isEmpty() ? e.message() : e.detail();
        }
        return std::nullopt;
      });
  if (problem) throw AutomationError(zrv::err::kPathFileAccessError, *problem);
}

}  // namespace

void GraphView::saveBitmap(const QString& path, const PictureOptions& options) {
  writePictureFile(path, [&](QIODevice& out) { writeImage(out, "BMP", options); });
}

void GraphView::savePng(const QString& path, const PictureOptions& options) {
  writePictureFile(path, [&](QIODevice& out) { writeImage(out, "PNG", options); });
}

QStringList GraphView::tickLabels(Qt::Orientation axis, const PictureOptions& options) {
  layOutPicture(pictureSize(options), options.style);
  const QCPAxis* a = axis == Qt::Horizontal ? d->plot->xAxis : d->plot->yAxis;
  QStringList labels;
  for (const QString& label : a->tickVectorLabels())
    if (!label.isEmpty()) labels << label;
  restoreScreen();
  return labels;
}

QSize GraphView::pageSize(const QPaintDevice& page, int width) {
  return {width, std::max(1, int(std::lround(double(width) * page.height() / page.width())))};
}

void GraphView::paintPage(QPaintDevice& device, const PictureOptions& options) {
  QCPPainter painter;
  if (!painter.begin(&device))
    throw AutomationError(zrv::err::kDeviceUnavailable,
                          QStringLiteral("the page cannot be drawn on"));
  // Vector output: text stays text, lines stay lines.
  painter.setMode(QCPPainter::pmVectorized);
  painter.setMode(QCPPainter::pmNoCaching);
  // The graph fills the printable area. It is laid out as wide as on screen (or as asked),
  // and as high as the page's shape makes it, so that its text keeps its size relative to
  // the graph; the window scales that layout onto the page.
  const QSize size = pageSize(device, pictureSize(options).width());
  painter.setWindow(QRect(QPoint(), size));
  // A page says what it shows: the caption, the file and the date, in a line above the graph.
  const QString header = pageHeader();
  const QFont font = fontOf(m_model.graphValue(GraphMember::TitleFont), 9);
  const int headerHeight = QFontMetrics(font).height() * 2;
  painter.setFont(font);
  painter.setPen(options.style == PictureStyle::Light
                     ? QColor(Qt::black)
                     : fromBgr(m_model.graphValue(GraphMember::LabelColor).longValue()));
  if (options.style != PictureStyle::Light)
    painter.fillRect(QRect(0, 0, size.width(), headerHeight),
                     fromBgr(m_model.graphValue(GraphMember::FrameColor).longValue()));
  painter.drawText(QRect(4, 0, size.width() - 8, headerHeight), Qt::AlignLeft | Qt::AlignVCenter,
                   header);
  painter.translate(0, headerHeight);
  render(painter, QSize(size.width(), std::max(1, size.height() - headerHeight)), options.style);
  painter.end();
}

void GraphView::writePdf(QIODevice& out, const PictureOptions& options) {
  QByteArray bytes;
  {
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QPdfWriter pdf(&buffer);
    pdf.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Landscape,
                                  QMarginsF(10, 10, 10, 10), QPageLayout::Millimeter));
    pdf.setTitle(m_model.graphValue(GraphMember::Caption).textValue());
    pdf.setCreator(QStringLiteral("ZRVLOG"));
    paintPage(pdf, options);
  }
  if (out.write(bytes) != bytes.size())
    throw AutomationError(zrv::err::kPathFileAccessError, out.errorString());
}

void GraphView::savePdf(const QString& path, const PictureOptions& options) {
  writePictureFile(path, [&](QIODevice& out) { writePdf(out, options); });
}

void GraphView::printTo(QPrinter& printer, PictureStyle style) {
  PictureOptions options;
  options.style = style;
  paintPage(printer, options);
}

QString GraphView::pageHeader() const {
  QStringList parts;
  const QString caption = m_model.graphValue(GraphMember::Caption).textValue();
  if (!caption.isEmpty()) parts << caption;
  parts << (m_documentName.isEmpty() ? QStringLiteral("Untitled") : m_documentName);
  parts << QLocale().toString(QDateTime::currentDateTime(), QLocale::ShortFormat);
  return parts.join(QStringLiteral("  \u2014  "));
}

void GraphView::printPlot() {
  QPrinter printer(QPrinter::HighResolution);
  printer.setPageOrientation(QPageLayout::Landscape);
  // Paper: the light style unless the user chooses the screen's.
  DialogChoice style = pictureStyleChoice();
  style.selected = 1;
  if (!m_dialogs.print(this, printer, &style)) return;
  printTo(printer, pictureStyleAt(style.selected));
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
        saveBitmap(args[0].toText(), {});
        return {};
      default:
        break;
    }
  }
  return m_model.invoke(number, args);
}

}  // namespace zrvlog
