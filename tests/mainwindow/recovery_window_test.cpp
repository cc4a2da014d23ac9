// The main window and the run journal: recovery offered at start-up, and the journal kept
// or removed as the save prompt and closing decide.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

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
  // The journal's files and its samples' folder.
  int journalFiles() const {
    return int(QDir(folder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size());
  }
};

TEST_F(RecoveryWindowTest, AnUnsavedRunIsOfferedAtTheNextStartAndStaysProtectedUntilSaved) {
  open();
  record(7);
  crash();

  open();
  dialogs.answerMessage(Answer::Yes);
  window->offerRecovery();
  ASSERT_EQ(dialogs.messages().size(), 1u);
  EXPECT_TRUE(dialogs.messages()[0].contains(QStringLiteral("7 samples from ")))
      << dialogs.messages()[0].toStdString();
  EXPECT_EQ(window->engine().document().sampleCount(), 7u);
  EXPECT_TRUE(window->engine().data.DataChanged);
  EXPECT_EQ(window->caption(), QStringLiteral("ZRVLOG*")) << "untitled, unsaved";
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
  EXPECT_EQ(window->engine().document().sampleCount(), 0u);
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
    EXPECT_TRUE(dialogs.scriptUsedUp()) << tc.name;
    // Data neither saved nor declined keep the window open, and the journal working.
    EXPECT_EQ(window->isVisible(), tc.filesLeft != 0) << tc.name;
    EXPECT_EQ(journalFiles(), tc.filesLeft) << tc.name;
    close();
  }
}

TEST_F(RecoveryWindowTest, NewAfterAFailedSaveKeepsTheSamplesOnScreenAndInTheJournal) {
  open();
  record(5);
  dialogs.answerMessage(Answer::Yes).answerSaveFile({});
  window->mnuFileNew_Click();
  EXPECT_EQ(window->engine().document().sampleCount(), 5u) << "New did not go on";
  EXPECT_EQ(journalFiles(), 2) << "the journal still follows the samples";
  EXPECT_TRUE(abandonedJournals(folder()).isEmpty());
}

TEST_F(RecoveryWindowTest, ThePromptSaysWhetherZrvlogCrashedOrTheRecordingWasLeftUnsaved) {
  const struct {
    const char* name;
    std::function<void()> end;
    const char* opening;
  } cases[] = {
      {"a crash", [&] { crash(); },
       "ZRVLOG was not closed properly. A recording of 7 samples from "},
      {"Save file? Yes, then the Save As dialog cancelled at exit, and the window killed",
       [&] {
         dialogs.answerMessage(Answer::Yes).answerSaveFile({});
         window->close();
         crash();
       },
       "ZRVLOG was not closed properly. A recording of 7 samples from "},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    QDir(folder()).removeRecursively();
    open();
    record(7);
    const QString start = window->engine().data.StartTime.toText();
    tc.end();
    open();
    dialogs.answerMessage(Answer::No);
    window->offerRecovery();
    ASSERT_FALSE(dialogs.messages().empty());
    EXPECT_EQ(dialogs.messages().back(),
              QLatin1String(tc.opening) + start + QStringLiteral(" was not saved. Recover it?"));
    close();
  }
}

TEST_F(RecoveryWindowTest, AJournalThatFailedMidRunGoesOnceTheDataAreSaved) {
  open();
  window->mnuDataStart_Click();
  timer->fire();
  window->journal().flush();
  ASSERT_EQ(journalFiles(), 2);
  // The disk fills up: a changed header cannot be written.
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit was{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &was), 0);
  rlimit full = was;
  full.rlim_cur = 1;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &full), 0);
  dialogs.answerMessage(Answer::Ok);  // the journal's error
  window->engine().data.SetCoef(0, 2, zrv::Variant(3.5));
  timer->fire();
  window->journal().flush();
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &was), 0);
  EXPECT_FALSE(window->journal().lastError().isEmpty());
  timer->fire();
  window->mnuDataStop_Click();
  EXPECT_EQ(journalFiles(), 3) << "what it holds stays until the data are safe, marked as "
                                  "ending before the run did";

  dialogs.answerSaveFile(dir.filePath(QStringLiteral("saved.zrv")));
  window->mnuFileSave_Click();
  EXPECT_EQ(journalFiles(), 0) << "saved: nothing is offered at the next start";
}

}  // namespace
}  // namespace zrvlog
