#pragma once
// GraphView: the graph component's window. It renders a GraphModel, turns the mouse into
// the cursor modes, and runs the component's window methods (CopyGraph, PrintPlot,
// PropertyDialog, SaveBitmap). The plotting library stays inside this folder: nothing else in
// the program includes it.
//
// Cursor modes (CursorMode, 47; app/graph/cursormode.h): the mouse in each mode is one class
// of gestures.h. Zoom and pan write the new ranges into the model, so RangeXMin..RangeYMax
// read back what is shown.
//
// Track mode: every mouse move over the plot area (and every press there) moves the current
// cursor to the mouse, snapped to the nearest point of the current element when the
// cursor's snap mode is 1, and raises cursorPosition(x, y) in axis units. With no cursor
// the position is kept as the model's track position, which CursorPosX/Y then read.
//
// Replots: a model change schedules one replot after the current event, at most ~30 a
// second however fast points arrive, so a tick that appends points never waits for drawing.
// setTickDeadlineSource() lets the host name the next sampling deadline: a replot that
// would run into it (judged by the last replot's cost) waits until just after that tick,
// once, so drawing lands in the gap between ticks.

#include <QImage>
#include <QWidget>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "common/variant.h"

class QPrinter;

namespace zrvlog {

class Dialogs;
class GraphModel;

/// The model must outlive the view.
class GraphView : public QWidget {
  Q_OBJECT

 public:
  using Clock = std::chrono::steady_clock;
  /// Replots are at least this far apart.
  static constexpr std::chrono::milliseconds kMinReplotGap{33};

  GraphView(GraphModel& model, Dialogs& dialogs, QWidget* parent = nullptr);
  ~GraphView() override;

  GraphModel& model() { return m_model; }

  /// Any member by dispatch number: the window methods here, everything else through the
  /// model (GraphModel::property/setProperty/invoke). SaveBitmap takes the file name.
  zrv::Variant invoke(int number, std::span<const zrv::Variant> args = {});

  // --- Window methods ----------------------------------------------------------------
  /// Writes what is shown as a Windows bitmap, replacing the file. 75 with the reason when
  /// the file cannot be written.
  void saveBitmap(const QString& path);
  void savePng(const QString& path);
  /// A vector PDF page of what is shown.
  void savePdf(const QString& path);
  /// What is shown, at the widget's size (or at the given one).
  QImage picture(QSize size = {});
  /// The print dialog (through Dialogs::print), then the picture scaled to the page.
  void printPlot();
  /// Prints on a printer that is already set up, the picture scaled to fit the page.
  void printTo(QPrinter& printer);
  /// The picture on the clipboard.
  void copyGraph();
  /// The graph's own modal property dialog (through Dialogs::exec); its result code.
  int propertyDialog();

  // --- Host-given settings ----------------------------------------------------------
  /// The tooltip shown while the mouse rests on the graph (the track read-out). Changing it
  /// while the tooltip shows updates it at once; empty text hides it.
  void setToolTipText(const QString& text);
  QString toolTipText() const;

  // --- Replot scheduling ------------------------------------------------------------
  void setTickDeadlineSource(std::function<std::optional<Clock::time_point>()> source);
  /// Draws at once (the picture methods do this first).
  void replotNow();
  bool replotPending() const;
  Clock::duration lastReplotCost() const { return m_lastReplotCost; }
  int replotCount() const { return m_replotCount; }

  // --- Geometry, for hosts and tests ------------------------------------------------
  /// The plot area in this widget's coordinates (after the last replot).
  QRect plotRect() const;
  /// Axis units to a point of this widget, and back (as last drawn).
  QPointF toPixel(double x, double y) const;
  QPointF toAxis(QPointF pixel) const;
  /// The widget that receives the mouse (for synthesized events in tests).
  QWidget* mouseArea() const;

 Q_SIGNALS:
  /// Track mode: the mouse is at (x, y) in axis units (see above).
  void cursorPosition(double x, double y);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  struct Private;

  QSize pictureSize() const;
  void scheduleReplot();
  void onReplotTimer();
  // Model to plot, by what is drawn.
  struct Look;
  Look look() const;
  void sync();
  void syncAxes(const Look& look);
  void syncTicks(const Look& look);
  void syncCaption(const Look& look);
  void syncElements(const Look& look);
  void syncAnnotations(const Look& look);
  void syncCursors();

  GraphModel& m_model;
  Dialogs& m_dialogs;
  std::unique_ptr<Private> d;
  Clock::time_point m_lastReplotStart{};
  Clock::duration m_lastReplotCost{};
  int m_replotCount = 0;
  bool m_heldBack = false;
};

}  // namespace zrvlog
