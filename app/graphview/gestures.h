#pragma once
// The mouse in the graph's cursor modes, one small class per mode. The view hands every
// press, move, release and double-click over the plot to the gesture of the current mode;
// a gesture changes the model (a cursor, the ranges) and leaves drawing to the view.

#include <QPoint>
#include <functional>
#include <memory>

#include "app/graph/graphmodel.h"

class QCPAxis;
class QCPRange;
class QCustomPlot;
class QMouseEvent;
class QRubberBand;

namespace zrvlog {

class PlotGesture {
 public:
  PlotGesture(QCustomPlot& plot, GraphModel& model) : m_plot(plot), m_model(model) {}
  virtual ~PlotGesture() = default;
  PlotGesture(const PlotGesture&) = delete;
  PlotGesture& operator=(const PlotGesture&) = delete;

  /// A mouse event of the plot widget; inPlot when it happened over the plot area. True
  /// when the gesture used it up.
  virtual bool mouseEvent(const QMouseEvent& event, bool inPlot) = 0;
  /// Drops a drag in progress: the mode changed under it.
  virtual void cancel() {}

 protected:
  /// Axis units of a pixel of the plot widget.
  double xAt(double pixel) const;
  double yAt(double pixel) const;
  /// The grid counts, as the ticks use them.
  int divisionsX() const;
  int divisionsY() const;

  QCustomPlot& m_plot;
  GraphModel& m_model;
};

/// Track: the current cursor (or, without one, the model's track position) follows the mouse,
/// snapped to the nearest point of the current element when the cursor asks for it, and
/// every position is reported.
class TrackGesture : public PlotGesture {
 public:
  using Report = std::function<void(double x, double y)>;
  TrackGesture(QCustomPlot& plot, GraphModel& model, Report report);
  bool mouseEvent(const QMouseEvent& event, bool inPlot) override;

 private:
  void track(QPoint pos);
  Report m_report;
};

/// Where zooming and panning send the ranges they choose (the view, which keeps the zoom
/// history).
class Navigator {
 public:
  virtual ~Navigator() = default;
  /// Shows `to` and remembers the move.
  virtual void navigate(const ViewRanges& to) = 0;
  /// Shows `to` while a drag goes on.
  virtual void preview(const ViewRanges& to) = 0;
  /// Remembers the move of a drag that started at `from` and ended at what is shown.
  virtual void dragEnded(const ViewRanges& from) = 0;
};

/// Zoom: a rubber band dragged with the left button is zoomed into, exactly as dragged (the
/// ticks find round values inside it); the right button zooms out by one round step around
/// the click. Logarithmic axes double around the click.
class ZoomGesture : public PlotGesture {
 public:
  ZoomGesture(QCustomPlot& plot, GraphModel& model, Navigator& navigator);
  ~ZoomGesture() override;
  bool mouseEvent(const QMouseEvent& event, bool inPlot) override;
  void cancel() override;

 private:
  void zoomOut(QPoint at);
  Navigator& m_navigator;
  QRubberBand* m_band;
  QPoint m_pressPos;
  bool m_dragging = false;
};

/// Pan: dragging with the left button moves the ranges with the mouse, pixel for pixel.
class PanGesture : public PlotGesture {
 public:
  PanGesture(QCustomPlot& plot, GraphModel& model, Navigator& navigator);
  ~PanGesture() override;
  bool mouseEvent(const QMouseEvent& event, bool inPlot) override;
  void cancel() override;

 private:
  struct Press;
  Navigator& m_navigator;
  std::unique_ptr<Press> m_press;  // while dragging
};

/// The ranges after `steps` notches of the mouse wheel at `at` (a pixel of the plot):
/// positive steps zoom in. Ctrl zooms the X axis only, Shift the Y axis only.
ViewRanges wheelZoomed(QCustomPlot& plot, QPointF at, double steps, Qt::KeyboardModifiers keys);

}  // namespace zrvlog
