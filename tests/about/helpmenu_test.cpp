// The Help menu of the main window: the help window at its contents or its search, and the
// about box shown modally.
#include <gtest/gtest.h>

#include <QAction>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTreeWidget>

#include "app/about/frmabout.h"
#include "app/about/frmhelp.h"
#include "app/appinfo/appinfo.h"
#include "app/mainwindow/frmmain.h"
#include "app/settings/storedsettings.h"
#include "app/timer/manualtimer.h"
#include "tests/fakes/fakeboardcontrol.h"
#include "tests/support/mainwindowfixture.h"
#include "tests/support/scripteddialogs.h"

namespace zrvlog {
namespace {

class HelpMenuTest : public zrvtest::MainWindowFixture {
 protected:
  void SetUp() override {
    zrvtest::MainWindowFixture::SetUp();
    open();
  }
};

TEST_F(HelpMenuTest, ContentsAndSearchOpenOneHelpWindowAtTheirTab) {
  const frmMain::Menus& m = window->menus();
  EXPECT_EQ(window->helpWindow(), nullptr);

  m.mnuHelpContents->trigger();
  auto* help = qobject_cast<frmHelp*>(window->helpWindow());
  ASSERT_NE(help, nullptr) << "the help pages were not found beside the test program";
  EXPECT_TRUE(help->isVisible());
  EXPECT_EQ(help->tabs()->currentIndex(), 0);
  EXPECT_GT(help->contentsList()->topLevelItemCount(), 5);

  help->close();
  m.mnuSearchForHelpOn->trigger();
  EXPECT_EQ(window->helpWindow(), help) << "the window is kept and shown again";
  EXPECT_TRUE(help->isVisible());
  EXPECT_EQ(help->tabs()->currentIndex(), 1);
  EXPECT_TRUE(dialogs.asked().empty());
}

TEST_F(HelpMenuTest, AboutShowsTheAboutBoxModallyOwnedByTheMainWindow) {
  QString title, version;
  QWidget* owner = nullptr;
  dialogs.answerExec([&](QDialog& dialog) {
    auto& about = static_cast<frmAbout&>(dialog);
    title = about.windowTitle();
    version = about.lblVersion->text();
    owner = about.parentWidget();
    about.cmdOK->click();
    return about.result();
  });
  window->menus().mnuHelpAbout->trigger();
  EXPECT_EQ(title, QStringLiteral("About ZRVLOG"));
  EXPECT_EQ(version, versionLabel(programVersion()));
  EXPECT_EQ(owner, window.get());
}

}  // namespace
}  // namespace zrvlog
