// The main window's commands that act on the graph: cursor modes, the track read-out, the
// quick ranges, autorange and the graph's property dialog.
#include <gtest/gtest.h>

#include <QAction>
#include <QActionGroup>
#include <QMenu>
#include <QSet>

#include "app/acquisition/engine.h"
#include "app/graph/graphmodel.h"
#include "app/graphview/graphview.h"
#include "app/options/polygrid.h"
#include "tests/options/optionsfixture.h"
#include "tests/support/variantprinter.h"

namespace zrvlog {
namespace {

using zrv::Variant;
using zrvtest::OptionsFixture;

using GraphCommandsTest = OptionsFixture;

TEST_F(GraphCommandsTest, OpeningTheCursorMenuChecksTheGraphsMode) {
  open();
  const frmMain::Menus& m = window->menus();
  QAction* items[] = {m.mnuNormCursor, m.mnuTrack, m.mnuZoom, m.mnuPan};
  // Index into items: the mode's number; a number that names no mode checks none.
  const struct {
    int32_t mode;
    int checked;
  } cases[] = {{int32_t(CursorMode::Pan), 3},
               {int32_t(CursorMode::Normal), 0},
               {int32_t(CursorMode::Zoom), 2},
               {int32_t(CursorMode::Track), 1},
               {4, -1},
               {-1, -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    // The mode may have changed behind the menu's back (the property dialog, a file).
    window->NTGraph1().setProperty(GraphMember::CursorMode, Variant(c.mode));
    m.mnuCursor->popup(QPoint(0, 0));
    for (int i = 0; i < 4; ++i)
      EXPECT_EQ(items[i]->isChecked(), i == c.checked) << items[i]->objectName().toStdString();
    m.mnuCursor->hide();
  }
}

TEST_F(GraphCommandsTest, TheCursorModesAreOneExclusiveGroup) {
  open();
  const frmMain::Menus& m = window->menus();
  ASSERT_TRUE(m.grpCursor->isExclusive());
  EXPECT_EQ(m.grpCursor->actions(),
            QList<QAction*>({m.mnuNormCursor, m.mnuTrack, m.mnuZoom, m.mnuPan}));
  const std::pair<QAction*, CursorMode> items[] = {{m.mnuPan, CursorMode::Pan},
                                                   {m.mnuTrack, CursorMode::Track},
                                                   {m.mnuZoom, CursorMode::Zoom},
                                                   {m.mnuNormCursor, CursorMode::Normal}};
  for (const auto& [action, mode] : items) {
    action->trigger();
    EXPECT_EQ(window->NTGraph1().cursorMode(), mode);
    EXPECT_EQ(m.grpCursor->checkedAction(), action);
  }
  // Choosing the checked mode again keeps it.
  m.mnuNormCursor->trigger();
  EXPECT_TRUE(m.mnuNormCursor->isChecked());
}

TEST_F(GraphCommandsTest, TheUsualShortcutsBesideTheOnesTheProgramHasAlways) {
  open();
  const frmMain::Menus& m = window->menus();
  const struct {
    QAction* action;
    const char* keys;
  } cases[] = {
      {m.mnuFileNew, "Ctrl+N"},        {m.mnuFileOpen, "Ctrl+O"},
      {m.mnuFileSave, "Ctrl+S"},       {m.mnuFileSaveAs, "Ctrl+Shift+S"},
      {m.mnuFilePrint, "Ctrl+P"},      {m.mnuFileExit, "Ctrl+Q"},
      {m.mnuCopy, "Ctrl+C"},           {m.mnuDataStart, "F9"},
      {m.mnuDataStop, "Shift+F9"},     {m.mnuViewFullScreen, "F11"},
      {m.mnuZoomIn, "Ctrl++"},         {m.mnuZoomOut, "Ctrl+-"},
      {m.mnuZoomFit, "Ctrl+0"},        {m.mnuZoomBack, "Alt+Left"},
      {m.mnuZoomForward, "Alt+Right"}, {m.mnuGraphProps, "F5"},
      {m.mnuHelpContents, "F1"},       {m.mnuSearchForHelpOn, "Shift+F1"},
  };
  QSet<QString> seen;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.action->objectName().toStdString());
    EXPECT_EQ(c.action->shortcut().toString(), QString::fromLatin1(c.keys));
    EXPECT_FALSE(seen.contains(QString::fromLatin1(c.keys))) << "used twice";
    seen.insert(QString::fromLatin1(c.keys));
  }
  // Graph Properties stays the View menu's last item.
  EXPECT_EQ(m.mnuView->actions().last(), m.mnuGraphProps);
}

TEST_F(GraphCommandsTest, ZoomToFitAndTheWayBackFromTheViewMenu) {
  open();
  const frmMain::Menus& m = window->menus();
  GraphModel& graph = window->NTGraph1();
  EXPECT_FALSE(m.mnuZoomBack->isEnabled());
  EXPECT_FALSE(m.mnuZoomForward->isEnabled());
  record(21);  // 0 to 20 s
  const ViewRanges before = graph.ranges();
  EXPECT_FALSE(window->menus().mnuAutorange->isChecked());
  m.mnuZoomFit->trigger();
  // The whole run, once, in round steps (20 X divisions of 1 s); autorange stays off.
  EXPECT_EQ(graph.rangeX(), (AxisRange{0, 20}));
  EXPECT_FALSE(window->engine().autorange());
  EXPECT_TRUE(m.mnuZoomBack->isEnabled());
  m.mnuZoomIn->trigger();
  EXPECT_EQ(graph.rangeX(), (AxisRange{5, 15}));
  m.mnuZoomBack->trigger();
  EXPECT_EQ(graph.rangeX(), (AxisRange{0, 20}));
  EXPECT_TRUE(m.mnuZoomForward->isEnabled());
  m.mnuZoomBack->trigger();
  EXPECT_EQ(graph.ranges(), before);
  EXPECT_FALSE(m.mnuZoomBack->isEnabled());
  m.mnuZoomForward->trigger();
  m.mnuZoomForward->trigger();
  EXPECT_EQ(graph.rangeX(), (AxisRange{5, 15}));
  EXPECT_FALSE(m.mnuZoomForward->isEnabled());
  // Views of samples that are gone are forgotten: Back never leads into another data set.
  m.mnuZoomBack->trigger();
  dialogs.answerMessage(Answer::No);  // "Save file?" before the new run
  record(3);
  EXPECT_FALSE(m.mnuZoomBack->isEnabled());
  EXPECT_FALSE(m.mnuZoomForward->isEnabled());
}

TEST_F(GraphCommandsTest, FullScreenComesAndGoes) {
  open();
  QAction* full = window->menus().mnuViewFullScreen;
  full->trigger();
  EXPECT_TRUE(window->windowState() & Qt::WindowFullScreen);
  EXPECT_TRUE(full->isChecked());
  full->trigger();
  EXPECT_FALSE(window->windowState() & Qt::WindowFullScreen);
  EXPECT_FALSE(full->isChecked());
}

TEST_F(GraphCommandsTest, TrackReadOutNamesTheValuesUnderTheCursor) {
  open();
  board->raw = {100, 200, 300, 400, 500, 0, 0, 0};
  window->mnuQuickRaw_Click();  // counts straight through
  window->mnuDataStart_Click();
  for (int i = 0; i < 3; ++i) {
    timer->fire();
    for (int32_t& r : board->raw)
      r += 1;  // point k reads 100 + k, 200 + k, ...
  }
  window->mnuDataStop_Click();
  ASSERT_DOUBLE_EQ(window->engine().data.SampleTime.toDouble(), 3.0);
  const struct {
    double x;
    const char* text;
  } cases[] = {
      // Raw counts: whole numbers, no unit (one count is the A/D step).
      {0.0, "X=0.0 s Ch1=100 Ch2=200 Ch3=300 Ch4=400 Ch5=500"},
      {1.49, "X=1.5 s Ch1=101 Ch2=201 Ch3=301 Ch4=401 Ch5=501"},
      {2.5, "X=2.5 s Ch1=102 Ch2=202 Ch3=302 Ch4=402 Ch5=502"},  // 2.5 -> point 2
      {-0.3, "X=-0.3 s Ch1=100 Ch2=200 Ch3=300 Ch4=400 Ch5=500"},
      {3.0, "X=3.0 s"},  // the next sample's time: no point there yet
      {-2.0, "X=-2.0 s"},
      {3.01, ""},  // beyond the next sample: the tooltip is cleared
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.x);
    window->NTGraph1().setTrackPosition(c.x, 0.0);
    window->NTGraph1_CursorPosition(c.x, 0.0);
    EXPECT_EQ(window->graphView().toolTipText(), QString::fromLatin1(c.text));
  }
}

TEST_F(GraphCommandsTest, TrackReadOutBeforeAnySample) {
  open();
  window->NTGraph1().setTrackPosition(0.0, 0.0);
  window->NTGraph1_CursorPosition(0.0, 0.0);
  EXPECT_EQ(window->graphView().toolTipText(), QStringLiteral("X=0.0 s"))
      << "built from point 0, which no element has yet";
}

TEST_F(GraphCommandsTest, QuickRangesSetTheYRangeCalibrationAndLabels) {
  open();
  window->engine().settings.MINX = QStringLiteral("-3");
  const auto check = [&](int16_t maxY, const char* format, double a1) {
    const AcquisitionEngine& e = window->engine();
    EXPECT_EQ(e.settings.MINY, Variant(int16_t{0}));
    EXPECT_EQ(e.settings.MAXY, Variant(maxY));
    EXPECT_EQ(window->NTGraph1().property(GraphMember::RangeYMin), Variant(0.0));
    EXPECT_EQ(window->NTGraph1().property(GraphMember::RangeYMax), Variant(double(maxY)));
    EXPECT_EQ(window->NTGraph1().property(GraphMember::LabelFormatY), Variant(format));
    for (int16_t c = 0; c < 5; ++c)
      for (int16_t k = 0; k < 5; ++k)
        EXPECT_EQ(e.data.GetCoef(k, c), k == 1 ? Variant(a1) : Variant(int16_t{0}));
    EXPECT_EQ(e.settings.MINX, Variant("-3")) << "the X axis is left alone";
  };
  window->menus().mnuQuickRaw->trigger();
  check(1023, "%4.0f", 1.0);
  window->menus().mnuQuick5V->trigger();
  check(5, "%g V", 4.88758553274682E-03);
  EXPECT_FALSE(window->menus().mnuAutorange->isChecked());
}

TEST_F(GraphCommandsTest, AfterRawCountsTheOptionsDialogShowsTheNewRangeAndCalibration) {
  open();
  window->menus().mnuQuickRaw->trigger();
  withOptions([&](frmOptions& f) {
    EXPECT_EQ(f.MINY->text(), QStringLiteral("0"));
    EXPECT_EQ(f.MAXY->text(), QStringLiteral("1023"));
    for (int r = 1; r <= 5; ++r)
      for (int c = 1; c <= 5; ++c)
        EXPECT_EQ(f.grid()->TextMatrix(r, c), c == 4 ? QStringLiteral("1") : QStringLiteral("0"))
            << r << "," << c;
  });
}

TEST_F(GraphCommandsTest, AQuickRangeDuringARunScalesOnlyTheSamplesAfterIt) {
  open();
  board->raw = {1023, 0, 0, 0, 0, 0, 0, 0};
  window->mnuDataStart_Click();
  timer->fire();
  window->menus().mnuQuickRaw->trigger();
  timer->fire();
  window->mnuDataStop_Click();
  EXPECT_NEAR(window->NTGraph1().pointY(0, 0), 5.0, 1e-9) << "volts, as taken";
  EXPECT_DOUBLE_EQ(window->NTGraph1().pointY(1, 0), 1023.0);
}

TEST_F(GraphCommandsTest, AutorangeTogglesOnlyItsMark) {
  open();
  const auto state = [&] {
    QStringList s;
    for (GraphMember m : {GraphMember::RangeXMin, GraphMember::RangeXMax, GraphMember::RangeYMin,
                          GraphMember::RangeYMax, GraphMember::CursorMode})
      s << zrv::describe(window->NTGraph1().property(m));
    s << zrv::describe(window->engine().settings.MAXX)
      << zrv::describe(window->engine().settings.MAXY);
    return s;
  };
  const QStringList before = state();
  QAction* autorange = window->menus().mnuAutorange;
  autorange->trigger();
  EXPECT_TRUE(autorange->isChecked());
  EXPECT_TRUE(window->engine().autorange());
  autorange->trigger();
  EXPECT_FALSE(autorange->isChecked());
  EXPECT_FALSE(window->engine().autorange());
  EXPECT_EQ(state(), before);
}

TEST_F(GraphCommandsTest, GraphSetupShowsThePropertyDialogAndOkPutsTheHeldRangeBack) {
  open();
  // The X range changed in the graph's own dialog, with no run to copy it back.
  dialogs.answerExec([&](QDialog& d) {
    EXPECT_EQ(d.windowTitle(), QStringLiteral("Graph Properties"));
    window->NTGraph1().setProperty(GraphMember::RangeXMax, Variant(40.0));
    return int(QDialog::Accepted);
  });
  window->menus().mnuGraphProps->trigger();
  EXPECT_EQ(window->menus().mnuGraphProps->shortcut(), QKeySequence(Qt::Key_F5));

  scriptOptions([&](frmOptions& f) {
    EXPECT_EQ(f.MAXX->text(), QStringLiteral("100")) << "the range the settings hold";
    f.Gset->click();  // the same dialog, from the options
    click(f.cmdOK);
  });
  dialogs.answerExec([](QDialog& d) {
    EXPECT_EQ(d.windowTitle(), QStringLiteral("Graph Properties"));
    return int(QDialog::Rejected);
  });
  showOptions();
  EXPECT_EQ(window->NTGraph1().property(GraphMember::RangeXMax), Variant(100.0));
}

}  // namespace
}  // namespace zrvlog
