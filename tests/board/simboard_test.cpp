#include "board/simboard.h"

#include <gtest/gtest.h>

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
      {0, 0.0, 512}, {0, 2.5, 912},    {0, 7.5, 112},    {0, 10.0, 512},
      {1, 0.0, 100}, {1, 1.0, 500},    {1, 2.0, 900},    {1, 3.0, 500},
      {2, 0.0, 0},   {2, 4.0, 512},    {2, 7.999, 1023}, {2, 8.0, 0},
      {4, 0.0, 768}, {4, 1234.5, 768}, {5, 1.0, 0},      {7, 1.0, 0},
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
  EXPECT_EQ(words(board.receive(hex("34"), 4.0)), QList<int>{512 << 6});
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
      {"unknown commands and their data", "7E 85 50 A0 0C", ""},
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

}  // namespace
}  // namespace zrv
