#include "board/serialport.h"

#include "board/deviceport.h"
#include "board/simport.h"

namespace zrv {

void SerialPort::discardInput() {
  constexpr int kMaxDiscarded = 64 * 1024;
  for (int i = 0; i < kMaxDiscarded && readByte(Clock::now()).ok(); ++i) {
  }
}

bool SerialPort::discardWaiting() {
  if (!readByte(Clock::now()).ok()) return false;
  discardInput();
  return true;
}

bool SerialPort::byteArrives(Deadline deadline) {
  return readByte(deadline).ok();
}

std::unique_ptr<SerialPort> makeSerialPort(const QString& device) {
  if (device == QLatin1String(kSimDevice)) return std::make_unique<SimPort>();
  return std::make_unique<DevicePort>(device);
}

}  // namespace zrv
