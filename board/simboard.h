#pragma once
// The simulated board: a model of the board's firmware, so that the library, the program
// and their tests can run without hardware. It is pure: bytes and the time in, reply bytes
// out; no I/O and no clock of its own. SimPort serves it in-process behind the "sim" port,
// and the zrvsim tool serves it on a pseudo-terminal.
//
// The command parser follows the framing of protocol.h: a command byte starts a command,
// which runs once its data bytes have arrived. A command byte arriving before the data of
// the previous command is complete abandons that command; data bytes without a command and
// commands the model does not know are dropped. Nothing the model receives can stop it.
//
// What the board does, in the time units of protocol::units (durations in ms, measurements
// in us):
//  - A/D channels 0-4 carry deterministic test signals (see signalValue); 5-7 read 0.
//  - Pins: the pin byte is the output latch (high, low, toggle and the pin write change it);
//    the direction byte decides what a pin reads: an output reads its latch, an input reads
//    a square wave that starts low at power-on and changes level every (p + 1) ms on pin p.
//  - count: the transitions of the pin during the duration (an output has none).
//    pulsein: the width of the pin's next pulse of the state, (p + 1) * 1000 us on an input;
//    0 after kMeasureLimit when none comes (an output). rctime: the RC network on pin p
//    discharges from high in 100 * (p + 1) us and charges from low in 40 * (p + 1) us.
//  - pulseout, pwm on a pin and freq keep the board busy for their period, fduration or
//    duration; pwm on the fixed output runs in the background. The board takes commands
//    in order: one that arrives while it is busy runs when it is done (readyAt()).
//  - The counter/timer counts from setcounter on: in timer mode the 1 MHz clock, in count
//    mode the edges of a 10 kHz test clock on the counter input, each divided by the
//    prescaler (1, 2, 4 or 8) and wrapping at 65536.
//  - EEPROM: 256 bytes, erased (FF) when new, addresses taken modulo 256. The full reset
//    (5C) leaves it alone; it lasts as long as the SimBoard object.

#include <QByteArray>
#include <array>
#include <cstdint>

#include "board/export.h"
#include "board/protocol.h"

namespace zrv {

class ZRV_EXPORT SimBoard {
 public:
  /// Highest value of the converter (10 bits).
  static constexpr int kFullScale = protocol::kA2dFullScale;
  /// The level of the constant channel 4.
  static constexpr int kConstantLevel = 768;
  /// Input pin p changes level every (p + 1) times this (seconds).
  static constexpr double kInputHalfPeriod = 1e-3;
  /// RC time per pin number + 1, in measurement units, from high and from low.
  static constexpr int kRcTimeFromHigh = 100;
  static constexpr int kRcTimeFromLow = 40;
  /// The timer's clock and the counter input's test clock (Hz).
  static constexpr double kTimerClock = 1e6;
  static constexpr double kCounterInputClock = 1e4;

  /// The last output of a kind: where, what (duty or tone), for how long, and when.
  struct Output {
    int pin = -2;  ///< -1: the fixed PWM output; -2: none yet
    int value = 0;
    int duration = 0;
    double at = 0;
    friend bool operator==(const Output&, const Output&) = default;
  };
  using EepromImage = std::array<uint8_t, protocol::kEepromSize>;

  SimBoard();

  /// Receives one byte at `seconds` since power-on; returns the bytes the board sends back.
  QByteArray receive(uint8_t byte, double seconds);
  /// Receives several bytes at the same instant.
  QByteArray receive(const QByteArray& bytes, double seconds);

  /// The 10-bit value of an A/D channel's test signal at a time: 0 a sine (40 s), 1 a
  /// triangle (25 s), 2 a ramp (60 s), 3 a level with noise drawn from `noise` (advanced),
  /// 4 a constant, others 0.
  static int signalValue(int channel, double seconds, uint32_t& noise);

  /// The level of pin p's input test signal at a time (the square wave above).
  static bool inputLevel(int pin, double seconds);

  /// The state as a fresh board has it, and as the full reset (5C) restores it; the EEPROM
  /// keeps its contents.
  void reset();

  /// When the board is done with everything received so far (seconds since power-on); the
  /// replies of the last command leave then.
  double readyAt() const { return m_readyAt; }

  /// The EEPROM's contents, and how many writes it has taken (to notice changes).
  const EepromImage& eeprom() const { return m_eeprom; }
  void setEeprom(const EepromImage& image) { m_eeprom = image; }
  uint64_t eepromWrites() const { return m_eepromWrites; }

  // Inspection, for tests and the tools.
  uint8_t tris() const { return m_tris; }
  uint8_t pins() const { return m_pins; }
  uint16_t argument() const { return m_argument; }
  int pendingRepeat() const { return m_repeat; }
  bool justify() const { return m_justify; }
  bool clkx2() const { return m_clkx2; }
  uint8_t cselect() const { return m_cselect; }
  bool led() const { return m_led; }
  int prescale() const { return m_prescale; }
  bool countMode() const { return m_countMode; }
  Output lastPulse() const { return m_lastPulse; }
  Output lastPwm() const { return m_lastPwm; }
  Output lastTone() const { return m_lastTone; }
  /// The firmware signals readiness on CTS; the model is always ready.
  bool cts() const { return true; }

 private:
  using Handler = void (SimBoard::*)(uint8_t code, const uint8_t* data, double seconds,
                                     QByteArray& out);
  /// One entry of the command table, indexed by command byte.
  struct Command {
    uint8_t dataBytes = 0;    ///< data bytes that follow the command byte
    bool repeatable = false;  ///< runs the pending repeat count times
    Handler run = nullptr;    ///< nullptr: unknown, ignored
    /// For commands whose length depends on their first data byte (the extended command):
    /// how many data bytes follow that first one.
    int (*moreData)(uint8_t first) = nullptr;
  };
  static const std::array<Command, 128>& commandTable();
  static int extendedMoreData(uint8_t selector);

  void execute(double seconds, QByteArray& out);
  /// The board spends `seconds` on the command that started at `start`.
  void occupy(double start, double seconds);
  /// What pin p reads: its latch when it is an output, else its input signal.
  bool pinLevel(int pin, double seconds) const;
  uint8_t pinByte(double seconds) const;

  void status(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);
  void writeTris(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);
  void writePins(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);
  void loadArgument(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);
  void convert(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);
  void configureA2d(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);
  void setRepeat(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);
  void fullReset(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);
  void setLed(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);
  void drive(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);
  void toggle(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);
  void readPin(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);
  void count(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);
  void pulseOut(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);
  void pulseIn(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);
  void writeEeprom(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);
  void readEeprom(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);
  void pwm(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);
  void readTris(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);
  void readPins(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);
  void readCounter(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);
  void extended(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);

  // Parser: the command being collected and its data bytes so far.
  int m_command = -1;  ///< -1: none
  std::array<uint8_t, 4> m_data{};
  int m_have = 0;
  int m_need = 0;

  // Firmware state.
  uint8_t m_tris = 0xFF;
  uint8_t m_pins = 0;
  uint16_t m_argument = 0;
  int m_repeat = 1;
  bool m_justify = false;
  bool m_clkx2 = false;
  uint8_t m_cselect = 0;
  uint32_t m_noise = 0;
  bool m_led = false;
  int m_prescale = 1;
  bool m_countMode = false;
  double m_counterStart = 0;
  Output m_lastPulse;
  Output m_lastPwm;
  Output m_lastTone;
  double m_readyAt = 0;
  EepromImage m_eeprom;
  uint64_t m_eepromWrites = 0;
};

}  // namespace zrv
