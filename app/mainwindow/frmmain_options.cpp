// The options dialog of the main window: View > Options... and the toolbar's Props button.
#include <QAction>

#include "app/dialogs/dialogs.h"
#include "app/mainwindow/frmmain.h"
#include "app/options/frmoptions.h"
#include "app/options/portdevices.h"
#include "board/portmap.h"

namespace zrvlog {

void frmMain::initOptionsCommands() {
  connect(m_menus.mnuViewOptions, &QAction::triggered, this, &frmMain::mnuViewOptions_Click);
}

void frmMain::mnuViewOptions_Click() {
  OptionsHost host;
  host.engine = m_engine.get();
  host.dialogs = m_dialogs;
  host.storedSettings = m_stored;
  host.autorange = [this] { return m_engine->autorange(); };
  host.setAutorange = [this](bool on) { m_engine->setAutorange(on); };
  host.graphProperties = [this] { mnuGraphProps_Click(); };
  // The port or the port map may have changed: the toolbar says whether the board that
  // the next run opens is the simulated one.
  host.applied = [this] {
    setSimulatedBoard(zrv::portmap::resolve(m_board->CommPort()) == kSimulatedDevice);
  };
  frmOptions dialog(std::move(host), this);
  m_dialogs->exec(dialog);
}

}  // namespace zrvlog
