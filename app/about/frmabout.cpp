#include "app/about/frmabout.h"

#include <QDesktopServices>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLoggingCategory>
#include <QProcess>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/about/programicon.h"
#include "app/about/sysinfo.h"
#include "app/appinfo/appinfo.h"
#include "app/dialogs/dialogs.h"

Q_LOGGING_CATEGORY(lcAbout, "zrvlog.about", QtWarningMsg)

namespace zrvlog {

namespace {

constexpr int kIconSize = 64;

QString description() {
  return QStringLiteral(
             "Use the ZRVLOG with the ZRV I/O board to collect and analyze analog data with "
             "your PC. Updates, examples and the board's documentation are on the ZRVLOG page "
             "at %1.")
      .arg(kHomePageUrl.host() + kHomePageUrl.path());
}

}  // namespace

frmAbout::frmAbout(Dialogs& dialogs, QWidget* parent, AboutServices services)
    : QDialog(parent), m_dialogs(dialogs), m_services(std::move(services)) {
  setObjectName(QStringLiteral("frmAbout"));
  setWindowTitle(QStringLiteral("About ZRVLOG"));

  picIcon = new QLabel(this);
  picIcon->setObjectName(QStringLiteral("picIcon"));
  picIcon->setPixmap(programPixmap(kIconSize));
  picIcon->setFixedSize(kIconSize, kIconSize);

  lblTitle = new QLabel(QStringLiteral("Application Title"), this);
  lblTitle->setObjectName(QStringLiteral("lblTitle"));
  QFont titleFont = lblTitle->font();
  titleFont.setPointSizeF(titleFont.pointSizeF() * 1.6);
  titleFont.setBold(true);
  lblTitle->setFont(titleFont);

  lblVersion = new QLabel(QStringLiteral("Version"), this);
  lblVersion->setObjectName(QStringLiteral("lblVersion"));

  lblDescription = new QLabel(description(), this);
  lblDescription->setObjectName(QStringLiteral("lblDescription"));
  lblDescription->setWordWrap(true);
  lblDescription->setFixedWidth(330);
  lblDescription->setTextInteractionFlags(Qt::TextSelectableByMouse);

  Line1 = new QFrame(this);
  Line1->setObjectName(QStringLiteral("Line1"));
  Line1->setFrameShape(QFrame::HLine);
  Line1->setFrameShadow(QFrame::Sunken);

  cmdOK = new QPushButton(QStringLiteral("OK"), this);
  cmdOK->setObjectName(QStringLiteral("cmdOK"));
  cmdOK->setDefault(true);
  cmdSysInfo = new QPushButton(QStringLiteral("&System Info..."), this);
  cmdSysInfo->setObjectName(QStringLiteral("cmdSysInfo"));
  Homepage = new QPushButton(QStringLiteral("&Home Page"), this);
  Homepage->setObjectName(QStringLiteral("Homepage"));
  Homepage->setToolTip(kHomePageUrl.toString());
  for (QPushButton* b : {cmdOK, cmdSysInfo, Homepage})
    b->setMinimumWidth(96);
  connect(cmdOK, &QPushButton::clicked, this, &frmAbout::cmdOK_Click);
  connect(cmdSysInfo, &QPushButton::clicked, this, &frmAbout::cmdSysInfo_Click);
  connect(Homepage, &QPushButton::clicked, this, &frmAbout::Homepage_Click);

  auto* texts = new QVBoxLayout;
  texts->setSpacing(6);
  texts->addWidget(lblTitle);
  texts->addWidget(lblVersion);
  texts->addSpacing(8);
  texts->addWidget(lblDescription);
  texts->addStretch();

  auto* top = new QHBoxLayout;
  top->setSpacing(18);
  top->addWidget(picIcon, 0, Qt::AlignTop);
  top->addLayout(texts);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(Homepage);
  buttons->addStretch();
  buttons->addWidget(cmdSysInfo);
  buttons->addWidget(cmdOK);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(20, 20, 20, 16);
  layout->setSpacing(12);
  layout->addLayout(top);
  layout->addWidget(Line1);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  Form_Load();
}

void frmAbout::Form_Load() {
  lblVersion->setText(versionLabel(programVersion()));
  lblTitle->setText(kAppTitle);
}

void frmAbout::cmdOK_Click() {
  accept();
}

void frmAbout::cmdSysInfo_Click() {
  StartSysInfo();
}

void frmAbout::Homepage_Click() {
  const bool opened = m_services.openUrl ? m_services.openUrl(kHomePageUrl)
                                         : QDesktopServices::openUrl(kHomePageUrl);
  if (opened) return;
  // Without a browser nothing would happen at all: say so, and where the page is.
  qCInfo(lcAbout).noquote() << "no browser opened" << kHomePageUrl.toString();
  m_dialogs.message(this,
                    QStringLiteral("No web browser could be started to show the home page.\n\n"
                                   "Its address is %1")
                        .arg(kHomePageUrl.toString()),
                    kAppTitle, Buttons::Ok, Icon::Information);
}

bool frmAbout::GetKeyValue(int32_t KeyRoot, const QString& KeyName, const QString& SubKeyRef,
                           QString& KeyVal) const {
  const MachineConfiguration config(m_services.machineConfigFile.isEmpty()
                                        ? MachineConfiguration::defaultFile()
                                        : m_services.machineConfigFile);
  return zrvlog::GetKeyValue(config, KeyRoot, KeyName, SubKeyRef, KeyVal);
}

void frmAbout::StartSysInfo() {
  bool started = false;
  try {
    const MachineConfiguration config(m_services.machineConfigFile.isEmpty()
                                          ? MachineConfiguration::defaultFile()
                                          : m_services.machineConfigFile);
    const QString tool = findSystemInfoTool(config, m_services.toolSearchPath);
    if (!tool.isEmpty()) {
      started = m_services.startProgram ? m_services.startProgram(tool)
                                        : QProcess::startDetached(tool, {});
      if (!started) qCWarning(lcAbout).noquote() << "could not start" << tool;
    }
  } catch (const std::exception& e) {
    qCWarning(lcAbout) << "looking for the system-information tool:" << e.what();
    started = false;
  }
  if (!started)
    m_dialogs.message(this, QStringLiteral("System Information Is Unavailable At This Time"),
                      kAppTitle, Buttons::Ok, Icon::None);
}

}  // namespace zrvlog
