#include "dialogs.h"

#include <QComboBox>
#include <QDialog>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPrintDialog>
#include <QPrinter>
#include <QStringList>
#include <algorithm>

namespace zrvlog {

namespace {

// The pairs of a pipe filter: label and pattern list, the closing "||" left out.
QList<std::pair<QString, QString>> filterPairs(const QString& pipeFilter) {
  const QStringList parts = pipeFilter.split(QLatin1Char('|'));
  QList<std::pair<QString, QString>> pairs;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    const QString label = parts[i].trimmed();
    const QString patterns =
        QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' ')).trimmed();
    if (label.isEmpty() && patterns.isEmpty()) continue;
    pairs.append({label, patterns});
  }
  return pairs;
}

}  // namespace

QList<QStringList> filterExtensions(const QString& pipeFilter) {
  QList<QStringList> out;
  for (const auto& pair : filterPairs(pipeFilter)) {
    QStringList extensions;
    for (const QString& pattern : pair.second.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
      // "*.csv" names an extension; "*.*" and "*" name none.
      if (!pattern.startsWith(QLatin1String("*."))) continue;
      const QString extension = pattern.mid(2).toLower();
      if (!extension.isEmpty() && !extension.contains(QLatin1Char('*')) &&
          !extension.contains(QLatin1Char('?')))
        extensions << extension;
    }
    out.append(extensions);
  }
  return out;
}

QString savePathFor(const SaveAnswer& answer, const QString& pipeFilter) {
  if (answer.path.isEmpty()) return {};
  const QList<QStringList> extensions = filterExtensions(pipeFilter);
  const QFileInfo info(answer.path);
  const QString suffix = info.suffix().toLower();
  for (const QStringList& pair : extensions)
    if (!suffix.isEmpty() && pair.contains(suffix)) return answer.path;
  const QStringList selected = extensions.value(answer.filter);
  if (selected.isEmpty() || info.fileName().isEmpty()) return answer.path;
  return answer.path + QLatin1Char('.') + selected.first();
}

QString toQtFilter(const QString& pipeFilter) {
  QStringList filters;
  for (const auto& [label, patterns] : filterPairs(pipeFilter)) {
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

SaveAnswer WidgetDialogs::saveFile(QWidget* parent, const FileRequest& request) {
  QFileDialog dialog(parent, request.title, request.initialName);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  const QStringList filters = toQtFilter(request.filter).split(QStringLiteral(";;"));
  const QList<QStringList> extensions = filterExtensions(request.filter);
  dialog.setNameFilters(filters);
  // The dialog adds the selected filter's extension to a name typed without one, before it
  // asks about replacing a file, so the question is about the file that will be written.
  const auto useFilter = [&](int index) {
    dialog.setDefaultSuffix(extensions.value(index).value(0));
  };
  const int selected = std::clamp(request.selectedFilter, 0, int(filters.size()) - 1);
  dialog.selectNameFilter(filters.value(selected));
  useFilter(selected);
  QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog,
                   [&](const QString& filter) { useFilter(int(filters.indexOf(filter))); });
  QComboBox* options = nullptr;
  if (request.choice) {
    // The toolkit's own dialog, which has room for one more row.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    if (auto* grid = qobject_cast<QGridLayout*>(dialog.layout())) {
      options = new QComboBox(&dialog);
      options->addItems(request.choice->options);
      options->setCurrentIndex(request.choice->selected);
      auto* label = new QLabel(request.choice->label + QLatin1Char(':'), &dialog);
      label->setBuddy(options);
      const int row = grid->rowCount();
      grid->addWidget(label, row, 0);
      grid->addWidget(options, row, 1);
    }
  }
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  SaveAnswer answer;
  answer.path = dialog.selectedFiles().first();
  answer.filter = std::max(0, int(filters.indexOf(dialog.selectedNameFilter())));
  answer.choice =
      options ? options->currentIndex() : (request.choice ? request.choice->selected : 0);
  return answer;
}

bool WidgetDialogs::print(QWidget* parent, QPrinter& printer, DialogChoice* choice) {
  QPrintDialog dialog(&printer, parent);
  QComboBox* options = nullptr;
  if (choice) {
    // One more page of the print dialog.
    auto* page = new QWidget;
    page->setWindowTitle(choice->label);
    auto* form = new QFormLayout(page);
    options = new QComboBox(page);
    options->addItems(choice->options);
    options->setCurrentIndex(choice->selected);
    form->addRow(choice->label + QLatin1Char(':'), options);
    dialog.setOptionTabs({page});
  }
  const bool accepted = dialog.exec() == QDialog::Accepted;
  if (accepted && options) choice->selected = options->currentIndex();
  return accepted;
}

int WidgetDialogs::exec(QDialog& dialog) {
  return dialog.exec();
}

}  // namespace zrvlog
