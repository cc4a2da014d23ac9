#pragma once
// The graph's own property dialog: one page for the graph and one each for the elements,
// annotations and cursors (with a chooser for which one), every editor built from the
// member table. Edits are held until OK or Apply, then written through the model's setters,
// so they are converted and checked exactly as any other assignment; a refused value is
// reported and the dialog stays open.

#include <QDialog>
#include <array>
#include <vector>

#include "app/graph/graphmembers.h"
#include "common/variant.h"

class QComboBox;
class QTabWidget;
class QWidget;

namespace zrvlog {

class Dialogs;
class GraphModel;

class GraphPropertyDialog : public QDialog {
  Q_OBJECT

 public:
  GraphPropertyDialog(GraphModel& model, Dialogs& dialogs, QWidget* parent = nullptr);

  /// Writes every changed value to the model; false (after telling the user) on a refusal.
  bool apply();
  /// The editor of a member on its page (object name "member_<number>").
  QWidget* editor(GraphMember member) const;
  /// The chooser of the element, annotation or cursor page.
  QComboBox* chooser(MemberScope scope) const;

  void accept() override;

 private:
  struct Page {
    MemberScope scope;
    QWidget* form = nullptr;
    QComboBox* chooser = nullptr;
    int shown = -1;                                // item whose values the editors show
    std::vector<std::vector<zrv::Variant>> items;  // staged values by item, by slot
    std::vector<std::pair<const MemberInfo*, QWidget*>> editors;
  };

  void buildPage(Page& page, QTabWidget* tabs, const QString& title);
  void load(Page& page, int item);
  void store(Page& page);
  QWidget* makeEditor(const MemberInfo& info);
  void setEditorValue(QWidget* editor, const MemberInfo& info, const zrv::Variant& value);
  zrv::Variant editorValue(QWidget* editor, const MemberInfo& info) const;
  int itemCount(MemberScope scope) const;
  QString itemName(MemberScope scope, int index) const;

  GraphModel& m_model;
  Dialogs& m_dialogs;
  std::array<Page, 4> m_pages;
};

}  // namespace zrvlog
