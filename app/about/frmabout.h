#pragma once
// frmAbout: the about box. It shows the program's title, version and purpose with the icon,
// and offers OK, "&Home Page" (the product page in the default browser) and
// "&System Info..." (the system-information tool, found as sysinfo.h describes).
//
// The box is shown modally through Dialogs::exec. Starting the tool and opening the web page
// never wait for them: both hand over to another process and return.

#include <QDialog>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <cstdint>
#include <functional>

class QFrame;
class QLabel;
class QPushButton;

namespace zrvlog {

class Dialogs;

/// The maker's product page that "&Home Page" opens.
inline const QUrl kHomePageUrl = QUrl(QStringLiteral("https://www.corvane.com/zrvlog"));

/// What the about box reaches outside the program. Empty members take the real ones.
struct AboutServices {
  /// The machine configuration file; empty: MachineConfiguration::defaultFile().
  QString machineConfigFile;
  /// Folders looked through for the well-known tools; empty: the PATH.
  QStringList toolSearchPath;
  /// Starts a program without waiting for it; false when it cannot be started.
  std::function<bool(const QString& program)> startProgram;
  /// Opens a web address in the default browser.
  std::function<bool(const QUrl& url)> openUrl;
};

class frmAbout : public QDialog {
  Q_OBJECT

 public:
  frmAbout(Dialogs& dialogs, QWidget* parent = nullptr, AboutServices services = {});

  QLabel* lblTitle;
  QLabel* lblVersion;
  QLabel* lblDescription;
  QLabel* picIcon;
  QFrame* Line1;
  QPushButton* cmdOK;
  QPushButton* cmdSysInfo;
  QPushButton* Homepage;

  /// The load handler: the title and "Version 1.1.0" from the program's version.
  void Form_Load();
  /// Starts the system-information tool, or says "System Information Is Unavailable At
  /// This Time" when there is none or it does not start.
  void StartSysInfo();
  /// A value of the machine configuration (sysinfo.h, GetKeyValue).
  bool GetKeyValue(int32_t KeyRoot, const QString& KeyName, const QString& SubKeyRef,
                   QString& KeyVal) const;

 public Q_SLOTS:
  void cmdOK_Click();
  void cmdSysInfo_Click();
  void Homepage_Click();

 private:
  Dialogs& m_dialogs;
  AboutServices m_services;
};

}  // namespace zrvlog
