#include "zrviolink.h"

#include "board/portmap.h"

namespace zrvlog {

ReplyProof ZrvioLink::checkReplies() {
  switch (m_zrvio.checkReplies()) {
    case zrv::ReplyProof::Proven:
      return ReplyProof::Proven;
    case zrv::ReplyProof::Pending:
      return ReplyProof::Pending;
    case zrv::ReplyProof::Doubted:
      break;
  }
  return ReplyProof::Doubted;
}

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
