#pragma once
// Every modal question the program asks goes through Dialogs: message boxes, the input box,
// file dialogs, the print dialog and the program's own modal dialogs. The window code asks,
// the implementation answers: WidgetDialogs shows real dialogs, tests script the answers.

#include <QString>

class QDialog;
class QPrinter;
class QWidget;

namespace zrvlog {

enum class Buttons { Ok, OkCancel, YesNo, YesNoCancel };
enum class Icon { None, Information, Warning, Critical, Question };
enum class Answer { Ok, Cancel, Yes, No };

/// A file dialog as the program describes it. The filter uses the classic pipe form,
/// "ZRV Files (*.zrv)|*.zrv|All Files (*.*)|*.*": a label and a pattern list per pair.
struct FileRequest {
  QString title;  ///< empty: the toolkit's own title
  QString filter;
  QString initialName;
};

class Dialogs {
 public:
  virtual ~Dialogs() = default;

  /// A message box; returns the button pressed (closing the box counts as Cancel or No).
  virtual Answer message(QWidget* parent, const QString& text, const QString& title,
                         Buttons buttons = Buttons::Ok, Icon icon = Icon::None) = 0;
  /// The input box: the text entered, or empty text when cancelled.
  virtual QString input(QWidget* parent, const QString& prompt, const QString& title,
                        const QString& initial) = 0;
  /// Open and save dialogs: the chosen path, empty when cancelled. The save dialog asks
  /// before replacing an existing file and adds no extension to the name typed.
  virtual QString openFile(QWidget* parent, const FileRequest& request) = 0;
  virtual QString saveFile(QWidget* parent, const FileRequest& request) = 0;
  /// The print dialog for printer; true when the user chose to print.
  virtual bool print(QWidget* parent, QPrinter& printer) = 0;
  /// Runs one of the program's own modal dialogs; returns its result code.
  virtual int exec(QDialog& dialog) = 0;
};

/// Qt's filter form of a pipe filter: "ZRV Files (*.zrv);;All Files (*.*)". A label without
/// a pattern list in parentheses gets its patterns appended ("All Files (*.*)").
QString toQtFilter(const QString& pipeFilter);

/// The dialogs of the desktop toolkit.
class WidgetDialogs : public Dialogs {
 public:
  Answer message(QWidget* parent, const QString& text, const QString& title, Buttons buttons,
                 Icon icon) override;
  QString input(QWidget* parent, const QString& prompt, const QString& title,
                const QString& initial) override;
  QString openFile(QWidget* parent, const FileRequest& request) override;
  QString saveFile(QWidget* parent, const FileRequest& request) override;
  bool print(QWidget* parent, QPrinter& printer) override;
  int exec(QDialog& dialog) override;
};

}  // namespace zrvlog
