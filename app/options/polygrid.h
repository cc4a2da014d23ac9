#pragma once
// PolyGrid: the calibration coefficients of the five channels as a 6 x 6 grid on the Fit
// page of the options dialog. Row 0 holds the headings "a4".."a0", column 0 "Ch 0".."Ch 4";
// cell (r, c) for r, c in 1-5 is the coefficient of X^(5 - c) of channel r - 1.
//
// The cells hold text: loading shows each coefficient as text (numbers in the general number
// format), writing back stores each cell's text as typed. Cells change only through the
// "Edit cell" input box (double-click, or F2 / Enter on the current cell), which refuses a
// text that is not a number: every sampling tick computes with these values, and one text it
// cannot convert would stop the run.

#include <QTableWidget>

namespace zrvlog {

class DataSet;
class Dialogs;

class PolyGrid : public QTableWidget {
  Q_OBJECT

 public:
  /// Rows and columns, the heading row and column included.
  static constexpr int kRows = 6;
  static constexpr int kCols = 6;

  PolyGrid(Dialogs& dialogs, QWidget* parent = nullptr);

  /// The text of a cell in grid coordinates: row 0 and column 0 are the headings.
  QString TextMatrix(int row, int col) const;
  void setTextMatrix(int row, int col, const QString& text);
  /// The current cell in grid coordinates (1-5 each); moving it selects that cell.
  int Row() const { return currentRow() + 1; }
  int Col() const { return currentColumn() + 1; }
  void setCurrent(int row, int col);

  /// Fills the 25 cells from the coefficient table.
  void load(const DataSet& data);
  /// Stores the 25 cells' texts in the coefficient table, whatever the channel count.
  void writeBack(DataSet& data) const;

  /// Edits the current cell through the input box; an empty answer keeps the cell.
  void PolyGrid_DblClick();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void setColumnWidths();

  Dialogs& m_dialogs;
};

}  // namespace zrvlog
