// The pin, pulse, counter and EEPROM members of ZRVIO against a scripted board: the bytes
// each sends, how replies combine, the stored direction and pin bytes, and every failure
// rule (68 closed, 387 design mode, 382 read-only, 393 write-only, 5 operands that do not fit).
#include <gtest/gtest.h>

#include <climits>
#include <thread>

#include "board/portmap.h"
#include "board/zrvio.h"
#include "common/automationerror.h"
#include "linkfixture.h"
#include "testhost.h"
#include "tests/fakes/scriptedboard.h"
#include "tests/support/errorof.h"

namespace zrv {
namespace {

using namespace std::chrono_literals;
using fake::hex;
using fake::toHex;

class MembersTest : public LinkTest {
 protected:
  void open() {
    LinkTest::open();
    host.changed.clear();
  }
};

TEST_F(MembersTest, MembersSendTheirBytesAndCombineTheReply) {
  const ByteCase cases[] = {
      {"high(3)", [](ZRVIO& z) { return z.high(3), 0; }, "17", "", 0},
      {"low(3)", [](ZRVIO& z) { return z.low(3), 0; }, "16", "", 0},
      {"toggle(3)", [](ZRVIO& z) { return z.toggle(3), 0; }, "26", "", 0},
      {"toggle(11) is pin 3", [](ZRVIO& z) { return z.toggle(11), 0; }, "26", "", 0},
      {"high(0)", [](ZRVIO& z) { return z.high(0), 0; }, "11", "", 0},
      {"low(7)", [](ZRVIO& z) { return z.low(7), 0; }, "1E", "", 0},
      {"inp(3) answered 1", [](ZRVIO& z) { return z.inp(3); }, "27", "31", 1},
      {"inp(3) answered 0", [](ZRVIO& z) { return z.inp(3); }, "27", "30", 0},
      {"inp(0) answered other", [](ZRVIO& z) { return z.inp(0); }, "21", "00", 1},
      {"tris = 255", [](ZRVIO& z) { return z.setTris(255), 0; }, "03 FF", "", 0},
      {"tris = 0", [](ZRVIO& z) { return z.setTris(0), 0; }, "02 80", "", 0},
      {"pins = 90", [](ZRVIO& z) { return z.setPins(90), 0; }, "04 AD", "", 0},
      {"pins = 1", [](ZRVIO& z) { return z.setPins(1), 0; }, "05 80", "", 0},
      {"tris read", [](ZRVIO& z) { return z.tris(); }, "56", "0F", 15},
      {"pins read", [](ZRVIO& z) { return z.pins(); }, "57", "5A", 90},
      {"led = true", [](ZRVIO& z) { return z.setLed(true), 0; }, "0D", "", 0},
      {"led = false", [](ZRVIO& z) { return z.setLed(false), 0; }, "0C", "", 0},
      {"count(2, 1000)", [](ZRVIO& z) { return z.count(2, 1000); }, "09 81 F4 44", "01 02", 258},
      {"count(0, 0)", [](ZRVIO& z) { return z.count(0, 0); }, "08 80 80 40", "00 00", 0},
      {"pulseout(1, 500)", [](ZRVIO& z) { return z.pulseout(1, 500), 0; }, "09 80 FA 43", "", 0},
      {"pulsein(4, 1)", [](ZRVIO& z) { return z.pulsein(4, 1); }, "79", "00 64", 100},
      {"pulsein(4, 0)", [](ZRVIO& z) { return z.pulsein(4, 0); }, "78", "FF FF", 65535},
      {"pulsein(12, 3) is pin 4, 1", [](ZRVIO& z) { return z.pulsein(12, 3); }, "79", "00 01", 1},
      {"pwm(-1, 128, 100)", [](ZRVIO& z) { return z.pwm(-1, 128, 100), 0; }, "08 80 B2 54 C0", "",
       0},
      {"pwm(5, 77, 100)", [](ZRVIO& z) { return z.pwm(5, 77, 100), 0; }, "08 80 B2 6B A6", "", 0},
      {"pwm(0, 255, 0)", [](ZRVIO& z) { return z.pwm(0, 255, 0), 0; }, "08 80 80 61 FF", "", 0},
      {"freq(2, 1000, 50)", [](ZRVIO& z) { return z.freq(2, 1000, 50), 0; }, "08 80 99 0E 84 83 F4",
       "", 0},
      {"freq(7, 32767, 1)", [](ZRVIO& z) { return z.freq(7, 32767, 1), 0; }, "0A 80 80 0E 8F FF FF",
       "", 0},
      {"rctime(3, 1)", [](ZRVIO& z) { return z.rctime(3, 1); }, "0E A7", "12 34", 0x1234},
      {"rctime(0, 0)", [](ZRVIO& z) { return z.rctime(0, 0); }, "0E A0", "00 05", 5},
      {"setcounter(1, false)", [](ZRVIO& z) { return z.setcounter(1, false), 0; }, "0E 90", "", 0},
      {"setcounter(2, false)", [](ZRVIO& z) { return z.setcounter(2, false), 0; }, "0E 92", "", 0},
      {"setcounter(4, true)", [](ZRVIO& z) { return z.setcounter(4, true), 0; }, "0E 95", "", 0},
      {"setcounter(8, true)", [](ZRVIO& z) { return z.setcounter(8, true), 0; }, "0E 97", "", 0},
      {"setcounter(3, false)", [](ZRVIO& z) { return z.setcounter(3, false), 0; }, "0E 90", "", 0},
      {"setcounter(-2, true)", [](ZRVIO& z) { return z.setcounter(-2, true), 0; }, "0E 91", "", 0},
      {"counter", [](ZRVIO& z) { return z.counter(); }, "5A", "00 2A", 42},
      {"eeprom(16)", [](ZRVIO& z) { return z.eeprom(16); }, "08 80 88 52", "41", 65},
      {"eeprom(16) = 65", [](ZRVIO& z) { return z.setEeprom(16, 65), 0; }, "08 80 88 51 A0", "", 0},
      {"eeprom(65535) = 255", [](ZRVIO& z) { return z.setEeprom(65535, 255), 0; }, "0B FF FF 51 FF",
       "", 0},
  };
  expectBytes(cases);
}

TEST_F(MembersTest, CommandsOnAClosedPortFailWithDeviceUnavailable) {
  const struct {
    const char* name;
    std::function<void()> call;
    int error;
  } cases[] = {
      {"toggle", [&] { io.toggle(0); }, err::kDeviceUnavailable},
      {"high", [&] { io.high(0); }, err::kDeviceUnavailable},
      {"low", [&] { io.low(0); }, err::kDeviceUnavailable},
      {"inp", [&] { io.inp(0); }, err::kDeviceUnavailable},
      {"led", [&] { io.setLed(true); }, err::kDeviceUnavailable},
      {"count", [&] { io.count(0, 10); }, err::kDeviceUnavailable},
      {"pulseout", [&] { io.pulseout(0, 10); }, err::kDeviceUnavailable},
      {"pulsein", [&] { io.pulsein(0, 1); }, err::kDeviceUnavailable},
      {"pwm", [&] { io.pwm(-1, 10, 10); }, err::kDeviceUnavailable},
      {"freq", [&] { io.freq(0, 10, 10); }, err::kDeviceUnavailable},
      {"rctime", [&] { io.rctime(0, 1); }, err::kDeviceUnavailable},
      {"counter", [&] { io.counter(); }, err::kDeviceUnavailable},
      {"setcounter", [&] { io.setcounter(2, true); }, err::kDeviceUnavailable},
      {"eeprom write", [&] { io.setEeprom(1, 2); }, err::kDeviceUnavailable},
      // The address goes out unguarded first: the serial port's own error comes before 68.
      {"eeprom read", [&] { io.eeprom(1); }, err::kPortNotOpen},
      // The stored bytes skip the board while the port is closed.
      {"tris read", [&] { io.tris(); }, 0},
      {"pins read", [&] { io.pins(); }, 0},
      {"tris write", [&] { io.setTris(7); }, 0},
      {"pins write", [&] { io.setPins(300); }, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(errorOf(c.call), c.error) << c.name;
  EXPECT_EQ(board.written(), QByteArray());
  EXPECT_EQ(io.tris(), 7);
  EXPECT_EQ(io.pins(), 300);
}

TEST_F(MembersTest, OperandsThatDoNotFitAreRefusedBeforeSending) {
  open();
  const struct {
    const char* name;
    std::function<void()> call;
  } cases[] = {
      {"toggle(-1)", [&] { io.toggle(-1); }},
      {"high(-1)", [&] { io.high(-1); }},
      {"low(INT_MIN)", [&] { io.low(INT32_MIN); }},
      {"inp(-8)", [&] { io.inp(-8); }},
      {"count pin -1", [&] { io.count(-1, 10); }},
      {"count duration -1", [&] { io.count(0, -1); }},
      {"count duration 65536", [&] { io.count(0, 65536); }},
      {"pulseout period 70000", [&] { io.pulseout(0, 70000); }},
      {"pulseout period -5", [&] { io.pulseout(0, -5); }},
      {"pulsein state -1", [&] { io.pulsein(0, -1); }},
      {"pulsein pin -2", [&] { io.pulsein(-2, 0); }},
      {"pwm duty 256", [&] { io.pwm(0, 256, 1); }},
      {"pwm duty -1", [&] { io.pwm(-1, -1, 1); }},
      {"pwm pin -2", [&] { io.pwm(-2, 1, 1); }},
      {"pwm fduration 65536", [&] { io.pwm(0, 1, 65536); }},
      {"freq tone 32768 (16 bits)", [&] { io.freq(0, 32768, 1); }},
      {"freq tone 65535", [&] { io.freq(0, 65535, 1); }},
      {"freq tone -1", [&] { io.freq(0, -1, 1); }},
      {"freq duration 65536", [&] { io.freq(0, 1, 65536); }},
      {"rctime state 2 (would measure pin 4)", [&] { io.rctime(3, 2); }},
      {"rctime state -1", [&] { io.rctime(3, -1); }},
      {"eeprom read address -1", [&] { io.eeprom(-1); }},
      {"eeprom read address 65536", [&] { io.eeprom(65536); }},
      {"eeprom write value 256", [&] { io.setEeprom(0, 256); }},
      {"eeprom write value -1", [&] { io.setEeprom(0, -1); }},
      {"eeprom write address 70000", [&] { io.setEeprom(70000, 1); }},
      {"tris 256", [&] { io.setTris(256); }},
      {"pins -1", [&] { io.setPins(-1); }},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(errorOf(c.call), err::kInvalidArgument) << c.name;
    EXPECT_TRUE(io.ready()) << c.name;
  }
  EXPECT_EQ(sent(), "");
}

TEST_F(MembersTest, OutOfRangeStoredByteIsKeptButNeverSent) {
  open();
  EXPECT_EQ(messageOf([&] { io.setPins(300); }),
            "Invalid procedure call or argument: pins 300 does not fit a byte (0 to 255)");
  EXPECT_EQ(sent(), "");
  EXPECT_TRUE(host.changed.contains("pins"));
  io.setPortopen(false);
  EXPECT_EQ(io.pins(), 300);
  // The next open cannot send it either, and does not leave a half-set-up link open.
  board.expect(hex("00 01"), hex("33"));
  EXPECT_EQ(errorOf([&] { io.setPortopen(true); }), err::kInvalidArgument);
  EXPECT_FALSE(io.portopen());
  io.setPins(90);
  board.expect(hex("00 01"), hex("33"));
  io.setPortopen(true);
  EXPECT_TRUE(io.portopen());
}

TEST_F(MembersTest, PinsWrittenWhileClosedGoOutDuringTheHandshakeBeforeTheDirections) {
  io.setPins(90);
  io.setTris(0x0F);
  EXPECT_EQ(board.written(), QByteArray());
  EXPECT_EQ(host.changed, (QStringList{"pins", "tris"}));
  board.expect(hex("00 01"), hex("33"));
  io.setPortopen(true);
  EXPECT_EQ(toHex(board.written()), "00 01 04 AD 03 87");
}

TEST_F(MembersTest, StoredBytesAreWritableInDesignMode) {
  host.design = true;
  io.setTris(0);
  io.setPins(255);
  EXPECT_EQ(io.tris(), 0);
  EXPECT_EQ(io.pins(), 255);
  EXPECT_EQ(host.changed, (QStringList{"tris", "pins"}));
}

TEST_F(MembersTest, ReadingTheStoredBytesTakesTheBoardsValueButNotAFailedRead) {
  open();
  board.expect(hex("56"), hex("0F"));
  EXPECT_EQ(io.tris(), 15);
  board.expect(hex("57"), hex("A5"));
  EXPECT_EQ(io.pins(), 0xA5);
  // A silent board: the stored bytes stay as they were, errflag tells.
  EXPECT_EQ(io.tris(), 15);
  EXPECT_TRUE(io.errflag());
  EXPECT_EQ(io.pins(), 0xA5);
  EXPECT_TRUE(io.errflag());
  io.setPortopen(false);
  EXPECT_EQ(io.tris(), 15);
  EXPECT_EQ(io.pins(), 0xA5);
  // The silent tris reply is owed: the next read goes behind the status query.
  EXPECT_EQ(sent(), "56 57 56 01 57");
}

TEST_F(MembersTest, RunTimeOnlyAndReadOnlyMembersFailByMode) {
  open();
  for (bool design : {false, true}) {
    host.design = design;
    const int readOnly = design ? err::kSetNotPermitted : err::kSetNotSupportedAtRunTime;
    EXPECT_EQ(errorOf([&] { io.setCounter(5); }), readOnly) << design;
    EXPECT_EQ(errorOf([&] { io.led(); }), err::kGetNotSupportedAtRunTime) << design;
  }
  host.design = true;
  EXPECT_EQ(errorOf([&] { io.setLed(true); }), err::kSetNotPermitted);
  EXPECT_EQ(errorOf([&] { io.setEeprom(1, 1); }), err::kSetNotPermitted);
  EXPECT_EQ(sent(), "");
  host.design = false;
  io.setPortopen(false);
  host.design = true;
  // Design mode comes before the closed port.
  EXPECT_EQ(errorOf([&] { io.setEeprom(1, 1); }), err::kSetNotPermitted);
  EXPECT_EQ(errorOf([&] { io.setLed(false); }), err::kSetNotPermitted);
}

TEST_F(MembersTest, WritesNotifyTheHost) {
  open();
  io.setLed(true);
  io.setEeprom(3, 4);
  io.setTris(1);
  io.setPins(2);
  EXPECT_EQ(host.changed, (QStringList{"led", "eeprom", "tris", "pins"}));
}

TEST_F(MembersTest, FailuresAfterSendingNeverLeaveAReplyOwed) {
  open();
  const struct {
    const char* name;
    std::function<void()> call;
  } cases[] = {
      {"count", [&] { io.count(1, 2); }},
      {"pulsein", [&] { io.pulsein(1, 1); }},
      {"rctime", [&] { io.rctime(1, 1); }},
      {"counter", [&] { io.counter(); }},
      {"eeprom", [&] { io.eeprom(1); }},
      {"inp", [&] { io.inp(1); }},
      {"tris", [&] { io.tris(); }},
      {"pins", [&] { io.pins(); }},
      {"pwm", [&] { io.pwm(1, 1, 1); }},
      {"freq", [&] { io.freq(1, 1, 1); }},
      {"setcounter", [&] { io.setcounter(2, true); }},
  };
  for (const auto& c : cases) {
    board.failNextWrite(PortStatus::Code::Removed, "the device was removed");
    EXPECT_EQ(errorOf(c.call), err::kPortWriteFailed) << c.name;
    EXPECT_TRUE(io.ready()) << c.name;
  }
  // Silent replies: zero results with the flag, and the link stays usable.
  for (const auto& c : cases) {
    EXPECT_EQ(errorOf(c.call), 0) << c.name;
    EXPECT_TRUE(io.ready()) << c.name;
  }
  EXPECT_TRUE(io.errflag());
}

TEST_F(MembersTest, CommandsThatKeepTheBoardBusyWaitThatMuchLongerForTheirReply) {
  open();
  const struct {
    const char* name;
    std::function<void()> call;
    std::chrono::milliseconds extra;  // on top of the 50 ms reply limit
    bool boardStaysBusy;              // the time also holds up the next command
  } cases[] = {
      {"a2d", [&] { io.a2d(0); }, 0ms, false},
      {"counter", [&] { io.counter(); }, 0ms, false},
      {"count(0, 1000)", [&] { io.count(0, 1000); }, 1000ms, false},
      {"count(0, 0)", [&] { io.count(0, 0); }, 0ms, false},
      {"pulsein", [&] { io.pulsein(0, 1); }, 131ms, false},
      {"rctime", [&] { io.rctime(0, 1); }, 65ms, false},
      {"a2d after freq for 300", [&] { io.freq(0, 440, 300), io.a2d(0); }, 300ms, true},
      {"a2d after pulseout for 200", [&] { io.pulseout(0, 200), io.a2d(0); }, 200ms, true},
      {"a2d after pwm for 250", [&] { io.pwm(0, 9, 250), io.a2d(0); }, 250ms, true},
  };
  board.setInstantTimeouts(true);
  // Every command gets a two-byte answer, so that each reply is read in full.
  board.onWrite = [&](const QByteArray&) { board.queueReply(hex("00 00")); };
  for (const auto& c : cases) {
    const qsizetype before = board.readDeadlines().size();
    const auto start = Clock::now();
    c.call();
    const QList<Deadline> deadlines = board.readDeadlines().mid(before);
    ASSERT_FALSE(deadlines.isEmpty()) << c.name;
    const auto limit = deadlines.first() - start;
    EXPECT_GE(limit, 50ms + c.extra) << c.name;
    EXPECT_LT(limit, 50ms + c.extra + 5ms) << c.name;
    // Both bytes of a reply share its deadline (an A/D result's quiet wait has its own).
    for (Deadline d : deadlines.mid(0, 2))
      EXPECT_EQ(d, deadlines.first()) << c.name;
    // Let the board's busy time pass before the next case.
    if (c.boardStaysBusy) std::this_thread::sleep_for(c.extra);
  }
}

TEST_F(MembersTest, ReadinessWaitAllowsForALongToneStillPlaying) {
  open();
  io.freq(0, 440, 200);
  // The board holds CTS while it plays: longer than the 100 ms ready limit, within the tone.
  board.setCts(false);
  const auto start = Clock::now();
  host.onEvents = [&] {
    if (Clock::now() - start > 150ms) board.setCts(true);
  };
  board.expect(hex("30"), hex("00 07"));
  EXPECT_EQ(io.a2d(0), 7);
}

TEST_F(MembersTest, SimulatedBoardKeepsItsEepromFromCloseToOpen) {
  portmap::overrideForProcess(9, "sim");
  for (int session = 0; session < 2; ++session) {
    ZRVIO sim(&host);
    sim.setCommPort(9);
    sim.setPortopen(true);
    if (session == 0) sim.setEeprom(200, 77);
    EXPECT_EQ(sim.eeprom(200), 77) << session;
    EXPECT_EQ(sim.eeprom(456), 77) << session;  // the address wraps on a 256-byte EEPROM
    EXPECT_FALSE(sim.errflag());
  }
}

}  // namespace
}  // namespace zrv
