#include "board/protocol.h"

namespace zrv::protocol {

QByteArray sendarg(uint16_t v) {
  const auto data = makeword(v);
  QByteArray bytes(3, Qt::Uninitialized);
  bytes[0] = static_cast<char>(cmd::kLoadArgument + 2 * (v & 1) + ((v >> 8) & 1));
  bytes[1] = static_cast<char>(data[0]);
  bytes[2] = static_cast<char>(data[1]);
  return bytes;
}

QByteArray command(uint8_t commandByte, const QByteArray& data) {
  QByteArray bytes;
  bytes.reserve(1 + data.size());
  bytes.append(static_cast<char>(commandByte));
  bytes.append(data);
  return bytes;
}

QByteArray freqData(int pin, uint16_t tone) {
  QByteArray bytes(3, Qt::Uninitialized);
  bytes[0] = static_cast<char>(withLowBit(forPin(ext::kFreq, pin), tone));
  bytes[1] = static_cast<char>(0x80 | ((tone >> 8) & 0x7F));
  bytes[2] = static_cast<char>(0x80 | ((tone >> 1) & 0x7F));
  return bytes;
}

}  // namespace zrv::protocol
