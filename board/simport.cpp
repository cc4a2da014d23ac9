#include "board/simport.h"

#include <QMutex>

namespace zrv {

namespace {
const QString kNotOpen = QStringLiteral("the port is not open");

// The EEPROM of the process's simulated boards; hosts may open ports on any thread.
struct SharedEeprom {
  QMutex mutex;
  SimBoard::EepromImage image = SimBoard().eeprom();
};

SharedEeprom& sharedEeprom() {
  static SharedEeprom shared;
  return shared;
}
}  // namespace

SimPort::~SimPort() {
  close();
}

PortStatus SimPort::open() {
  m_board = SimBoard();
  {
    SharedEeprom& shared = sharedEeprom();
    QMutexLocker lock(&shared.mutex);
    m_board.setEeprom(shared.image);
  }
  m_received.clear();
  m_readPos = 0;
  m_powerOn = Clock::now();
  m_open = true;
  return PortStatus::success();
}

void SimPort::close() {
  if (!m_open) return;
  m_open = false;
  SharedEeprom& shared = sharedEeprom();
  QMutexLocker lock(&shared.mutex);
  shared.image = m_board.eeprom();
}

PortStatus SimPort::write(const QByteArray& bytes, Deadline) {
  if (!m_open) return PortStatus::failure(PortStatus::Code::NotOpen, kNotOpen);
  const double seconds = std::chrono::duration<double>(Clock::now() - m_powerOn).count();
  if (m_readPos == m_received.size()) {
    m_received.clear();
    m_readPos = 0;
  }
  m_received += m_board.receive(bytes, seconds);
  return PortStatus::success();
}

ByteRead SimPort::readByte(Deadline) {
  if (!m_open) return {0, PortStatus::failure(PortStatus::Code::NotOpen, kNotOpen)};
  if (m_readPos >= m_received.size())
    return {0, PortStatus::failure(PortStatus::Code::TimedOut,
                                   QStringLiteral("the simulated board sent nothing"))};
  return {static_cast<uint8_t>(m_received[m_readPos++]), PortStatus::success()};
}

}  // namespace zrv
