#include "app/mainwindow/frmmain.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QScreen>
#include <QSettings>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QToolBar>

#include "app/graph/graphmodel.h"
#include "app/graphview/graphview.h"
#include "app/settings/storedsettings.h"
#include "app/timer/manualtimer.h"
#include "tests/fakes/fakeboardcontrol.h"
#include "tests/support/mainwindowfixture.h"
#include "tests/support/scripteddialogs.h"
#include "tests/support/variantprinter.h"

namespace zrvlog {
namespace {

using zrv::Variant;

class MainWindowTest : public zrvtest::MainWindowFixture {
 protected:
  const frmMain::Menus& m() const { return window->menus(); }
  double dpi() const { return window->screen()->logicalDotsPerInch(); }
};

TEST_F(MainWindowTest, MenusCarryTheirCaptionsShortcutsAndInitialStates) {
  open();
  struct Case {
    QAction* action;
    const char* caption;
    const char* shortcut;
    bool enabled, checked;
  } cases[] = {
      {m().mnuFileExit, "E&xit", "Ctrl+Q", true, false},
      {m().mnuNormCursor, "&Normal", "", true, true},
      {m().mnuTrack, "&Track", "", true, false},
      {m().mnuDataStart, "&Start Acquisition", "F9", true, false},
      {m().mnuDataStop, "Sto&p Acquisition", "Shift+F9", false, false},
      {m().mnuAutorange, "&Autorange", "", true, false},
      {m().mnuQuickRaw, "Quickset: &Raw Counts", "", true, false},
      {m().mnuQuick5V, "Quickset: 0-&5V", "", true, false},
      {m().mnuViewToolbar, "&Toolbar", "", true, true},
      {m().mnuViewStatusBar, "Status &Bar", "", true, true},
      {m().mnuViewRefresh, "&Clear", "", true, false},
      {m().mnuGraphProps, "&Graph Properties...", "F5", true, false},
      {m().mnuFileNew, "&New", "Ctrl+N", m().mnuFileNew->isEnabled(), false},
      {m().mnuCopy, "&Copy", "Ctrl+C", m().mnuCopy->isEnabled(), false},
      {m().mnuHelpContents, "&Contents", "F1", m().mnuHelpContents->isEnabled(), false},
      {m().mnuSearchForHelpOn, "&Search", "Shift+F1", m().mnuSearchForHelpOn->isEnabled(), false},
      {m().mnuHelpAbout, "&About ", "", m().mnuHelpAbout->isEnabled(), false},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.caption);
    EXPECT_EQ(tc.action->text(), QString::fromUtf8(tc.caption));
    EXPECT_EQ(tc.action->shortcut().toString(), QString::fromUtf8(tc.shortcut));
    EXPECT_EQ(tc.action->isEnabled(), tc.enabled);
    EXPECT_EQ(tc.action->isChecked(), tc.checked);
  }
  for (int i = 1; i <= 4; ++i)
    EXPECT_FALSE(m().mnuFileMRU[i]->isVisible()) << i;
  QStringList menus;
  for (QMenu* menu :
       {m().mnuFile, m().mnuEdit, m().mnuCursor, m().mnuData, m().mnuView, m().mnuHelp})
    menus << menu->title();
  EXPECT_EQ(menus, QStringList({"&File", "&Edit", "&Cursor", "&Data", "&View", "&Help"}));
  EXPECT_EQ(window->caption(), QStringLiteral("ZRVLOG"));
}

TEST_F(MainWindowTest, ToolbarButtonsAndStatusPanels) {
  open();
  QStringList keys, tips;
  for (QAction* a : window->tbToolBar()->actions())
    if (a->data().isValid()) keys << a->data().toString(), tips << a->toolTip();
  EXPECT_EQ(keys, QStringList({"New", "Open", "Save", "Print", "Copy", "Run", "Props"}));
  EXPECT_EQ(tips, QStringList({"New", "Open", "Save", "Print", "Copy", "Start/Stop", "Options"}));
  const char* panelTips[] = {"Recently received data appears here",
                             "This panel shows the start time for data acquisition",
                             "Running time (seconds)", "Current date", "Current time"};
  for (int i = 1; i <= 5; ++i) {
    auto* label = window->findChild<QWidget*>(QStringLiteral("panel%1").arg(i));
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->toolTip(), QString::fromUtf8(panelTips[i - 1]));
  }
  EXPECT_TRUE(window->panelText(1).isEmpty()) << "cleared at start-up";
  EXPECT_FALSE(window->panelText(4).isEmpty());
}

TEST_F(MainWindowTest, StartAndStopFromMenuAndToolbar) {
  open();
  QAction* run = window->toolButton(QStringLiteral("Run"));
  window->mnuDataStart_Click();
  EXPECT_TRUE(board->portopen());
  EXPECT_TRUE(run->isChecked());
  EXPECT_FALSE(m().mnuDataStart->isEnabled());
  EXPECT_TRUE(m().mnuDataStop->isEnabled());
  timer->fire();
  EXPECT_EQ(window->panelText(3), QStringLiteral("0.0 s"));
  EXPECT_FALSE(window->panelText(2).isEmpty());
  window->tbToolBar_ButtonClick(QStringLiteral("Run"));  // a run is going on: Run stops it
  EXPECT_FALSE(board->portopen());
  EXPECT_FALSE(run->isChecked());
  EXPECT_TRUE(m().mnuDataStart->isEnabled());
  EXPECT_FALSE(m().mnuDataStop->isEnabled());
  dialogs.answerMessage(Answer::No);  // "Save file?" for the samples of the first run
  run->trigger();                     // pressing the button itself
  EXPECT_TRUE(board->portopen());
  EXPECT_TRUE(run->isChecked());
  run->trigger();
  EXPECT_FALSE(board->portopen());
  EXPECT_FALSE(run->isChecked());
  window->tbToolBar_ButtonClick(QStringLiteral("run"));  // keys compare exactly
  EXPECT_FALSE(board->portopen());
}

TEST_F(MainWindowTest, AFailedStartSaysWhyTheSameWayFromTheMenuAndTheToolbar) {
  open();
  board->failOpen =
      zrv::AutomationError(8010, QStringLiteral("COM1 (/dev/ttyS0): Permission denied"));
  const std::function<void()> starts[] = {
      [&] { window->mnuDataStart_Click(); },
      [&] { window->tbToolBar_ButtonClick(QStringLiteral("Run")); }};
  for (const auto& start : starts) {
    dialogs.answerMessage(Answer::Ok);
    const std::size_t before = dialogs.asked().size();
    start();
    ASSERT_EQ(dialogs.asked().size(), before + 1);
    EXPECT_EQ(dialogs.asked().back().title, QStringLiteral("Error"));
    EXPECT_TRUE(dialogs.asked().back().text.contains(QStringLiteral("Permission denied")));
    EXPECT_FALSE(board->portopen());
    EXPECT_FALSE(window->toolButton(QStringLiteral("Run"))->isChecked());
    EXPECT_TRUE(m().mnuDataStart->isEnabled());
    EXPECT_FALSE(m().mnuDataStop->isEnabled());
  }
}

TEST_F(MainWindowTest, AFailedStartNamesThePortItsDeviceAndWhatToDo) {
  struct Case {
    int number;
    const char* says;
  } cases[] = {
      {8002, "COM1 is /dev/fake1, which does not exist: choose the board's port in Options > ZRV"},
      {8010, "COM1 is /dev/fake1, which cannot be opened"},
      {68, "The acquisition could not start."},
  };
  open();
  for (const auto& tc : cases) {
    board->failOpen = zrv::AutomationError(tc.number, QStringLiteral("the library's words"));
    dialogs.answerMessage(Answer::Ok);
    window->mnuDataStart_Click();
    ASSERT_FALSE(dialogs.messages().empty());
    EXPECT_TRUE(dialogs.messages().back().startsWith(QLatin1String(tc.says)))
        << dialogs.messages().back().toStdString();
    EXPECT_TRUE(dialogs.messages().back().contains(QStringLiteral("the library's words")));
  }
}

TEST_F(MainWindowTest, ASilentBoardStopsTheRunAndShowsWhy) {
  open();
  window->mnuDataStart_Click();
  timer->fire();
  board->silent = true;
  dialogs.answerMessage(Answer::Ok);
  for (int i = 0; i < 3; ++i)  // the third second without an answer ends it
    timer->fire();
  EXPECT_FALSE(board->portopen());
  ASSERT_EQ(dialogs.messages().size(), 1u);
  EXPECT_TRUE(dialogs.messages()[0].contains(QStringLiteral("has not answered for 2 s")))
      << dialogs.messages()[0].toStdString();
  EXPECT_TRUE(m().mnuDataStart->isEnabled());
  EXPECT_EQ(window->engine().document().sampleCount(), 1u);
}

TEST_F(MainWindowTest, StoredSettingsOnAnEmptyAndOnABrokenStore) {
  {
    QSettings broken(iniPath, QSettings::IniFormat);
    broken.setValue(QStringLiteral("COM/Port"), QStringLiteral("three"));
    broken.setValue(QStringLiteral("Settings/MainLeft"), QStringLiteral("abc"));
    broken.setValue(QStringLiteral("Settings/MainWidth"), QStringLiteral("9000"));
  }
  open();
  EXPECT_EQ(board->CommPort(), 1);
  const QRect g = window->geometry();
  EXPECT_EQ(g.x(), twipsToPixels(1000, dpi())) << "a non-numeric value falls back to its default";
  EXPECT_EQ(g.width(), twipsToPixels(9000, dpi()));
  EXPECT_EQ(g.height(), twipsToPixels(6500, dpi()));
}

TEST_F(MainWindowTest, AFirstStartOpensAtAComfortableShareOfTheScreenCentred) {
  open();
  const QRect available = window->screen()->availableGeometry();
  const QRect g = window->geometry();
  EXPECT_NEAR(g.width(), 0.7 * available.width(), 2);
  EXPECT_NEAR(g.height(), 0.7 * available.height(), 2);
  EXPECT_NEAR(g.center().x(), available.center().x(), 2);
  EXPECT_NEAR(g.center().y(), available.center().y(), 2);
}

TEST_F(MainWindowTest, TheStatusBarSaysWhatTheRunIsDoingAndForgetsOldSamples) {
  open();
  window->engine().settings.stopsec = QStringLiteral("2");
  EXPECT_EQ(window->stateText(), QStringLiteral("No samples"));
  window->mnuDataStart_Click();
  EXPECT_EQ(window->stateText(), QStringLiteral("Recording: 0 samples, 0.0 s of 2 s"));
  timer->fire();
  EXPECT_EQ(window->stateText(), QStringLiteral("Recording: 1 sample, 0.0 s of 2 s"));
  timer->fire();
  EXPECT_EQ(window->stateText(), QStringLiteral("Recording: 2 samples, 1.0 s of 2 s"));
  EXPECT_EQ(window->panelText(3), QStringLiteral("1.0 s"));
  // Panel 1 names each recorded channel with its unit, in the decimals of one A/D step (5 mV:
  // three); its tooltip adds the jitter.
  EXPECT_TRUE(window->panelText(1).startsWith(QStringLiteral("Channel 1: 0.489 V   Channel 2: ")))
      << window->panelText(1).toStdString();
  EXPECT_TRUE(window->panelText(1).endsWith(QStringLiteral("Channel 5: 2.444 V")));
  const QString tip = window->panelToolTip(1);
  for (const char* part : {"Channel 1: 0.489 V", "Channel 5: 2.444 V", "Jitter: 0 ms"})
    EXPECT_TRUE(tip.contains(QLatin1String(part))) << tip.toStdString();
  board->failReads = 2;  // the tick at the stop time cannot read: the run ends all the same
  timer->fire();
  EXPECT_FALSE(window->engine().running());
  EXPECT_EQ(window->stateText(), QStringLiteral("Finished: 2 samples in 1.0 s, 1 missed tick"));
  dialogs.answerMessage(Answer::No);
  m().mnuViewRefresh->trigger();
  EXPECT_EQ(window->stateText(), QStringLiteral("No samples"));
  for (int panel : {1, 2, 3})
    EXPECT_TRUE(window->panelText(panel).isEmpty()) << panel;
}

TEST_F(MainWindowTest, GeometryIsStoredOnCloseUnlessMinimized) {
  open();
  window->setGeometry(150, 120, 640, 480);
  window->close();
  {
    StoredSettings reread(iniPath);
    const TwipsGeometry g = reread.mainGeometry();
    EXPECT_NEAR(g.width, pixelsToTwips(640, dpi()), 1);
    EXPECT_NEAR(g.height, pixelsToTwips(480, dpi()), 1);
  }
  window.reset();
  open();
  window->setGeometry(10, 10, 300, 300);
  window->showMinimized();
  window->close();
  StoredSettings reread(iniPath);
  EXPECT_NEAR(reread.mainGeometry().width, pixelsToTwips(640, dpi()), 1) << "minimized: kept";
}

TEST_F(MainWindowTest, ClosingDuringARunStopsIt) {
  open();
  window->mnuDataStart_Click();
  timer->fire();
  dialogs.answerMessage(Answer::No);
  window->close();
  EXPECT_EQ(dialogs.messages(), std::vector<QString>{QStringLiteral("Save file?")});
  EXPECT_FALSE(board->portopen());
  EXPECT_FALSE(timer->enabled());
}

TEST_F(MainWindowTest, ToolbarAndStatusBarToggles) {
  open();
  const int graphTop = window->graphView().geometry().top();
  const int graphBottom = window->graphView().geometry().bottom();
  m().mnuViewToolbar->trigger();
  EXPECT_FALSE(m().mnuViewToolbar->isChecked());
  EXPECT_FALSE(window->tbToolBar()->isVisible());
  QCoreApplication::processEvents();
  EXPECT_LT(window->graphView().geometry().top(), graphTop) << "the graph moves up";
  m().mnuViewStatusBar->trigger();
  QCoreApplication::processEvents();
  EXPECT_FALSE(window->statusBar()->isVisible());
  EXPECT_GT(window->graphView().geometry().bottom(), graphBottom) << "the graph reaches down";
  m().mnuViewToolbar->trigger();
  EXPECT_TRUE(window->tbToolBar()->isVisible());
}

TEST_F(MainWindowTest, CursorMenuChecksFollowTheGraphsMode) {
  open();
  window->mnuPan_Click();
  EXPECT_EQ(window->NTGraph1().property(GraphMember::CursorMode), Variant(int32_t{3}));
  window->NTGraph1().setProperty(GraphMember::CursorMode, Variant(int32_t{1}));
  window->mnuCursor_Click();  // what opening the menu does
  EXPECT_FALSE(m().mnuPan->isChecked());
  EXPECT_TRUE(m().mnuTrack->isChecked());
  EXPECT_FALSE(m().mnuNormCursor->isChecked());
  window->NTGraph1().setProperty(GraphMember::CursorMode, Variant(int32_t{7}));
  window->mnuCursor_Click();
  for (QAction* a : {m().mnuNormCursor, m().mnuTrack, m().mnuZoom, m().mnuPan})
    EXPECT_FALSE(a->isChecked());
}

TEST_F(MainWindowTest, TrackReadOut) {
  open();
  window->engine().SetTimerInt(500);
  board->raw = {1023, 0, 512, 205, 0, 0, 0, 0};
  window->mnuDataStart_Click();
  for (int i = 0; i < 30; ++i)
    timer->fire();
  window->mnuDataStop_Click();
  window->NTGraph1().setTrackPosition(12.34, 1.0);
  window->NTGraph1_CursorPosition(12.34, 1.0);
  EXPECT_EQ(window->graphView().toolTipText(),
            QStringLiteral("X=12.3 s Ch1=5.000 V Ch2=0.000 V Ch3=2.502 V Ch4=1.002 V Ch5=0.000 V"));
  // With three channels recorded, channels 4 and 5 hold no readings and are left out of the
  // read-out, the crosshair beside it, the value panel and the legend.
  window->engine().settings.ChanLimit = 3;
  dialogs.answerMessage(Answer::No);
  window->mnuDataStart_Click();
  for (int i = 0; i < 30; ++i)
    timer->fire();
  window->mnuDataStop_Click();
  window->mnuTrack_Click();
  GraphView& view = window->graphView();
  view.replotNow();
  // The mouse over the plot in Track mode: a crosshair with the read-out beside it.
  QWidget* area = view.mouseArea();
  const QPointF at = area->mapFrom(&view, view.toPixel(12.0, 1.0));
  QMouseEvent move(QEvent::MouseMove, at, area->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                   Qt::NoModifier);
  QApplication::sendEvent(area, &move);
  EXPECT_TRUE(view.crosshairShown());
  EXPECT_EQ(view.crosshairText(),
            QString(view.toolTipText()).replace(QStringLiteral(" Ch"), QStringLiteral("\nCh")));
  EXPECT_TRUE(view.toolTipText().endsWith(QStringLiteral(" Ch1=5.000 V Ch2=0.000 V Ch3=2.502 V")))
      << view.toolTipText().toStdString();
  EXPECT_FALSE(window->panelText(1).contains(QStringLiteral("Channel 4")));
  EXPECT_FALSE(window->panelToolTip(1).contains(QStringLiteral("Channel 4")));
  window->mnuNormCursor_Click();
  QApplication::sendEvent(area, &move);
  EXPECT_FALSE(view.crosshairShown());
  window->NTGraph1_CursorPosition(15.5, 1.0);  // beyond the next sample's time (15)
  EXPECT_TRUE(window->graphView().toolTipText().isEmpty());
}

TEST_F(MainWindowTest, AutorangeToggles) {
  open();
  m().mnuAutorange->trigger();
  EXPECT_TRUE(window->engine().autorange());
  m().mnuAutorange->trigger();
  EXPECT_FALSE(window->engine().autorange());
}

TEST_F(MainWindowTest, UserDefaultsComeBackAtTheNextStartUntilTheFactoryOnesAreRestored) {
  struct Start {
    int32_t interval;
    int16_t channels;
    double a1;
  };
  const auto started = [&]() {
    open();
    const AcquisitionEngine& e = window->engine();
    return Start{e.GetTimerInt(), e.settings.ChanLimit, e.data.GetCoef(1, 2).toDouble()};
  };
  Start s = started();
  EXPECT_EQ(s.interval, 1000) << "a start without defaults is the factory one";
  EXPECT_EQ(s.channels, 5);
  window->mnuQuickRaw_Click();
  window->engine().SetTimerInt(250);
  window->engine().settings.ChanLimit = 3;
  ASSERT_TRUE(stored->setUserDefaults(window->userDefaults()));
  close();
  s = started();
  EXPECT_EQ(s.interval, 250);
  EXPECT_EQ(s.channels, 3);
  EXPECT_EQ(s.a1, 1.0) << "the calibration came back";
  EXPECT_EQ(window->NTGraph1().property(GraphMember::LabelFormatY).toText(),
            QStringLiteral("%4.0f"));
  stored->clearUserDefaults();
  window->applyFactoryDefaults();
  EXPECT_EQ(window->engine().GetTimerInt(), 1000);
  close();
  s = started();
  EXPECT_EQ(s.interval, 1000);
  EXPECT_NEAR(s.a1, 4.88758553274682E-03, 1e-18);
}

}  // namespace
}  // namespace zrvlog
