#pragma once
// The Options dialog's "Publish" page: the broker a run's samples are published to (address,
// port, topic, user, TLS with a private CA, the outbox's size), on or off, and "Test
// connection", which asks the broker on a thread of its own and says its answer in plain
// words. The password is never kept in the settings file: typed here, it goes to the
// user's private password file, the one the command line reads.

#include <functional>
#include <optional>

#include "app/options/optionspage.h"
#include "app/publish/publish.h"
#include "app/settings/storedsettings.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace zrvlog {

class Dialogs;

class PublishPage : public OptionsPage {
  Q_OBJECT

 public:
  /// applied: called after Apply stored the settings (the window restarts publishing).
  PublishPage(StoredSettings& stored, Dialogs& dialogs, std::function<void()> applied,
              QWidget* parent = nullptr);
  ~PublishPage() override;

  QString title() const override { return QStringLiteral("Publish"); }
  bool validate() override;
  void apply() override;

  /// The settings as the fields say them.
  PublishSettings fields() const;
  /// Tries the broker the fields name; the answer comes to lblTest (and testFinished).
  void cmdTest_Click();

  QCheckBox *chkPublish, *chkTls;
  QLineEdit *txtHost, *txtTopic, *txtUser, *txtPassword, *txtCaFile;
  QSpinBox *spnPort, *spnOutbox;
  QPushButton *cmdTest, *cmdCaFile;
  QLabel* lblTest;

 Q_SIGNALS:
  void testFinished(bool ok, const QString& message);

 private:
  /// The fields' broker options (password from the field, else the usual sources), or
  /// nothing after saying what is wrong.
  std::optional<publish::PublisherOptions> check();
  void refuse(QWidget* field, const QString& text);
  void showTls();

  StoredSettings& m_stored;
  Dialogs& m_dialogs;
  std::function<void()> m_applied;
};

}  // namespace zrvlog
