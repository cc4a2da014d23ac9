#pragma once
// The main window on a fake board and a manual timer, with scripted dialogs, a temporary
// settings file and a private port map, for the options dialog and the graph commands.

#include <gtest/gtest.h>

#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <functional>
#include <memory>

#include "app/mainwindow/frmmain.h"
#include "app/options/frmoptions.h"
#include "app/settings/storedsettings.h"
#include "app/timer/manualtimer.h"
#include "board/portmap.h"
#include "tests/fakes/fakeboardcontrol.h"
#include "tests/support/mainwindowfixture.h"
#include "tests/support/scripteddialogs.h"

namespace zrvtest {

/// Scripted dialogs that also note, for each message box, which control of the asking
/// window had the focus while it showed ("" for none).
class FocusRecordingDialogs : public ScriptedDialogs {
 public:
  std::vector<QString> focusAtMessage;

  zrvlog::Answer message(QWidget* parent, const QString& text, const QString& title,
                         zrvlog::Buttons buttons, zrvlog::Icon icon) override {
    const QWidget* focus = parent ? parent->window()->focusWidget() : nullptr;
    focusAtMessage.push_back(focus ? focus->objectName() : QString());
    return ScriptedDialogs::message(parent, text, title, buttons, icon);
  }
};

class OptionsFixture : public BasicMainWindowFixture<FocusRecordingDialogs> {
 protected:
  void SetUp() override {
    BasicMainWindowFixture::SetUp();
    // The port map is per user; each test gets its own.
    savedConfigHome = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("config")).toLocal8Bit());
    zrv::portmap::clearProcessOverrides();
  }
  void TearDown() override {
    BasicMainWindowFixture::TearDown();
    zrv::portmap::clearProcessOverrides();
    qputenv("XDG_CONFIG_HOME", savedConfigHome);
  }

  /// Scripts the options dialog: body runs on it while it shows, and the dialog closes
  /// afterwards unless body closed it. Questions asked from inside body are scripted after
  /// this, before showOptions().
  void scriptOptions(const std::function<void(zrvlog::frmOptions&)>& body) {
    dialogs.answerExec([body](QDialog& d) {
      auto* options = qobject_cast<zrvlog::frmOptions*>(&d);
      EXPECT_NE(options, nullptr) << "the dialog shown is not the options dialog";
      if (options) body(*options);
      return d.isVisible() ? int(QDialog::Rejected) : d.result();
    });
  }
  /// View > Options...
  void showOptions() { window->menus().mnuViewOptions->trigger(); }
  void withOptions(const std::function<void(zrvlog::frmOptions&)>& body) {
    scriptOptions(body);
    showOptions();
  }

  static void type(zrvlog::frmOptions& f, const char* field, const QString& text) {
    QLineEdit* box = f.field(field);
    ASSERT_NE(box, nullptr) << field;
    box->setText(text);
  }
  /// Clicking Apply (or OK): the button takes the focus, then its handler runs.
  static void click(QPushButton* button) {
    button->setFocus(Qt::MouseFocusReason);
    button->click();
  }
  static QString focusName(const zrvlog::frmOptions& f) {
    return f.focusWidget() ? f.focusWidget()->objectName() : QString();
  }

  QByteArray savedConfigHome;
};

}  // namespace zrvtest
