#include "propertydialog.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>
#include <limits>

#include "app/dialogs/dialogs.h"
#include "app/graph/graphmodel.h"
#include "app/graphview/colour.h"
#include "common/automationerror.h"
#include "common/numberformat.h"

namespace zrvlog {

using zrv::Variant;

namespace {

// A button showing a colour swatch; a click asks for a new colour.
class ColourButton : public QPushButton {
 public:
  ColourButton(Dialogs& dialogs, QWidget* parent) : QPushButton(parent), m_dialogs(dialogs) {
    connect(this, &QPushButton::clicked, this, [this] {
      QColorDialog dialog(fromBgr(m_colour), this);
      if (m_dialogs.exec(dialog) == QDialog::Accepted) setColour(toBgr(dialog.selectedColor()));
    });
  }
  int32_t colour() const { return m_colour; }
  void setColour(int32_t bgr) {
    m_colour = bgr;
    QPixmap swatch(32, 14);
    swatch.fill(fromBgr(bgr));
    setIcon(QIcon(swatch));
    setIconSize(swatch.size());
    setText(QStringLiteral("#%1").arg(QString::number(toBgr(fromBgr(bgr)) & 0xFFFFFF, 16)
                                          .rightJustified(6, QLatin1Char('0'))
                                          .toUpper()));
  }

 private:
  Dialogs& m_dialogs;
  int32_t m_colour = 0;
};

}  // namespace

GraphPropertyDialog::GraphPropertyDialog(GraphModel& model, Dialogs& dialogs, QWidget* parent)
    : QDialog(parent), m_model(model), m_dialogs(dialogs) {
  setWindowTitle(QStringLiteral("Graph Properties"));
  auto* layout = new QVBoxLayout(this);
  auto* tabs = new QTabWidget(this);
  layout->addWidget(tabs);
  const MemberScope scopes[] = {MemberScope::Graph, MemberScope::Element, MemberScope::Annotation,
                                MemberScope::Cursor};
  const QString titles[] = {QStringLiteral("Graph"), QStringLiteral("Elements"),
                            QStringLiteral("Annotations"), QStringLiteral("Cursors")};
  for (int i = 0; i < 4; ++i) {
    m_pages[i].scope = scopes[i];
    buildPage(m_pages[i], tabs, titles[i]);
  }
  auto* buttons = new QDialogButtonBox(
      QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply, this);
  layout->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(buttons->button(QDialogButtonBox::Apply), &QPushButton::clicked, this,
          &GraphPropertyDialog::apply);
}

int GraphPropertyDialog::itemCount(MemberScope scope) const {
  switch (scope) {
    case MemberScope::Element:
      return m_model.elementCount();
    case MemberScope::Annotation:
      return m_model.annotationCount();
    case MemberScope::Cursor:
      return m_model.cursorCount();
    case MemberScope::Graph:
      break;
  }
  return 1;
}

QString GraphPropertyDialog::itemName(MemberScope scope, int index) const {
  switch (scope) {
    case MemberScope::Element:
      return QStringLiteral("%1: %2").arg(index).arg(
          m_model.itemValue(GraphMember::ElementLabel, index).textValue());
    case MemberScope::Annotation:
      return QStringLiteral("%1: %2").arg(index).arg(
          m_model.itemValue(GraphMember::AnnoLabelText, index).textValue());
    default:
      return QStringLiteral("%1").arg(index);
  }
}

void GraphPropertyDialog::buildPage(Page& page, QTabWidget* tabs, const QString& title) {
  auto* pageWidget = new QWidget(tabs);
  auto* layout = new QVBoxLayout(pageWidget);
  const int count = itemCount(page.scope);
  if (page.scope != MemberScope::Graph) {
    page.chooser = new QComboBox(pageWidget);
    page.chooser->setObjectName(QStringLiteral("chooser_%1").arg(title));
    for (int i = 0; i < count; ++i)
      page.chooser->addItem(itemName(page.scope, i));
    auto* row = new QFormLayout;
    row->addRow(QStringLiteral("Edit:"), page.chooser);
    layout->addLayout(row);
    if (count == 0) layout->addWidget(new QLabel(QStringLiteral("There are none."), pageWidget));
  }
  page.form = new QWidget(pageWidget);
  std::vector<const MemberInfo*> rows;
  for (const MemberInfo& info : graphMembers())
    if (info.scope == page.scope && info.editor != MemberEditor::None && info.slot >= 0)
      rows.push_back(&info);
  // Long pages get two columns, so the dialog fits a small screen.
  const size_t perColumn = rows.size() > 12 ? (rows.size() + 1) / 2 : rows.size();
  auto* columns = new QHBoxLayout(page.form);
  QFormLayout* form = nullptr;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (i % perColumn == 0) {
      form = new QFormLayout;
      columns->addLayout(form);
    }
    QWidget* editor = makeEditor(*rows[i]);
    form->addRow(rows[i]->label + QLatin1Char(':'), editor);
    page.editors.emplace_back(rows[i], editor);
  }
  layout->addWidget(page.form);
  layout->addStretch(1);
  tabs->addTab(pageWidget, title);

  // Stage the model's values of every item of this page.
  for (int i = 0; i < count; ++i) {
    std::vector<Variant> values(storedCount(page.scope));
    for (const MemberInfo& info : graphMembers())
      if (info.scope == page.scope && info.slot >= 0)
        values[info.slot] = page.scope == MemberScope::Graph ? m_model.graphValue(info.member)
                                                             : m_model.itemValue(info.member, i);
    page.items.push_back(std::move(values));
  }
  page.form->setEnabled(count > 0);
  if (count > 0) {
    int current = 0;
    if (page.scope == MemberScope::Element) current = m_model.currentElement();
    if (page.scope == MemberScope::Annotation) current = std::max(0, m_model.currentAnnotation());
    if (page.scope == MemberScope::Cursor) current = std::max(0, m_model.currentCursor());
    load(page, current);
    if (page.chooser) page.chooser->setCurrentIndex(current);
  }
  if (page.chooser) {
    connect(page.chooser, &QComboBox::currentIndexChanged, this, [this, &page](int index) {
      store(page);
      if (index >= 0) load(page, index);
    });
  }
}

QWidget* GraphPropertyDialog::makeEditor(const MemberInfo& info) {
  QWidget* editor = nullptr;
  switch (info.editor) {
    case MemberEditor::Colour:
      editor = new ColourButton(m_dialogs, this);
      break;
    case MemberEditor::Number: {
      auto* spin = new QSpinBox(this);
      if (info.type == MemberType::Integer)
        spin->setRange(std::numeric_limits<int16_t>::min(), std::numeric_limits<int16_t>::max());
      else
        spin->setRange(std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max());
      editor = spin;
      break;
    }
    case MemberEditor::Choice: {
      auto* combo = new QComboBox(this);
      const QStringList choices = info.choices.split(QLatin1Char('|'));
      for (int i = 0; i < choices.size(); ++i)
        combo->addItem(choices[i], i);
      editor = combo;
      break;
    }
    case MemberEditor::Check:
      editor = new QCheckBox(this);
      break;
    case MemberEditor::Font: {
      // Editable: a face name that is not installed here still survives the dialog.
      auto* combo = new QComboBox(this);
      combo->setEditable(true);
      combo->addItems(QFontDatabase::families());
      editor = combo;
      break;
    }
    case MemberEditor::Line:
    case MemberEditor::Real:
    case MemberEditor::None:
      editor = new QLineEdit(this);
      break;
  }
  editor->setObjectName(QStringLiteral("member_%1").arg(info.number()));
  return editor;
}

void GraphPropertyDialog::setEditorValue(QWidget* editor, const MemberInfo& info,
                                         const Variant& value) {
  switch (info.editor) {
    case MemberEditor::Colour:
      static_cast<ColourButton*>(editor)->setColour(value.toLong());
      break;
    case MemberEditor::Number:
      static_cast<QSpinBox*>(editor)->setValue(value.toLong());
      break;
    case MemberEditor::Choice: {
      auto* combo = static_cast<QComboBox*>(editor);
      const int v = value.toLong();
      int at = combo->findData(v);
      if (at < 0) {
        // A value the list does not name is kept as it is.
        combo->addItem(QStringLiteral("Other (%1)").arg(v), v);
        at = combo->count() - 1;
      }
      combo->setCurrentIndex(at);
      break;
    }
    case MemberEditor::Check:
      static_cast<QCheckBox*>(editor)->setChecked(value.toBool());
      break;
    case MemberEditor::Font:
      static_cast<QComboBox*>(editor)->setCurrentText(value.toText());
      break;
    case MemberEditor::Real:
      static_cast<QLineEdit*>(editor)->setText(zrv::formatGeneral(value.toDouble()));
      break;
    case MemberEditor::Line:
    case MemberEditor::None:
      static_cast<QLineEdit*>(editor)->setText(value.toText());
      break;
  }
}

Variant GraphPropertyDialog::editorValue(QWidget* editor, const MemberInfo& info) const {
  switch (info.editor) {
    case MemberEditor::Colour:
      return Variant(static_cast<ColourButton*>(editor)->colour());
    case MemberEditor::Number:
      return Variant(int32_t(static_cast<QSpinBox*>(editor)->value()));
    case MemberEditor::Choice:
      return Variant(int32_t(static_cast<QComboBox*>(editor)->currentData().toInt()));
    case MemberEditor::Check:
      return Variant(static_cast<QCheckBox*>(editor)->isChecked());
    case MemberEditor::Font:
      return Variant(static_cast<QComboBox*>(editor)->currentText());
    case MemberEditor::Real:
    case MemberEditor::Line:
    case MemberEditor::None:
      break;
  }
  // Text as typed: numbers are converted (and refused) by the model, like any assignment.
  return Variant(static_cast<QLineEdit*>(editor)->text());
}

void GraphPropertyDialog::load(Page& page, int item) {
  page.shown = item;
  for (auto& [info, editor] : page.editors)
    setEditorValue(editor, *info, page.items[item][info->slot]);
}

void GraphPropertyDialog::store(Page& page) {
  if (page.shown < 0) return;
  for (auto& [info, editor] : page.editors) {
    Variant& staged = page.items[page.shown][info->slot];
    // A number shown rounded to 15 digits and not edited keeps its exact value.
    if (info->editor == MemberEditor::Real && staged.isNumeric() &&
        static_cast<QLineEdit*>(editor)->text() == zrv::formatGeneral(staged.toDouble()))
      continue;
    staged = editorValue(editor, *info);
  }
}

bool GraphPropertyDialog::apply() {
  // Everything is converted before anything is written: a refused value changes nothing.
  struct Write {
    GraphMember member;
    int item;
    Variant value;
  };
  std::vector<Write> writes;
  for (Page& page : m_pages) {
    store(page);
    // Items may have been dropped by the host while the dialog was open.
    const int count = std::min<int>(int(page.items.size()), itemCount(page.scope));
    for (int item = 0; item < count; ++item) {
      for (auto& [info, editor] : page.editors) {
        const Variant& typed = page.items[item][info->slot];
        // The data file quotes its texts: a double quote would cut the text there.
        if (info->type == MemberType::Text && typed.isText() &&
            typed.textValue().contains(QLatin1Char('"'))) {
          const QString where =
              page.scope == MemberScope::Graph
                  ? info->label
                  : QStringLiteral("%1 (%2)").arg(info->label, itemName(page.scope, item));
          m_dialogs.message(this,
                            QStringLiteral("%1: a double quote (\") cannot be saved in a data "
                                           "file; use a single quote (') instead.")
                                .arg(where),
                            windowTitle(), Buttons::Ok, Icon::Warning);
          return false;
        }
        try {
          writes.push_back(
              {info->member, item, convertForMember(*info, page.items[item][info->slot])});
        } catch (const zrv::AutomationError& e) {
          const QString where =
              page.scope == MemberScope::Graph
                  ? info->label
                  : QStringLiteral("%1 (%2)").arg(info->label, itemName(page.scope, item));
          m_dialogs.message(this, QStringLiteral("%1: %2").arg(where, e.message()), windowTitle(),
                            Buttons::Ok, Icon::Warning);
          return false;
        }
      }
    }
  }
  for (const Write& w : writes)
    m_model.setValue(w.member, w.item, w.value);
  return true;
}

void GraphPropertyDialog::accept() {
  if (apply()) QDialog::accept();
}

QWidget* GraphPropertyDialog::editor(GraphMember member) const {
  return findChild<QWidget*>(QStringLiteral("member_%1").arg(static_cast<int>(member)));
}

QComboBox* GraphPropertyDialog::chooser(MemberScope scope) const {
  for (const Page& page : m_pages)
    if (page.scope == scope) return page.chooser;
  return nullptr;
}

}  // namespace zrvlog
