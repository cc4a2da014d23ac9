// The main window and the run journal: recovery offered at start-up, and the journal kept
// or removed as the save prompt and closing decide.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include "app/mainwindow/frmmain.h"
#include "app/recovery/journalrecovery.h"
#include "app/recovery/runjournal.h"
#include "app/settings/storedsettings.h"
#include "app/timer/manualtimer.h"
#include "tests/fakes/fakeboardcontrol.h"
#include "tests/support/mainwindowfixture.h"
#include "tests/support/scripteddialogs.h"

namespace zrvlog {
namespace {

class RecoveryWindowTest : public zrvtest::MainWindowFixture {
 protected:
  // The process ends without closing its window: nothing is saved, nothing is asked.
  void crash() {
    window->journal().flush();
    window.reset();
  }
  QString folder() const { return journalFolder(); }
  int journalFiles() const { return int(QDir(folder()).entryList(QDir::Files).size()); }
};

TEST_F(RecoveryWindowTest, AnUnsavedRunIsOfferedAtTheNextStartAndStaysProtectedUntilSaved) {
  open();
  record(7);
  crash();

  open();
  dialogs.answerMessage(Answer::Yes);
  window->offerRecovery();
  ASSERT_EQ(dialogs.messages().size(), 1u);
  EXPECT_TRUE(dialogs.messages()[0].contains(QStringLiteral("7 samples started on")))
      << dialogs.messages()[0].toStdString();
  EXPECT_EQ(window->engine().data.sampleCount(), 7u);
  EXPECT_TRUE(window->engine().data.DataChanged);
  EXPECT_EQ(window->windowTitle(), QStringLiteral("ZRVLOG")) << "untitled";
  EXPECT_FALSE(window->panelText(2).isEmpty()) << "the start time shows";
  EXPECT_TRUE(abandonedJournals(folder()).isEmpty()) << "the window holds the recovered journal";
  EXPECT_EQ(journalFiles(), 2);

  dialogs.answerSaveFile(dir.filePath(QStringLiteral("recovered.zrv")));
  window->mnuFileSave_Click();
  EXPECT_EQ(journalFiles(), 0) << "saved: the journal has done its work";
}

TEST_F(RecoveryWindowTest, ARecordingDeclinedIsThrownAway) {
  open();
  record(3);
  crash();
  open();
  dialogs.answerMessage(Answer::No);
  window->offerRecovery();
  EXPECT_EQ(window->engine().data.sampleCount(), 0u);
  EXPECT_EQ(journalFiles(), 0);
}

TEST_F(RecoveryWindowTest, ClosingKeepsTheJournalOnlyWhileTheDataAreNeitherSavedNorDeclined) {
  struct Case {
    const char* name;
    std::function<void()> answers;
    int filesLeft;
  } cases[] = {
      {"answered No", [&] { dialogs.answerMessage(Answer::No); }, 0},
      {"Yes, then the Save As dialog cancelled",
       [&] { dialogs.answerMessage(Answer::Yes).answerSaveFile({}); }, 2},
      {"Yes, then a save that fails",
       [&] {
         dialogs.answerMessage(Answer::Yes)
             .answerSaveFile(dir.filePath(QStringLiteral("no/such/folder/x.zrv")))
             .answerMessage(Answer::Ok);  // the error
       },
       2},
  };
  for (const auto& tc : cases) {
    QDir(folder()).removeRecursively();
    open();
    record(4);
    tc.answers();
    window->close();
    window.reset();
    EXPECT_EQ(journalFiles(), tc.filesLeft) << tc.name;
    EXPECT_TRUE(dialogs.scriptUsedUp()) << tc.name;
  }
  EXPECT_EQ(abandonedJournals(folder()).size(), 1) << "offered at the next start";
}

TEST_F(RecoveryWindowTest, NewAfterAFailedSaveLeavesTheSamplesInTheJournal) {
  open();
  record(5);
  dialogs.answerMessage(Answer::Yes).answerSaveFile({});
  window->mnuFileNew_Click();
  EXPECT_EQ(window->engine().data.sampleCount(), 0u) << "New goes on, as it always has";
  ASSERT_EQ(abandonedJournals(folder()).size(), 1);
  EXPECT_EQ(abandonedJournals(folder())[0].samples, 5);
}

}  // namespace
}  // namespace zrvlog
