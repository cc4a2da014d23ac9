#pragma once
// GraphView: the graph component's window. It renders a GraphModel, turns the mouse into
// the cursor modes, and runs the component's window methods (CopyGraph, PrintPlot,
// PropertyDialog, SaveBitmap). The plotting library stays inside this folder: nothing else in
// the program includes it.
//
// Cursor modes (CursorMode, 47; app/graph/cursormode.h): the mouse in each mode is one class
// of gestures.h. Zoom and pan write the new ranges into the model, so RangeXMin..RangeYMax
// read back what is shown. A zoom shows the rectangle dragged, a pan moves pixel for pixel,
// the wheel zooms about the pointer in every mode (Ctrl: X only, Shift: Y only); the ticks
// find round values inside whatever range is shown. Fitting and the zoom keys choose round
// ranges (app/graph/nicescale.h). All of them are remembered for Back and Forward. A
// double-click in Normal mode fits the view to the data.
//
// Track mode: a crosshair marks the tracked point, with the host's read-out (the tooltip
// text) beside it. Every mouse move over the plot area (and every press there) moves the
// current cursor to the mouse, snapped to the nearest point of the current element when the
// cursor's snap mode is 1, and raises cursorPosition(x, y) in axis units. With no cursor
// the position is kept as the model's track position, which CursorPosX/Y then read.
//
// Pictures (bitmaps, PNG, PDF, prints, the clipboard) are drawn from the model at their own
// size, with the same text size relative to the graph as the screen's, as the graph is shown
// or in a light style for paper. Pages are vector drawings that fill the printable area.
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

#include "app/dialogs/dialogs.h"
#include "common/variant.h"

class QCPPainter;
class QPaintDevice;
class QPrinter;

namespace zrvlog {

class GraphModel;
struct ViewRanges;

/// How a picture is coloured.
enum class PictureStyle {
  AsShown,  ///< the graph's own colours, as on screen
  Light,    ///< for paper: white background, dark text and grid, channels darkened to show
};

struct PictureOptions {
  /// In pixels; empty: the view's size. A page takes the width only (its text size relative
  /// to the graph) and its height from the page's shape.
  QSize size;
  PictureStyle style = PictureStyle::AsShown;
};

/// The style choice the print and export dialogs offer, and the style an answer stands for.
DialogChoice pictureStyleChoice();
PictureStyle pictureStyleAt(int index);

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

  // --- Window methods and pictures ------------------------------------------------------
  /// Writes the picture as a Windows bitmap (or PNG), replacing the file. 75 with the reason
  /// when the file cannot be written.
  void saveBitmap(const QString& path, const PictureOptions& options);
  void savePng(const QString& path, const PictureOptions& options);
  /// A vector PDF: one A4 landscape page that the graph fills, its text as text.
  void savePdf(const QString& path, const PictureOptions& options);
  /// The same pictures into a device (the output registry's writers); 75 with the device's
  /// reason when it does not take them.
  void writeImage(QIODevice& out, const char* format, const PictureOptions& options);
  void writePdf(QIODevice& out, const PictureOptions& options);
  /// The picture at the view's size (or at the one asked for).
  QImage picture(const PictureOptions& options = {});
  /// The size a picture gets with these options.
  QSize pictureSize(const PictureOptions& options = {}) const;
  /// The tick labels a picture with these options shows on an axis, left to right or bottom
  /// to top (labels thinned out where they would overlap are left out).
  QStringList tickLabels(Qt::Orientation axis, const PictureOptions& options = {});
  /// The size a page is laid out at: the width asked for, the page's shape.
  static QSize pageSize(const QPaintDevice& page, int width);
  /// The print dialog (through Dialogs::print, with the style choice), then the page.
  void printPlot();
  /// Prints on a printer that is already set up: a header line, then the graph fills the
  /// printable area.
  void printTo(QPrinter& printer, PictureStyle style = PictureStyle::AsShown);
  /// The name pages carry in their header line (the data file), with the caption and date.
  void setDocumentName(const QString& name) { m_documentName = name; }
  /// The line above the graph on a printed or PDF page: caption, file name, date.
  QString pageHeader() const;
  /// The picture on the clipboard.
  void copyGraph();
  /// The graph's own modal property dialog (through Dialogs::exec); its result code.
  int propertyDialog();

  // --- Navigation: remembered for Back and Forward ---------------------------------------
  /// The whole data set in round steps, once (the model's FitRange); nothing without data.
  void zoomToFit();
  /// One round step smaller or larger around the middle of the view.
  void zoomIn();
  void zoomOut();
  void zoomBack();
  void zoomForward();
  bool canZoomBack() const;
  bool canZoomForward() const;
  /// The views remembered belong to data that are gone (a new run, New, Open, Clear).
  void forgetZoomHistory();

  // --- Host-given settings ----------------------------------------------------------
  /// The tooltip shown while the mouse rests on the graph (the track read-out). Changing it
  /// while the tooltip shows updates it at once; empty text hides it.
  void setToolTipText(const QString& text);
  QString toolTipText() const;
  /// Track mode: whether the crosshair shows, and the read-out beside it (the tooltip text).
  bool crosshairShown() const;
  QString crosshairText() const;
  /// Elements from this index on hold no recorded channel: they are neither drawn nor
  /// listed in the legend (their points stay in the model).
  void setRecordedElements(int count);

  // --- Replot scheduling ------------------------------------------------------------
  void setTickDeadlineSource(std::function<std::optional<Clock::time_point>()> source);
  /// Draws at once (a hidden view only catches up with the model).
  void replotNow();
  bool replotPending() const;
  Clock::duration lastReplotCost() const { return m_lastReplotCost; }
  int replotCount() const { return m_replotCount; }

  // --- Geometry, for hosts and tests ------------------------------------------------
  /// The plot area in this widget's coordinates (after the last replot).
  QRect plotRect() const;
  /// Axis units to a point of this widget (as last drawn).
  QPointF toPixel(double x, double y) const;
  /// The widget that receives the mouse (for synthesized events in tests).
  QWidget* mouseArea() const;

 Q_SIGNALS:
  /// Track mode: the mouse is at (x, y) in axis units (see above).
  void cursorPosition(double x, double y);
  /// Back or Forward became possible or impossible.
  void zoomHistoryChanged();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  struct Private;

  void scheduleReplot();
  void onReplotTimer();
  void showCrosshair();
  /// Shows ranges chosen by the user; remember: as a move Back can undo.
  void showRanges(const ViewRanges& to, bool remember);
  /// zoomIn (in) or zoomOut.
  void zoomAroundMiddle(bool in);
  /// Syncs the plot in a picture's style and lays it out at the picture's size; and back.
  void layOutPicture(QSize size, PictureStyle style);
  void restoreScreen();
  /// Draws the graph at a logical size on a painter that is set up.
  void render(QCPPainter& painter, QSize size, PictureStyle style);
  /// A page (PDF, printer): the graph fills the printable area.
  void paintPage(QPaintDevice& device, const PictureOptions& options);

  // Model to plot, by what is drawn.
  struct Look;
  Look look() const;
  QColor itemColour(int32_t bgr) const;
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
  QString m_documentName;
};

}  // namespace zrvlog
