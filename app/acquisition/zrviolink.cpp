#include "zrviolink.h"

#include "board/portmap.h"

namespace zrvlog {

ReadFailure ZrvioLink::lastReadFailure() const {
  // Until the library tells the kinds apart, a failed read is a missing reply.
  return m_zrvio.errflag() ? ReadFailure::NoReply : ReadFailure::None;
}

void ZrvioLink::discardInput() {}

QString ZrvioLink::deviceName() const {
  return zrv::portmap::resolve(m_zrvio.CommPort());
}

}  // namespace zrvlog
