// The "Save file?" question of every command that replaces or ends the data set, through the
// real window with scripted dialogs: each command with each answer, and what is left after.
#include <gtest/gtest.h>

#include <QAction>
#include <QFileInfo>
#include <QLineEdit>

#include "app/documents/datafile.h"
#include "app/graph/graphmodel.h"
#include "app/graphview/propertydialog.h"
#include "app/mainwindow/frmmain.h"
#include "tests/support/mainwindowfixture.h"

namespace zrvlog {
namespace {

enum class Command { New, Open, Clear, Start, Exit };
// Yes with a name, Yes with the name dialog cancelled, Yes with a save that fails, No, Cancel.
enum class Reply { YesSaved, YesDialogCancelled, YesSaveFails, No, Cancel };

struct PromptCase {
  Command command;
  Reply reply;
  bool goesOn;  // the command did its work; otherwise everything is as it was
};

std::ostream& operator<<(std::ostream& out, const PromptCase& c) {
  return out << "command " << int(c.command) << ", reply " << int(c.reply);
}

class SavePrompt : public zrvtest::MainWindowFixture,
                   public ::testing::WithParamInterface<PromptCase> {};

TEST_P(SavePrompt, CommandAnswerOutcome) {
  const PromptCase c = GetParam();
  open();
  // A file to open, written by the window itself and then cleared away.
  const QString other = path("other.zrv");
  record(2);
  ASSERT_TRUE(saveDataFile(other, window->engine().document()).ok);
  window->engine().data.DataChanged = false;
  window->menus().mnuFileNew->trigger();

  record(3);
  ASSERT_TRUE(window->engine().data.DataChanged);
  EXPECT_EQ(window->caption(), QStringLiteral("ZRVLOG*"));

  const QString saved = path("saved.zrv");
  switch (c.reply) {
    case Reply::YesSaved:
      dialogs.answerMessage(Answer::Yes).answerSaveFile(saved);
      break;
    case Reply::YesDialogCancelled:
      dialogs.answerMessage(Answer::Yes).answerSaveFile(QString());
      break;
    case Reply::YesSaveFails:
      dialogs.answerMessage(Answer::Yes)
          .answerSaveFile(QStringLiteral("/proc/no-such-folder/x.zrv"))
          .answerMessage(Answer::Ok);  // the error
      break;
    case Reply::No:
      dialogs.answerMessage(Answer::No);
      break;
    case Reply::Cancel:
      dialogs.answerMessage(Answer::Cancel);
      break;
  }
  if (c.goesOn && c.command == Command::Open) dialogs.answerOpenFile(other);

  switch (c.command) {
    case Command::New:
      window->menus().mnuFileNew->trigger();
      break;
    case Command::Open:
      window->menus().mnuFileOpen->trigger();
      break;
    case Command::Clear:
      window->menus().mnuViewRefresh->trigger();
      break;
    case Command::Start:
      window->tbToolBar_ButtonClick(QStringLiteral("Run"));
      break;
    case Command::Exit:
      window->menus().mnuFileExit->trigger();
      break;
  }

  ASSERT_FALSE(dialogs.asked().empty());
  EXPECT_EQ(dialogs.asked()[0].text, QStringLiteral("Save file?"));
  EXPECT_EQ(dialogs.asked()[0].buttons, Buttons::YesNoCancel);
  EXPECT_EQ(QFileInfo::exists(saved), c.reply == Reply::YesSaved);

  const DataSet& data = window->engine().data;
  const Document& document = window->engine().document();
  if (!c.goesOn) {
    EXPECT_EQ(document.sampleCount(), 3u);
    EXPECT_TRUE(data.DataChanged);
    EXPECT_EQ(window->caption(), QStringLiteral("ZRVLOG*")) << "no claim of a save";
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->engine().running());
    EXPECT_FALSE(window->toolButton(QStringLiteral("Run"))->isChecked());
    return;
  }
  switch (c.command) {
    case Command::New:
    case Command::Clear:
      EXPECT_EQ(document.sampleCount(), 0u);
      EXPECT_EQ(window->caption(), QStringLiteral("ZRVLOG"));
      break;
    case Command::Open:
      EXPECT_EQ(document.sampleCount(), 2u);
      EXPECT_EQ(window->caption(), QStringLiteral("ZRVLOG - ") + other);
      break;
    case Command::Start:
      EXPECT_TRUE(window->engine().running());
      EXPECT_EQ(window->caption(), QStringLiteral("ZRVLOG*")) << "a run is unsaved at once";
      window->mnuDataStop_Click();
      break;
    case Command::Exit:
      EXPECT_FALSE(window->isVisible());
      break;
  }
}

std::vector<PromptCase> allCases() {
  std::vector<PromptCase> cases;
  for (Command command :
       {Command::New, Command::Open, Command::Clear, Command::Start, Command::Exit})
    for (Reply reply : {Reply::YesSaved, Reply::YesDialogCancelled, Reply::YesSaveFails, Reply::No,
                        Reply::Cancel})
      cases.push_back({command, reply, reply == Reply::YesSaved || reply == Reply::No});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryCommandAndAnswer, SavePrompt, ::testing::ValuesIn(allCases()));

class SaveStateTest : public zrvtest::MainWindowFixture {};

TEST_F(SaveStateTest, SamplesRecordedAfterAClearDuringARunAreUnsaved) {
  open();
  window->mnuDataStart_Click();
  timer->fire();
  dialogs.answerMessage(Answer::No);
  window->menus().mnuViewRefresh->trigger();
  EXPECT_EQ(window->caption(), QStringLiteral("ZRVLOG"));
  timer->fire();
  timer->fire();
  window->mnuDataStop_Click();
  EXPECT_EQ(window->engine().document().sampleCount(), 2u);
  EXPECT_EQ(window->caption(), QStringLiteral("ZRVLOG*"));
  dialogs.answerMessage(Answer::Cancel);
  window->menus().mnuFileNew->trigger();
  EXPECT_EQ(dialogs.messages().back(), QStringLiteral("Save file?"));
  EXPECT_EQ(window->engine().document().sampleCount(), 2u);
}

TEST_F(SaveStateTest, AFailedSaveAsKeepsTheNameAndCaptionOfTheLastSave) {
  open();
  record(2);
  const QString first = path("first.zrv");
  dialogs.answerSaveFile(first);
  window->menus().mnuFileSaveAs->trigger();
  EXPECT_EQ(window->caption(), QStringLiteral("ZRVLOG - ") + first);
  dialogs.answerSaveFile(QStringLiteral("/proc/x.zrv")).answerMessage(Answer::Ok);
  window->menus().mnuFileSaveAs->trigger();
  EXPECT_EQ(window->caption(), QStringLiteral("ZRVLOG - ") + first);
  EXPECT_EQ(window->CurrentFile(), first);
}

TEST_F(SaveStateTest, ADoubleQuoteIsRefusedInTheDialogAndReplacedOnSave) {
  open();
  record(1);
  dialogs.answerExec([&](QDialog& d) {
    auto& dialog = static_cast<GraphPropertyDialog&>(d);
    static_cast<QLineEdit*>(dialog.editor(GraphMember::Caption))
        ->setText(QStringLiteral("My \"big\" test"));
    dialogs.answerMessage(Answer::Ok);
    EXPECT_FALSE(dialog.apply());
    EXPECT_TRUE(dialogs.messages().back().contains(QStringLiteral("double quote")));
    return int(QDialog::Rejected);
  });
  window->menus().mnuGraphProps->trigger();
  EXPECT_TRUE(window->NTGraph1().graphValue(GraphMember::Caption).textValue().isEmpty());
  window->NTGraph1().setProperty(GraphMember::Caption, zrv::Variant(QStringLiteral("My \"big\"")));
  dialogs.answerSaveFile(path("q.zrv")).answerMessage(Answer::Ok);  // the warning
  window->menus().mnuFileSave->trigger();
  EXPECT_TRUE(dialogs.messages().back().contains(QStringLiteral("Caption")));
  EXPECT_EQ(window->NTGraph1().graphValue(GraphMember::Caption).textValue(),
            QStringLiteral("My 'big'"));
  window->LoadDataFile(path("q.zrv"));
  EXPECT_EQ(window->NTGraph1().graphValue(GraphMember::Caption).textValue(),
            QStringLiteral("My 'big'"));
}

}  // namespace
}  // namespace zrvlog
