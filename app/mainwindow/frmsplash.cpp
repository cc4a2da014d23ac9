#include "frmsplash.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "app/about/programicon.h"
#include "app/appinfo/appinfo.h"

namespace zrvlog {

frmSplash::frmSplash(QWidget* parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint) {
  setObjectName(QStringLiteral("frmSplash"));
  setAttribute(Qt::WA_DeleteOnClose, false);
  auto* frame = new QFrame(this);
  frame->setFrameShape(QFrame::Box);
  frame->setStyleSheet(
      QStringLiteral("QFrame { background: #10151c; border: 1px solid #3b6eb4; }"
                     "QLabel { border: none; color: #dfe6ee; }"));
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->addWidget(frame);

  lblProductName = new QLabel(kAppTitle, frame);
  lblProductName->setObjectName(QStringLiteral("lblProductName"));
  QFont big = lblProductName->font();
  big.setPointSize(28);
  big.setBold(true);
  lblProductName->setFont(big);
  lblProductName->setStyleSheet(QStringLiteral("color: #7fd18b;"));

  lblVersion = new QLabel(versionLabel(programVersion()), frame);
  lblVersion->setObjectName(QStringLiteral("lblVersion"));

  auto* purpose = new QLabel(QStringLiteral("Data logging with the ZRV I/O board"), frame);
  m_simulated = new QLabel(QStringLiteral("Demo mode: the board is simulated"), frame);
  m_simulated->setStyleSheet(QStringLiteral("color: #f4cf6e;"));
  m_simulated->hide();
  auto* support =
      new QLabel(QStringLiteral("Help > Contents answers most questions; the help pages\n"
                                "also explain how to map a serial port."),
                 frame);
  auto* copyright = new QLabel(QStringLiteral("Copyright \u00a9 2004-2026 Corvane"), frame);
  copyright->setStyleSheet(QStringLiteral("color: #8a94a0;"));

  auto* icon = new QLabel(frame);
  icon->setObjectName(QStringLiteral("picIcon"));
  icon->setPixmap(programPixmap(64));
  auto* heading = new QHBoxLayout;
  heading->setSpacing(16);
  heading->addWidget(icon, 0, Qt::AlignVCenter);
  heading->addWidget(lblProductName, 1, Qt::AlignVCenter);

  auto* layout = new QVBoxLayout(frame);
  layout->setContentsMargins(28, 22, 28, 18);
  layout->setSpacing(6);
  layout->addLayout(heading);
  layout->addWidget(lblVersion);
  layout->addWidget(purpose);
  layout->addSpacing(10);
  layout->addWidget(m_simulated);
  layout->addWidget(support);
  layout->addStretch();
  layout->addWidget(copyright);
  resize(420, 250);
}

void frmSplash::setSimulated(bool simulated) {
  m_simulated->setVisible(simulated);
}

}  // namespace zrvlog
