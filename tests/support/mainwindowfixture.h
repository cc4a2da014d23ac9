#pragma once
// The main window as the window tests need it: a fake board, a manually fired timer,
// scripted dialogs, and a settings file and recovery folder of the test's own.

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <memory>

#include "app/mainwindow/frmmain.h"
#include "app/settings/storedsettings.h"
#include "app/timer/manualtimer.h"
#include "tests/fakes/fakeboardcontrol.h"
#include "tests/support/scripteddialogs.h"

namespace zrvtest {

template <class DialogsT = ScriptedDialogs>
class BasicMainWindowFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    iniPath = dir.filePath(QStringLiteral("ZRVLOG.conf"));
  }
  void TearDown() override {
    close();
    EXPECT_TRUE(dialogs.scriptUsedUp()) << "questions were scripted that the program never asked";
  }

  /// Builds, loads and shows the window (as start-up does, without the splash).
  zrvlog::frmMain& open() {
    stored = std::make_unique<zrvlog::StoredSettings>(iniPath);
    auto fakeBoard = std::make_unique<FakeBoardControl>();
    auto fakeTimer = std::make_unique<zrvlog::ManualTimer>();
    board = fakeBoard.get();
    timer = fakeTimer.get();
    window = std::make_unique<zrvlog::frmMain>(zrvlog::MainWindowParts{
        &dialogs, stored.get(), std::move(fakeBoard), std::move(fakeTimer), journalFolder()});
    window->Form_Load();
    window->show();
    return *window;
  }
  /// Closes the window without the save prompt (it has tests of its own).
  void close() {
    if (!window) return;
    window->engine().data.DataChanged = false;
    window->close();
    window.reset();
  }
  /// A run of n samples from the menu.
  void record(int samples) {
    window->mnuDataStart_Click();
    for (int i = 0; i < samples; ++i)
      timer->fire();
    window->mnuDataStop_Click();
  }
  QString path(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }
  QString journalFolder() const { return dir.filePath(QStringLiteral("recovery")); }

  QTemporaryDir dir;
  QString iniPath;
  DialogsT dialogs;
  std::unique_ptr<zrvlog::StoredSettings> stored;
  std::unique_ptr<zrvlog::frmMain> window;
  FakeBoardControl* board = nullptr;
  zrvlog::ManualTimer* timer = nullptr;
};

using MainWindowFixture = BasicMainWindowFixture<>;

}  // namespace zrvtest
