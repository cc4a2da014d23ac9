// The main window's commands that act on the graph: cursor modes, the track read-out, the
// quick ranges, autorange and the graph's property dialog.
#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>

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
      {0.0, "X=0.0 Ch1=100.0 Ch2=200.0 Ch3=300.0 Ch4=400.0 Ch5=500.0"},
      {1.49, "X=1.5 Ch1=101.0 Ch2=201.0 Ch3=301.0 Ch4=401.0 Ch5=501.0"},
      {2.5, "X=2.5 Ch1=102.0 Ch2=202.0 Ch3=302.0 Ch4=402.0 Ch5=502.0"},  // 2.5 -> point 2
      {-0.3, "X=-0.3 Ch1=100.0 Ch2=200.0 Ch3=300.0 Ch4=400.0 Ch5=500.0"},
      {3.0, "X=3.0"},  // the next sample's time: no point there yet
      {-2.0, "X=-2.0"},
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
  EXPECT_EQ(window->graphView().toolTipText(), QStringLiteral("X=0.0"))
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
