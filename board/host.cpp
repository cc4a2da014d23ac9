#include "board/host.h"

#include <QCoreApplication>

namespace zrv {

void Host::processEvents() {
  if (QCoreApplication::instance()) QCoreApplication::processEvents();
}

Host& defaultHost() {
  static Host host;
  return host;
}

}  // namespace zrv
