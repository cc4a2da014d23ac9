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

constexpr double kDurationSeconds =
    std::chrono::duration<double>(protocol::units::kDuration).count();
constexpr double kMeasureSeconds = std::chrono::duration<double>(protocol::units::kMeasure).count();
constexpr double kMeasureLimitSeconds =
    std::chrono::duration<double>(protocol::units::kMeasureLimit).count();

double halfPeriod(int pin) {
  return (pin + 1) * SimBoard::kInputHalfPeriod;
}

// Edges of pin p's input signal up to a time: the number of level changes since power-on.
int64_t edgesUntil(int pin, double seconds) {
  return seconds <= 0 ? 0 : static_cast<int64_t>(std::floor(seconds / halfPeriod(pin)));
}

void appendWord(QByteArray& out, int value) {
  out.append(static_cast<char>((value >> 8) & 0xFF));
  out.append(static_cast<char>(value & 0xFF));
}

int pinOf(uint8_t code) {
  return (code >> 1) & 7;
}
}  // namespace

SimBoard::SimBoard() {
  m_eeprom.fill(0xFF);
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
  m_led = false;
  m_prescale = 1;
  m_countMode = false;
  m_counterStart = 0;
  m_lastPulse = m_lastPwm = m_lastTone = Output{};
}

bool SimBoard::inputLevel(int pin, double seconds) {
  return edgesUntil(pin & 7, seconds) % 2 == 1;
}

bool SimBoard::pinLevel(int pin, double seconds) const {
  const bool input = (m_tris >> pin) & 1;
  return input ? inputLevel(pin, seconds) : ((m_pins >> pin) & 1);
}

uint8_t SimBoard::pinByte(double seconds) const {
  uint8_t byte = 0;
  for (int pin = 0; pin < 8; ++pin)
    byte |= static_cast<uint8_t>(pinLevel(pin, seconds) << pin);
  return byte;
}

void SimBoard::occupy(double start, double seconds) {
  m_readyAt = std::max(m_readyAt, start + seconds);
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
    t[c::kLed] = t[c::kLed + 1] = {0, false, &SimBoard::setLed};
    t[c::kExtended] = {1, false, &SimBoard::extended, &SimBoard::extendedMoreData};
    for (int pin = 0; pin < 8; ++pin) {
      t[c::kLow + 2 * pin] = t[c::kHigh + 2 * pin] = {0, false, &SimBoard::drive};
      t[c::kToggle + 2 * pin] = {0, false, &SimBoard::toggle};
      t[c::kInput + 2 * pin] = {0, false, &SimBoard::readPin};
      t[c::kA2d + 2 * pin] = {0, true, &SimBoard::convert};
      t[c::kCount + 2 * pin] = {0, false, &SimBoard::count};
      t[c::kPulseOut + 2 * pin] = {0, false, &SimBoard::pulseOut};
      t[c::kPwmPin + 2 * pin] = t[c::kPwmPin + 2 * pin + 1] = {1, false, &SimBoard::pwm};
      t[c::kPulseIn + 2 * pin] = t[c::kPulseIn + 2 * pin + 1] = {0, false, &SimBoard::pulseIn};
    }
    t[c::kA2dConfig] = {1, false, &SimBoard::configureA2d};
    t[c::kEepromWrite] = t[c::kEepromWrite + 1] = {1, false, &SimBoard::writeEeprom};
    t[c::kEepromRead] = {0, false, &SimBoard::readEeprom};
    t[c::kPwmFixed] = t[c::kPwmFixed + 1] = {1, false, &SimBoard::pwm};
    t[c::kReadTris] = {0, false, &SimBoard::readTris};
    t[c::kReadPins] = {0, false, &SimBoard::readPins};
    t[c::kReadCounter] = {0, false, &SimBoard::readCounter};
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
  // A command that arrives while the board is busy runs when it is done.
  for (int i = 0; i < times; ++i)
    (this->*entry.run)(code, m_data.data(), std::max(seconds, m_readyAt), out);
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
      v = 512 + 400 * std::sin(2 * std::numbers::pi * phase(seconds, 40.0));
      break;
    case 1: {
      const double p = phase(seconds, 25.0);
      v = 100 + 800 * (p < 0.5 ? 2 * p : 2 - 2 * p);
      break;
    }
    case 2:
      v = kFullScale * phase(seconds, 60.0);
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

void SimBoard::fullReset(uint8_t, const uint8_t*, double seconds, QByteArray&) {
  reset();
  m_counterStart = seconds;
}

void SimBoard::setLed(uint8_t code, const uint8_t*, double, QByteArray&) {
  m_led = code & 1;
}

void SimBoard::drive(uint8_t code, const uint8_t*, double, QByteArray&) {
  const int pin = pinOf(code);
  if (code & 1)
    m_pins |= static_cast<uint8_t>(1 << pin);
  else
    m_pins &= static_cast<uint8_t>(~(1 << pin));
}

void SimBoard::toggle(uint8_t code, const uint8_t*, double, QByteArray&) {
  m_pins ^= static_cast<uint8_t>(1 << pinOf(code));
}

void SimBoard::readPin(uint8_t code, const uint8_t*, double seconds, QByteArray& out) {
  out.append(pinLevel(pinOf(code), seconds) ? '1' : '0');
}

void SimBoard::count(uint8_t code, const uint8_t*, double seconds, QByteArray& out) {
  const int pin = pinOf(code);
  const double duration = m_argument * kDurationSeconds;
  int64_t transitions = 0;
  if ((m_tris >> pin) & 1)
    transitions = edgesUntil(pin, seconds + duration) - edgesUntil(pin, seconds);
  occupy(seconds, duration);
  appendWord(out, static_cast<int>(std::min<int64_t>(transitions, 0xFFFF)));
}

void SimBoard::pulseOut(uint8_t code, const uint8_t*, double seconds, QByteArray&) {
  // The pin is inverted for the period and then restored: the latch ends as it was.
  m_lastPulse = {pinOf(code), 0, m_argument, seconds};
  occupy(seconds, m_argument * kDurationSeconds);
}

void SimBoard::pulseIn(uint8_t code, const uint8_t*, double seconds, QByteArray& out) {
  const int pin = pinOf(code);
  const int state = code & 1;
  int width = 0;
  double end = seconds + kMeasureLimitSeconds;
  if ((m_tris >> pin) & 1) {
    // The next edge into the state starts the pulse; the one after ends it.
    int64_t edge = edgesUntil(pin, seconds) + 1;
    if (edge % 2 != state) ++edge;
    const double start = edge * halfPeriod(pin);
    if (start - seconds <= kMeasureLimitSeconds) {
      end = start + halfPeriod(pin);
      width = static_cast<int>(std::lround(halfPeriod(pin) / kMeasureSeconds));
    }
  }
  occupy(seconds, end - seconds);
  appendWord(out, std::min(width, 0xFFFF));
}

void SimBoard::writeEeprom(uint8_t code, const uint8_t* data, double, QByteArray&) {
  m_eeprom[m_argument % protocol::kEepromSize] = protocol::decodeByte(code, data[0]);
  ++m_eepromWrites;
}

void SimBoard::readEeprom(uint8_t, const uint8_t*, double, QByteArray& out) {
  out.append(static_cast<char>(m_eeprom[m_argument % protocol::kEepromSize]));
}

void SimBoard::pwm(uint8_t code, const uint8_t* data, double seconds, QByteArray&) {
  const bool fixed = (code & 0xFE) == protocol::cmd::kPwmFixed;
  m_lastPwm = {fixed ? -1 : pinOf(code), protocol::decodeByte(code, data[0]), m_argument, seconds};
  // The fixed output is a hardware PWM running on its own; a pin is driven by the firmware.
  if (!fixed) occupy(seconds, m_argument * kDurationSeconds);
}

void SimBoard::readTris(uint8_t, const uint8_t*, double, QByteArray& out) {
  out.append(static_cast<char>(m_tris));
}

void SimBoard::readPins(uint8_t, const uint8_t*, double seconds, QByteArray& out) {
  out.append(static_cast<char>(pinByte(seconds)));
}

void SimBoard::readCounter(uint8_t, const uint8_t*, double seconds, QByteArray& out) {
  const double clock = m_countMode ? kCounterInputClock : kTimerClock;
  const auto ticks =
      static_cast<int64_t>(std::floor((seconds - m_counterStart) * clock / m_prescale));
  appendWord(out, static_cast<int>(ticks & 0xFFFF));
}

void SimBoard::extended(uint8_t, const uint8_t* data, double seconds, QByteArray& out) {
  const uint8_t selector = data[0];
  const int pin = (selector >> 1) & 7;
  switch (selector & 0xF0) {
    case protocol::ext::kFreq:
      m_lastTone = {pin, protocol::decodeTone(selector, data[1], data[2]), m_argument, seconds};
      occupy(seconds, m_argument * kDurationSeconds);
      break;
    case protocol::ext::kSetCounter:
      m_prescale = protocol::prescaleOf(selector & 0x06);
      m_countMode = selector & 1;
      m_counterStart = seconds;
      break;
    case protocol::ext::kRcTime: {
      const int units = (pin + 1) * ((selector & 1) ? kRcTimeFromHigh : kRcTimeFromLow);
      occupy(seconds, units * kMeasureSeconds);
      appendWord(out, units);
      break;
    }
    default:
      break;  // actions this firmware does not have
  }
}

}  // namespace zrv
