#include "zrviolink.h"

namespace zrvlog {

ReadFailure ZrvioLink::lastReadFailure() const {
  // Until the library tells the kinds apart, a failed read is a missing reply.
  return m_zrvio.errflag() ? ReadFailure::NoReply : ReadFailure::None;
}

void ZrvioLink::discardInput() {}

}  // namespace zrvlog
