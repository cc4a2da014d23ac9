#include "board/zrvio.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <climits>

#include "board/portmap.h"
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

using ZrvioTest = LinkTest;

TEST_F(ZrvioTest, HandshakeReadsUntilTheStatusAnswerThenSendsPinsAndDirections) {
  const struct {
    const char* name;
    const char* answer;  // queued after the status query; "41" marks the first byte not read
    qsizetype leftUnread;
    bool errflag;
  } cases[] = {
      {"answers at once", "33 41", 1, false},
      {"stale bytes first", "00 00 33 41", 1, false},
      {"ten wrong bytes", "30 30 30 30 30 30 30 30 30 30 33", 1, false},
      {"nine wrong bytes", "30 30 30 30 30 30 30 30 30 33 41", 1, false},
      {"silent", "", 0, true},
  };
  for (const auto& c : cases) {
    fake::ScriptedBoard b;
    ZRVIO link(&host);
    link.setPortFactory(b.factory());
    link.setReplyTimeout(30ms);
    b.expect(hex("00 01"), hex(c.answer));
    link.setPortopen(true);
    EXPECT_TRUE(link.portopen()) << c.name;
    EXPECT_EQ(toHex(b.written()), kHandshake) << c.name;
    // What the handshake did not read goes before the next command.
    EXPECT_EQ(b.discarded().size(), c.leftUnread) << c.name;
    EXPECT_EQ(link.errflag(), c.errflag) << c.name;
    EXPECT_TRUE(b.scriptDone()) << c.name << ": " << b.mismatches().join("; ").toStdString();
  }
}

TEST_F(ZrvioTest, MembersSendTheirBytesAndCombineTheReply) {
  const ByteCase cases[] = {
      {"a2d(0)", [](ZRVIO& z) { return z.a2d(0); }, "30", "03 FF", 1023},
      {"a2d(3)", [](ZRVIO& z) { return z.a2d(3); }, "36", "00 07", 7},
      {"a2d(8) is channel 0", [](ZRVIO& z) { return z.a2d(8); }, "30", "FF FF", 65535},
      {"a2d(9) is channel 1", [](ZRVIO& z) { return z.a2d(9); }, "32", "01 02", 258},
      {"a2dconf(T,F,0)", [](ZRVIO& z) { return z.a2dconf(true, false, 0), 0; }, "31 C0", "", 0},
      {"a2dconf(F,T,2)", [](ZRVIO& z) { return z.a2dconf(false, true, 2), 0; }, "31 A2", "", 0},
      {"a2dconf(T,T,31)", [](ZRVIO& z) { return z.a2dconf(true, true, 31), 0; }, "31 FF", "", 0},
      {"a2dconf(T,T,0)", [](ZRVIO& z) { return z.a2dconf(true, true, 0), 0; }, "31 E0", "", 0},
      {"a2dconf(T,T,1)", [](ZRVIO& z) { return z.a2dconf(true, true, 1), 0; }, "31 E1", "", 0},
      {"a2dconf(T,T,8)", [](ZRVIO& z) { return z.a2dconf(true, true, 8), 0; }, "31 E8", "", 0},
      // cselect 32-127: its upper bits merge with clkx2 (bit 6) and justify (bit 7).
      {"a2dconf(F,F,32)", [](ZRVIO& z) { return z.a2dconf(false, false, 32), 0; }, "31 A0", "", 0},
      {"a2dconf(F,F,64)", [](ZRVIO& z) { return z.a2dconf(false, false, 64), 0; }, "31 C0", "", 0},
      {"a2dconf(F,T,33)", [](ZRVIO& z) { return z.a2dconf(false, true, 33), 0; }, "31 A1", "", 0},
      {"a2dconf(T,F,127)", [](ZRVIO& z) { return z.a2dconf(true, false, 127), 0; }, "31 FF", "", 0},
      {"repeat(1)", [](ZRVIO& z) { return z.repeat(1), 0; }, "08 80 80 5B", "", 0},
      {"repeat(4)", [](ZRVIO& z) { return z.repeat(4), 0; }, "0A 80 81 5B", "", 0},
      {"repeat(256)", [](ZRVIO& z) { return z.repeat(256), 0; }, "0A 80 FF 5B", "", 0},
      {"repeat(65536)", [](ZRVIO& z) { return z.repeat(65536), 0; }, "0B FF FF 5B", "", 0},
      {"resetall", [](ZRVIO& z) { return z.resetall(), 0; }, "5C", "", 0},
      {"ok with 33", [](ZRVIO& z) { return int32_t{z.ok()}; }, "01", "33", 1},
      {"ok with 30", [](ZRVIO& z) { return int32_t{z.ok()}; }, "01", "30", 0},
  };
  expectBytes(cases);
}

TEST_F(ZrvioTest, ReadersTakeFurtherResultsWithoutSending) {
  open();
  board.queueReply(hex("01 02 7F"));
  EXPECT_EQ(io.readword(), 258);
  EXPECT_FALSE(io.errflag());
  EXPECT_EQ(io.readbyte(), 127);
  EXPECT_EQ(sent(), "");
}

TEST_F(ZrvioTest, RepeatedConversionReturnsEachResultInTurn) {
  open();
  board.expect(hex("0A 80 81 5B"));
  board.expect(hex("34"), hex("00 0A 00 0B 00 0C 00 0D"));
  io.repeat(4);
  int32_t sum = io.a2d(2);
  for (int i = 0; i < 3; ++i)
    sum += io.readword();
  EXPECT_EQ(sum, 10 + 11 + 12 + 13);
  EXPECT_FALSE(io.errflag());
  EXPECT_EQ(sent(), "0A 80 81 5B 34");
}

TEST_F(ZrvioTest, OperandsThatDoNotFitAreRefusedBeforeSending) {
  open();
  const struct {
    const char* name;
    std::function<void()> call;
    int error;
  } cases[] = {
      {"a2d(-1)", [&] { io.a2d(-1); }, err::kInvalidArgument},
      {"a2d(INT_MIN)", [&] { io.a2d(INT32_MIN); }, err::kInvalidArgument},
      {"cselect -1", [&] { io.a2dconf(true, false, -1); }, err::kOverflow},
      {"cselect 128", [&] { io.a2dconf(true, false, 128); }, err::kOverflow},
      {"cselect 32767", [&] { io.a2dconf(true, false, 32767); }, err::kOverflow},
      {"repeat(0)", [&] { io.repeat(0); }, err::kInvalidArgument},
      {"repeat(-3)", [&] { io.repeat(-3); }, err::kInvalidArgument},
      {"repeat(65537)", [&] { io.repeat(65537); }, err::kInvalidArgument},
      {"repeat(INT_MIN)", [&] { io.repeat(INT32_MIN); }, err::kOverflow},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(errorOf(c.call), c.error) << c.name;
    EXPECT_TRUE(io.ready()) << c.name;
  }
  EXPECT_EQ(sent(), "");
}

TEST_F(ZrvioTest, CommandsOnAClosedPortFailWithDeviceUnavailable) {
  const struct {
    const char* name;
    std::function<void()> call;
  } cases[] = {
      {"a2d", [&] { io.a2d(0); }},       {"a2dconf", [&] { io.a2dconf(true, true, 0); }},
      {"repeat", [&] { io.repeat(2); }}, {"resetall", [&] { io.resetall(); }},
      {"ok", [&] { io.ok(); }},
  };
  for (const auto& c : cases)
    EXPECT_EQ(errorOf(c.call), err::kDeviceUnavailable) << c.name;
  EXPECT_EQ(board.written(), QByteArray());
  EXPECT_FALSE(io.ready());
}

TEST_F(ZrvioTest, ReadOnAClosedPortGivesZeroAndTheNextGoodReadClearsTheFlag) {
  EXPECT_EQ(io.readbyte(), 0);
  EXPECT_TRUE(io.errflag());
  EXPECT_EQ(io.lastReadError(), "the port is not open");
  EXPECT_EQ(io.readword(), 0);
  EXPECT_TRUE(io.errflag());
  open();
  board.queueReply(hex("05"));
  EXPECT_EQ(io.readbyte(), 5);
  EXPECT_FALSE(io.errflag());
}

TEST_F(ZrvioTest, ReadOnlyPropertiesRefuseAssignmentAndKeepTheirValue) {
  EXPECT_EQ(io.readbyte(), 0);  // sets the flag
  for (bool design : {false, true}) {
    host.design = design;
    const int expected = design ? err::kSetNotPermitted : err::kSetNotSupportedAtRunTime;
    EXPECT_EQ(errorOf([&] { io.setErrflag(false); }), expected) << design;
    EXPECT_EQ(errorOf([&] { io.setReady(true); }), expected) << design;
    EXPECT_TRUE(io.errflag());
  }
}

TEST_F(ZrvioTest, OpeningInDesignModeIsRefused) {
  host.design = true;
  EXPECT_EQ(errorOf([&] { io.setPortopen(true); }), err::kSetNotPermitted);
  EXPECT_FALSE(io.portopen());
  EXPECT_EQ(board.opens(), 0);
  // The port number is a design-time property.
  io.setCommPort(4);
  EXPECT_EQ(io.CommPort(), 4);
}

TEST_F(ZrvioTest, ReadyIsFalseWhileAReplyIsOwed) {
  open();
  QList<bool> readyDuringReads;
  board.onRead = [&] { readyDuringReads.append(io.ready()); };
  board.expect(hex("30"), hex("00 01"));
  io.a2d(0);
  // The two reply bytes, then the wait for the line's quiet that proves them.
  EXPECT_EQ(readyDuringReads, (QList<bool>{false, false, false}));
  EXPECT_TRUE(io.ready());
  // The readers of further results owe nothing themselves.
  readyDuringReads.clear();
  board.queueReply(hex("00 02"));
  io.readword();
  EXPECT_EQ(readyDuringReads, (QList<bool>{true, true}));
  board.setCts(false);
  EXPECT_FALSE(io.ready());
}

TEST_F(ZrvioTest, SilentBoardGivesZeroWithTheFlagWithinTheReplyLimit) {
  open();
  const auto start = Clock::now();
  EXPECT_EQ(io.a2d(1), 0);
  const auto took = Clock::now() - start;
  EXPECT_TRUE(io.errflag());
  EXPECT_EQ(io.lastReadError(), "no reply from the board within 50 ms");
  // Both bytes share the reply's deadline: one wait, not two.
  EXPECT_GE(took, 50ms);
  EXPECT_LT(took, 500ms);
  EXPECT_TRUE(io.ready());
  // The reply is owed: when it comes after all, ahead of the status answer sent before the
  // next command, the next reply is in step.
  board.expect(hex("01 30"), hex("02 03 33 00 09"));
  EXPECT_EQ(io.a2d(0), 9);
  EXPECT_FALSE(io.errflag());
}

TEST_F(ZrvioTest, SilentBoardFailsOpenAndCommandsWellUnderASecondWithDefaultLimits) {
  io.setReplyTimeout(ZRVIO::kDefaultReplyTimeout);
  io.setReadyTimeout(ZRVIO::kDefaultReadyTimeout);
  auto start = Clock::now();
  io.setPortopen(true);
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_TRUE(io.errflag());
  start = Clock::now();
  EXPECT_EQ(io.a2d(0), 0);
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_TRUE(io.errflag());
}

TEST_F(ZrvioTest, RemovedDeviceFailsReadsAtOnce) {
  open();
  io.setReplyTimeout(10s);
  board.setInstantTimeouts(false);
  board.failReads(PortStatus::Code::Removed, "the device was removed");
  const auto start = Clock::now();
  EXPECT_EQ(io.a2d(0), 0);
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_TRUE(io.errflag());
  EXPECT_EQ(io.lastReadError(), "the device was removed");
  EXPECT_TRUE(io.ready());
}

TEST_F(ZrvioTest, FailedWriteReachesTheCallerAndLeavesTheLinkUsable) {
  open();
  board.failNextWrite(PortStatus::Code::Removed, "the device was removed");
  try {
    io.a2d(0);
    ADD_FAILURE() << "no error";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), err::kPortWriteFailed);
    EXPECT_EQ(e.detail(), "COM1 (/dev/ttyS0): the device was removed");
  }
  EXPECT_TRUE(io.ready());
  board.expect(hex("32"), hex("00 03"));
  EXPECT_EQ(io.a2d(1), 3);
}

TEST_F(ZrvioTest, BoardHoldingCtsFailsTheCommandAfterTheReadyLimit) {
  open();
  board.setCts(false);
  const auto start = Clock::now();
  const QString message = messageOf([&] { io.a2d(0); });
  const auto took = Clock::now() - start;
  EXPECT_EQ(message,
            "Device unavailable: COM1 (/dev/ttyS0): the board was not ready within 100 ms (CTS "
            "is not asserted)");
  EXPECT_GE(took, 100ms);
  EXPECT_LT(took, 1s);
  EXPECT_GT(host.eventPasses, 0);
  EXPECT_EQ(sent(), "");
}

TEST_F(ZrvioTest, ReadinessWaitRunsHostEventsUntilCtsComesBack) {
  open();
  board.setCts(false);
  host.onEvents = [&] {
    if (host.eventPasses == 3) board.setCts(true);
  };
  board.expect(hex("30"), hex("00 04"));
  EXPECT_EQ(io.a2d(0), 4);
  EXPECT_EQ(host.eventPasses, 3);
}

TEST_F(ZrvioTest, CommandFromAHostEventRunsInsideAnotherCommandsWait) {
  open();
  board.setCts(false);
  int32_t nested = -1;
  host.onEvents = [&] {
    if (host.eventPasses != 1) return;
    board.setCts(true);
    nested = io.a2d(1);
  };
  board.expect(hex("32"), hex("00 11"));
  board.expect(hex("30"), hex("00 22"));
  EXPECT_EQ(io.a2d(0), 0x22);
  EXPECT_EQ(nested, 0x11);
  EXPECT_EQ(sent(), "32 30");
  EXPECT_TRUE(board.scriptDone());
}

TEST_F(ZrvioTest, CommandWhileAReplyIsOwedWaitsAndNeverInterleaves) {
  open();
  int nestedError = 0;
  board.onRead = [&] {
    board.onRead = nullptr;
    nestedError = errorOf([&] { io.resetall(); });
  };
  board.expect(hex("30"), hex("00 05"));
  EXPECT_EQ(io.a2d(0), 5);
  EXPECT_EQ(nestedError, err::kDeviceUnavailable);
  EXPECT_EQ(sent(), "30");
}

TEST_F(ZrvioTest, LinkClosedByAHostEventFailsTheWaitingCommand) {
  open();
  board.setCts(false);
  host.onEvents = [&] { io.setPortopen(false); };
  EXPECT_EQ(messageOf([&] { io.a2d(0); }),
            "Device unavailable: COM1 (/dev/ttyS0): the port was closed while a command waited "
            "for the board");
  EXPECT_EQ(sent(), "");
}

TEST_F(ZrvioTest, PortNumberChangesOnlyWhileClosedAndWithinRange) {
  EXPECT_EQ(io.CommPort(), 1);
  io.setCommPort(3);
  EXPECT_EQ(io.CommPort(), 3);
  EXPECT_TRUE(host.changed.contains("CommPort"));
  for (int16_t bad : {int16_t{0}, int16_t{-1}, int16_t{256}, int16_t{INT16_MAX}})
    EXPECT_EQ(errorOf([&] { io.setCommPort(bad); }), err::kPortInvalid) << bad;
  open();
  EXPECT_EQ(errorOf([&] { io.setCommPort(4); }), err::kPortOpen);
  EXPECT_EQ(io.CommPort(), 3);
  EXPECT_EQ(errorOf([&] { io.setPortopen(true); }), err::kPortAlreadyOpen);
  EXPECT_TRUE(io.portopen());
}

TEST_F(ZrvioTest, OpenResolvesThePortNumberThroughThePortMap) {
  portmap::overrideForProcess(5, "/dev/ttyUSB7");
  io.setReplyTimeout(1ms);
  for (int16_t port : {int16_t{5}, int16_t{2}}) {
    io.setCommPort(port);
    io.setPortopen(true);
    io.setPortopen(false);
  }
  EXPECT_EQ(board.devicesOpened(), (QStringList{"/dev/ttyUSB7", "/dev/ttyS1"}));
}

TEST_F(ZrvioTest, OpenFailuresNameThePortAndTheDevice) {
  const struct {
    PortStatus::Code code;
    const char* reason;
    int error;
  } cases[] = {
      {PortStatus::Code::NotFound, "No such file or directory", err::kPortInvalid},
      {PortStatus::Code::AccessDenied, "Permission denied", err::kPortUnavailable},
      {PortStatus::Code::Failed, "Device or resource busy", err::kPortUnavailable},
  };
  io.setCommPort(3);
  portmap::overrideForProcess(3, "/dev/ttyUSB0");
  for (const auto& c : cases) {
    board.failOpen(c.code, c.reason);
    try {
      io.setPortopen(true);
      ADD_FAILURE() << c.reason;
    } catch (const AutomationError& e) {
      EXPECT_EQ(e.number(), c.error);
      EXPECT_EQ(e.detail(), QStringLiteral("COM3 (/dev/ttyUSB0): %1").arg(c.reason));
    }
    EXPECT_FALSE(io.portopen());
  }
}

TEST_F(ZrvioTest, PortMapThatCannotBeReadFailsTheOpenInsteadOfGuessingTheDevice) {
  const QString file = portmap::configFile();
  ASSERT_TRUE(QDir().mkpath(QFileInfo(file).absolutePath()));
  {
    QFile map(file);
    ASSERT_TRUE(map.open(QIODevice::WriteOnly));
    map.write(
        "[Ports]\nCOM3=/dev/ttyUSB0\n\x7F"
        "ELF\x02\x01\x01\n");
  }
  io.setCommPort(3);
  EXPECT_EQ(io.portDescription(), "COM3");
  try {
    io.setPortopen(true);
    ADD_FAILURE() << "opened through a broken port map";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), err::kPortInvalid);
    EXPECT_EQ(
        e.detail(),
        QStringLiteral("COM3: the port map %1, line 3: holds binary data, not text").arg(file));
  }
  EXPECT_FALSE(io.portopen());
  EXPECT_EQ(board.opens(), 0);
  // A mapping of this process needs no file.
  portmap::overrideForProcess(3, "/dev/ttyUSB5");
  board.expect(hex("00 01"), hex("33"));
  io.setPortopen(true);
  EXPECT_EQ(board.devicesOpened(), QStringList{"/dev/ttyUSB5"});
}

TEST_F(ZrvioTest, HandshakeThatCannotWriteLeavesThePortClosed) {
  board.failNextWrite(PortStatus::Code::Failed, "Input/output error");
  EXPECT_EQ(errorOf([&] { io.setPortopen(true); }), err::kPortWriteFailed);
  EXPECT_FALSE(io.portopen());
  EXPECT_FALSE(board.isOpen());
}

TEST_F(ZrvioTest, ClosingSendsNothingAndKeepsTheFlag) {
  open();
  EXPECT_EQ(host.changed, (QStringList{"pins", "tris", "portopen"}));
  EXPECT_EQ(io.readbyte(), 0);
  host.changed.clear();
  io.setPortopen(false);
  EXPECT_FALSE(io.portopen());
  EXPECT_FALSE(board.isOpen());
  EXPECT_TRUE(io.errflag());
  EXPECT_EQ(sent(), "");
  EXPECT_EQ(host.changed, QStringList{"portopen"});
  io.setPortopen(false);  // closing a closed port is harmless
}

TEST_F(ZrvioTest, SimPortServesTheBuiltInBoard) {
  ZRVIO sim(&host);
  portmap::overrideForProcess(9, "sim");
  sim.setCommPort(9);
  sim.setPortopen(true);
  EXPECT_FALSE(sim.errflag());
  EXPECT_TRUE(sim.ok());
  sim.resetall();
  sim.a2dconf(true, false, 0);
  EXPECT_EQ(sim.a2d(4), 768);
  sim.repeat(3);
  EXPECT_EQ(sim.a2d(4) + sim.readword() + sim.readword(), 3 * 768);
  EXPECT_EQ(sim.a2d(4), 768);
  EXPECT_EQ(sim.readword(), 0);  // the repeat applied once: nothing more is waiting
  EXPECT_TRUE(sim.errflag());
  EXPECT_EQ(sim.portDescription(), "COM9 (sim)");
}

}  // namespace
}  // namespace zrv
