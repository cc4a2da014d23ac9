#pragma once
// The board's byte protocol as pure functions: values in, bytes out (and back for the
// simulated board). Nothing here does I/O or checks ranges beyond what the types enforce;
// ZRVIO refuses operands that do not fit before it calls these.
//
// Framing: a command byte has bit 7 clear and packs a group (bits 6-4), a selector (bits
// 3-1, the pin number for pin commands) and a low bit (bit 0). Data bytes that follow it
// have bit 7 set and carry seven payload bits. An 8-bit operand travels with its bit 0 in
// the command byte's low bit and bits 1-7 in one data byte; a 16-bit operand travels in
// its own argument-load command sent just before the command that uses it. Replies are raw
// bytes, 16-bit results high byte first.

#include <QByteArray>
#include <array>
#include <chrono>
#include <cstdint>

#include "board/export.h"

namespace zrv::protocol {

/// Command codes of the board. Pin and channel commands are the code for pin 0 (forPin adds
/// the pin); commands marked "+ bit 0" carry bit 0 of an operand or a state (withLowBit).
namespace cmd {
inline constexpr uint8_t kSync = 0x00;          ///< synchronise; no reply
inline constexpr uint8_t kStatus = 0x01;        ///< status query; replies kStatusOk
inline constexpr uint8_t kWriteTris = 0x02;     ///< + bit 0 of the direction byte, data byte
inline constexpr uint8_t kWritePins = 0x04;     ///< + bit 0 of the pin byte, data byte
inline constexpr uint8_t kLoadArgument = 0x08;  ///< 08-0B, two data bytes
inline constexpr uint8_t kLed = 0x0C;           ///< + 1 for on
inline constexpr uint8_t kExtended = 0x0E;      ///< first data byte selects the action
inline constexpr uint8_t kLow = 0x10;           ///< + 2p
inline constexpr uint8_t kHigh = 0x11;          ///< + 2p
inline constexpr uint8_t kToggle = 0x20;        ///< + 2p
inline constexpr uint8_t kInput = 0x21;         ///< + 2p; one reply byte
inline constexpr uint8_t kA2d = 0x30;           ///< + 2p; two reply bytes per conversion
inline constexpr uint8_t kA2dConfig = 0x31;     ///< one data byte
inline constexpr uint8_t kCount = 0x40;         ///< + 2p, argument: duration
inline constexpr uint8_t kPulseOut = 0x41;      ///< + 2p, argument: period
inline constexpr uint8_t kEepromWrite = 0x50;   ///< + bit 0 of the value, argument: address
inline constexpr uint8_t kEepromRead = 0x52;    ///< argument: address; one reply byte
inline constexpr uint8_t kPwmFixed = 0x54;      ///< + bit 0 of duty, argument: fduration
inline constexpr uint8_t kReadTris = 0x56;      ///< one reply byte
inline constexpr uint8_t kReadPins = 0x57;      ///< one reply byte
inline constexpr uint8_t kReadCounter = 0x5A;   ///< two reply bytes
inline constexpr uint8_t kRepeat = 0x5B;        ///< argument: count - 1
inline constexpr uint8_t kReset = 0x5C;         ///< full reset
inline constexpr uint8_t kPwmPin = 0x60;        ///< + 2p + bit 0 of duty, argument: fduration
inline constexpr uint8_t kPulseIn = 0x70;       ///< + 2p + state; two reply bytes
}  // namespace cmd

/// Selector bytes of the extended command (kExtended); bits 6-4 choose the action.
namespace ext {
inline constexpr uint8_t kFreq = 0x80;        ///< + 2p + bit 0 of tone, then two tone bytes
inline constexpr uint8_t kSetCounter = 0x90;  ///< + prescale code + count mode
inline constexpr uint8_t kRcTime = 0xA0;      ///< + 2p + state; two reply bytes
}  // namespace ext

/// What a healthy board answers to the status query: the character "3".
inline constexpr uint8_t kStatusOk = 0x33;

/// Largest value of a 16-bit operand (argument load) and of an 8-bit operand.
inline constexpr int kMaxArgument = 0xFFFF;
inline constexpr int kMaxByteOperand = 0xFF;
/// Largest cselect a2dconf takes: twice it still fits the configuration byte, its bits 6
/// and 7 merging with clkx2 and justify.
inline constexpr int kMaxCselectOperand = 127;
/// Largest tone: bit 0 rides in the selector byte and 14 more bits in two data bytes.
inline constexpr int kMaxTone = 0x7FFF;
/// Size of the board's EEPROM; addresses beyond it wrap around on the board.
inline constexpr int kEepromSize = 256;

/// The time units of the board's firmware. The library passes durations through unchanged;
/// it needs their units only to know how long a command may keep the board busy (so that a
/// long count does not time out while a silent board still fails in bounded time), and the
/// simulated board behaves in them.
namespace units {
/// count duration, pulseout period, pwm fduration and freq duration.
inline constexpr std::chrono::milliseconds kDuration{1};
/// Results of pulsein and rctime.
inline constexpr std::chrono::microseconds kMeasure{1};
/// The longest a measurement (pulsein, rctime) runs before the board gives up: the largest
/// result. pulsein may first wait as long again for the pulse to begin.
inline constexpr std::chrono::microseconds kMeasureLimit = 65535 * kMeasure;
}  // namespace units

/// True for a command byte (bit 7 clear), false for a data byte.
constexpr bool isCommandByte(uint8_t b) {
  return (b & 0x80) == 0;
}

/// Command byte 16 * (g mod 8) + 2 * (s mod 8) + (b mod 2); the low bits of each argument.
/// The layout behind the codes of cmd and ext, which is how the library spells commands.
constexpr uint8_t makecmd(int g, int s, int b) {
  return static_cast<uint8_t>(16 * (g & 7) + 2 * (s & 7) + (b & 1));
}

/// A pin or channel command (or extended selector) for pin p, taken modulo 8: base + 2p.
constexpr uint8_t forPin(uint8_t base, int pin) {
  return static_cast<uint8_t>(base + 2 * (pin & 7));
}

/// A command (or extended selector) carrying bit 0 of an operand or state in its low bit.
constexpr uint8_t withLowBit(uint8_t base, int value) {
  return static_cast<uint8_t>(base | (value & 1));
}

/// Data byte carrying bits 1-7 of an 8-bit operand: 128 + v / 2 (bit 0 rides in the command).
constexpr uint8_t makebyte(uint8_t v) {
  return static_cast<uint8_t>(0x80 | (v >> 1));
}

/// The two data bytes of a 16-bit operand: bits 9-15, then bits 1-7 (bits 0 and 8 ride in
/// the argument-load command byte).
constexpr std::array<uint8_t, 2> makeword(uint16_t v) {
  return {static_cast<uint8_t>(0x80 | (v >> 9)), static_cast<uint8_t>(0x80 | ((v >> 1) & 0x7F))};
}

/// The argument-load command for v: kLoadArgument + 2 * bit 0 + bit 8, then makeword(v).
ZRV_EXPORT QByteArray sendarg(uint16_t v);

/// A command byte followed by its data bytes, as one write.
ZRV_EXPORT QByteArray command(uint8_t commandByte, const QByteArray& data = {});

/// The A/D configuration value: justify in bit 7, clkx2 in bit 6, cselect in bits 5-1. A
/// cselect of 32-127 (up to kMaxCselectOperand) reaches into bits 6 and 7, where its bits
/// are or-ed with clkx2 and justify: cselect 64 sets the justify bit.
constexpr uint8_t a2dConfigValue(bool justify, bool clkx2, uint8_t cselect) {
  return static_cast<uint8_t>((justify ? 0x80 : 0) | (clkx2 ? 0x40 : 0) | ((cselect << 1) & 0xFE));
}

/// How the converter places its 10-bit result in the two reply bytes of a conversion.
enum class A2dLayout {
  Unknown,         ///< not configured by this link: any word may be a result
  RightJustified,  ///< in the low 10 bits: 0 to kA2dFullScale
  LeftJustified,   ///< in the high 10 bits: the low 6 bits are 0
};

/// Largest result of the 10-bit converter, right-justified.
inline constexpr int kA2dFullScale = 1023;

/// The layout a configuration value selects: bit 7 (justify, or cselect's bit 6) set puts
/// the result in the low bits.
constexpr A2dLayout a2dLayoutOf(uint8_t configValue) {
  return (configValue & 0x80) ? A2dLayout::RightJustified : A2dLayout::LeftJustified;
}

/// Whether a reply word can be a conversion result in a layout. A word that cannot is a
/// reply the line corrupted (noise, a lost or extra byte), not a measurement.
constexpr bool isA2dResult(int32_t word, A2dLayout layout) {
  switch (layout) {
    case A2dLayout::RightJustified:
      return word >= 0 && word <= kA2dFullScale;
    case A2dLayout::LeftJustified:
      return word >= 0 && word <= 0xFFFF && (word & 0x3F) == 0;
    case A2dLayout::Unknown:
      break;
  }
  return true;
}

/// The prescale code of setcounter (bits 2-1 of its selector): 2, 4 and 8 have their own,
/// every other value means no prescaling (code 0).
constexpr uint8_t prescaleCode(int prescale) {
  return prescale == 2 ? 2 : prescale == 4 ? 4 : prescale == 8 ? 6 : 0;
}

/// The prescaler a code stands for (1, 2, 4 or 8).
constexpr int prescaleOf(uint8_t code) {
  return 1 << ((code >> 1) & 3);
}

/// The three data bytes of a frequency output on pin p: the selector with bit 0 of the tone,
/// then bits 8-14 and bits 1-7 of the tone (0 to kMaxTone).
ZRV_EXPORT QByteArray freqData(int pin, uint16_t tone);

/// The tone of a frequency output's selector and its two further data bytes.
constexpr uint16_t decodeTone(uint8_t selector, uint8_t high, uint8_t low) {
  return static_cast<uint16_t>(((high & 0x7F) << 8) | ((low & 0x7F) << 1) | (selector & 1));
}

/// A 16-bit reply: high byte first.
constexpr int32_t word(uint8_t first, uint8_t second) {
  return 256 * first + second;
}

// Decoders, the board's side of the encoders above.

/// The 16-bit operand of an argument-load command byte (08-0B) and its two data bytes.
constexpr uint16_t decodeArgument(uint8_t commandByte, uint8_t high, uint8_t low) {
  return static_cast<uint16_t>(((high & 0x7F) << 9) | ((commandByte & 1) << 8) |
                               ((low & 0x7F) << 1) | ((commandByte >> 1) & 1));
}

/// The 8-bit operand of a command byte's low bit and its data byte.
constexpr uint8_t decodeByte(uint8_t commandByte, uint8_t data) {
  return static_cast<uint8_t>(((data & 0x7F) << 1) | (commandByte & 1));
}

}  // namespace zrv::protocol
