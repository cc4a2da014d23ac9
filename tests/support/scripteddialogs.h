#pragma once
// Dialogs for tests: every question is recorded, and answered from a script prepared by the
// test in the order the questions are expected. A question without a scripted answer, or of
// another kind than the next answer, fails the test and is answered as if cancelled.

#include <QString>
#include <deque>
#include <functional>
#include <vector>

#include "app/dialogs/dialogs.h"

namespace zrvtest {

class ScriptedDialogs : public zrvlog::Dialogs {
 public:
  enum class Kind { Message, Input, OpenFile, SaveFile, Print, Exec };

  struct Question {
    Kind kind;
    QString text;   // message text or input prompt
    QString title;  // window title (file dialogs: the request's title)
    zrvlog::Buttons buttons = zrvlog::Buttons::Ok;
    zrvlog::Icon icon = zrvlog::Icon::None;
    zrvlog::FileRequest file;  // file dialogs; the print dialog's choice is in file.choice
  };

  ScriptedDialogs& answerMessage(zrvlog::Answer answer);
  ScriptedDialogs& answerInput(const QString& text);
  ScriptedDialogs& answerOpenFile(const QString& path);
  /// A save dialog's answer: the path, the filter pair selected and the option of the
  /// request's choice.
  ScriptedDialogs& answerSaveFile(const QString& path, int filter = 0, int choice = 0);
  ScriptedDialogs& answerPrint(bool print);
  /// Answers the print dialog with "print" after setting the printer up (a PDF file, say),
  /// choosing an option of the dialog's choice.
  ScriptedDialogs& answerPrint(std::function<void(QPrinter&)> setUp, int choice = 0);
  /// The function receives the dialog (shown, not yet executed) and returns its result code.
  ScriptedDialogs& answerExec(std::function<int(QDialog&)> run);

  const std::vector<Question>& asked() const { return m_asked; }
  /// The texts of the message boxes shown, in order.
  std::vector<QString> messages() const;
  bool scriptUsedUp() const { return m_script.empty(); }

  zrvlog::Answer message(QWidget* parent, const QString& text, const QString& title,
                         zrvlog::Buttons buttons, zrvlog::Icon icon) override;
  QString input(QWidget* parent, const QString& prompt, const QString& title,
                const QString& initial) override;
  QString openFile(QWidget* parent, const zrvlog::FileRequest& request) override;
  zrvlog::SaveAnswer saveFile(QWidget* parent, const zrvlog::FileRequest& request) override;
  bool print(QWidget* parent, QPrinter& printer, zrvlog::DialogChoice* choice) override;
  int exec(QDialog& dialog) override;

 private:
  struct Answer {
    Kind kind;
    zrvlog::Answer button = zrvlog::Answer::Cancel;
    QString text;
    bool flag = false;
    std::function<int(QDialog&)> run;
    std::function<void(QPrinter&)> setUpPrinter = nullptr;
    int filter = 0;
    int choice = 0;
  };
  // The next scripted answer if it is of the given kind; records a failure otherwise.
  bool take(Kind kind, const Question& question, Answer& answer);

  std::deque<Answer> m_script;
  std::vector<Question> m_asked;
};

}  // namespace zrvtest
