#include "board/simboard.h"

#include <gtest/gtest.h>

#include <vector>

#include "board/protocol.h"
#include "tests/fakes/scriptedboard.h"

namespace zrv {
namespace {

using fake::hex;
using fake::toHex;

/// The 16-bit results in a reply, high byte first.
QList<int> words(const QByteArray& reply) {
  QList<int> out;
  for (qsizetype i = 0; i + 1 < reply.size(); i += 2)
    out.append(protocol::word(static_cast<uint8_t>(reply[i]), static_cast<uint8_t>(reply[i + 1])));
  return out;
}

TEST(SimBoard, AnswersTheHandshakeAndStoresWhatItIsSent) {
  SimBoard board;
  EXPECT_EQ(toHex(board.receive(hex("00 01"), 0)), "33");
  EXPECT_EQ(board.receive(hex("04 AD 03 FF 09 81 F4 31 E8"), 0), QByteArray());
  EXPECT_EQ(board.pins(), 90);
  EXPECT_EQ(board.tris(), 255);
  EXPECT_EQ(board.argument(), 1000);
  EXPECT_TRUE(board.justify());
  EXPECT_TRUE(board.clkx2());
  EXPECT_EQ(board.cselect(), 8);
}

TEST(SimBoard, TestSignalsFollowTheirShapes) {
  const struct {
    int channel;
    double seconds;
    int value;
  } cases[] = {
      {0, 0.0, 512}, {0, 10.0, 912},   {0, 30.0, 112},    {0, 40.0, 512},
      {1, 0.0, 100}, {1, 6.25, 500},   {1, 12.5, 900},    {1, 18.75, 500},
      {2, 0.0, 0},   {2, 30.0, 512},   {2, 59.999, 1023}, {2, 60.0, 0},
      {4, 0.0, 768}, {4, 1234.5, 768}, {5, 1.0, 0},       {7, 1.0, 0},
  };
  uint32_t noise = 1;
  for (const auto& c : cases)
    EXPECT_EQ(SimBoard::signalValue(c.channel, c.seconds, noise), c.value)
        << "channel " << c.channel << " at " << c.seconds << " s";
}

TEST(SimBoard, ConversionsStayInRangeAndRepeatExactly) {
  // Two boards fed the same bytes at the same times give the same answers, noise included.
  SimBoard a, b;
  a.receive(hex("31 C0"), 0);
  b.receive(hex("31 C0"), 0);
  for (int i = 0; i < 2000; ++i) {
    const double t = i * 0.013;
    const auto command = static_cast<uint8_t>(protocol::cmd::kA2d + 2 * (i % 5));
    const QByteArray reply = a.receive(command, t);
    ASSERT_EQ(reply, b.receive(command, t));
    ASSERT_EQ(reply.size(), 2);
    const int value = words(reply).first();
    ASSERT_GE(value, 0);
    ASSERT_LE(value, SimBoard::kFullScale);
    if (i % 5 == 3) {
      ASSERT_GE(value, 300 - 24);
      ASSERT_LE(value, 300 + 24);
    }
  }
}

TEST(SimBoard, JustifyPlacesTheTenBitsLowOrHigh) {
  SimBoard board;
  EXPECT_EQ(toHex(board.receive(hex("38"), 0)), "C0 00");  // power-on: left-justified
  board.receive(hex("31 C0"), 0);
  EXPECT_EQ(toHex(board.receive(hex("38"), 0)), "03 00");
  board.receive(hex("31 80"), 0);
  EXPECT_EQ(words(board.receive(hex("34"), 30.0)), QList<int>{512 << 6});
}

TEST(SimBoard, RepeatCountAppliesToTheNextRepeatableCommandOnly) {
  SimBoard board;
  board.receive(hex("31 C0"), 0);
  board.receive(hex("0A 80 81 5B"), 0);  // repeat 4
  // Commands that do not repeat leave the count waiting.
  EXPECT_EQ(toHex(board.receive(hex("01 04 80"), 0)), "33");
  EXPECT_EQ(words(board.receive(hex("38"), 0)), (QList<int>{768, 768, 768, 768}));
  EXPECT_EQ(words(board.receive(hex("38"), 0)), QList<int>{768});
  board.receive(hex("08 80 80 5B"), 0);  // repeat 1
  EXPECT_EQ(words(board.receive(hex("38"), 0)), QList<int>{768});
  board.receive(hex("0B FF FF 5B"), 0);  // repeat 65536
  EXPECT_EQ(board.receive(hex("38"), 0).size(), 2 * 65536);
}

TEST(SimBoard, FullResetRestoresThePowerOnState) {
  SimBoard board;
  board.receive(hex("04 AD 02 80 31 FF 0A 80 81 5B"), 0);
  board.receive(hex("5C"), 0);
  EXPECT_EQ(board.pins(), 0);
  EXPECT_EQ(board.tris(), 255);
  EXPECT_FALSE(board.justify());
  EXPECT_EQ(board.pendingRepeat(), 1);
  EXPECT_EQ(board.receive(hex("38"), 0).size(), 2);
}

TEST(SimBoard, IncompleteUnknownAndStrayBytesAreDropped) {
  SimBoard board;
  const struct {
    const char* name;
    const char* in;
    const char* out;
  } cases[] = {
      {"stray data bytes", "80 FF C3", ""},
      {"configuration cut short by a command", "31 01", "33"},
      {"argument load cut short", "09 81 01", "33"},
      {"unknown commands and their data", "3F 85 5E A0 07 0F 53", ""},
      {"extended command with all its data", "0E 84 83 F4 01", "33"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(toHex(board.receive(hex(c.in), 0)), c.out) << c.name;
  EXPECT_FALSE(board.justify());  // the cut-short configuration did not take effect
  EXPECT_EQ(board.argument(), 0);
}

TEST(SimBoard, SurvivesArbitraryBytesAndStillAnswers) {
  SimBoard board;
  uint32_t state = 12345;
  QByteArray garbage;
  for (int i = 0; i < 200000; ++i) {
    state = state * 1664525u + 1013904223u;
    auto byte = static_cast<char>(state >> 24);
    if (byte == protocol::cmd::kRepeat) byte = protocol::cmd::kStatus;  // keep replies small
    garbage.append(byte);
  }
  board.receive(garbage, 1.0);
  EXPECT_EQ(toHex(board.receive(hex("01"), 2.0)), "33");
}

struct Step {
  const char* in;
  double at;          // seconds since power-on
  const char* reply;  // expected, hex
};

TEST(SimBoard, AnswersTheWholeCommandMap) {
  const struct {
    const char* name;
    std::vector<Step> steps;
  } cases[] = {
      // Inputs read the square waves: pin p changes level every (p + 1) ms from low.
      {"inputs at 0.5 ms", {{"21", 0.0005, "30"}, {"27", 0.0005, "30"}, {"57", 0.0005, "00"}}},
      {"inputs at 1.5 ms", {{"21", 0.0015, "31"}, {"23", 0.0015, "30"}, {"57", 0.0015, "01"}}},
      {"inputs at 2.5 ms", {{"57", 0.0025, "02"}}},
      {"inputs at 6.5 ms", {{"57", 0.0065, "3A"}}},  // pins 1 3 4 5 high, 0 2 6 7 low
      {"outputs read their latch",
       {{"02 F8", 0, ""},  // pins 0-3 outputs
        {"13", 0, ""},
        {"20", 0, ""},
        {"57", 0.0005, "03"},
        {"23", 0, "31"},
        {"25", 0, "30"},
        {"56", 0, "F0"}}},
      {"low and toggle", {{"02 80 05 FF", 0, ""}, {"1E", 0, ""}, {"2C", 0, ""}, {"57", 0, "3F"}}},
      {"pin byte write then read", {{"02 80 04 AD", 0, ""}, {"57", 0, "5A"}}},
      // count(2, 1000): pin 2 changes every 3 ms, so 333 times in a second.
      {"count on an input", {{"09 81 F4 44", 0, "01 4D"}}},
      {"count on an output", {{"02 80 09 81 F4 44", 0, "00 00"}}},
      {"count of nothing", {{"08 80 80 40", 0.0042, "00 00"}}},
      // pulsein(4, 1): pin 4 goes high at 5 ms for 5 ms; pulsein(4, 0) waits for 10-15 ms.
      {"pulsein high", {{"79", 0, "13 88"}}},
      {"pulsein low", {{"78", 0, "13 88"}}},
      {"pulsein on an output", {{"02 80 79", 0, "00 00"}}},
      {"rctime from high", {{"0E A7", 0, "01 90"}}},
      {"rctime from low", {{"0E A6", 0, "00 A0"}}},
      // The counter/timer: 1 MHz or a 10 kHz input, over the prescaler, from setcounter on.
      {"timer without prescaler", {{"0E 90", 1.0, ""}, {"5A", 1.01, "27 10"}}},
      {"timer wraps", {{"0E 90", 0, ""}, {"5A", 0.1, "86 A0"}}},
      {"timer by 2", {{"0E 92", 0, ""}, {"5A", 0.01, "13 88"}}},
      {"counter by 8", {{"0E 97", 2.0, ""}, {"5A", 2.5, "02 71"}}},
      {"counter by 4", {{"0E 95", 0, ""}, {"5A", 1.0, "09 C4"}}},
      {"power-on timer", {{"5A", 0.000256, "01 00"}}},
      // Commands wait for the board: the counter is read when the 500 ms pulse is over.
      {"busy board", {{"0E 90", 0, ""}, {"09 80 FA 43", 0, ""}, {"5A", 0, "A1 20"}}},
      {"busy with a tone", {{"0E 90", 0, ""}, {"08 80 99 0E 84 83 F4", 0, ""}, {"5A", 0, "C3 50"}}},
      {"fixed pwm runs alone", {{"0E 90", 0, ""}, {"08 80 B2 54 C0", 0, ""}, {"5A", 0, "00 00"}}},
      {"pwm on a pin is busy", {{"0E 90", 0, ""}, {"08 80 B2 6B A6", 0, ""}, {"5A", 0, "86 A0"}}},
      {"eeprom erased", {{"08 80 88 52", 0, "FF"}}},
      {"eeprom written and read",
       {{"08 80 88 51 A0", 0, ""}, {"08 80 88 52", 0, "41"}, {"09 80 88 52", 0, "41"}}},
      {"eeprom survives the full reset",
       {{"0A 80 80 50 80", 0, ""}, {"5C", 0, ""}, {"0A 80 80 52", 0, "00"}}},
  };
  for (const auto& c : cases) {
    SimBoard board;
    for (const Step& step : c.steps)
      EXPECT_EQ(toHex(board.receive(hex(step.in), step.at)), toHex(hex(step.reply)))
          << c.name << ": " << step.in;
  }
}

TEST(SimBoard, KeepsTheOutputsItIsAskedFor) {
  SimBoard board;
  EXPECT_EQ(board.lastPulse().pin, -2);
  board.receive(hex("0D"), 0);
  EXPECT_TRUE(board.led());
  board.receive(hex("09 80 FA 43"), 1.0);
  EXPECT_EQ(board.lastPulse(), (SimBoard::Output{1, 0, 500, 1.0}));
  board.receive(hex("08 80 B2 54 C0"), 2.0);
  EXPECT_EQ(board.lastPwm(), (SimBoard::Output{-1, 128, 100, 2.0}));
  board.receive(hex("08 80 B2 6B A6"), 3.0);
  EXPECT_EQ(board.lastPwm(), (SimBoard::Output{5, 77, 100, 3.0}));
  board.receive(hex("08 80 99 0E 84 83 F4"), 3.05);
  EXPECT_EQ(board.lastTone().pin, 2);
  EXPECT_EQ(board.lastTone().value, 1000);
  EXPECT_EQ(board.lastTone().duration, 50);
  EXPECT_NEAR(board.lastTone().at, 3.1, 1e-9);  // once the pwm's 100 ms are over
  board.receive(hex("0E 97"), 5.0);
  EXPECT_EQ(board.prescale(), 8);
  EXPECT_TRUE(board.countMode());
  board.receive(hex("0C"), 5.0);
  EXPECT_FALSE(board.led());
  board.receive(hex("5C"), 6.0);
  EXPECT_EQ(board.prescale(), 1);
  EXPECT_FALSE(board.countMode());
  EXPECT_EQ(board.lastTone().pin, -2);
}

TEST(SimBoard, ReadyTimeFollowsWhatTheBoardIsAskedToSpend) {
  const struct {
    const char* in;
    double at;
    double readyAt;
  } cases[] = {
      {"30", 1.0, 0},             // conversions take no modelled time
      {"09 81 F4 44", 1.0, 2.0},  // count for 1000 ms
      {"09 80 FA 43", 1.0, 1.5},  // pulseout of 500 ms
      {"08 80 99 0E 84 83 F4", 1.0, 1.05},
      {"79", 0, 0.010},           // pulse from 5 to 10 ms
      {"02 80 79", 0, 0.065535},  // no pulse: the measurement limit
      {"0E A7", 0, 0.0004},
  };
  for (const auto& c : cases) {
    SimBoard board;
    board.receive(hex(c.in), c.at);
    EXPECT_NEAR(board.readyAt(), c.readyAt, 1e-9) << c.in;
  }
}

TEST(SimBoard, EepromWritesAreCountedAndTheImageCanBeCarriedOver) {
  SimBoard board;
  board.receive(hex("08 80 88 51 A0 0A 80 80 50 80"), 0);
  EXPECT_EQ(board.eepromWrites(), 2u);
  SimBoard next;
  EXPECT_EQ(next.eeprom()[16], 0xFF);
  next.setEeprom(board.eeprom());
  EXPECT_EQ(toHex(next.receive(hex("08 80 88 52 0A 80 80 52 0A 80 81 52"), 0)), "41 00 FF");
}

}  // namespace
}  // namespace zrv
