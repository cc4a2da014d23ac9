#pragma once
// A real serial device (a path such as /dev/ttyUSB0, or a pseudo-terminal served by
// zrvsim). QSerialPort opens and configures the device; the byte traffic then goes
// straight through its file descriptor, written at once and read with poll(), because the
// board's request/reply round trips are too short for QSerialPort's buffered, event-driven
// path (which also needs an event loop to run). Bytes QSerialPort has already buffered
// while the host processed events are taken first, so no byte is lost or reordered.

#include <QSerialPort>

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
  bool cts() override;

 private:
  PortStatus removed(const QString& why);
  void requestLowLatency();

  QString m_device;
  QSerialPort m_serial;
  int m_fd = -1;
  bool m_ctsUnknown = false;  ///< the device cannot report modem lines (pseudo-terminals)
  bool m_removed = false;     ///< the device went away; every later transfer fails at once
  QString m_removedReason;
  // Bytes read from the descriptor but not yet handed out; a reply usually comes in one read.
  char m_buffer[256];
  int m_bufferPos = 0;
  int m_bufferLen = 0;
};

}  // namespace zrv
