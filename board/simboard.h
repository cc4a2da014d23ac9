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
// A/D channels 0-4 carry deterministic test signals (see signalValue); 5-7 read 0.

#include <QByteArray>
#include <array>
#include <cstdint>

namespace zrv {

class SimBoard {
 public:
  /// Highest value of the converter (10 bits).
  static constexpr int kFullScale = 1023;
  /// The level of the constant channel 4.
  static constexpr int kConstantLevel = 768;

  SimBoard();

  /// Receives one byte at `seconds` since power-on; returns the bytes the board sends back.
  QByteArray receive(uint8_t byte, double seconds);
  /// Receives several bytes at the same instant.
  QByteArray receive(const QByteArray& bytes, double seconds);

  /// The 10-bit value of an A/D channel's test signal at a time: 0 a sine (10 s), 1 a
  /// triangle (4 s), 2 a ramp (8 s), 3 a level with noise drawn from `noise` (advanced),
  /// 4 a constant, others 0.
  static int signalValue(int channel, double seconds, uint32_t& noise);

  /// The state as a fresh board has it, and as the full reset (5C) restores it.
  void reset();

  // Inspection, for tests and the tools.
  uint8_t tris() const { return m_tris; }
  uint8_t pins() const { return m_pins; }
  uint16_t argument() const { return m_argument; }
  int pendingRepeat() const { return m_repeat; }
  bool justify() const { return m_justify; }
  bool clkx2() const { return m_clkx2; }
  uint8_t cselect() const { return m_cselect; }
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

  void status(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);
  void writeTris(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);
  void writePins(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);
  void loadArgument(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);
  void convert(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);
  void configureA2d(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);
  void setRepeat(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);
  void fullReset(uint8_t code, const uint8_t* data, double seconds, QByteArray& out);

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
};

}  // namespace zrv
