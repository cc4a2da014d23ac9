#pragma once
// A page of the Options dialog that keeps its own settings (publishing, say): the dialog
// shows it after its own pages, asks it to check its fields before an Apply and to apply
// them after its own.

#include <QString>
#include <QWidget>

namespace zrvlog {

class OptionsPage : public QWidget {
 public:
  using QWidget::QWidget;
  virtual QString title() const = 0;
  /// Checks the page's fields; false after saying what is wrong (the page is then in front).
  virtual bool validate() = 0;
  /// Stores and applies the fields; called only after every page passed validate().
  virtual void apply() = 0;
};

}  // namespace zrvlog
