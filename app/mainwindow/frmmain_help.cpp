// The Help menu of the main window: the help window with its contents and its search, and
// the about box.
#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QScreen>
#include <QStyle>
#include <algorithm>

#include "app/about/frmabout.h"
#include "app/about/frmhelp.h"
#include "app/about/helpbook.h"
#include "app/appinfo/appinfo.h"
#include "app/dialogs/dialogs.h"
#include "app/mainwindow/frmmain.h"

namespace zrvlog {

void frmMain::initHelpCommands() {
  connect(m_menus.mnuHelpContents, &QAction::triggered, this, &frmMain::mnuHelpContents_Click);
  connect(m_menus.mnuSearchForHelpOn, &QAction::triggered, this,
          &frmMain::mnuSearchForHelpOn_Click);
  connect(m_menus.mnuHelpAbout, &QAction::triggered, this, &frmMain::mnuHelpAbout_Click);
}

QMainWindow* frmMain::openHelpWindow() {
  if (!m_help) {
    const QStringList candidates = helpDirectoryCandidates(QCoreApplication::applicationDirPath());
    const QString directory = findHelpDirectory(candidates);
    if (directory.isEmpty()) {
      QStringList places;
      for (const QString& c : candidates)
        places << QDir::toNativeSeparators(c);
      msgBox(QStringLiteral("The help pages cannot be found. ZRVLOG looks for them in:\n\n") +
             places.join(u'\n'));
      return nullptr;
    }
    HelpBook book;
    QString error;
    if (!book.load(directory, &error)) {
      msgBox(QStringLiteral("The help pages cannot be read.\n\n") + error);
      return nullptr;
    }
    m_help = new frmHelp(std::move(book), this);
    // Over the main window, wholly on its screen: a window placed by chance may open
    // partly or wholly off the screen.
    const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (screen) {
      const QRect available = screen->availableGeometry();
      const QSize size = m_help->size().boundedTo(available.size() * 0.9);
      QRect place = QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size, geometry());
      place.moveLeft(std::clamp(place.left(), available.left(), available.right() - size.width()));
      place.moveTop(std::clamp(place.top(), available.top(), available.bottom() - size.height()));
      m_help->setGeometry(place);
    }
  }
  m_help->show();
  m_help->raise();
  m_help->activateWindow();
  return m_help;
}

void frmMain::mnuHelpContents_Click() {
  if (auto* help = qobject_cast<frmHelp*>(openHelpWindow())) help->showContents();
}

void frmMain::mnuSearchForHelpOn_Click() {
  if (auto* help = qobject_cast<frmHelp*>(openHelpWindow())) help->showSearch();
}

void frmMain::mnuHelpAbout_Click() {
  frmAbout about(*m_dialogs, this);
  m_dialogs->exec(about);
}

}  // namespace zrvlog
