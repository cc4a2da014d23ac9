#include "app/options/frmoptions.h"
#include "app/options/optionspage.h"

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
#include <map>

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
  /// A value Apply writes, by a short name, as the program holds it.
  Variant read(const QString& what) {
    AcquisitionEngine& e = window->engine();
    const AcquisitionSettings& s = e.settings;
    const std::map<QString, std::function<Variant()>> values = {
        {"MINX", [&] { return s.MINX; }},
        {"MAXX", [&] { return s.MAXX; }},
        {"MINY", [&] { return s.MINY; }},
        {"MAXY", [&] { return s.MAXY; }},
        {"stopsec", [&] { return s.stopsec; }},
        {"Tol", [&] { return s.Tol; }},
        {"AvgCt", [&] { return Variant(s.AvgCt); }},
        {"ChanLimit", [&] { return Variant(s.ChanLimit); }},
        {"RefSel", [&] { return Variant(s.RefSel); }},
        {"interval", [&] { return Variant(e.GetTimerInt()); }},
        {"frequency", [&] { return Variant(e.GetTimerFreq()); }},
        {"CommPort", [&] { return Variant(board->CommPort()); }},
        {"stored port", [&] { return Variant(storedPort()); }},
        {"autorange", [&] { return Variant(e.autorange() && m().mnuAutorange->isChecked()); }},
        {"port map COM2", [&] { return Variant(zrv::portmap::resolve(2)); }},
    };
    if (const auto it = values.find(what); it != values.end()) return it->second();
    for (const MemberInfo& info : graphMembers())
      if (QLatin1String(info.name) == what) return window->NTGraph1().property(info.member);
    ADD_FAILURE() << "no value named " << what.toStdString();
    return {};
  }
  /// Everything Apply may write, so that "nothing changed" is one comparison.
  QStringList snapshot() {
    QStringList out;
    for (const char* name :
         {"MINX",        "MAXX",       "MINY",          "MAXY",      "stopsec",   "Tol",
          "AvgCt",       "ChanLimit",  "RefSel",        "interval",  "frequency", "CommPort",
          "stored port", "autorange",  "port map COM2", "RangeXMin", "RangeXMax", "RangeYMin",
          "RangeYMax",   "GridCountX", "GridCountY",    "LegendOn"})
      out << zrv::describe(read(QString::fromLatin1(name)));
    for (int16_t c = 0; c < 5; ++c)
      for (int16_t k = 0; k < 5; ++k)
        out << zrv::describe(window->engine().data.GetCoef(k, c));
    return out;
  }
  const frmMain::Menus& m() const { return window->menus(); }
  /// The text of the label before a box, as the user reads it.
  static QString labelOf(const QWidget* box) {
    for (const QLabel* label : box->window()->findChildren<QLabel*>())
      if (label->buddy() == box) return label->text().remove(u':');
    return QStringLiteral("(no label)");
  }
  QString storedPort() const {
    return QSettings(iniPath, QSettings::IniFormat).value(QStringLiteral("COM/Port")).toString();
  }
  void storePort(const char* text) {
    QSettings(iniPath, QSettings::IniFormat).setValue(QStringLiteral("COM/Port"), text);
  }
};

// ---- Showing and loading ------------------------------------------------------------------

TEST_F(OptionsTest, ViewOptionsAndThePropsButtonShowTheDialogModalToTheWindowOnly) {
  open();
  int shown = 0;
  const auto expectOptions = [&](QDialog& d) {
    ++shown;
    EXPECT_EQ(d.objectName(), QStringLiteral("frmOptions"));
    EXPECT_EQ(d.windowTitle(), QStringLiteral("Options"));
    EXPECT_EQ(d.windowModality(), Qt::WindowModal);
    EXPECT_EQ(d.parentWidget(), window.get());
    return int(QDialog::Rejected);
  };
  dialogs.answerExec(expectOptions).answerExec(expectOptions);
  window->tbToolBar_ButtonClick(QStringLiteral("Props"));
  showOptions();
  EXPECT_EQ(shown, 2);
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
    const QStringList names = {"MINX",     "MAXX",     "MINY", "MAXY", "XSTEP", "YSTEP",
                               "SampRate", "StopTime", "TTol", "Avg",  "TFreq", "Chan"};
    QStringList texts;
    for (const QString& name : names)
      texts << f.field(name.toLatin1().constData())->text();
    EXPECT_EQ(texts, QStringList({" -1e1 ", "12.25", "0", "5", "7", "10", "0.25", "12.5", "0.5",
                                  "4", "2000", "3"}));
    EXPECT_TRUE(f.autor->isChecked());
    for (QLineEdit* box : {f.MINX, f.MAXX, f.MINY, f.MAXY})
      EXPECT_FALSE(box->isEnabled()) << "autoranging: " << box->objectName().toStdString();
    EXPECT_FALSE(f.Legend->isChecked());
    EXPECT_EQ(f.RefSel->currentIndex(), 2);
    EXPECT_EQ(f.CPort->currentIndex(), 3);
    EXPECT_TRUE(f.CPort->isEnabledTo(f.picOptions(2)));
    EXPECT_EQ(
        timerInformation(15, 1000, 1),
        QStringLiteral("Timer Information.\r\n Resolution=15\r\n Maximum=1000\r\n Minimum=1"));
    EXPECT_EQ(f.TimerStats->toPlainText(),
              QStringLiteral("Timer Information.\n Resolution=500\n Maximum=1000\n Minimum=1"));
    f.autor->setChecked(false);
    for (QLineEdit* box : {f.MINX, f.MAXX, f.MINY, f.MAXY})
      EXPECT_TRUE(box->isEnabled()) << box->objectName().toStdString();
  });
}

TEST_F(OptionsTest, ReferenceAndPortWithoutAListEntryFallBackVisibly) {
  storePort("12");
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
  EXPECT_EQ(read("RefSel"), Variant(int16_t{0}));
  EXPECT_EQ(read("CommPort"), Variant(int16_t{1}));
  EXPECT_EQ(storedPort(), QStringLiteral("1"));
}

TEST(RangeTexts, DoublesShowTheDigitsTheirSpanNeedsAndTextStaysAsTyped) {
  const struct {
    Variant minimum, maximum;
    QString expected;
  } cases[] = {
      {Variant(-0.0889540566959), Variant(4.91234567891), "-0.0889541 4.91235"},
      {Variant(1234567.891), Variant(2345678.912), "1234570 2345680"},
      // Zoomed far in: six digits would make the two bounds equal.
      {Variant(100.0000001), Variant(100.0000004), "100.0000001 100.0000004"},
      {Variant("abc"), Variant(-1.23456789e-7), "abc -1.23457E-07"},
  };
  for (const auto& c : cases) {
    const auto [low, high] = rangeTexts(c.minimum, c.maximum);
    EXPECT_EQ(low + u' ' + high, c.expected);
  }
}

TEST_F(OptionsTest, AZoomedRangeFitsItsBoxesAndOkAppliesWhatIsShownThere) {
  open();
  window->engine().settings.MINY = -0.0889540566959;  // as the tick leaves it after zooming
  withOptions([&](frmOptions& f) {
    EXPECT_EQ(f.MINY->text(), QStringLiteral("-0.0889541"));
    click(f.cmdOK);
  });
  EXPECT_EQ(read("MINY"), Variant("-0.0889541"));
}

TEST_F(OptionsTest, SwitchingPagesKeepsTheDialogsSizeAndItsButtonsInPlace) {
  open();
  withOptions([&](frmOptions& f) {
    QStringList seen;  // where OK is, and the dialog's size
    for (int tab : {1, 2, 3, 4, 1}) {
      f.selectTab(tab);
      QApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
      const QPoint ok = f.cmdOK->mapTo(&f, QPoint(0, 0));
      seen << QStringLiteral("%1,%2 %3x%4").arg(ok.x()).arg(ok.y()).arg(f.width()).arg(f.height());
    }
    EXPECT_EQ(seen.count(seen[0]), seen.size()) << seen.join(u'|').toStdString();
  });
}

// ---- Validation --------------------------------------------------------------------------

TEST_F(OptionsTest, ABadEntryIsReportedOnItsPageAndChangesNothing) {
  struct Case {
    const char* entries;  // field=text, separated by |
    const char* message;  // the first paragraph; the second names the field as its label reads
    const char* reason;   // a phrase of the second paragraph
    int tab;
    const char* focusAtMessage;
    const char* focusAfter;
  };
  const Case cases[] = {
      {"StopTime=0", "Invalid entry 0", "or nothing to run until stopped; '0' is not", 2,
       "StopTime", "StopTime"},
      {"TTol=-1", "Invalid entry -1", "of 0 or more; '-1' is not allowed.", 2, "TTol", "TTol"},
      {"MINX=abc|MAXX=-5", "Invalid entry abc", "'abc' is not a number.", 1, "MINX", "MINX"},
      {"MINX=3|MAXX=3", "Maximum X must be larger than minimum X", " is '3' and Maximum X is '3'.",
       1, "cmdApply", "MINX"},
      {"MINY=2|MAXY=1.5", "Maximum Y must be larger than minimum Y", "", 1, "cmdApply", "MINY"},
      {"XSTEP=0|Avg=x", "Invalid entry 0", "", 1, "XSTEP", "XSTEP"},
      {"Avg=", "Invalid entry ", "; the box is empty.", 2, "Avg", "Avg"},
      {"StopTime=  ", "Invalid entry   ", "", 2, "StopTime", "StopTime"},
      {"Chan=6", "5 Channels maximum", ": enter a whole number from 1 to 5; '6' is not", 3,
       "cmdApply", "Chan"},
      {"Chan=5.5", "5 Channels maximum", "", 3, "cmdApply", "Chan"},
      {"Chan=0", "Invalid entry 0", "", 3, "Chan", "Chan"},
      {"SampRate=-1", "Invalid entry -1", "", 2, "SampRate", "SampRate"},
      {"TFreq=1 000", "Invalid entry 1 000", "", 2, "TFreq", "TFreq"},
      {"MAXY=1e999", "Invalid entry 1e999", "", 1, "MAXY", "MAXY"},
      // Numbers the checks above let through but no setting can hold.
      {"SampRate=0.0004", "Invalid entry 0.0004", "'0.0004' seconds rounds to 0 ms", 2, "SampRate",
       "SampRate"},
      {"SampRate=2147483.648", "Invalid entry 2147483.648",
       ": enter a number of seconds from 0.001 to 2147483.647; '2147483.648' is not allowed.", 2,
       "SampRate", "SampRate"},
      {"Avg=32768", "Invalid entry 32768", "from 1 to 32767", 2, "Avg", "Avg"},
      {"Avg=0.5", "Invalid entry 0.5", "from 1 to 32767", 2, "Avg", "Avg"},
      {"TFreq=2147483647.5", "Invalid entry 2147483647.5", "from 1 to 2147483647", 2, "TFreq",
       "TFreq"},
      {"XSTEP=0.3", "Invalid entry 0.3", "a whole number from 1 to 32767", 1, "XSTEP", "XSTEP"},
      {"YSTEP=1e5", "Invalid entry 1e5", "'1e5' is not allowed", 1, "YSTEP", "YSTEP"},
      {"Chan=0.4", "Invalid entry 0.4", "from 1 to 5", 3, "Chan", "Chan"},
  };
  open();
  const QStringList before = snapshot();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entries);
    dialogs.focusAtMessage.clear();
    const std::size_t asked = dialogs.asked().size();
    QString label;
    scriptOptions([&](frmOptions& f) {
      label = labelOf(f.field(c.focusAfter));
      f.selectTab(4);  // the report brings the field's page to the front
      for (const QString& entry : QString::fromLatin1(c.entries).split(u'|')) {
        const qsizetype eq = entry.indexOf(u'=');
        type(f, entry.left(eq).toLatin1().constData(), entry.mid(eq + 1));
      }
      click(f.cmdApply);
      EXPECT_EQ(f.selectedTab(), c.tab);
      EXPECT_EQ(focusName(f), QString::fromLatin1(c.focusAfter));
      EXPECT_TRUE(f.isVisible());
    });
    dialogs.answerMessage(Answer::Ok);
    showOptions();
    ASSERT_EQ(dialogs.asked().size(), asked + 2) << "the dialog, then exactly one message";
    const auto& q = dialogs.asked().back();
    const QStringList paragraphs = q.text.split(QStringLiteral("\n\n"));
    EXPECT_EQ(paragraphs[0], QString::fromLatin1(c.message));
    ASSERT_EQ(paragraphs.size(), 2);
    EXPECT_TRUE(paragraphs[1].startsWith(label)) << label.toStdString();
    EXPECT_TRUE(paragraphs[1].contains(QString::fromLatin1(c.reason))) << q.text.toStdString();
    EXPECT_EQ(q.title, QStringLiteral("ZRVLOG"));
    EXPECT_EQ(q.buttons, Buttons::Ok);
    EXPECT_EQ(dialogs.focusAtMessage, std::vector<QString>{QString::fromLatin1(c.focusAtMessage)});
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
    EXPECT_TRUE(dialogs.messages().back().startsWith(QString::fromLatin1(c.message) + "\n\n"));
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
    EXPECT_EQ(read("interval"), Variant(c.milliseconds));
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
  const struct {
    const char* field;
    const char* text;
    const char* value;
    Variant expected;
  } cases[] = {
      {"StopTime", "", "stopsec", Variant("")},  // free run
      {"StopTime", "30", "stopsec", Variant("30")},
      {"TTol", "0", "Tol", Variant("0")},
      {"MINX", "-10", "MINX", Variant("-10")},
      {"MINX", "-10", "RangeXMin", Variant(-10.0)},
      {"MINX", "0", "MINX", Variant("0")},
      {"MAXY", "1e-3", "MAXY", Variant("1e-3")},
      {"MAXY", "1e-3", "RangeYMax", Variant(0.001)},
      {"Chan", "5", "ChanLimit", Variant(int16_t{5})},
      {"Chan", "4.5", "ChanLimit", Variant(int16_t{4})},  // ties to even
      {"Chan", "1.5", "ChanLimit", Variant(int16_t{2})},
      {"Avg", "2.5", "AvgCt", Variant(int16_t{2})},
      {"Avg", "32767", "AvgCt", Variant(int16_t{32767})},
      {"TFreq", "1000.5", "frequency", Variant(int32_t{1000})},
      {"YSTEP", "3.5", "GridCountY", Variant(int16_t{4})},
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
    EXPECT_EQ(read(QString::fromLatin1(c.value)), c.expected);
  }
  EXPECT_TRUE(dialogs.messages().empty());
}

TEST_F(OptionsTest, OkAppliesEveryFieldToTheProgramAndCloses) {
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
  const std::pair<const char*, Variant> expected[] = {
      {"autorange", Variant(true)},
      {"MINX", Variant("-5")},
      {"MAXX", Variant("50")},
      {"MINY", Variant("-1")},
      {"MAXY", Variant("2.5")},
      {"RangeXMin", Variant(-5.0)},
      {"RangeXMax", Variant(50.0)},
      {"RangeYMin", Variant(-1.0)},
      {"RangeYMax", Variant(2.5)},
      {"GridCountX", Variant(int16_t{5})},
      {"GridCountY", Variant(int16_t{8})},
      {"LegendOn", Variant(false)},
      {"stopsec", Variant("60")},
      {"frequency", Variant(int32_t{500})},
      {"Tol", Variant("10")},
      {"AvgCt", Variant(int16_t{3})},
      {"ChanLimit", Variant(int16_t{2})},
      {"RefSel", Variant(int16_t{1})},
      {"interval", Variant(int32_t{500})},
      {"CommPort", Variant(int16_t{3})},
      {"stored port", Variant("3")},
  };
  for (const auto& [name, value] : expected)
    EXPECT_EQ(read(QString::fromLatin1(name)), value) << name;
  EXPECT_EQ(window->engine().data.GetCoef(0, 0), Variant("0.25"));
  EXPECT_EQ(window->engine().data.GetCoef(1, 4), Variant("4.88758553274682E-03"))
      << "every cell, as text";
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
  ASSERT_EQ(dialogs.messages().size(), 1u);
  EXPECT_TRUE(dialogs.messages()[0].startsWith(QStringLiteral("Invalid entry many\n\nAverage:")));
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
      {4, Qt::Key_Tab, Qt::ControlModifier, 5},  // the window's Publish page comes last
      {5, Qt::Key_Tab, Qt::ControlModifier, 1},
      {1, Qt::Key_Tab, Qt::ControlModifier | Qt::ShiftModifier, 5},
      {1, Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier, 5},
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
      QWidget* target = c.from == 4   ? static_cast<QWidget*>(f.grid())
                        : c.from == 5 ? f.morePages().front()->findChild<QLineEdit*>()
                                      : f.picOptions(c.from - 1)->findChild<QLineEdit*>();
      ASSERT_NE(target, nullptr);
      QKeyEvent press(QEvent::KeyPress, c.key, c.modifiers);
      QApplication::sendEvent(target, &press);
      EXPECT_EQ(f.selectedTab(), c.to);
      for (int i = 0; i < frmOptions::kPages; ++i) {
        EXPECT_EQ(f.picOptions(i)->isVisibleTo(&f), i == c.to - 1) << "page " << i;
        EXPECT_EQ(f.picOptions(i)->isEnabled(), i == c.to - 1) << "page " << i;
      }
      EXPECT_EQ(f.morePages().front()->isVisibleTo(&f), c.to == 5);
    }
  });
}

// ---- The port list and the port map ---------------------------------------------------------

TEST_F(OptionsTest, DuringARunThePortListIsDisabledAndApplyStoresThePortUnchanged) {
  storePort("4");
  open();
  window->mnuDataStart_Click();
  ASSERT_TRUE(board->portopen());
  storePort("x");
  withOptions([&](frmOptions& f) {
    EXPECT_FALSE(f.CPort->isEnabledTo(f.picOptions(2)));
    EXPECT_FALSE(f.cboDevice->isEnabledTo(f.picOptions(2)));
    EXPECT_EQ(f.CPort->currentIndex(), 3);
    EXPECT_TRUE(f.findChild<QLabel*>(QStringLiteral("lblDeviceNote"))
                    ->text()
                    .contains(QStringLiteral("between runs")));
    f.CPort->setCurrentIndex(6);  // even a selection made by the program does not apply
    click(f.cmdApply);
  });
  EXPECT_EQ(board->CommPort(), 4);
  EXPECT_EQ(storedPort(), QStringLiteral("4"));
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
  EXPECT_EQ(storedPort(), QStringLiteral("2"));

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
  ASSERT_EQ(window->engine().document().sampleCount(), 1u);
  board->calls.clear();
  withOptions([&](frmOptions& f) {
    timer->fire();  // ticks keep coming under the dialog
    EXPECT_EQ(window->engine().document().sampleCount(), 2u);
    // A data file holds one interval: it cannot change during a run.
    EXPECT_TRUE(f.findChild<QLineEdit*>(QStringLiteral("SampRate"))->isReadOnly());
    EXPECT_FALSE(f.findChild<QLabel*>(QStringLiteral("lblRateNote"))->isHidden());
    type(f, "SampRate", QStringLiteral("0.5"));
    type(f, "Chan", QStringLiteral("2"));
    type(f, "Avg", QStringLiteral("3"));
    f.grid()->setTextMatrix(2, 5, QStringLiteral("100"));  // a0 of channel 1
    click(f.cmdApply);
    board->calls.clear();
    timer->fire();
  });
  EXPECT_EQ(window->engine().GetTimerInt(), 1000);
  EXPECT_EQ(board->calls, QStringList({"repeat(3)", "a2d(0)", "readword", "readword", "repeat(3)",
                                       "a2d(1)", "readword", "readword"}));
  // Channel 1 reads 200 counts: 200 x a1 + 100.
  EXPECT_NEAR(window->NTGraph1().pointY(2, 1), 200 * 4.88758553274682E-03 + 100, 1e-9);
  EXPECT_DOUBLE_EQ(window->engine().data.SampleTime.toDouble(), 3.0)
      << "three samples a second apart: the interval stays for the run";
  window->mnuDataStop_Click();
}

}  // namespace
}  // namespace zrvlog
