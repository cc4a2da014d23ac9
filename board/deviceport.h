#pragma once
// A real serial device (a path such as /dev/ttyUSB0, or a pseudo-terminal served by
// zrvsim), driven through its file descriptor: opened exclusively, set to the board's line
// (57,600 baud, 8N1, raw, no flow control) with termios, written at once and read with
// poll(). The board's request/reply round trips are too short for a buffered, event-driven
// port, and the descriptor needs no event loop and no application object, so hosts of the
// C ABI without Qt work as well as Qt programs.

#include "board/serialport.h"

namespace zrv {

class DevicePort final : public SerialPort {
 public:
  explicit DevicePort(QString device);
  ~DevicePort() override;

  PortStatus open() override;
  void close() override;
  bool isOpen() const override;
  PortStatus write(const QByteArray& bytes, Deadline deadline) override;
  ByteRead readByte(Deadline deadline) override;
  void discardInput() override;
  bool discardWaiting() override;
  bool byteArrives(Deadline deadline) override;
  bool cts() override;

 private:
  ByteRead timedOut();
  PortStatus removed(const QString& why);
  PortStatus configure();
  void requestLowLatency();

  QString m_device;
  int m_fd = -1;
  bool m_ctsUnknown = false;         ///< the device cannot report modem lines (pseudo-terminals)
  bool m_removed = false;            ///< the device went away; every later transfer fails at once
  bool m_lateReplyPossible = false;  ///< a read timed out; its reply may still arrive
  QString m_removedReason;
  // Bytes read from the descriptor but not yet handed out; a reply usually comes in one read.
  char m_buffer[256];
  int m_bufferPos = 0;
  int m_bufferLen = 0;
};

}  // namespace zrv
