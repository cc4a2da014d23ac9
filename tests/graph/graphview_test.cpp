#include "app/graphview/graphview.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QEventLoop>
#include <QFile>
#include <QHelpEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPrinter>
#include <QSet>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolTip>
#include <QWheelEvent>
#include <cmath>
#include <functional>

#include "app/graph/graphmodel.h"
#include "app/graphview/propertydialog.h"
#include "common/automationerror.h"
#include "tests/support/scripteddialogs.h"

namespace zrvlog {
namespace {

using zrv::Variant;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

void runFor(Clock::duration d) {
  QEventLoop loop;
  QTimer::singleShot(std::chrono::duration_cast<std::chrono::milliseconds>(d), &loop,
                     &QEventLoop::quit);
  loop.exec();
}

bool runUntil(const std::function<bool()>& done, Clock::duration limit = 5s) {
  const auto end = Clock::now() + limit;
  while (!done() && Clock::now() < end)
    runFor(2ms);
  return done();
}

// A shown view of a model with ranges 0..10 x 0..10.
struct Fixture {
  Fixture() : view(model, dialogs) {
    view.resize(600, 400);
    view.show();
    QApplication::processEvents();
    view.replotNow();
  }
  void mouse(QEvent::Type type, QPointF at, Qt::MouseButton button = Qt::LeftButton) {
    QWidget* area = view.mouseArea();
    const QPointF local = area->mapFrom(&view, at);
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton
                                  : type == QEvent::MouseMove && !pressed
                                      ? Qt::NoButton
                                      : Qt::MouseButtons(button);
    QMouseEvent event(type, local, area->mapToGlobal(local),
                      type == QEvent::MouseMove ? Qt::NoButton : button, held, Qt::NoModifier);
    if (type == QEvent::MouseButtonPress) pressed = true;
    if (type == QEvent::MouseButtonRelease) pressed = false;
    QApplication::sendEvent(area, &event);
  }
  void drag(QPointF from, QPointF to) {
    mouse(QEvent::MouseButtonPress, from);
    for (int i = 1; i <= 4; ++i)
      mouse(QEvent::MouseMove, from + (to - from) * (i / 4.0));
    mouse(QEvent::MouseButtonRelease, to);
  }
  void setMode(CursorMode mode) {
    model.setProperty(GraphMember::CursorMode, Variant(static_cast<int32_t>(mode)));
  }
  GraphModel::Range x() const { return model.rangeX(); }
  GraphModel::Range y() const { return model.rangeY(); }
  double unitsPerPixelX() { return 10.0 / view.plotRect().width(); }
  double unitsPerPixelY() { return 10.0 / view.plotRect().height(); }

  zrvtest::ScriptedDialogs dialogs;
  GraphModel model;
  GraphView view;
  bool pressed = false;
};

// The labels of an axis: round values (a 1, 2 or 5 step) inside the range shown, evenly
// spaced, no two alike.
::testing::AssertionResult roundLabels(GraphView& view, Qt::Orientation axis,
                                       GraphModel::Range range, int /*divisions*/) {
  const QStringList labels = view.tickLabels(axis);
  if (labels.size() < 2) return ::testing::AssertionFailure() << "hardly any labels";
  if (QSet<QString>(labels.begin(), labels.end()).size() != labels.size())
    return ::testing::AssertionFailure() << labels.join(u' ').toStdString();
  std::vector<double> values;
  for (const QString& label : labels) {
    bool ok = false;
    values.push_back(QString(label).remove(QStringLiteral(" V")).toDouble(&ok));
    const double slack = range.size() * 1e-9;
    if (!ok || values.back() < range.lower - slack || values.back() > range.upper + slack)
      return ::testing::AssertionFailure() << "label " << label.toStdString() << " is outside";
  }
  // Labels thinned out where they would overlap are every n-th tick: still a round step.
  const double step = values[1] - values[0];
  const double mantissa = step / std::pow(10.0, std::floor(std::log10(step) + 1e-9));
  if (std::abs(mantissa - 1) > 1e-6 && std::abs(mantissa - 2) > 1e-6 &&
      std::abs(mantissa - 5) > 1e-6)
    return ::testing::AssertionFailure() << "step " << step;
  for (double v : values)
    if (std::abs(v / step - std::round(v / step)) > 1e-6)
      return ::testing::AssertionFailure() << v << " is off the grid of " << step;
  return ::testing::AssertionSuccess();
}

// One mouse action on a 0..10 x 0..10 view and the ranges it leads to.
struct Navigation {
  const char* what;
  CursorMode mode;
  enum { Drag, RightClick, Wheel } action;
  QPointF from, to;  // axis units; a drag's end is `to`, or `from` moved by `pixels`
  QPointF pixels;
  double notches;  // wheel
  Qt::KeyboardModifiers keys;
  int divisionsX;
  GraphModel::Range x, y;  // expected
};

TEST(GraphView, ZoomPanAndWheelGoWhereThePointerSays) {
  // The wheel: one notch in shows 80% of the range about the pointer, one out 125%.
  const auto in = [](double at, double lo, double hi, double f) {
    return GraphModel::Range{at - (at - lo) * f, at + (hi - at) * f};
  };
  const Navigation table[] = {
      {"zoom shows the rectangle dragged",
       CursorMode::Zoom,
       Navigation::Drag,
       {2.2, 7.7},
       {5.8, 3.3},
       {},
       0,
       {},
       10,
       {2.2, 5.8},
       {3.3, 7.7}},
      {"a click is no zoom",
       CursorMode::Zoom,
       Navigation::Drag,
       {3, 5},
       {},
       {1, 1},
       0,
       {},
       10,
       {0, 10},
       {0, 10}},
      {"the right button zooms out in round steps",
       CursorMode::Zoom,
       Navigation::RightClick,
       {1, 5},
       {},
       {},
       0,
       {},
       10,
       {0, 20},
       {0, 25}},
      {"pan follows the mouse",
       CursorMode::Pan,
       Navigation::Drag,
       {5, 5},
       {},
       {130, -95},
       0,
       {},
       10,
       {-130, -130},
       {-95, -95}},
      {"pan with 2 divisions",
       CursorMode::Pan,
       Navigation::Drag,
       {5, 5},
       {},
       {200, 0},
       0,
       {},
       2,
       {-200, -200},
       {0, 0}},
      {"wheel in normal mode",
       CursorMode::Normal,
       Navigation::Wheel,
       {2, 8},
       {},
       {},
       1,
       {},
       10,
       in(2, 0, 10, 0.8),
       in(8, 0, 10, 0.8)},
      {"wheel out in track mode",
       CursorMode::Track,
       Navigation::Wheel,
       {4, 4},
       {},
       {},
       -1,
       {},
       10,
       in(4, 0, 10, 1.25),
       in(4, 0, 10, 1.25)},
      {"Ctrl+wheel in zoom mode: X only",
       CursorMode::Zoom,
       Navigation::Wheel,
       {2, 8},
       {},
       {},
       2,
       Qt::ControlModifier,
       10,
       in(2, 0, 10, 0.64),
       {0, 10}},
      {"Shift+wheel in pan mode: Y only",
       CursorMode::Pan,
       Navigation::Wheel,
       {2, 8},
       {},
       {},
       1,
       Qt::ShiftModifier,
       10,
       {0, 10},
       in(8, 0, 10, 0.8)},
  };
  for (const Navigation& row : table) {
    SCOPED_TRACE(row.what);
    Fixture f;
    f.model.setProperty(GraphMember::GridCountX, Variant(int16_t(row.divisionsX)));
    f.view.replotNow();
    f.setMode(row.mode);
    const QPointF from = f.view.toPixel(row.from.x(), row.from.y());
    // A pan's expected ranges are in pixels of the drag: the view moves the other way.
    GraphModel::Range x = row.x, y = row.y;
    const bool pan = row.mode == CursorMode::Pan && row.action == Navigation::Drag;
    if (pan) {
      x = {row.x.lower * f.unitsPerPixelX(), 10 + row.x.upper * f.unitsPerPixelX()};
      y = {row.y.lower * f.unitsPerPixelY(), 10 + row.y.upper * f.unitsPerPixelY()};
    }
    switch (row.action) {
      case Navigation::Drag:
        f.drag(from, row.to.isNull() ? from + row.pixels : f.view.toPixel(row.to.x(), row.to.y()));
        break;
      case Navigation::RightClick:
        f.mouse(QEvent::MouseButtonPress, from, Qt::RightButton);
        f.mouse(QEvent::MouseButtonRelease, from, Qt::RightButton);
        break;
      case Navigation::Wheel: {
        QWidget* area = f.view.mouseArea();
        const QPointF local = area->mapFrom(&f.view, from);
        QWheelEvent wheel(local, area->mapToGlobal(local), QPoint(),
                          QPoint(0, int(row.notches * 120)), Qt::NoButton, row.keys,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(area, &wheel);
        break;
      }
    }
    // Within a pixel: the mouse lands on whole pixels.
    const double tx = 1.01 * f.unitsPerPixelX() * (f.x().size() / 10 + 1);
    const double ty = 1.01 * f.unitsPerPixelY() * (f.y().size() / 10 + 1);
    EXPECT_NEAR(f.x().lower, x.lower, tx);
    EXPECT_NEAR(f.x().upper, x.upper, tx);
    EXPECT_NEAR(f.y().lower, y.lower, ty);
    EXPECT_NEAR(f.y().upper, y.upper, ty);
    f.view.replotNow();
    EXPECT_TRUE(roundLabels(f.view, Qt::Horizontal, f.x(), row.divisionsX));
    EXPECT_TRUE(roundLabels(f.view, Qt::Vertical, f.y(), 5));
    // Every move is one step back.
    const bool moved = f.model.ranges() != ViewRanges{{0, 10}, {0, 10}};
    EXPECT_EQ(f.view.canZoomBack(), moved);
    f.view.zoomBack();
    EXPECT_EQ(f.model.ranges(), (ViewRanges{{0, 10}, {0, 10}}));
  }
}

TEST(GraphView, ZoomInThreeTimesBackThreeTimesAndFitShowRoundLabels) {
  Fixture f;
  f.model.setProperty(GraphMember::LabelFormatY, Variant("%g V"));
  f.model.setProperty(GraphMember::LabelFormatX, Variant("%.1f"));
  f.model.setProperty(GraphMember::GridCountX, Variant(int16_t(20)));
  f.model.setProperty(GraphMember::GridCountY, Variant(int16_t(10)));
  for (int i = 0; i <= 100; ++i)
    f.model.addPoint(i * 0.02, 2.5 + 2 * std::sin(i * 0.1), 0);
  f.model.setRanges({0, 100}, {0, 5});
  f.view.replotNow();
  f.setMode(CursorMode::Zoom);
  std::vector<ViewRanges> seen{f.model.ranges()};
  // Rectangles that no round range matches, each inside the last view.
  for (const auto& [a, b] : {std::pair{QPointF(0.137, 4.163), QPointF(0.713, 0.938)},
                             std::pair{QPointF(0.31, 3.87), QPointF(0.47, 1.51)},
                             std::pair{QPointF(0.351, 3.21), QPointF(0.383, 2.66)}}) {
    f.view.replotNow();
    // The rectangle is shown as dragged, to the pixel the mouse landed on.
    const double pixel = f.x().size() / f.view.plotRect().width();
    f.drag(f.view.toPixel(a.x(), a.y()), f.view.toPixel(b.x(), b.y()));
    f.view.replotNow();
    SCOPED_TRACE(f.x().lower);
    EXPECT_NEAR(f.x().lower, a.x(), 1.5 * pixel);
    EXPECT_NEAR(f.x().upper, b.x(), 1.5 * pixel);
    EXPECT_TRUE(roundLabels(f.view, Qt::Horizontal, f.x(), 20));
    EXPECT_TRUE(roundLabels(f.view, Qt::Vertical, f.y(), 10));
    seen.push_back(f.model.ranges());
  }
  for (int i = 2; i >= 0; --i) {
    f.view.zoomBack();
    EXPECT_EQ(f.model.ranges(), seen[size_t(i)]);
  }
  EXPECT_FALSE(f.view.canZoomBack());
  f.view.zoomForward();
  EXPECT_EQ(f.model.ranges(), seen[1]);
  f.view.zoomToFit();
  f.view.replotNow();
  EXPECT_EQ(f.x(), (GraphModel::Range{0, 2}));
  EXPECT_EQ(f.y(), (GraphModel::Range{0, 5}));
  EXPECT_TRUE(roundLabels(f.view, Qt::Horizontal, f.x(), 20));
  EXPECT_TRUE(roundLabels(f.view, Qt::Vertical, f.y(), 10));
  EXPECT_EQ(f.view.tickLabels(Qt::Horizontal).first(), QStringLiteral("0.0"));
  EXPECT_EQ(f.view.tickLabels(Qt::Vertical).last(), QStringLiteral("5.0 V"));
  f.view.zoomBack();
  EXPECT_EQ(f.model.ranges(), seen[1]) << "the fit is remembered too";
  // Keyboard zooming keeps round steps.
  f.view.zoomIn();
  EXPECT_TRUE(roundLabels(f.view, Qt::Horizontal, f.x(), 20));
  f.view.zoomOut();
  f.view.zoomOut();
  EXPECT_TRUE(roundLabels(f.view, Qt::Vertical, f.y(), 10));
}

TEST(GraphView, KeyboardZoomOnALogAxisScalesItsDecades) {
  Fixture f;
  f.model.setProperty(GraphMember::LogY, Variant(true));
  const int n = f.model.graphValue(GraphMember::GridCountY).integerValue();
  // A stored range that reaches zero has no decades to scale: it takes round steps.
  f.view.zoomIn();
  EXPECT_EQ(f.y(), zoomedIn({0, 10}, 5, n));
  f.model.setRanges({0, 10}, {-1, 10});
  f.view.zoomOut();
  EXPECT_EQ(f.y(), zoomedOut({-1, 10}, 4.5, n));
  // 1..1000 in is half the decades around the middle one, and out again is where it was.
  f.model.setRanges({0, 10}, {1, 1000});
  f.view.zoomIn();
  EXPECT_NEAR(std::log10(f.y().lower), 0.75, 1e-12);
  EXPECT_NEAR(std::log10(f.y().upper), 2.25, 1e-12);
  f.view.zoomOut();
  EXPECT_NEAR(f.y().lower, 1, 1e-9);
  EXPECT_NEAR(f.y().upper, 1000, 1e-6);
}

TEST(GraphView, ADoubleClickInNormalModeFitsTheData) {
  Fixture f;
  f.model.addPoint(2, 3, 0);
  f.model.addPoint(4, 4, 0);
  f.view.replotNow();
  f.mouse(QEvent::MouseButtonDblClick, f.view.toPixel(5, 5));
  EXPECT_EQ(f.x(), (GraphModel::Range{2, 4}));
  EXPECT_EQ(f.y(), (GraphModel::Range{3, 4}));
  f.setMode(CursorMode::Zoom);
  f.model.setRanges({0, 10}, {0, 10});
  f.mouse(QEvent::MouseButtonDblClick, f.view.toPixel(5, 5));
  EXPECT_EQ(f.x(), (GraphModel::Range{0, 10})) << "only in Normal mode";
}

TEST(GraphView, NormalModeLeavesTheRangesAndRaisesNoPosition) {
  Fixture f;
  int positions = 0;
  QObject::connect(&f.view, &GraphView::cursorPosition, [&](double, double) { ++positions; });
  f.drag(f.view.toPixel(2, 8), f.view.toPixel(6, 3));
  EXPECT_EQ(f.x().lower, 0.0);
  EXPECT_EQ(f.x().upper, 10.0);
  EXPECT_EQ(positions, 0);
}

TEST(GraphView, TrackModeReportsThePositionAndMovesTheCurrentCursor) {
  Fixture f;
  for (int i = 0; i <= 10; ++i)
    f.model.addPoint(i, i * 0.5, 0);
  f.setMode(CursorMode::Track);
  std::vector<std::pair<double, double>> seen;
  QObject::connect(&f.view, &GraphView::cursorPosition,
                   [&](double x, double y) { seen.emplace_back(x, y); });
  f.view.replotNow();

  // No cursor: the raw position, kept as CursorPosX/Y.
  f.mouse(QEvent::MouseMove, f.view.toPixel(3.3, 7));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_NEAR(seen[0].first, 3.3, 2 * f.unitsPerPixelX());
  EXPECT_NEAR(seen[0].second, 7, 2 * f.unitsPerPixelY());
  EXPECT_EQ(f.model.property(GraphMember::CursorPosX).doubleValue(), seen[0].first);

  // A snapping cursor jumps to the nearest point of the current element.
  f.model.newCursor();
  f.model.setProperty(GraphMember::CursorSnap, Variant(int16_t(1)));
  f.mouse(QEvent::MouseMove, f.view.toPixel(6.2, 1));
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1], std::make_pair(6.0, 3.0));
  EXPECT_EQ(f.model.property(GraphMember::CursorPosX), Variant(6.0));
  EXPECT_EQ(f.model.property(GraphMember::CursorPosY), Variant(3.0));

  // Outside the plot area nothing is reported.
  f.mouse(QEvent::MouseMove, QPointF(2, 2));
  EXPECT_EQ(seen.size(), 2u);
}

TEST(GraphView, TheHostsTooltipShowsWhileTheMouseRestsAndFollowsNewText) {
  Fixture f;
  f.view.setToolTipText(QStringLiteral("X=1.0 Ch1=2.5"));
  EXPECT_EQ(f.view.toolTipText(), QStringLiteral("X=1.0 Ch1=2.5"));
  QWidget* area = f.view.mouseArea();
  const QPoint at = area->mapFrom(&f.view, f.view.toPixel(5, 5).toPoint());
  QHelpEvent rest(QEvent::ToolTip, at, area->mapToGlobal(at));
  QApplication::sendEvent(area, &rest);
  ASSERT_TRUE(QToolTip::isVisible());
  EXPECT_EQ(QToolTip::text(), QStringLiteral("X=1.0 Ch1=2.5"));
  f.view.setToolTipText(QStringLiteral("X=2.0 Ch1=3.0"));
  EXPECT_EQ(QToolTip::text(), QStringLiteral("X=2.0 Ch1=3.0"));
  f.view.setToolTipText(QString());
  runUntil([] { return !QToolTip::isVisible(); }, 2s);
  EXPECT_FALSE(QToolTip::isVisible());
}

TEST(GraphView, PropertyDialogAppliesEditsThroughTheModel) {
  Fixture f;
  for (int e = 1; e < 3; ++e)
    f.model.newElement();
  f.model.setProperty(GraphMember::ElementIndex, Variant(int16_t(0)));
  f.dialogs.answerExec([](QDialog& d) {
    auto& dialog = static_cast<GraphPropertyDialog&>(d);
    dialog.chooser(MemberScope::Element)->setCurrentIndex(2);
    static_cast<QSpinBox*>(dialog.editor(GraphMember::ElementLineWidth))->setValue(4);
    static_cast<QComboBox*>(dialog.editor(GraphMember::ElementLineStyle))->setCurrentIndex(1);
    static_cast<QLineEdit*>(dialog.editor(GraphMember::ElementLabel))->setText("Pressure");
    static_cast<QLineEdit*>(dialog.editor(GraphMember::Caption))->setText("Run 1");
    static_cast<QSpinBox*>(dialog.editor(GraphMember::GridCountX))->setValue(7);
    static_cast<QCheckBox*>(dialog.editor(GraphMember::LegendOn))->setChecked(false);
    static_cast<QLineEdit*>(dialog.editor(GraphMember::RangeYMax))->setText("12.5");
    dialog.accept();
    return dialog.result();
  });
  EXPECT_EQ(f.view.invoke(int(GraphMember::PropertyDialog)), Variant());
  EXPECT_TRUE(f.dialogs.scriptUsedUp());
  EXPECT_EQ(f.model.itemValue(GraphMember::ElementLineWidth, 2), Variant(int32_t(4)));
  EXPECT_EQ(f.model.itemValue(GraphMember::ElementLineStyle, 2), Variant(int32_t(1)));
  EXPECT_EQ(f.model.itemValue(GraphMember::ElementLabel, 2), Variant("Pressure"));
  EXPECT_EQ(f.model.itemValue(GraphMember::ElementLineWidth, 0), Variant(int32_t(1)));
  EXPECT_EQ(f.model.property(GraphMember::Caption), Variant("Run 1"));
  EXPECT_EQ(f.model.property(GraphMember::GridCountX), Variant(int16_t(7)));
  EXPECT_EQ(f.model.property(GraphMember::LegendOn), Variant(false));
  EXPECT_EQ(f.model.property(GraphMember::RangeYMax), Variant(12.5));
  EXPECT_EQ(f.model.property(GraphMember::ElementIndex), Variant(int16_t(0)));
}

TEST(GraphView, PropertyDialogKeepsValuesItDidNotTouchExactly) {
  Fixture f;
  const double third = 1.0 / 3.0;  // shown with 15 digits, stored with 17
  f.model.setProperty(GraphMember::RangeXMin, Variant(third));
  f.model.newAnnotation();
  f.model.setProperty(GraphMember::AnnoLabelX, Variant(0.1 + 0.2));
  f.dialogs.answerExec([](QDialog& d) {
    d.accept();
    return d.result();
  });
  EXPECT_EQ(f.view.propertyDialog(), int(QDialog::Accepted));
  EXPECT_EQ(f.model.property(GraphMember::RangeXMin), Variant(third));
  EXPECT_EQ(f.model.property(GraphMember::AnnoLabelX), Variant(0.1 + 0.2));
}

TEST(GraphView, PropertyDialogRefusesABadValueAndChangesNothing) {
  Fixture f;
  bool stayedOpen = false;
  f.dialogs.answerExec([&](QDialog& d) {
    auto& dialog = static_cast<GraphPropertyDialog&>(d);
    static_cast<QLineEdit*>(dialog.editor(GraphMember::Caption))->setText("changed");
    static_cast<QLineEdit*>(dialog.editor(GraphMember::RangeXMin))->setText("abc");
    dialog.accept();
    stayedOpen = dialog.isVisible();
    dialog.reject();
    return dialog.result();
  });
  f.dialogs.answerMessage(Answer::Ok);
  EXPECT_EQ(f.view.propertyDialog(), int(QDialog::Rejected));
  EXPECT_TRUE(stayedOpen);
  ASSERT_EQ(f.dialogs.messages().size(), 1u);
  EXPECT_TRUE(f.dialogs.messages()[0].startsWith(QStringLiteral("X minimum: Type mismatch")))
      << f.dialogs.messages()[0].toStdString();
  EXPECT_EQ(f.model.property(GraphMember::Caption), Variant(""));
}

QRgb pixelAt(const QImage& image, QPointF p) {
  return image.pixel(p.toPoint());
}

TEST(GraphView, PicturesShowTheModelAndBitmapsReplaceTheFile) {
  Fixture f;
  for (int i = 0; i <= 100; ++i)
    f.model.addPoint(i * 0.1, 5.0, 0);
  f.model.setProperty(GraphMember::ElementLineWidth, Variant(int32_t(3)));
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("graph.bmp"));
  {
    QFile old(path);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write(QByteArray(2'000'000, 'x'));
  }
  f.view.invoke(int(GraphMember::SaveBitmap), std::vector<Variant>{Variant(path)});
  QImage bitmap;
  ASSERT_TRUE(bitmap.load(path, "BMP"));
  EXPECT_EQ(bitmap.size(), f.view.mouseArea()->size());
  // The element's green line at y = 5 on the black plot area; nothing at y = 2.
  // (Grid lines run at whole X and even Y values.)
  const QPointF onLine = f.view.toPixel(5.5, 5) - QPointF(f.view.mouseArea()->pos());
  const QPointF below = f.view.toPixel(5.5, 3) - QPointF(f.view.mouseArea()->pos());
  EXPECT_EQ(qGreen(pixelAt(bitmap, onLine)), 255);
  EXPECT_EQ(qRed(pixelAt(bitmap, onLine)), 0);
  EXPECT_EQ(pixelAt(bitmap, below), qRgb(0, 0, 0));

  f.model.setProperty(GraphMember::ElementShow, Variant(false));
  const QImage hidden = f.view.picture();
  EXPECT_EQ(pixelAt(hidden, onLine), qRgb(0, 0, 0));

  for (const char* name : {"graph.png", "graph.pdf"}) {
    const QString file = dir.filePath(QString::fromLatin1(name));
    if (file.endsWith(QLatin1String(".png")))
      f.view.savePng(file, {});
    else
      f.view.savePdf(file, {});
    QFile written(file);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly)) << name;
    const QByteArray head = written.read(4);
    EXPECT_TRUE(head == "\x89PNG" || head == "%PDF") << name;
  }

  try {
    f.view.saveBitmap(dir.filePath(QStringLiteral("missing/graph.bmp")), {});
    ADD_FAILURE() << "no error for a folder that does not exist";
  } catch (const zrv::AutomationError& e) {
    EXPECT_EQ(e.number(), 75);
    EXPECT_TRUE(e.message().contains(QStringLiteral("missing/graph.bmp")));
  }
}

// Some pixel close to pure green (smoothed symbols have no exact one).
bool containsGreen(const QImage& image) {
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) {
      const QRgb p = image.pixel(x, y);
      if (qGreen(p) > 180 && qRed(p) < 60 && qBlue(p) < 60) return true;
    }
  return false;
}

TEST(GraphView, EverySettingDrawsAndTheElementStaysVisible) {
  struct Case {
    const char* name;
    std::vector<std::pair<GraphMember, Variant>> settings;
  } cases[] = {
      {"log X over a range from zero", {{GraphMember::LogX, Variant(true)}}},
      {"log Y over a negative range",
       {{GraphMember::LogY, Variant(true)}, {GraphMember::RangeYMin, Variant(-5.0)}}},
      {"time labels",
       {{GraphMember::TimeLabelsX, Variant(true)}, {GraphMember::TimeLabelsY, Variant(true)}}},
      {"no frame, no grid, no legend",
       {{GraphMember::FrameStyle, Variant(int32_t(0))},
        {GraphMember::GridShown, Variant(false)},
        {GraphMember::LegendOn, Variant(false)}}},
      {"sunken frame, caption, titles",
       {{GraphMember::FrameStyle, Variant(int32_t(2))},
        {GraphMember::Caption, Variant("Run")},
        {GraphMember::AxisTitleX, Variant("t")}}},
      {"reversed and empty ranges",
       {{GraphMember::RangeXMin, Variant(10.0)},
        {GraphMember::RangeXMax, Variant(0.0)},
        {GraphMember::RangeYMin, Variant(4.0)},
        {GraphMember::RangeYMax, Variant(4.0)}}},
      {"huge grid counts and odd formats",
       {{GraphMember::GridCountX, Variant(int16_t(32767))},
        {GraphMember::GridCountY, Variant(int16_t(-3))},
        {GraphMember::LabelFormatY, Variant("%n%s")}}},
      {"unknown cursor mode", {{GraphMember::CursorMode, Variant(int32_t(99))}}},
  };
  std::vector<Case> all(std::begin(cases), std::end(cases));
  for (int32_t style = 0; style <= 4; ++style)
    all.push_back({"line style",
                   {{GraphMember::ElementLineStyle, Variant(style)},
                    {GraphMember::ElementLineWidth, Variant(int32_t(style))}}});
  const char* symbolNames[] = {"",         "dot",   "circle", "square", "diamond",
                               "triangle", "cross", "plus",   "star"};
  for (int32_t symbol = 1; symbol <= 8; ++symbol)
    all.push_back({symbolNames[symbol],
                   {{GraphMember::ElementLineStyle, Variant(int32_t(5))},
                    {GraphMember::ElementPointSymbol, Variant(symbol)},
                    {GraphMember::ElementSolidPoints, Variant(symbol % 2 == 0)}}});
  for (const Case& c : all) {
    for (int points : {50, 200000}) {
      SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(points) + " points");
      Fixture f;
      for (int i = 0; i < points; ++i)
        f.model.addPoint(0.5 + 9.0 * i / points, 3.0 + (i % 7) * 0.5, 0);
      f.model.setProperty(GraphMember::LegendOn, Variant(false));
      f.model.newAnnotation();
      f.model.setProperty(GraphMember::AnnoLabelText, Variant("note"));
      f.model.setProperty(GraphMember::AnnoLabelHorizontal, Variant(false));
      f.model.newCursor();
      f.model.setProperty(GraphMember::CursorStyle, Variant(int16_t(points % 3)));
      for (const auto& [member, value] : c.settings)
        f.model.setProperty(member, value);
      EXPECT_TRUE(containsGreen(f.view.picture()));
    }
  }
}

TEST(GraphView, DecimationKeepsASingleSpikeAmongAMillionPoints) {
  Fixture f;
  const int n = 1'000'000;
  for (int i = 0; i < n; ++i)
    f.model.addPoint(i * 1e-5, i == 654'321 ? 9.0 : 1.0, 0);
  const QImage image = f.view.picture();
  const QPointF offset(f.view.mouseArea()->pos());
  const QPointF top = f.view.toPixel(6.54321, 8.5) - offset;
  bool found = false;
  for (int dx = -3; dx <= 3 && !found; ++dx)
    found = qGreen(image.pixel(top.toPoint() + QPoint(dx, 0))) > 100;
  EXPECT_TRUE(found) << "the spike is lost";
}

TEST(GraphView, AViewNeverShownDrawsItsPictureAtItsOwnSize) {
  zrvtest::ScriptedDialogs dialogs;
  GraphModel model;
  GraphView view(model, dialogs);
  view.resize(320, 200);
  EXPECT_EQ(view.picture().size(), QSize(320, 200));
}

TEST(GraphView, CopyAndPrintUseThePicture) {
  Fixture f;
  f.view.copyGraph();
  EXPECT_EQ(QApplication::clipboard()->image().size(), f.view.mouseArea()->size());

  f.dialogs.answerPrint(false);
  f.view.printPlot();  // cancelled: nothing happens
  EXPECT_TRUE(f.dialogs.scriptUsedUp());

  QTemporaryDir dir;
  QPrinter printer;
  printer.setOutputFormat(QPrinter::PdfFormat);
  printer.setOutputFileName(dir.filePath(QStringLiteral("print.pdf")));
  f.view.printTo(printer);
  QFile pdf(printer.outputFileName());
  ASSERT_TRUE(pdf.open(QIODevice::ReadOnly));
  EXPECT_EQ(pdf.read(4), QByteArray("%PDF"));
}

TEST(GraphView, ReplotsAreDeferredCoalescedAndRateLimited) {
  Fixture f;
  runFor(50ms);
  const int before = f.view.replotCount();
  for (int i = 0; i < 10000; ++i)
    f.model.addPoint(i, i, 0);
  // Nothing is drawn while the caller (a tick) runs.
  EXPECT_EQ(f.view.replotCount(), before);
  EXPECT_TRUE(f.view.replotPending());
  ASSERT_TRUE(runUntil([&] { return !f.view.replotPending(); }));
  EXPECT_EQ(f.view.replotCount(), before + 1);

  // A point every millisecond for 300 ms: at most one replot per 33 ms.
  int added = 0;
  QTimer feeder;
  QObject::connect(&feeder, &QTimer::timeout, [&] {
    ++added;
    f.model.addPoint(1e4 + added, added, 0);
  });
  const int start = f.view.replotCount();
  const auto begin = Clock::now();
  feeder.start(1);
  runFor(300ms);
  feeder.stop();
  const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
  const int replots = f.view.replotCount() - start;
  EXPECT_GE(replots, 1);
  EXPECT_LE(replots, int(elapsed / 0.033) + 1);
  EXPECT_GT(added, replots);
}

TEST(GraphView, AReplotWaitsOnceForAnImminentTickButIsNeverStarved) {
  Fixture f;
  int asked = 0;
  f.view.setTickDeadlineSource([&] {
    ++asked;
    return std::optional<Clock::time_point>(Clock::now() + 100us);
  });
  runFor(50ms);
  const int before = f.view.replotCount();
  f.model.addPoint(1, 1, 0);
  ASSERT_TRUE(runUntil([&] { return f.view.replotCount() > before; }));
  EXPECT_EQ(asked, 1);
}

}  // namespace
}  // namespace zrvlog
