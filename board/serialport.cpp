#include "board/serialport.h"

#include "board/deviceport.h"
#include "board/simport.h"

namespace zrv {

std::unique_ptr<SerialPort> makeSerialPort(const QString& device) {
  if (device == QLatin1String(kSimDevice)) return std::make_unique<SimPort>();
  return std::make_unique<DevicePort>(device);
}

}  // namespace zrv
