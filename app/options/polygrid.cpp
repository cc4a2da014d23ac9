#include "polygrid.h"

#include <QFont>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QStyledItemDelegate>
#include <cmath>
#include <utility>

#include "app/appinfo/appinfo.h"
#include "app/dialogs/dialogs.h"
#include "app/documents/dataset.h"
#include "common/numberformat.h"
#include "common/variant.h"

namespace zrvlog {

namespace {

// Column c (1-5) holds the coefficient of X^(5 - c): a4 first, a0 last.
int columnOfOrder(int order) {
  return (4 - order) + 1;
}

// A width share of the grid, computed in single precision and rounded ties to even.
int share(int width, float parts) {
  return static_cast<int>(std::nearbyint(static_cast<float>(width) / parts));
}

}  // namespace

// The in-place editor of a cell: a line edit whose text goes through PolyGrid::typed rather
// than straight into the cell, so that a text that is not a number never lands there.
class CellDelegate : public QStyledItemDelegate {
 public:
  explicit CellDelegate(PolyGrid* grid) : QStyledItemDelegate(grid), m_grid(grid) {}

  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                        const QModelIndex& index) const override {
    QWidget* editor = QStyledItemDelegate::createEditor(parent, option, index);
    m_grid->m_editor = editor;
    return editor;
  }
  void setModelData(QWidget* editor, QAbstractItemModel*, const QModelIndex& index) const override {
    if (const auto* line = qobject_cast<QLineEdit*>(editor))
      m_grid->typed(index.row() + 1, index.column() + 1, line->text());
  }

 private:
  PolyGrid* m_grid;
};

PolyGrid::PolyGrid(Dialogs& dialogs, QWidget* parent)
    : QTableWidget(kRows - 1, kCols - 1, parent), m_dialogs(dialogs) {
  setObjectName(QStringLiteral("PolyGrid"));
  setFont(QFont(QStringLiteral("Arial")));
  // The heading row and column of the grid are the table's two headers.
  const QString format = QStringLiteral(
      "|a4        |a3        |a2        |a1        |a0        ;|Ch 0|Ch 1|Ch 2|Ch 3|Ch 4");
  const QStringList parts = format.split(QLatin1Char(';'));
  QStringList columns, rows;
  for (const QString& h : parts[0].split(QLatin1Char('|')).mid(1))
    columns << h.trimmed();
  for (const QString& h : parts[1].split(QLatin1Char('|')).mid(1))
    rows << h.trimmed();
  setHorizontalHeaderLabels(columns);
  setVerticalHeaderLabels(rows);
  horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  // The sixths leave a sliver of the width over; a0 takes it rather than an empty heading.
  horizontalHeader()->setStretchLastSection(true);
  horizontalHeader()->setHighlightSections(false);
  horizontalHeader()->setFont(font());
  verticalHeader()->setSectionResizeMode(QHeaderView::Stretch);
  verticalHeader()->setDefaultAlignment(Qt::AlignCenter);
  verticalHeader()->setHighlightSections(false);
  verticalHeader()->setFont(font());
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  // Typing starts an edit in place; double-click and Enter open the input box instead.
  setEditTriggers(QAbstractItemView::AnyKeyPressed);
  setItemDelegate(new CellDelegate(this));
  setSelectionMode(QAbstractItemView::SingleSelection);
  setTabKeyNavigation(false);
  setCornerButtonEnabled(false);
  setWordWrap(false);
  for (int r = 0; r < rowCount(); ++r)
    for (int c = 0; c < columnCount(); ++c) {
      auto* item = new QTableWidgetItem;
      item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable);
      item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      setItem(r, c, item);
    }
  setCurrentCell(0, 0);
  // Wide enough for the default a1 in full: a calibration is no use half shown.
  const int cell = fontMetrics().horizontalAdvance(QStringLiteral("4.88758553274682E-03")) + 10;
  setMinimumWidth(kRows * cell);
  const int rowHeight = fontMetrics().height() + 8;
  setMinimumHeight(horizontalHeader()->sizeHint().height() + (kRows - 1) * rowHeight +
                   2 * frameWidth());
  connect(this, &QTableWidget::cellDoubleClicked, this, [this] { PolyGrid_DblClick(); });
}

QString PolyGrid::TextMatrix(int row, int col) const {
  if (row == 0 && col == 0) return {};
  if (row == 0) return horizontalHeaderItem(col - 1)->text();
  if (col == 0) return verticalHeaderItem(row - 1)->text();
  return item(row - 1, col - 1)->text();
}

void PolyGrid::setTextMatrix(int row, int col, const QString& text) {
  if (row < 1 || col < 1) return;
  QTableWidgetItem* cell = item(row - 1, col - 1);
  cell->setText(text);
  cell->setToolTip(text);  // the whole of a text too long for its column
}

void PolyGrid::setCurrent(int row, int col) {
  setCurrentCell(row - 1, col - 1);
}

void PolyGrid::load(const DataSet& data) {
  for (int16_t i = 0; i < kChannels; ++i)
    for (int16_t j = 0; j < kOrders; ++j)
      setTextMatrix(i + 1, columnOfOrder(j), data.GetCoef(j, i).toText());
  setColumnWidths();
}

void PolyGrid::writeBack(DataSet& data) const {
  for (int16_t i = 0; i < kChannels; ++i)
    for (int16_t j = 0; j < kOrders; ++j)
      data.SetCoef(j, i, zrv::Variant(TextMatrix(i + 1, columnOfOrder(j))));
}

void PolyGrid::PolyGrid_DblClick() {
  const int row = Row(), col = Col();
  if (row < 1 || col < 1) return;
  const QString text = m_dialogs.input(this, QStringLiteral("New Value"),
                                       QStringLiteral("Edit cell"), TextMatrix(row, col));
  if (text.isEmpty()) return;
  if (!zrv::parseNumber(text)) {
    refuse(row, col, text);
    return;
  }
  setTextMatrix(row, col, text);
}

void PolyGrid::refuse(int row, int col, const QString& text) {
  // The cell as its headings name it, as the dialog names its fields.
  m_dialogs.message(this,
                    QStringLiteral("Invalid entry %1\n\n%2, %3: enter a number, such as 0.5, -2 "
                                   "or 1e-3; '%1' is not a number. The cell keeps its value.")
                        .arg(text, TextMatrix(row, 0), TextMatrix(0, col)),
                    kAppTitle, Buttons::Ok, Icon::None);
}

void PolyGrid::typed(int row, int col, const QString& text) {
  if (text.trimmed().isEmpty()) return;
  if (!zrv::parseNumber(text)) {
    m_refused = Refusal{row, col, text};
    return;
  }
  setTextMatrix(row, col, text);
}

void PolyGrid::closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) {
  QTableWidget::closeEditor(editor, hint);
  // The message waits until the editor is closed: a message box shown while it is open would
  // take its focus and commit it a second time.
  if (const std::optional<Refusal> refused = std::exchange(m_refused, std::nullopt))
    refuse(refused->row, refused->col, refused->text);
}

void PolyGrid::finishEditing() {
  if (!isEditing() || !m_editor) return;
  QWidget* editor = m_editor;
  commitData(editor);
  closeEditor(editor, QAbstractItemDelegate::NoHint);
}

void PolyGrid::keyPressEvent(QKeyEvent* event) {
  // The keyboard's way to the input box. While a cell is edited in place, its editor hands
  // Enter on to the grid after taking it as the end of the edit: that Enter stops here, and
  // neither opens the box nor presses the dialog's OK.
  const int key = event->key();
  if ((key == Qt::Key_F2 || key == Qt::Key_Return || key == Qt::Key_Enter) &&
      (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier)) {
    if (!isEditing()) PolyGrid_DblClick();
    event->accept();
    return;
  }
  // Only a printable character starts an edit in place; control characters (Escape,
  // Backspace) and shortcuts go on to the dialog.
  const QString text = event->text();
  const bool shortcut =
      event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
  if (!text.isEmpty() && (shortcut || !text.at(0).isPrint())) {
    event->ignore();
    return;
  }
  QTableWidget::keyPressEvent(event);
}

void PolyGrid::resizeEvent(QResizeEvent* event) {
  QTableWidget::resizeEvent(event);
  setColumnWidths();
}

void PolyGrid::setColumnWidths() {
  // The heading column takes a seventh of the grid's width, each coefficient a sixth.
  const int w = width();
  verticalHeader()->setFixedWidth(share(w, 7.0f));
  for (int c = 0; c < columnCount(); ++c)
    horizontalHeader()->resizeSection(c, share(w, 6.0f));
}

}  // namespace zrvlog
