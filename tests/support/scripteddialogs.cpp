#include "scripteddialogs.h"

#include <gtest/gtest.h>

#include <QDialog>

namespace zrvtest {

namespace {
const char* kindName(ScriptedDialogs::Kind kind) {
  switch (kind) {
    case ScriptedDialogs::Kind::Message:
      return "message box";
    case ScriptedDialogs::Kind::Input:
      return "input box";
    case ScriptedDialogs::Kind::OpenFile:
      return "open dialog";
    case ScriptedDialogs::Kind::SaveFile:
      return "save dialog";
    case ScriptedDialogs::Kind::Print:
      return "print dialog";
    case ScriptedDialogs::Kind::Exec:
      return "modal dialog";
  }
  return "?";
}
}  // namespace

ScriptedDialogs& ScriptedDialogs::answerMessage(zrvlog::Answer answer) {
  m_script.push_back({Kind::Message, answer, {}, false, {}});
  return *this;
}
ScriptedDialogs& ScriptedDialogs::answerInput(const QString& text) {
  m_script.push_back({Kind::Input, {}, text, false, {}});
  return *this;
}
ScriptedDialogs& ScriptedDialogs::answerOpenFile(const QString& path) {
  m_script.push_back({Kind::OpenFile, {}, path, false, {}});
  return *this;
}
ScriptedDialogs& ScriptedDialogs::answerSaveFile(const QString& path, int filter, int choice) {
  m_script.push_back({Kind::SaveFile, {}, path, false, {}, nullptr, filter, choice});
  return *this;
}
ScriptedDialogs& ScriptedDialogs::answerPrint(bool print) {
  m_script.push_back({Kind::Print, {}, {}, print, {}});
  return *this;
}
ScriptedDialogs& ScriptedDialogs::answerPrint(std::function<void(QPrinter&)> setUp, int choice) {
  m_script.push_back({Kind::Print, {}, {}, true, {}, std::move(setUp), 0, choice});
  return *this;
}
ScriptedDialogs& ScriptedDialogs::answerExec(std::function<int(QDialog&)> run) {
  m_script.push_back({Kind::Exec, {}, {}, false, std::move(run)});
  return *this;
}

std::vector<QString> ScriptedDialogs::messages() const {
  std::vector<QString> texts;
  for (const auto& q : m_asked)
    if (q.kind == Kind::Message) texts.push_back(q.text);
  return texts;
}

bool ScriptedDialogs::take(Kind kind, const Question& question, Answer& answer) {
  m_asked.push_back(question);
  if (m_script.empty()) {
    ADD_FAILURE() << "unexpected " << kindName(kind) << ": \"" << question.text.toStdString()
                  << "\" (" << question.title.toStdString() << ")";
    return false;
  }
  if (m_script.front().kind != kind) {
    ADD_FAILURE() << "expected a " << kindName(m_script.front().kind) << " but the program asked a "
                  << kindName(kind) << ": \"" << question.text.toStdString() << "\"";
    return false;
  }
  answer = std::move(m_script.front());
  m_script.pop_front();
  return true;
}

zrvlog::Answer ScriptedDialogs::message(QWidget*, const QString& text, const QString& title,
                                        zrvlog::Buttons buttons, zrvlog::Icon icon) {
  Answer a;
  if (!take(Kind::Message, {Kind::Message, text, title, buttons, icon, {}}, a))
    return buttons == zrvlog::Buttons::YesNo ? zrvlog::Answer::No : zrvlog::Answer::Cancel;
  return a.button;
}

QString ScriptedDialogs::input(QWidget*, const QString& prompt, const QString& title,
                               const QString& initial) {
  Answer a;
  zrvlog::FileRequest initialText{{}, {}, initial};
  if (!take(Kind::Input, {Kind::Input, prompt, title, {}, {}, initialText}, a)) return {};
  return a.text;
}

QString ScriptedDialogs::openFile(QWidget*, const zrvlog::FileRequest& request) {
  Answer a;
  if (!take(Kind::OpenFile, {Kind::OpenFile, {}, request.title, {}, {}, request}, a)) return {};
  return a.text;
}

zrvlog::SaveAnswer ScriptedDialogs::saveFile(QWidget*, const zrvlog::FileRequest& request) {
  Answer a;
  if (!take(Kind::SaveFile, {Kind::SaveFile, {}, request.title, {}, {}, request}, a)) return {};
  return {a.text, a.filter, a.choice};
}

bool ScriptedDialogs::print(QWidget*, QPrinter& printer, zrvlog::DialogChoice* choice) {
  Answer a;
  zrvlog::FileRequest asked;
  if (choice) asked.choice = *choice;
  if (!take(Kind::Print, {Kind::Print, {}, {}, {}, {}, asked}, a)) return false;
  if (a.setUpPrinter) a.setUpPrinter(printer);
  if (choice && a.flag) choice->selected = a.choice;
  return a.flag;
}

int ScriptedDialogs::exec(QDialog& dialog) {
  Answer a;
  if (!take(Kind::Exec, {Kind::Exec, dialog.windowTitle(), dialog.windowTitle(), {}, {}, {}}, a))
    return QDialog::Rejected;
  dialog.show();
  const int result = a.run ? a.run(dialog) : QDialog::Rejected;
  dialog.done(result);
  return result;
}

}  // namespace zrvtest
