#include "app/about/frmabout.h"

#include <gtest/gtest.h>

#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>

#include "app/about/sysinfo.h"
#include "app/appinfo/appinfo.h"
#include "tests/support/scripteddialogs.h"

namespace zrvlog {
namespace {

const QString kUnavailable = QStringLiteral("System Information Is Unavailable At This Time");

TEST(AppInfo, VersionLabelWritesMajorMinorAndRevision) {
  EXPECT_EQ(versionLabel({1, 2, 15}), QStringLiteral("Version 1.2.15"));
  EXPECT_EQ(versionLabel({10, 0, 0}), QStringLiteral("Version 10.0.0"));
}

// An about box whose outside world is a temporary folder: the machine configuration, a tool
// folder and a search path, with programs and web pages recorded instead of opened.
class AboutBoxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    QDir(dir.path()).mkpath(QStringLiteral("bin"));
  }
  void TearDown() override {
    EXPECT_TRUE(dialogs.scriptUsedUp()) << "questions were scripted that the program never asked";
  }

  AboutServices services() {
    AboutServices s;
    s.machineConfigFile = dir.filePath(QStringLiteral("machine.conf"));
    s.toolSearchPath = {dir.filePath(QStringLiteral("bin"))};
    s.startProgram = [this](const QString& program) {
      started << program;
      return startSucceeds;
    };
    s.openUrl = [this](const QUrl& url) {
      opened << url;
      return false;  // no browser: the box says so and stays open
    };
    return s;
  }
  void writeConfig(const QString& text) {
    QFile f(dir.filePath(QStringLiteral("machine.conf")));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text.toUtf8());
  }
  QString makeTool(const QString& relative) {
    const QString path = dir.filePath(relative);
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
    return path;
  }

  QTemporaryDir dir;
  zrvtest::ScriptedDialogs dialogs;
  QStringList started;
  QList<QUrl> opened;
  bool startSucceeds = true;
};

TEST_F(AboutBoxTest, ShowsTitleVersionDescriptionIconAndButtons) {
  frmAbout about(dialogs, nullptr, services());
  EXPECT_EQ(about.windowTitle(), QStringLiteral("About ZRVLOG"));
  EXPECT_EQ(about.lblTitle->text(), kAppTitle);
  EXPECT_EQ(about.lblVersion->text(), versionLabel(programVersion()));
  EXPECT_TRUE(about.lblDescription->text().startsWith(QStringLiteral(
      "Use the ZRVLOG with the ZRV I/O board to collect and analyze analog data with your PC. ")));
  EXPECT_TRUE(about.lblDescription->text().contains(kHomePageUrl.host() + kHomePageUrl.path()));
  EXPECT_FALSE(about.picIcon->pixmap().isNull());
  EXPECT_EQ(about.Line1->frameShape(), QFrame::HLine);
  EXPECT_EQ(about.cmdOK->text(), QStringLiteral("OK"));
  EXPECT_TRUE(about.cmdOK->isDefault());
  EXPECT_EQ(about.cmdSysInfo->text(), QStringLiteral("&System Info..."));
  EXPECT_EQ(about.Homepage->text(), QStringLiteral("&Home Page"));
}

TEST_F(AboutBoxTest, RunsModallyThroughDialogsAndClosesWithOk) {
  bool sawTexts = false;
  dialogs.answerExec([&](QDialog& dialog) {
    auto& about = static_cast<frmAbout&>(dialog);
    sawTexts = about.isVisible() && about.lblTitle->text() == kAppTitle;
    // Home Page leaves the box open whatever the browser does; without one it says so.
    dialogs.answerMessage(Answer::Ok);
    about.Homepage->click();
    EXPECT_TRUE(dialogs.messages().back().contains(kHomePageUrl.toString()));
    EXPECT_TRUE(about.isVisible());
    about.cmdOK->click();
    EXPECT_FALSE(about.isVisible());
    return about.result();
  });
  frmAbout about(dialogs, nullptr, services());
  Dialogs& d = dialogs;
  EXPECT_EQ(d.exec(about), QDialog::Accepted);
  EXPECT_TRUE(sawTexts);
  ASSERT_EQ(opened.size(), 1);
  EXPECT_EQ(opened.front(), kHomePageUrl);
  ASSERT_EQ(dialogs.asked().size(), 2u);
  EXPECT_EQ(dialogs.asked().front().title, QStringLiteral("About ZRVLOG"));
}

TEST_F(AboutBoxTest, SystemInfoStartsTheToolItFindsOrSaysItIsUnavailable) {
  struct Case {
    const char* name;
    QString config;     // empty: no configuration file
    QStringList tools;  // files made executable under the temporary folder
    bool startSucceeds;
    QString expectedStart;  // relative to the folder; empty: nothing started
  } cases[] = {
      {"no configuration and no tool", {}, {}, true, {}},
      {"only the folder value, without the tool in it",
       QStringLiteral("[%1]\nMSINFO=%2\n")
           .arg(kMsinfoLocationKey, dir.filePath(QStringLiteral("tools"))),
       {QStringLiteral("tools/other-program")},
       true,
       {}},
      {"the folder value with the tool",
       QStringLiteral("[%1]\nMSINFO=%2\n")
           .arg(kMsinfoLocationKey, dir.filePath(QStringLiteral("tools"))),
       {QStringLiteral("tools/msinfo32")},
       true,
       QStringLiteral("tools/msinfo32")},
      {"the path value",
       QStringLiteral("[%1]\nPATH=%2\n").arg(kMsinfoKey, dir.filePath(QStringLiteral("x/info"))),
       {QStringLiteral("x/info"), QStringLiteral("bin/hardinfo")},
       true,
       QStringLiteral("x/info")},
      {"a well-known tool on the search path",
       {},
       {QStringLiteral("bin/kinfocenter")},
       true,
       QStringLiteral("bin/kinfocenter")},
      {"a tool that does not start",
       {},
       {QStringLiteral("bin/hardinfo")},
       false,
       QStringLiteral("bin/hardinfo")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QDir(dir.path()).removeRecursively();
    QDir().mkpath(dir.filePath(QStringLiteral("bin")));
    if (!c.config.isEmpty()) writeConfig(c.config);
    for (const QString& tool : c.tools)
      makeTool(tool);
    started.clear();
    startSucceeds = c.startSucceeds;
    const size_t messagesBefore = dialogs.messages().size();
    const bool unavailable = c.expectedStart.isEmpty() || !c.startSucceeds;
    if (unavailable) dialogs.answerMessage(Answer::Ok);

    frmAbout about(dialogs, nullptr, services());
    about.cmdSysInfo->click();

    if (c.expectedStart.isEmpty())
      EXPECT_TRUE(started.isEmpty());
    else
      EXPECT_EQ(started, QStringList{dir.filePath(c.expectedStart)});
    const auto messages = dialogs.messages();
    ASSERT_EQ(messages.size(), messagesBefore + (unavailable ? 1 : 0));
    if (unavailable) {
      const auto& q = dialogs.asked().back();
      EXPECT_EQ(q.text, kUnavailable);
      EXPECT_EQ(q.title, kAppTitle);
      EXPECT_EQ(q.buttons, Buttons::Ok);
    }
  }
}

TEST_F(AboutBoxTest, GetKeyValueReadsTheBoxsMachineConfiguration) {
  writeConfig(QStringLiteral("[SOFTWARE\\Corvane\\ZRVLOG]\nLevel=dword:0000002a\n"));
  frmAbout about(dialogs, nullptr, services());
  QString value;
  EXPECT_TRUE(about.GetKeyValue(HKEY_LOCAL_MACHINE, QStringLiteral("SOFTWARE\\Corvane\\ZRVLOG"),
                                QStringLiteral("Level"), value));
  EXPECT_EQ(value, QStringLiteral("42"));
}

}  // namespace
}  // namespace zrvlog
