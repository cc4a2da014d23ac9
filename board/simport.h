#pragma once
// The "sim" port: the simulated board answering in this process. Replies are ready as soon
// as the command has been written, so a read with nothing waiting fails at once instead of
// waiting for a reply that cannot come; durations are not waited for. Each open powers up a
// fresh board, whose clock (for the test signals) starts at the open. Its EEPROM, like a
// real one, outlives the power: every sim port of the process shares one, kept from close
// to open for as long as the process runs.

#include "board/serialport.h"
#include "board/simboard.h"

namespace zrv {

class ZRV_EXPORT SimPort final : public SerialPort {
 public:
  PortStatus open() override;
  void close() override;
  bool isOpen() const override { return m_open; }
  PortStatus write(const QByteArray& bytes, Deadline deadline) override;
  ByteRead readByte(Deadline deadline) override;
  void discardInput() override { m_readPos = m_received.size(); }
  bool cts() override { return m_board.cts(); }

  ~SimPort() override;

  const SimBoard& board() const { return m_board; }

 private:
  SimBoard m_board;
  Clock::time_point m_powerOn{};
  QByteArray m_received;  ///< replies not yet read
  qsizetype m_readPos = 0;
  bool m_open = false;
};

}  // namespace zrv
