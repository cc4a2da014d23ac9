// The File and Edit menus of the main window: until the data file, the exports and printing
// are in place, their items are shown but cannot be chosen, and there is nothing to save.
#include <QAction>
#include <QMenu>

#include "app/mainwindow/frmmain.h"

namespace zrvlog {

void frmMain::initDocumentCommands() {
  const Menus& m = m_menus;
  for (QAction* a : {m.mnuFileNew, m.mnuFileOpen, m.mnuFileSave, m.mnuFileSaveAs, m.mnuExportCSV,
                     m.mnuExportBMP, m.mnuFilePrint, m.mnuCopy})
    a->setEnabled(false);
  m.mnuFileExport->setEnabled(false);
  for (const char* key : {"New", "Open", "Save", "Print", "Copy"})
    toolButton(QString::fromLatin1(key))->setEnabled(false);
}

void frmMain::restoreRecentFiles() {}

void frmMain::SaveIfChanged() {}

}  // namespace zrvlog
