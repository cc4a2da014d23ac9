#pragma once
// PolyGrid: the calibration coefficients of the five channels as a 6 x 6 grid on the Fit
// page of the options dialog. Row 0 holds the headings "a4".."a0", column 0 "Ch 0".."Ch 4";
// cell (r, c) for r, c in 1-5 is the coefficient of X^(5 - c) of channel r - 1.
//
// The cells hold text: loading shows each coefficient as text (numbers in the general number
// format), writing back stores each cell's text as typed. A cell changes through the "Edit
// cell" input box (double-click, or F2 / Enter on the current cell) or, as in a spreadsheet,
// by typing into the selected cell, which edits it in place (Enter keeps, Escape drops the
// edit). Either way a text that is not a number is refused and the cell keeps its value:
// every sampling tick computes with these values, and one text it cannot convert would stop
// the run. An empty answer keeps the cell too; a coefficient cannot be blanked.

#include <QPointer>
#include <QTableWidget>
#include <optional>

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
  /// Ends an edit in place, keeping what was typed when it is a number; for Apply and OK
  /// reached by their shortcuts, which leave the focus (and so the edit) where it is.
  void finishEditing();
  /// Whether a cell is being edited in place.
  bool isEditing() const { return state() == EditingState; }

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) override;

 private:
  friend class CellDelegate;
  void setColumnWidths();
  // Takes a text typed for a cell, or notes the refusal to report once the editor is gone.
  void typed(int row, int col, const QString& text);
  void refuse(int row, int col, const QString& text);

  struct Refusal {
    int row, col;
    QString text;
  };
  Dialogs& m_dialogs;
  QPointer<QWidget> m_editor;        // the open in-place editor, if any
  std::optional<Refusal> m_refused;  // typed in place, not a number, not yet reported
};

}  // namespace zrvlog
