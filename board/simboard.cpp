#include "board/simboard.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "board/protocol.h"

namespace zrv {

namespace {
// Fixed seed of the noise on channel 3, so that every run draws the same sequence.
constexpr uint32_t kNoiseSeed = 0x2545F491u;

uint32_t nextNoise(uint32_t& state) {
  // xorshift32: tiny, deterministic, good enough for a test signal.
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return state;
}

double phase(double seconds, double period) {
  const double p = std::fmod(seconds, period) / period;
  return p < 0 ? p + 1 : p;
}
}  // namespace

SimBoard::SimBoard() {
  reset();
}

void SimBoard::reset() {
  m_tris = 0xFF;
  m_pins = 0;
  m_argument = 0;
  m_repeat = 1;
  // The converter powers up left-justified; hosts that want plain 10-bit values configure it.
  m_justify = false;
  m_clkx2 = false;
  m_cselect = 0;
  m_noise = kNoiseSeed;
}

const std::array<SimBoard::Command, 128>& SimBoard::commandTable() {
  namespace c = protocol::cmd;
  static const std::array<Command, 128> table = [] {
    std::array<Command, 128> t{};
    t[c::kStatus] = {0, false, &SimBoard::status};
    t[c::kWriteTris] = t[c::kWriteTris + 1] = {1, false, &SimBoard::writeTris};
    t[c::kWritePins] = t[c::kWritePins + 1] = {1, false, &SimBoard::writePins};
    for (uint8_t code = c::kLoadArgument; code < c::kLoadArgument + 4; ++code)
      t[code] = {2, false, &SimBoard::loadArgument};
    // Parsed for its length so that its data bytes are never mistaken for anything else;
    // the actions are not modelled yet.
    t[c::kExtended] = {1, false, nullptr, &SimBoard::extendedMoreData};
    for (int pin = 0; pin < 8; ++pin)
      t[c::kA2d + 2 * pin] = {0, true, &SimBoard::convert};
    t[c::kA2dConfig] = {1, false, &SimBoard::configureA2d};
    t[c::kRepeat] = {0, false, &SimBoard::setRepeat};
    t[c::kReset] = {0, false, &SimBoard::fullReset};
    return t;
  }();
  return table;
}

int SimBoard::extendedMoreData(uint8_t selector) {
  // Bits 6-4 of the selector choose the action; the frequency output carries two more bytes.
  return ((selector >> 4) & 7) == 0 ? 2 : 0;
}

QByteArray SimBoard::receive(const QByteArray& bytes, double seconds) {
  QByteArray out;
  for (char b : bytes)
    out += receive(static_cast<uint8_t>(b), seconds);
  return out;
}

QByteArray SimBoard::receive(uint8_t byte, double seconds) {
  QByteArray out;
  if (protocol::isCommandByte(byte)) {
    // A new command; whatever was half received is abandoned, as the firmware does.
    m_command = byte;
    m_have = 0;
    m_need = commandTable()[byte].dataBytes;
  } else {
    if (m_command < 0) return out;  // a stray data byte
    if (m_have < static_cast<int>(m_data.size())) m_data[m_have] = byte;
    ++m_have;
    const Command& entry = commandTable()[m_command];
    if (m_have == 1 && entry.moreData) m_need += entry.moreData(byte);
  }
  if (m_have >= m_need) execute(seconds, out);
  return out;
}

void SimBoard::execute(double seconds, QByteArray& out) {
  const auto code = static_cast<uint8_t>(m_command);
  m_command = -1;
  const Command& entry = commandTable()[code];
  if (!entry.run) return;
  int times = 1;
  if (entry.repeatable) {
    // The repeat count applies to the next repeatable command only.
    times = m_repeat;
    m_repeat = 1;
  }
  for (int i = 0; i < times; ++i)
    (this->*entry.run)(code, m_data.data(), seconds, out);
}

void SimBoard::status(uint8_t, const uint8_t*, double, QByteArray& out) {
  out.append(static_cast<char>(protocol::kStatusOk));
}

void SimBoard::writeTris(uint8_t code, const uint8_t* data, double, QByteArray&) {
  m_tris = protocol::decodeByte(code, data[0]);
}

void SimBoard::writePins(uint8_t code, const uint8_t* data, double, QByteArray&) {
  m_pins = protocol::decodeByte(code, data[0]);
}

void SimBoard::loadArgument(uint8_t code, const uint8_t* data, double, QByteArray&) {
  m_argument = protocol::decodeArgument(code, data[0], data[1]);
}

int SimBoard::signalValue(int channel, double seconds, uint32_t& noise) {
  double v = 0;
  switch (channel) {
    case 0:
      v = 512 + 400 * std::sin(2 * std::numbers::pi * phase(seconds, 10.0));
      break;
    case 1: {
      const double p = phase(seconds, 4.0);
      v = 100 + 800 * (p < 0.5 ? 2 * p : 2 - 2 * p);
      break;
    }
    case 2:
      v = kFullScale * phase(seconds, 8.0);
      break;
    case 3:
      v = 300 + static_cast<int>(nextNoise(noise) % 49) - 24;
      break;
    case 4:
      v = kConstantLevel;
      break;
    default:
      v = 0;
  }
  return std::clamp(static_cast<int>(std::lround(v)), 0, kFullScale);
}

void SimBoard::convert(uint8_t code, const uint8_t*, double seconds, QByteArray& out) {
  const int channel = (code >> 1) & 7;
  const int value = signalValue(channel, seconds, m_noise);
  // Right-justified: the 10 bits in the low end; left-justified: in the top 10 bits.
  const int word = m_justify ? value : value << 6;
  out.append(static_cast<char>(word >> 8));
  out.append(static_cast<char>(word & 0xFF));
}

void SimBoard::configureA2d(uint8_t code, const uint8_t* data, double, QByteArray&) {
  const uint8_t v = protocol::decodeByte(code, data[0]);
  m_justify = v & 0x80;
  m_clkx2 = v & 0x40;
  m_cselect = (v >> 1) & 0x1F;
}

void SimBoard::setRepeat(uint8_t, const uint8_t*, double, QByteArray&) {
  m_repeat = m_argument + 1;
}

void SimBoard::fullReset(uint8_t, const uint8_t*, double, QByteArray&) {
  reset();
}

}  // namespace zrv
