#include "dialogs.h"

#include <QDialog>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPrintDialog>
#include <QPrinter>
#include <QStringList>

namespace zrvlog {

QString toQtFilter(const QString& pipeFilter) {
  const QStringList parts = pipeFilter.split(QLatin1Char('|'));
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    const QString label = parts[i].trimmed();
    const QString patterns =
        QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' ')).trimmed();
    if (label.isEmpty() && patterns.isEmpty()) continue;  // the closing "||"
    // Qt takes the patterns from the parentheses of the label, so make sure there are some.
    filters << (label.contains(QLatin1Char('('))
                    ? label
                    : label + QStringLiteral(" (") + patterns + QLatin1Char(')'));
  }
  return filters.join(QStringLiteral(";;"));
}

Answer WidgetDialogs::message(QWidget* parent, const QString& text, const QString& title,
                              Buttons buttons, Icon icon) {
  QMessageBox box(parent);
  box.setWindowTitle(title);
  box.setText(text);
  switch (icon) {
    case Icon::None:
      box.setIcon(QMessageBox::NoIcon);
      break;
    case Icon::Information:
      box.setIcon(QMessageBox::Information);
      break;
    case Icon::Warning:
      box.setIcon(QMessageBox::Warning);
      break;
    case Icon::Critical:
      box.setIcon(QMessageBox::Critical);
      break;
    case Icon::Question:
      box.setIcon(QMessageBox::Question);
      break;
  }
  switch (buttons) {
    case Buttons::Ok:
      box.setStandardButtons(QMessageBox::Ok);
      break;
    case Buttons::OkCancel:
      box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
      break;
    case Buttons::YesNo:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
      break;
    case Buttons::YesNoCancel:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
      break;
  }
  switch (box.exec()) {
    case QMessageBox::Ok:
      return Answer::Ok;
    case QMessageBox::Yes:
      return Answer::Yes;
    case QMessageBox::No:
      return Answer::No;
    default:
      return buttons == Buttons::YesNo ? Answer::No : Answer::Cancel;
  }
}

QString WidgetDialogs::input(QWidget* parent, const QString& prompt, const QString& title,
                             const QString& initial) {
  bool ok = false;
  const QString text =
      QInputDialog::getText(parent, title, prompt, QLineEdit::Normal, initial, &ok);
  return ok ? text : QString();
}

QString WidgetDialogs::openFile(QWidget* parent, const FileRequest& request) {
  return QFileDialog::getOpenFileName(parent, request.title, request.initialName,
                                      toQtFilter(request.filter));
}

QString WidgetDialogs::saveFile(QWidget* parent, const FileRequest& request) {
  return QFileDialog::getSaveFileName(parent, request.title, request.initialName,
                                      toQtFilter(request.filter));
}

bool WidgetDialogs::print(QWidget* parent, QPrinter& printer) {
  QPrintDialog dialog(&printer, parent);
  return dialog.exec() == QDialog::Accepted;
}

int WidgetDialogs::exec(QDialog& dialog) {
  return dialog.exec();
}

}  // namespace zrvlog
