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

/// Where zooming and panning send the ranges they choose.
using Navigate = std::function<void(GraphModel::Range x, GraphModel::Range y)>;

/// Zoom: a rubber band dragged with the left button becomes the new ranges; the right button
/// zooms out around the click.
class ZoomGesture : public PlotGesture {
 public:
  ZoomGesture(QCustomPlot& plot, GraphModel& model, Navigate navigate);
  ~ZoomGesture() override;
  bool mouseEvent(const QMouseEvent& event, bool inPlot) override;
  void cancel() override;

 private:
  void zoomOut(QPoint at);
  Navigate m_navigate;
  QRubberBand* m_band;
  QPoint m_pressPos;
  bool m_dragging = false;
};

/// Pan: dragging with the left button moves the ranges with the mouse.
class PanGesture : public PlotGesture {
 public:
  PanGesture(QCustomPlot& plot, GraphModel& model, Navigate navigate);
  ~PanGesture() override;
  bool mouseEvent(const QMouseEvent& event, bool inPlot) override;
  void cancel() override;

 private:
  struct Press;
  Navigate m_navigate;
  std::unique_ptr<Press> m_press;  // while dragging
};

}  // namespace zrvlog
