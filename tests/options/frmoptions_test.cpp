#include "app/options/frmoptions.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
#include <QSettings>
#include <QTabBar>
#include <QToolBar>

#include "app/acquisition/engine.h"
#include "app/graph/graphmodel.h"
#include "app/options/polygrid.h"
#include "tests/options/optionsfixture.h"
#include "tests/support/variantprinter.h"

namespace zrvlog {
namespace {

using zrv::Variant;
using zrvtest::OptionsFixture;

class OptionsTest : public OptionsFixture {
 protected:
  /// Everything Apply may write, readably, so that "nothing changed" is one comparison.
  QStringList snapshot() {
    AcquisitionEngine& e = window->engine();
    const AcquisitionSettings& s = e.settings;
    GraphModel& g = window->NTGraph1();
    QStringList out;
    for (const Variant* v : {&s.MINX, &s.MAXX, &s.MINY, &s.MAXY, &s.stopsec, &s.Tol})
      out << zrv::describe(*v);
    out << QString::number(s.AvgCt) << QString::number(s.ChanLimit) << QString::number(s.RefSel);
    for (GraphMember m : {GraphMember::RangeXMin, GraphMember::RangeXMax, GraphMember::RangeYMin,
                          GraphMember::RangeYMax, GraphMember::GridCountX, GraphMember::GridCountY,
                          GraphMember::LegendOn})
      out << zrv::describe(g.property(m));
    out << QString::number(e.GetTimerInt()) << QString::number(e.GetTimerFreq());
    out << QString::number(board->CommPort())
        << QSettings(iniPath, QSettings::IniFormat).value(QStringLiteral("COM/Port")).toString();
    for (int16_t c = 0; c < 5; ++c)
      for (int16_t k = 0; k < 5; ++k)
        out << zrv::describe(e.data.GetCoef(k, c));
    out << QString::number(e.autorange()) << QString::number(m().mnuAutorange->isChecked());
    out << zrv::portmap::resolve(2);
    return out;
  }
  const frmMain::Menus& m() const { return window->menus(); }
  static QString storedPort(const QString& path) {
    return QSettings(path, QSettings::IniFormat).value(QStringLiteral("COM/Port")).toString();
  }
};

// ---- Layout and loading ------------------------------------------------------------------

TEST_F(OptionsTest, ShowsItsTabsControlsAndTexts) {
  open();
  withOptions([&](frmOptions& f) {
    EXPECT_EQ(f.windowTitle(), QStringLiteral("Options"));
    EXPECT_EQ(f.windowModality(), Qt::WindowModal) << "modal to the main window only";
    EXPECT_EQ(f.parentWidget(), window.get());
    QStringList tabs;
    for (int i = 0; i < f.tbsOptions()->count(); ++i)
      tabs << f.tbsOptions()->tabText(i);
    EXPECT_EQ(tabs, QStringList({"Graph", "Sampling", "ZRV", "Fit"}));
    EXPECT_EQ(f.cmdOK->text(), QStringLiteral("OK"));
    EXPECT_EQ(f.cmdCancel->text(), QStringLiteral("Cancel"));
    EXPECT_EQ(f.cmdApply->text(), QStringLiteral("&Apply"));
    EXPECT_EQ(f.Gset->text(), QStringLiteral("Graph Setup"));
    EXPECT_EQ(f.autor->text(), QStringLiteral("Autoranging"));
    EXPECT_EQ(f.Legend->text(), QStringLiteral("Legend"));
    QStringList ports;
    for (int i = 0; i < f.CPort->count(); ++i)
      ports << f.CPort->itemText(i);
    EXPECT_EQ(ports, QStringList(
                         {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "COM9"}));
    ASSERT_EQ(f.RefSel->count(), 3);
    const struct {
      const char* text;
      int code;
    } refs[] = {{"Vdd, Vss", 0}, {"Ch3, Vss", 1}, {"Ch3, Ch2", 8}};
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(f.RefSel->itemText(i), QString::fromLatin1(refs[i].text));
      EXPECT_EQ(f.RefSel->itemData(i).toInt(), refs[i].code);
    }
    // Every label and unit text the pages carry.
    QStringList texts;
    for (const QLabel* label : f.findChildren<QLabel*>())
      texts << label->text();
    for (const char* expected :
         {"Minimum X",
          "Maximum X",
          "Minimum Y",
          "Maximum Y",
          "X Steps",
          "Y Steps",
          "Sample Rate:",
          "Seconds between samples",
          "Stop time:",
          "Seconds (leave empty to free run)",
          "Tolerance:",
          "%",
          "Average:",
          "Samples",
          "Timer Freq:",
          "Advanced use only",
          "ComPort:",
          "Channels:",
          "Reference:",
          "The setting below require a ZRV produced after 1 March 2004. They have no effect on "
          "earlier models. Contact Corvane if you would like a firmware upgrade.",
          "Double click a cell to edit. The formula for each channel is:",
          "X'=a4*X**4+a3*X**3+a2*X**2+a1*X+a0",
          "Default: a4=a3=a2=a0=0 and a1=4.88758553274682E-03"})
      EXPECT_TRUE(texts.contains(QString::fromUtf8(expected))) << expected;
  });
}

TEST_F(OptionsTest, LoadsEveryFieldFromTheLiveSettings) {
  open();
  AcquisitionEngine& e = window->engine();
  e.SetTimerInt(250);
  e.SetTimerFreq(2000);
  e.settings.stopsec = QStringLiteral("12.5");
  e.settings.Tol = 0.5;
  e.settings.MINX = QStringLiteral(" -1e1 ");  // text shows as typed
  e.settings.MAXX = 12.25;                     // a number in the general format
  e.settings.AvgCt = 4;
  e.settings.ChanLimit = 3;
  e.settings.RefSel = 8;
  window->NTGraph1().setProperty(GraphMember::GridCountX, Variant(int16_t{7}));
  window->NTGraph1().setProperty(GraphMember::LegendOn, Variant(false));
  board->setCommPort(4);
  m().mnuAutorange->trigger();
  withOptions([&](frmOptions& f) {
    const struct {
      QLineEdit* box;
      const char* text;
    } fields[] = {{f.MINX, " -1e1 "}, {f.MAXX, "12.25"}, {f.MINY, "0"},        {f.MAXY, "5"},
                  {f.XSTEP, "7"},     {f.YSTEP, "10"},   {f.SampRate, "0.25"}, {f.StopTime, "12.5"},
                  {f.TTol, "0.5"},    {f.Avg, "4"},      {f.TFreq, "2000"},    {f.Chan, "3"}};
    for (const auto& field : fields)
      EXPECT_EQ(field.box->text(), QString::fromLatin1(field.text))
          << field.box->objectName().toStdString();
    EXPECT_TRUE(f.autor->isChecked());
    for (QLineEdit* box : {f.MINX, f.MAXX, f.MINY, f.MAXY})
      EXPECT_FALSE(box->isEnabled()) << "autoranging: " << box->objectName().toStdString();
    EXPECT_FALSE(f.Legend->isChecked());
    EXPECT_EQ(f.RefSel->currentIndex(), 2);
    EXPECT_EQ(f.CPort->currentIndex(), 3);
    EXPECT_TRUE(f.CPort->isEnabledTo(f.picOptions(2)));
    EXPECT_EQ(f.TimerStats->toPlainText(),
              QStringLiteral("Timer Information.\n Resolution=500\n Maximum=1000\n Minimum=1"));
    // Unchecking opens the range boxes again.
    f.autor->setChecked(false);
    for (QLineEdit* box : {f.MINX, f.MAXX, f.MINY, f.MAXY})
      EXPECT_TRUE(box->isEnabled()) << box->objectName().toStdString();
  });
}

TEST_F(OptionsTest, TimerInformationIsFourLinesJoinedByCrLf) {
  EXPECT_EQ(timerInformation(15, 1000, 1),
            QStringLiteral("Timer Information.\r\n Resolution=15\r\n Maximum=1000\r\n Minimum=1"));
}

TEST_F(OptionsTest, ReferenceAndPortWithoutAListEntryFallBackVisibly) {
  {
    QSettings s(iniPath, QSettings::IniFormat);
    s.setValue(QStringLiteral("COM/Port"), QStringLiteral("12"));
  }
  open();
  ASSERT_EQ(board->CommPort(), 12);
  window->engine().settings.RefSel = 3;
  withOptions([&](frmOptions& f) {
    auto* refNote = f.findChild<QLabel*>(QStringLiteral("lblRefNote"));
    auto* portNote = f.findChild<QLabel*>(QStringLiteral("lblPortNote"));
    EXPECT_EQ(f.RefSel->currentIndex(), 0);
    EXPECT_FALSE(refNote->isHidden());
    EXPECT_TRUE(refNote->text().contains(QStringLiteral("3")));
    EXPECT_EQ(f.CPort->currentIndex(), 0);
    EXPECT_FALSE(portNote->isHidden());
    EXPECT_TRUE(portNote->text().contains(QStringLiteral("COM12")));
    click(f.cmdApply);
  });
  EXPECT_EQ(window->engine().settings.RefSel, 0);
  EXPECT_EQ(board->CommPort(), 1);
  EXPECT_EQ(storedPort(iniPath), QStringLiteral("1"));
}

// ---- Validation --------------------------------------------------------------------------

TEST_F(OptionsTest, ABadEntryIsReportedOnItsPageAndChangesNothing) {
  const QString empty;
  struct Case {
    std::vector<std::pair<const char*, QString>> entries;
    QString message;
    int tab;                 // 1-based
    QString focusAtMessage;  // the focus while the message shows
    QString focusAfter;
  };
  const QString cmdApply = QStringLiteral("cmdApply");
  const std::vector<Case> cases = {
      {{{"StopTime", "0"}}, "Invalid entry 0", 2, "StopTime", "StopTime"},
      {{{"TTol", "-1"}}, "Invalid entry -1", 2, "TTol", "TTol"},
      {{{"MINX", "abc"}, {"MAXX", "-5"}}, "Invalid entry abc", 1, "MINX", "MINX"},
      {{{"MINX", "3"}, {"MAXX", "3"}},
       "Maximum X must be larger than minimum X",
       1,
       cmdApply,
       "MINX"},
      {{{"MINY", "2"}, {"MAXY", "1.5"}},
       "Maximum Y must be larger than minimum Y",
       1,
       cmdApply,
       "MINY"},
      {{{"XSTEP", "0"}, {"Avg", "x"}}, "Invalid entry 0", 1, "XSTEP", "XSTEP"},
      {{{"Avg", empty}}, "Invalid entry ", 2, "Avg", "Avg"},
      {{{"Chan", "6"}}, "5 Channels maximum", 3, cmdApply, "Chan"},
      {{{"Chan", "5.5"}}, "5 Channels maximum", 3, cmdApply, "Chan"},
      {{{"Chan", "0"}}, "Invalid entry 0", 3, "Chan", "Chan"},
      {{{"SampRate", "-1"}}, "Invalid entry -1", 2, "SampRate", "SampRate"},
      {{{"TFreq", "1 000"}}, "Invalid entry 1 000", 2, "TFreq", "TFreq"},
      {{{"MAXY", "1e999"}}, "Invalid entry 1e999", 1, "MAXY", "MAXY"},
      {{{"StopTime", "  "}}, "Invalid entry   ", 2, "StopTime", "StopTime"},
      // Numbers the checks above let through but no setting can hold.
      {{{"SampRate", "0.0004"}},
       "Invalid entry 0.0004\n\nThe sample rate is set in whole milliseconds, and 0.0004 "
       "seconds rounds to 0 ms. Enter at least 0.001 seconds.",
       2,
       "SampRate",
       "SampRate"},
      {{{"SampRate", "2147483.648"}},
       "Invalid entry 2147483.648\n\nThe longest sample rate is 2147483.647 seconds.",
       2,
       "SampRate",
       "SampRate"},
      {{{"Avg", "32768"}},
       "Invalid entry 32768\n\nAverage takes a whole number from 1 to 32767.",
       2,
       "Avg",
       "Avg"},
      {{{"Avg", "0.5"}},
       "Invalid entry 0.5\n\nAverage takes a whole number from 1 to 32767.",
       2,
       "Avg",
       "Avg"},
      {{{"TFreq", "2147483647.5"}},
       "Invalid entry 2147483647.5\n\nTimer Freq takes a whole number from 1 to 2147483647.",
       2,
       "TFreq",
       "TFreq"},
      {{{"XSTEP", "0.3"}},
       "Invalid entry 0.3\n\nX Steps takes a whole number from 1 to 32767.",
       1,
       "XSTEP",
       "XSTEP"},
      {{{"YSTEP", "1e5"}},
       "Invalid entry 1e5\n\nY Steps takes a whole number from 1 to 32767.",
       1,
       "YSTEP",
       "YSTEP"},
      {{{"Chan", "0.4"}},
       "Invalid entry 0.4\n\nChannels takes a whole number from 1 to 5.",
       3,
       "Chan",
       "Chan"},
  };
  open();
  const QStringList before = snapshot();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message.toStdString());
    dialogs.focusAtMessage.clear();
    const std::size_t asked = dialogs.asked().size();
    scriptOptions([&](frmOptions& f) {
      f.selectTab(4);  // the report brings the field's page to the front
      for (const auto& [name, text] : c.entries)
        type(f, name, text);
      click(f.cmdApply);
      EXPECT_EQ(f.selectedTab(), c.tab);
      EXPECT_EQ(focusName(f), c.focusAfter);
      EXPECT_TRUE(f.isVisible());
    });
    dialogs.answerMessage(Answer::Ok);
    showOptions();
    ASSERT_EQ(dialogs.asked().size(), asked + 2) << "the dialog, then exactly one message";
    const auto& q = dialogs.asked().back();
    EXPECT_EQ(q.text, c.message);
    EXPECT_EQ(q.title, QStringLiteral("ZRVLOG"));
    EXPECT_EQ(q.buttons, Buttons::Ok);
    ASSERT_EQ(dialogs.focusAtMessage.size(), 1u);
    EXPECT_EQ(dialogs.focusAtMessage[0], c.focusAtMessage);
    EXPECT_EQ(snapshot(), before) << "a failed validation changes nothing";
  }
}

TEST_F(OptionsTest, DisabledRangeBoxesStillBlockApplyWithoutTakingTheFocus) {
  const struct {
    const char* field;
    const char* text;
    const char* message;
  } cases[] = {
      {"MINX", "abc", "Invalid entry abc"},
      {"MAXY", "", "Invalid entry "},
      {"MAXX", "0", "Maximum X must be larger than minimum X"},
      {"MAXY", "-1", "Maximum Y must be larger than minimum Y"},
  };
  open();
  m().mnuAutorange->trigger();
  const QStringList before = snapshot();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    dialogs.focusAtMessage.clear();
    scriptOptions([&](frmOptions& f) {
      ASSERT_FALSE(f.field(c.field)->isEnabled());
      f.selectTab(2);
      type(f, c.field, QString::fromLatin1(c.text));
      click(f.cmdApply);
      EXPECT_EQ(f.selectedTab(), 1);
      EXPECT_EQ(focusName(f), QStringLiteral("cmdApply")) << "a disabled box takes no focus";
    });
    dialogs.answerMessage(Answer::Ok);
    showOptions();
    EXPECT_EQ(dialogs.messages().back(), QString::fromLatin1(c.message));
    EXPECT_EQ(dialogs.focusAtMessage, std::vector<QString>{QStringLiteral("cmdApply")});
    EXPECT_EQ(snapshot(), before);
  }
}

TEST_F(OptionsTest, NumbersAcceptSignExponentBlanksAndTheUsersSeparator) {
  const struct {
    const char* locale;
    const char* text;
    int32_t milliseconds;
  } cases[] = {
      {"C", "0.25", 250},     {"C", " 2.5E-1 ", 250},    {"C", "+.25", 250},
      {"C", "1e0", 1000},     {"C", "0.0015", 2},        {"de_DE", "0,25", 250},
      {"de_DE", "0.25", 250}, {"de_DE", "1,5e1", 15000}, {"C", "2147483.647", 2147483647},
  };
  open();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.locale) + " " + c.text);
    QLocale::setDefault(QLocale(QString::fromLatin1(c.locale)));
    withOptions([&](frmOptions& f) {
      type(f, "SampRate", QString::fromLatin1(c.text));
      click(f.cmdApply);
    });
    QLocale::setDefault(QLocale::c());
    EXPECT_EQ(window->engine().GetTimerInt(), c.milliseconds);
  }
  EXPECT_TRUE(dialogs.messages().empty());
  // Shown back in the user's own format.
  QLocale::setDefault(QLocale(QStringLiteral("de_DE")));
  window->engine().SetTimerInt(250);
  withOptions([&](frmOptions& f) { EXPECT_EQ(f.SampRate->text(), QStringLiteral("0,25")); });
  QLocale::setDefault(QLocale::c());
}

// ---- Applying ----------------------------------------------------------------------------

TEST_F(OptionsTest, AcceptedEntriesAreStoredAsTheyAreApplied) {
  using Check = std::function<void(frmMain&)>;
  const struct {
    const char* field;
    const char* text;
    Check check;
  } cases[] = {
      {"StopTime", "", [](frmMain& w) { EXPECT_EQ(w.engine().settings.stopsec, Variant("")); }},
      {"StopTime", "30", [](frmMain& w) { EXPECT_EQ(w.engine().settings.stopsec, Variant("30")); }},
      {"TTol", "0", [](frmMain& w) { EXPECT_EQ(w.engine().settings.Tol, Variant("0")); }},
      {"MINX", "-10",
       [](frmMain& w) {
         EXPECT_EQ(w.engine().settings.MINX, Variant("-10"));
         EXPECT_EQ(w.NTGraph1().property(GraphMember::RangeXMin), Variant(-10.0));
       }},
      {"MINX", "0", [](frmMain& w) { EXPECT_EQ(w.engine().settings.MINX, Variant("0")); }},
      {"MAXY", "1e-3",
       [](frmMain& w) {
         EXPECT_EQ(w.engine().settings.MAXY, Variant("1e-3"));
         EXPECT_EQ(w.NTGraph1().property(GraphMember::RangeYMax), Variant(0.001));
       }},
      {"Chan", "5", [](frmMain& w) { EXPECT_EQ(w.engine().settings.ChanLimit, 5); }},
      {"Chan", "4.5", [](frmMain& w) { EXPECT_EQ(w.engine().settings.ChanLimit, 4); }},
      {"Chan", "1.5", [](frmMain& w) { EXPECT_EQ(w.engine().settings.ChanLimit, 2); }},
      {"Avg", "2.5", [](frmMain& w) { EXPECT_EQ(w.engine().settings.AvgCt, 2); }},
      {"Avg", "32767", [](frmMain& w) { EXPECT_EQ(w.engine().settings.AvgCt, 32767); }},
      {"TFreq", "1000.5", [](frmMain& w) { EXPECT_EQ(w.engine().GetTimerFreq(), 1000); }},
      {"XSTEP", "7",
       [](frmMain& w) {
         EXPECT_EQ(w.NTGraph1().property(GraphMember::GridCountX), Variant(int16_t{7}));
       }},
      {"YSTEP", "3.5",
       [](frmMain& w) {
         EXPECT_EQ(w.NTGraph1().property(GraphMember::GridCountY), Variant(int16_t{4}));
       }},
  };
  open();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.field) + " = \"" + c.text + "\"");
    withOptions([&](frmOptions& f) {
      type(f, c.field, QString::fromLatin1(c.text));
      click(f.cmdApply);
      EXPECT_TRUE(f.isVisible()) << "Apply leaves the dialog open";
      EXPECT_EQ(f.field(c.field)->text(), QString::fromLatin1(c.text)) << "and its fields as typed";
    });
    c.check(*window);
  }
  EXPECT_TRUE(dialogs.messages().empty());
}

TEST_F(OptionsTest, ApplyWritesEveryFieldToTheProgram) {
  open();
  withOptions([&](frmOptions& f) {
    f.autor->setChecked(true);
    f.Legend->setChecked(false);
    const std::pair<const char*, const char*> entries[] = {
        {"MINX", "-5"}, {"MAXX", "50"}, {"MINY", "-1"},     {"MAXY", "2.5"},
        {"XSTEP", "5"}, {"YSTEP", "8"}, {"StopTime", "60"}, {"TFreq", "500"},
        {"TTol", "10"}, {"Avg", "3"},   {"Chan", "2"},      {"SampRate", "0.5"}};
    for (const auto& [name, text] : entries)
      type(f, name, QString::fromLatin1(text));
    f.RefSel->setCurrentIndex(1);
    f.CPort->setCurrentIndex(2);
    f.grid()->setTextMatrix(1, 5, QStringLiteral("0.25"));
    click(f.cmdOK);
    EXPECT_FALSE(f.isVisible()) << "OK closes after applying";
  });
  AcquisitionEngine& e = window->engine();
  GraphModel& g = window->NTGraph1();
  EXPECT_TRUE(m().mnuAutorange->isChecked());
  EXPECT_TRUE(e.autorange()) << "the ticks obey the dialog's autoranging";
  EXPECT_EQ(e.settings.MINX, Variant("-5"));
  EXPECT_EQ(e.settings.MAXX, Variant("50"));
  EXPECT_EQ(e.settings.MINY, Variant("-1"));
  EXPECT_EQ(e.settings.MAXY, Variant("2.5"));
  EXPECT_EQ(g.property(GraphMember::RangeXMin), Variant(-5.0));
  EXPECT_EQ(g.property(GraphMember::RangeXMax), Variant(50.0));
  EXPECT_EQ(g.property(GraphMember::RangeYMin), Variant(-1.0));
  EXPECT_EQ(g.property(GraphMember::RangeYMax), Variant(2.5));
  EXPECT_EQ(g.property(GraphMember::GridCountX), Variant(int16_t{5}));
  EXPECT_EQ(g.property(GraphMember::GridCountY), Variant(int16_t{8}));
  EXPECT_EQ(g.property(GraphMember::LegendOn), Variant(false));
  EXPECT_EQ(e.settings.stopsec, Variant("60"));
  EXPECT_EQ(e.GetTimerFreq(), 500);
  EXPECT_EQ(e.settings.Tol, Variant("10"));
  EXPECT_EQ(e.settings.AvgCt, 3);
  EXPECT_EQ(e.settings.ChanLimit, 2);
  EXPECT_EQ(e.settings.RefSel, 1);
  EXPECT_EQ(e.GetTimerInt(), 500);
  EXPECT_EQ(board->CommPort(), 3);
  EXPECT_EQ(storedPort(iniPath), QStringLiteral("3"));
  EXPECT_EQ(e.data.GetCoef(0, 0), Variant("0.25"));
  EXPECT_EQ(e.data.GetCoef(1, 4), Variant("4.88758553274682E-03")) << "every cell, as text";
  EXPECT_TRUE(dialogs.messages().empty());
}

TEST_F(OptionsTest, OkWithABadFieldStaysOpenAndCancelKeepsWhatApplySet) {
  open();
  scriptOptions([&](frmOptions& f) {
    type(f, "TTol", QStringLiteral("7"));
    click(f.cmdApply);
    type(f, "TTol", QStringLiteral("8"));
    type(f, "Avg", QStringLiteral("many"));
    click(f.cmdOK);
    EXPECT_TRUE(f.isVisible()) << "OK with a bad field keeps the dialog open";
    EXPECT_EQ(window->engine().settings.Tol, Variant("7")) << "and applies nothing";
    click(f.cmdCancel);
    EXPECT_FALSE(f.isVisible());
  });
  dialogs.answerMessage(Answer::Ok);
  showOptions();
  EXPECT_EQ(dialogs.messages(), std::vector<QString>{QStringLiteral("Invalid entry many")});
  EXPECT_EQ(window->engine().settings.Tol, Variant("7")) << "Cancel keeps what Apply set";
  EXPECT_EQ(window->engine().settings.AvgCt, 1);
}

TEST_F(OptionsTest, EachShowingStartsFromTheSettings) {
  open();
  withOptions([&](frmOptions& f) { type(f, "TTol", QStringLiteral("99")); });  // closed unapplied
  withOptions([&](frmOptions& f) { EXPECT_EQ(f.TTol->text(), QStringLiteral("25")); });
}

// ---- Pages and keys ------------------------------------------------------------------------

TEST_F(OptionsTest, CtrlTabCyclesThePagesAndExactlyOnePageIsLive) {
  const struct {
    int from;
    int key;
    Qt::KeyboardModifiers modifiers;
    int to;
  } cases[] = {
      {1, Qt::Key_Tab, Qt::ControlModifier, 2},
      {3, Qt::Key_Tab, Qt::ControlModifier, 4},
      {4, Qt::Key_Tab, Qt::ControlModifier, 1},
      {1, Qt::Key_Tab, Qt::ControlModifier | Qt::ShiftModifier, 4},
      {1, Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier, 4},
      {3, Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier, 2},
      {2, Qt::Key_Tab, Qt::ControlModifier | Qt::AltModifier, 3},  // Alt does not count
      {2, Qt::Key_Tab, Qt::NoModifier, 2},
      {2, Qt::Key_Backtab, Qt::ShiftModifier, 2},
      {2, Qt::Key_PageDown, Qt::ControlModifier, 2},
  };
  open();
  withOptions([&](frmOptions& f) {
    for (const auto& c : cases) {
      SCOPED_TRACE(QStringLiteral("tab %1, key %2, modifiers %3")
                       .arg(c.from)
                       .arg(c.key, 0, 16)
                       .arg(c.modifiers.toInt(), 0, 16)
                       .toStdString());
      f.selectTab(c.from);
      // The key goes to a control of the page; the dialog sees it first.
      QWidget* target = c.from == 4 ? static_cast<QWidget*>(f.grid())
                                    : f.picOptions(c.from - 1)->findChild<QLineEdit*>();
      ASSERT_NE(target, nullptr);
      QKeyEvent press(QEvent::KeyPress, c.key, c.modifiers);
      QApplication::sendEvent(target, &press);
      EXPECT_EQ(f.selectedTab(), c.to);
      for (int i = 0; i < frmOptions::kPages; ++i) {
        EXPECT_EQ(f.picOptions(i)->isVisibleTo(&f), i == c.to - 1) << "page " << i;
        EXPECT_EQ(f.picOptions(i)->isEnabled(), i == c.to - 1) << "page " << i;
      }
    }
  });
}

// ---- The port list and the port map ---------------------------------------------------------

TEST_F(OptionsTest, DuringARunThePortListIsDisabledAndApplyStoresThePortUnchanged) {
  {
    QSettings s(iniPath, QSettings::IniFormat);
    s.setValue(QStringLiteral("COM/Port"), QStringLiteral("4"));
  }
  open();
  window->mnuDataStart_Click();
  ASSERT_TRUE(board->portopen());
  QSettings(iniPath, QSettings::IniFormat)
      .setValue(QStringLiteral("COM/Port"), QStringLiteral("x"));
  withOptions([&](frmOptions& f) {
    EXPECT_FALSE(f.CPort->isEnabledTo(f.picOptions(2)));
    EXPECT_FALSE(f.cboDevice->isEnabledTo(f.picOptions(2)));
    EXPECT_EQ(f.CPort->currentIndex(), 3);
    f.CPort->setCurrentIndex(6);  // even a selection made by the program does not apply
    click(f.cmdApply);
  });
  EXPECT_EQ(board->CommPort(), 4);
  EXPECT_EQ(storedPort(iniPath), QStringLiteral("4"));
  EXPECT_TRUE(board->portopen());
}

TEST_F(OptionsTest, ThePortMapChangesOnlyOnApply) {
  open();
  zrv::portmap::overrideForProcess(1, QStringLiteral("sim"));  // as the demo mode does
  withOptions([&](frmOptions& f) {
    EXPECT_EQ(f.shownDevice(1), QStringLiteral("sim"));
    EXPECT_EQ(f.shownDevice(2), QStringLiteral("/dev/ttyS1"));
    EXPECT_EQ(f.CPort->model()->index(1, 1).data().toString(), QStringLiteral("/dev/ttyS1"))
        << "the list shows each number's device";
    EXPECT_EQ(f.cboDevice->currentText(), QStringLiteral("sim"));
    EXPECT_EQ(f.cboDevice->itemText(0), QStringLiteral("sim")) << "the simulated board is offered";

    f.CPort->setCurrentIndex(1);
    EXPECT_EQ(f.cboDevice->currentText(), QStringLiteral("/dev/ttyS1"));
    f.cboDevice->setEditText(QStringLiteral("/dev/ttyUSB7"));
    EXPECT_EQ(f.shownDevice(2), QStringLiteral("/dev/ttyUSB7"));
    EXPECT_TRUE(f.CPort->model()->index(1, 1).data().toString().startsWith("/dev/ttyUSB7"));
    f.CPort->setCurrentIndex(0);
    f.cboDevice->setEditText(QStringLiteral("/dev/ttyS0"));  // COM1's own default
    EXPECT_EQ(zrv::portmap::resolve(2), QStringLiteral("/dev/ttyS1")) << "nothing written yet";
    EXPECT_FALSE(QFile::exists(zrv::portmap::configFile()));
    f.CPort->setCurrentIndex(1);
    click(f.cmdApply);
    EXPECT_EQ(f.cboDevice->currentText(), QStringLiteral("/dev/ttyUSB7"));
  });
  EXPECT_EQ(zrv::portmap::lookup(2),
            (zrv::portmap::Entry{2, QStringLiteral("/dev/ttyUSB7"), zrv::portmap::Source::File}));
  EXPECT_EQ(zrv::portmap::lookup(1),
            (zrv::portmap::Entry{1, QStringLiteral("/dev/ttyS0"), zrv::portmap::Source::Default}))
      << "the choice made here wins over the session's mapping, and the default needs no entry";
  EXPECT_EQ(board->CommPort(), 2);
  EXPECT_EQ(storedPort(iniPath), QStringLiteral("2"));

  // Cancel forgets a change.
  withOptions([&](frmOptions& f) {
    f.cboDevice->setEditText(QStringLiteral("sim"));
    click(f.cmdCancel);
  });
  EXPECT_EQ(zrv::portmap::resolve(2), QStringLiteral("/dev/ttyUSB7"));
  EXPECT_TRUE(dialogs.messages().empty());
}

TEST_F(OptionsTest, TheToolbarTellsWhetherTheChosenPortIsTheSimulatedBoard) {
  open();
  QAction* simulated = nullptr;
  for (QAction* a : window->tbToolBar()->actions())
    if (auto* w = window->tbToolBar()->widgetForAction(a);
        w && w->objectName() == QLatin1String("lblSimulated"))
      simulated = a;
  ASSERT_NE(simulated, nullptr);
  EXPECT_FALSE(simulated->isVisible());
  withOptions([&](frmOptions& f) {
    f.cboDevice->setEditText(QStringLiteral("sim"));
    click(f.cmdOK);
  });
  EXPECT_EQ(zrv::portmap::resolve(1), QStringLiteral("sim"));
  EXPECT_TRUE(simulated->isVisible());
  withOptions([&](frmOptions& f) {
    f.CPort->setCurrentIndex(1);
    click(f.cmdOK);
  });
  EXPECT_FALSE(simulated->isVisible()) << "COM2 is a serial port";
}

TEST_F(OptionsTest, APortMapThatCannotBeWrittenIsReportedAndTheDialogStaysOpen) {
  open();
  // A file where the map's folder should be: the map cannot be written.
  const QString config = dir.filePath(QStringLiteral("config"));
  ASSERT_TRUE(QDir().mkpath(config));
  QFile blocker(config + QStringLiteral("/Corvane"));
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  scriptOptions([&](frmOptions& f) {
    f.selectTab(1);
    f.cboDevice->setEditText(QStringLiteral("/dev/ttyUSB0"));
    type(f, "TTol", QStringLiteral("12"));
    click(f.cmdOK);
    EXPECT_TRUE(f.isVisible()) << "the change stays in the dialog to try again";
    EXPECT_EQ(f.selectedTab(), 3);
    EXPECT_EQ(f.shownDevice(1), QStringLiteral("/dev/ttyUSB0"));
  });
  dialogs.answerMessage(Answer::Ok);
  showOptions();
  ASSERT_EQ(dialogs.messages().size(), 1u);
  EXPECT_TRUE(dialogs.messages()[0].startsWith(QStringLiteral("The port map could not be saved")));
  EXPECT_TRUE(dialogs.messages()[0].contains(QStringLiteral("COM1")));
  EXPECT_EQ(window->engine().settings.Tol, Variant("12")) << "the other settings are applied";
  EXPECT_EQ(zrv::portmap::resolve(1), QStringLiteral("/dev/ttyS0"));
}

// ---- During a run ----------------------------------------------------------------------------

TEST_F(OptionsTest, ApplyDuringARunReachesTheNextTicks) {
  open();
  window->mnuDataStart_Click();
  timer->fire();
  ASSERT_EQ(window->engine().data.sampleCount(), 1u);
  board->calls.clear();
  withOptions([&](frmOptions& f) {
    timer->fire();  // ticks keep coming under the dialog
    EXPECT_EQ(window->engine().data.sampleCount(), 2u);
    type(f, "SampRate", QStringLiteral("0.5"));
    type(f, "Chan", QStringLiteral("2"));
    type(f, "Avg", QStringLiteral("3"));
    f.grid()->setTextMatrix(2, 5, QStringLiteral("100"));  // a0 of channel 1
    click(f.cmdApply);
    board->calls.clear();
    timer->fire();
  });
  EXPECT_EQ(window->engine().GetTimerInt(), 500);
  EXPECT_EQ(board->calls, QStringList({"repeat(3)", "a2d(0)", "readword", "readword", "repeat(3)",
                                       "a2d(1)", "readword", "readword"}));
  // Channel 1 reads 200 counts: 200 x a1 + 100.
  EXPECT_NEAR(window->NTGraph1().pointY(2, 1), 200 * 4.88758553274682E-03 + 100, 1e-9);
  EXPECT_DOUBLE_EQ(window->engine().data.SampleTime.toDouble(), 2.5)
      << "two samples a second apart, then one half a second on";
}

TEST_F(OptionsTest, TheToolbarsPropsButtonAndTheViewMenuOpenTheDialog) {
  open();
  EXPECT_TRUE(m().mnuViewOptions->isEnabled());
  EXPECT_TRUE(window->toolButton(QStringLiteral("Props"))->isEnabled());
  int shown = 0;
  dialogs.answerExec([&](QDialog& d) {
    ++shown;
    EXPECT_EQ(d.objectName(), QStringLiteral("frmOptions"));
    return int(QDialog::Rejected);
  });
  window->tbToolBar_ButtonClick(QStringLiteral("Props"));
  EXPECT_EQ(shown, 1);
}

}  // namespace
}  // namespace zrvlog
