#include "zrviolink.h"

#include "board/portmap.h"

namespace zrvlog {

ReadFailure ZrvioLink::lastReadFailure() const {
  switch (m_zrvio.lastReadFailure()) {
    case zrv::ReadFailure::None:
      return ReadFailure::None;
    case zrv::ReadFailure::NoReply:
      return ReadFailure::NoReply;
    case zrv::ReadFailure::InvalidReply:
      return ReadFailure::InvalidReply;
    case zrv::ReadFailure::PortError:
      return ReadFailure::PortError;
  }
  return ReadFailure::NoReply;
}

void ZrvioLink::discardInput() {
  m_zrvio.discardInput();
}

QString ZrvioLink::deviceName() const {
  return zrv::portmap::resolve(m_zrvio.CommPort());
}

}  // namespace zrvlog
