#include "board/protocol.h"

#include <gtest/gtest.h>

#include "tests/fakes/scriptedboard.h"

namespace zrv::protocol {
namespace {

using fake::hex;
using fake::toHex;

TEST(Protocol, ArgumentLoadMatchesTheByteExamples) {
  const struct {
    uint16_t value;
    const char* bytes;
  } cases[] = {
      {0, "08 80 80"},    {1, "0A 80 80"},     {255, "0A 80 FF"}, {256, "09 80 80"},
      {1000, "09 81 F4"}, {65535, "0B FF FF"}, {16, "08 80 88"},  {100, "08 80 B2"},
      {500, "09 80 FA"},  {3, "0A 80 81"},     {50, "08 80 99"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(toHex(sendarg(c.value)), toHex(hex(c.bytes))) << "argument " << c.value;
}

TEST(Protocol, CommandBytesTakeTheLowBitsOfEachField) {
  const struct {
    int g, s, b;
    uint8_t expected;
  } cases[] = {
      {0, 0, 0, 0x00}, {0, 0, 1, 0x01},  {3, 0, 0, 0x30},   {3, 3, 0, 0x36}, {3, 8, 0, 0x30},
      {3, 9, 0, 0x32}, {3, 0, 1, 0x31},  {5, 5, 1, 0x5B},   {5, 6, 0, 0x5C}, {0, 4, 1, 0x09},
      {0, 5, 0, 0x0A}, {0, 2, 90, 0x04}, {0, 1, 255, 0x03}, {7, 7, 1, 0x7F}, {15, 15, 3, 0x7F},
  };
  for (const auto& c : cases)
    EXPECT_EQ(makecmd(c.g, c.s, c.b), c.expected) << c.g << "," << c.s << "," << c.b;
}

TEST(Protocol, CommandBytesHaveBit7ClearAndDataBytesBit7Set) {
  for (int g = 0; g < 8; ++g)
    for (int s = 0; s < 8; ++s)
      for (int b = 0; b < 2; ++b)
        EXPECT_TRUE(isCommandByte(makecmd(g, s, b)));
  for (int v = 0; v <= 255; ++v)
    EXPECT_FALSE(isCommandByte(makebyte(static_cast<uint8_t>(v))));
  for (int v = 0; v <= 65535; ++v) {
    const QByteArray load = sendarg(static_cast<uint16_t>(v));
    ASSERT_EQ(load.size(), 3);
    ASSERT_TRUE(isCommandByte(static_cast<uint8_t>(load[0]))) << v;
    ASSERT_FALSE(isCommandByte(static_cast<uint8_t>(load[1]))) << v;
    ASSERT_FALSE(isCommandByte(static_cast<uint8_t>(load[2]))) << v;
  }
}

TEST(Protocol, OperandsSurviveTheRoundTripThroughTheWire) {
  // What the board decodes must be what was encoded, for every value of each width.
  for (int v = 0; v <= 65535; ++v) {
    const QByteArray load = sendarg(static_cast<uint16_t>(v));
    ASSERT_EQ(decodeArgument(load[0], load[1], load[2]), v);
  }
  for (int v = 0; v <= 255; ++v) {
    const auto u = static_cast<uint8_t>(v);
    ASSERT_EQ(decodeByte(makecmd(0, 2, u), makebyte(u)), v);
  }
}

TEST(Protocol, A2dConfigurationMatchesTheByteExamples) {
  const struct {
    bool justify, clkx2;
    uint8_t cselect;
    const char* bytes;
  } cases[] = {
      {true, false, 0, "31 C0"},
      {false, true, 2, "31 A2"},
      {true, true, 31, "31 FF"},
      {true, true, 0, "31 E0"},
      {true, true, 1, "31 E1"},
      {true, true, 8, "31 E8"},
      {false, false, 0, "31 80"},
      // cselect 32-127: the bits above bit 5 merge with clkx2 and justify.
      {false, false, 32, "31 A0"},
      {false, false, 64, "31 C0"},
      {false, true, 33, "31 A1"},
      {true, false, 127, "31 FF"},
      {false, false, 96, "31 E0"},
  };
  for (const auto& c : cases) {
    const QByteArray bytes = command(
        cmd::kA2dConfig,
        QByteArray(1, static_cast<char>(makebyte(a2dConfigValue(c.justify, c.clkx2, c.cselect)))));
    EXPECT_EQ(toHex(bytes), c.bytes) << c.justify << c.clkx2 << int(c.cselect);
  }
}

TEST(Protocol, A2dResultsFitTheLayoutTheConfigurationSelects) {
  EXPECT_EQ(a2dLayoutOf(a2dConfigValue(true, false, 0)), A2dLayout::RightJustified);
  EXPECT_EQ(a2dLayoutOf(a2dConfigValue(false, true, 31)), A2dLayout::LeftJustified);
  EXPECT_EQ(a2dLayoutOf(a2dConfigValue(false, false, 64)), A2dLayout::RightJustified);
  const struct {
    int32_t word;
    bool right, left, unknown;
  } cases[] = {
      {0, true, true, true},       {1, true, false, true},       {1023, true, false, true},
      {1024, false, true, true},   {0x0040, true, true, true},   {0x0041, true, false, true},
      {0xFFC0, false, true, true}, {0xFFFF, false, false, true}, {42752, false, true, true},
      {42753, false, false, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isA2dResult(c.word, A2dLayout::RightJustified), c.right) << c.word;
    EXPECT_EQ(isA2dResult(c.word, A2dLayout::LeftJustified), c.left) << c.word;
    EXPECT_EQ(isA2dResult(c.word, A2dLayout::Unknown), c.unknown) << c.word;
  }
}

TEST(Protocol, WordsAreHighByteFirst) {
  EXPECT_EQ(word(0x03, 0xFF), 1023);
  EXPECT_EQ(word(0x01, 0x02), 258);
  EXPECT_EQ(word(0xFF, 0xFF), 65535);
  EXPECT_EQ(word(0, 0), 0);
}

}  // namespace
}  // namespace zrv::protocol
