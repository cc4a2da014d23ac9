#include "app/options/polygrid.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>

#include "app/acquisition/engine.h"
#include "app/documents/dataset.h"
#include "tests/options/optionsfixture.h"
#include "tests/support/variantprinter.h"

namespace zrvlog {
namespace {

using zrv::Variant;
using zrvtest::OptionsFixture;

using PolyGridTest = OptionsFixture;

// What the 25 cells show, row by row (channels), a4 first.
QStringList cells(const PolyGrid& grid) {
  QStringList out;
  for (int r = 1; r < PolyGrid::kRows; ++r)
    for (int c = 1; c < PolyGrid::kCols; ++c)
      out << grid.TextMatrix(r, c);
  return out;
}

// A double-click with the mouse on a cell (grid coordinates): it becomes the current one.
void doubleClick(PolyGrid& g, int row, int col) {
  QWidget* area = g.viewport();
  const QPoint at = g.visualRect(g.model()->index(row - 1, col - 1)).center();
  for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease,
                                  QEvent::MouseButtonDblClick, QEvent::MouseButtonRelease}) {
    const bool down = type != QEvent::MouseButtonRelease;
    QMouseEvent event(type, at, area->mapToGlobal(at), Qt::LeftButton,
                      down ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(area, &event);
  }
}

QStringList rowsOf(const char* a1) {
  QStringList out;
  for (int r = 0; r < 5; ++r)
    out << "0"
        << "0"
        << "0" << QString::fromLatin1(a1) << "0";
  return out;
}

TEST_F(PolyGridTest, HeadingsAndTheStartUpCalibration) {
  open();
  withOptions([&](frmOptions& f) {
    const PolyGrid& g = *f.grid();
    EXPECT_EQ(g.TextMatrix(0, 0), QString());
    QStringList top, side;
    for (int i = 1; i <= 5; ++i) {
      top << g.TextMatrix(0, i);
      side << g.TextMatrix(i, 0);
    }
    EXPECT_EQ(top, QStringList({"a4", "a3", "a2", "a1", "a0"}));
    EXPECT_EQ(side, QStringList({"Ch 0", "Ch 1", "Ch 2", "Ch 3", "Ch 4"}));
    EXPECT_EQ(cells(g), rowsOf("4.88758553274682E-03"));
  });
}

TEST_F(PolyGridTest, LoadingShowsNumbersInTheGeneralFormatAndTextAsItIs) {
  open();
  DataSet& d = window->engine().data;
  d.SetCoef(4, 0, Variant(0.1 + 0.2));  // a4 of channel 0
  d.SetCoef(0, 0, Variant(int32_t{-7}));
  d.SetCoef(2, 3, Variant(QStringLiteral(" 1E-3")));
  d.SetCoef(3, 4, Variant(1.5e20));
  withOptions([&](frmOptions& f) {
    const PolyGrid& g = *f.grid();
    EXPECT_EQ(g.TextMatrix(1, 1), QStringLiteral("0.3"));
    EXPECT_EQ(g.TextMatrix(1, 5), QStringLiteral("-7"));
    EXPECT_EQ(g.TextMatrix(4, 3), QStringLiteral(" 1E-3"));
    EXPECT_EQ(g.TextMatrix(5, 2), QStringLiteral("1.5E+20"));
  });
}

TEST_F(PolyGridTest, EditingThroughTheInputBox) {
  const struct {
    const char* answer;
    const char* cell;
    const char* message;  // "" for none
  } cases[] = {
      {"1e-3", "1e-3", ""},  // kept as typed
      {" -2.5 ", " -2.5 ", ""},
      {"", "0", ""},  // Cancel, or OK on an emptied box: unchanged
      {"abc", "0",
       "Invalid entry abc\n\nCh 2, a3: enter a number, such as 0.5, -2 or 1e-3; 'abc' is not a "
       "number. The cell keeps its value."},
      {"1,5", "0", "Invalid entry 1,5\n\nCh 2, a3: enter a number"},
  };
  open();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    const std::size_t asked = dialogs.asked().size();
    scriptOptions([&](frmOptions& f) {
      PolyGrid& g = *f.grid();
      f.selectTab(4);
      doubleClick(g, 3, 2);  // channel 2, a3
      EXPECT_EQ(g.TextMatrix(3, 2), QString::fromLatin1(c.cell));
    });
    dialogs.answerInput(QString::fromLatin1(c.answer));
    if (*c.message) dialogs.answerMessage(Answer::Ok);
    showOptions();
    const auto& input = dialogs.asked()[asked + 1];
    EXPECT_EQ(input.kind, zrvtest::ScriptedDialogs::Kind::Input);
    EXPECT_EQ(input.text, QStringLiteral("New Value"));
    EXPECT_EQ(input.title, QStringLiteral("Edit cell"));
    EXPECT_EQ(input.file.initialName, QStringLiteral("0")) << "the cell's text as the default";
    if (*c.message) {
      EXPECT_TRUE(dialogs.messages().back().startsWith(QString::fromLatin1(c.message)))
          << dialogs.messages().back().toStdString();
      EXPECT_EQ(dialogs.asked().back().title, QStringLiteral("ZRVLOG"));
    }
  }
}

// Keys typed into the cell's editor while one is open, else into the grid; \n is Enter,
// \x1b Escape.
void typeKeys(PolyGrid& g, const QString& keys) {
  for (const QChar ch : keys) {
    QWidget* target = &g;
    for (QLineEdit* editor : g.findChildren<QLineEdit*>())
      if (editor->isVisible()) target = editor;
    const int key = ch == u'\n' ? Qt::Key_Return : ch == u'\x1b' ? Qt::Key_Escape : 0;
    QKeyEvent press(QEvent::KeyPress, key ? key : ch.toUpper().unicode(), Qt::NoModifier, ch);
    QApplication::sendEvent(target, &press);
    QApplication::processEvents();  // Enter ends an edit through a queued call
  }
}

TEST_F(PolyGridTest, TypingIntoTheSelectedCellEditsItInPlace) {
  const struct {
    const char *keys, *applied, *asked;  // the coefficient after Apply; "message", "input"
  } cases[] = {
      {"2.5\n", "2.5", ""},                         // replaces the old text, as in a spreadsheet
      {"1e-3", "1e-3", ""},                         // Apply takes an edit still open
      {"7\x1b", "0", ""},                           // Escape drops the edit
      {"abc\n", "0", "message"}, {" \n", "0", ""},  // a coefficient cannot be blanked
      {"\n", "4", "input"},  // Enter on a cell not being edited opens the input box
  };
  open();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys);
    window->engine().data.SetCoef(3, 2, Variant("0"));
    scriptOptions([&](frmOptions& f) {
      f.selectTab(4);
      f.grid()->setCurrent(3, 2);  // channel 2, a3
      typeKeys(*f.grid(), QString::fromLatin1(c.keys));
      f.cmdApply_Click();
      EXPECT_TRUE(f.isVisible()) << "Enter in a cell does not press OK";
    });
    if (*c.asked == 'm') dialogs.answerMessage(Answer::Ok);
    if (*c.asked == 'i') dialogs.answerInput(QStringLiteral("4"));
    const std::size_t asked = dialogs.asked().size();
    showOptions();
    EXPECT_EQ(dialogs.asked().size(), asked + (*c.asked ? 2 : 1));
    EXPECT_EQ(window->engine().data.GetCoef(3, 2), Variant(c.applied));
  }
  EXPECT_TRUE(
      dialogs.messages().back().startsWith("Invalid entry abc\n\nCh 2, a3: enter a number"));
}

TEST_F(PolyGridTest, ApplyWritesEveryCellAsTextAndCancelWritesNone) {
  open();
  window->engine().settings.ChanLimit = 1;  // all 25 are written whatever the channel count
  scriptOptions([&](frmOptions& f) {
    f.grid()->setCurrent(5, 4);  // channel 4, a1
    f.grid()->PolyGrid_DblClick();
    click(f.cmdCancel);
  });
  dialogs.answerInput(QStringLiteral("1e-3"));
  showOptions();
  EXPECT_EQ(window->engine().data.GetCoef(1, 4), Variant(kVoltsPerCount))
      << "Cancel discards the edit";

  scriptOptions([&](frmOptions& f) {
    f.grid()->setCurrent(5, 4);
    f.grid()->PolyGrid_DblClick();
    click(f.cmdApply);
  });
  dialogs.answerInput(QStringLiteral("1e-3"));
  showOptions();
  const DataSet& d = window->engine().data;
  for (int16_t ch = 0; ch < 5; ++ch)
    for (int16_t order = 0; order < 5; ++order) {
      SCOPED_TRACE(QStringLiteral("channel %1, order %2").arg(ch).arg(order).toStdString());
      const Variant expected = ch == 4 && order == 1 ? Variant("1e-3")
                               : order == 1          ? Variant("4.88758553274682E-03")
                                                     : Variant("0");
      EXPECT_EQ(d.GetCoef(order, ch), expected);
    }
}

TEST_F(PolyGridTest, ColumnsShareTheGridsWidth) {
  open();
  withOptions([&](frmOptions& f) {
    PolyGrid& g = *f.grid();
    f.selectTab(4);
    const struct {
      int width, seventh, sixth;
    } cases[] = {{1203, 172, 200},  // 200.5 rounds to even
                 {1209, 173, 202},  // 201.5 too
                 {1000, 143, 167}};
    for (const auto& c : cases) {
      SCOPED_TRACE(c.width);
      g.resize(c.width, g.height());
      EXPECT_EQ(g.verticalHeader()->width(), c.seventh);
      for (int col = 0; col < 4; ++col)
        EXPECT_EQ(g.columnWidth(col), c.sixth) << "column " << col;
      EXPECT_GE(g.columnWidth(4), c.sixth) << "a0 takes what the sixths leave over";
    }
  });
}

}  // namespace
}  // namespace zrvlog
