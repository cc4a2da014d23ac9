// The options dialog of the main window: View > Options... and the toolbar's Props button.
// Until the dialog is in place they are shown but cannot be chosen.
#include <QAction>

#include "app/mainwindow/frmmain.h"

namespace zrvlog {

void frmMain::initOptionsCommands() {
  m_menus.mnuViewOptions->setEnabled(false);
  toolButton(QStringLiteral("Props"))->setEnabled(false);
}

}  // namespace zrvlog
