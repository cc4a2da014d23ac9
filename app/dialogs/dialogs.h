#pragma once
// Every modal question the program asks goes through Dialogs: message boxes, the input box,
// file dialogs, the print dialog and the program's own modal dialogs. The window code asks,
// the implementation answers: WidgetDialogs shows real dialogs, tests script the answers.

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>
#include <utility>

class QDialog;
class QPrinter;
class QWidget;

namespace zrvlog {

enum class Buttons { Ok, OkCancel, YesNo, YesNoCancel };
enum class Icon { None, Information, Warning, Critical, Question };
enum class Answer { Ok, Cancel, Yes, No };

/// A choice a dialog offers beside its own settings, such as the style of a picture.
struct DialogChoice {
  QString label;        ///< "Style"
  QStringList options;  ///< the texts of the options, in order
  int selected = 0;     ///< the option shown first; after the dialog, the one chosen
};

/// A file dialog as the program describes it. The filter uses the classic pipe form,
/// "ZRV Files (*.zrv)|*.zrv|All Files (*.*)|*.*": a label and a pattern list per pair.
struct FileRequest {
  FileRequest(QString title = {}, QString filter = {}, QString initialName = {})
      : title(std::move(title)), filter(std::move(filter)), initialName(std::move(initialName)) {}

  QString title;  ///< empty: the toolkit's own title
  QString filter;
  QString initialName;
  int selectedFilter = 0;  ///< the pair shown first
  std::optional<DialogChoice> choice;
};

/// What a save dialog gave back.
struct SaveAnswer {
  QString path;    ///< as the dialog gives it; empty when cancelled
  int filter = 0;  ///< the pair of the filter that was selected
  int choice = 0;  ///< the option of the request's choice that was chosen
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
  /// The open dialog: the chosen path, empty when cancelled.
  virtual QString openFile(QWidget* parent, const FileRequest& request) = 0;
  /// The save dialog: it asks before replacing an existing file; a name typed without an
  /// extension may come back with the selected filter's (see savePathFor for the rule).
  virtual SaveAnswer saveFile(QWidget* parent, const FileRequest& request) = 0;
  /// The print dialog for printer, with the choice when there is one (it receives the
  /// option chosen); true when the user chose to print.
  virtual bool print(QWidget* parent, QPrinter& printer, DialogChoice* choice) = 0;
  /// Runs one of the program's own modal dialogs; returns its result code.
  virtual int exec(QDialog& dialog) = 0;
};

/// The extensions of each pair of a pipe filter, lower case and without the dot: {"zrv"} for
/// "*.zrv", none for "*.*".
QList<QStringList> filterExtensions(const QString& pipeFilter);

/// The file a save dialog's answer names: the path as typed when its extension is one the
/// filter lists; otherwise with the selected pair's first extension added ("run2" with
/// "PNG image (*.png)" selected is run2.png; with "All Files" selected it stays run2).
QString savePathFor(const SaveAnswer& answer, const QString& pipeFilter);

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
  SaveAnswer saveFile(QWidget* parent, const FileRequest& request) override;
  bool print(QWidget* parent, QPrinter& printer, DialogChoice* choice) override;
  int exec(QDialog& dialog) override;
};

}  // namespace zrvlog
