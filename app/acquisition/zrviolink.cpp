#include "zrviolink.h"

#include "board/portmap.h"

namespace zrvlog {

void ZrvioLink::discardInput() {
  m_zrvio.discardInput();
}

QString ZrvioLink::deviceName() const {
  return zrv::portmap::resolve(m_zrvio.CommPort());
}

}  // namespace zrvlog
