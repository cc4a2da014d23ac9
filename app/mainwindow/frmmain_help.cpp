// The Help menu of the main window. Until the help pages and the about box are in place its
// items are shown but cannot be chosen.
#include <QAction>

#include "app/mainwindow/frmmain.h"

namespace zrvlog {

void frmMain::initHelpCommands() {
  for (QAction* a : {m_menus.mnuHelpContents, m_menus.mnuSearchForHelpOn, m_menus.mnuHelpAbout})
    a->setEnabled(false);
}

}  // namespace zrvlog
