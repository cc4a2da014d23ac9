// How ZRVIO keeps replies in step with commands against a scripted board: stale input is
// thrown away before a command that owes a reply, A/D results that cannot be results fail
// the read, failed reads drain the input, and a repeated conversion is checked to its end.
#include <gtest/gtest.h>

#include <functional>

#include "board/zrvio.h"
#include "linkfixture.h"
#include "tests/fakes/scriptedboard.h"

namespace zrv {
namespace {

using namespace std::chrono_literals;
using fake::hex;
using fake::toHex;

using ReadFailureTest = LinkTest;

/// A board and a control linked to it and open, fresh for each case of a table.
struct Rig {
  fake::ScriptedBoard board;
  ZRVIO io;
  explicit Rig(Host* host) : io(host) {
    board.setInstantTimeouts(true);
    io.setPortFactory(board.factory());
    io.setReplyTimeout(50ms);
    board.expect(hex("00 01"), hex("33"));
    io.setPortopen(true);
  }
};

TEST_F(ReadFailureTest, StaleBytesAreDiscardedBeforeEveryCommandThatOwesAReply) {
  const struct {
    const char* name;
    std::function<int32_t(ZRVIO&)> call;
    const char* out;
    const char* reply;
    int32_t result;
  } cases[] = {
      {"a2d", [](ZRVIO& z) { return z.a2d(2); }, "34", "01 02", 258},
      {"ok", [](ZRVIO& z) { return int32_t{z.ok()}; }, "01", "33", 1},
      {"count", [](ZRVIO& z) { return z.count(0, 1); }, "0A 80 80 40", "00 07", 7},
      {"rctime", [](ZRVIO& z) { return z.rctime(1, 0); }, "0E A2", "00 50", 80},
      {"eeprom", [](ZRVIO& z) { return z.eeprom(3); }, "0A 80 81 52", "41", 65},
  };
  for (const auto& c : cases) {
    Rig rig(&host);
    fake::ScriptedBoard& b = rig.board;
    ZRVIO& link = rig.io;
    // One byte too many from an earlier reply, then noise: neither answers this command.
    b.queueReply(hex("A7 00"));
    b.expect(hex(c.out), hex(c.reply));
    EXPECT_EQ(c.call(link), c.result) << c.name;
    EXPECT_FALSE(link.errflag()) << c.name;
    EXPECT_EQ(toHex(b.discarded()), "A7 00") << c.name;
  }
}

TEST_F(ReadFailureTest, A2dResultsOutsideTheConfiguredLayoutFailTheRead) {
  const struct {
    const char* name;
    std::function<void(ZRVIO&)> configure;  // after opening; its bytes are not checked
    const char* reply;                      // to a2d(0)
    int32_t result;
    ReadFailure failure;
  } cases[] = {
      // Not configured by this link: the layout is unknown, any word may be a result.
      {"unconfigured 65535", [](ZRVIO&) {}, "FF FF", 65535, ReadFailure::None},
      {"right 1023", [](ZRVIO& z) { z.a2dconf(true, false, 0); }, "03 FF", 1023, ReadFailure::None},
      {"right 1024", [](ZRVIO& z) { z.a2dconf(true, false, 0); }, "04 00", 0,
       ReadFailure::InvalidReply},
      {"right 42752", [](ZRVIO& z) { z.a2dconf(true, true, 1); }, "A7 00", 0,
       ReadFailure::InvalidReply},
      {"left 65472", [](ZRVIO& z) { z.a2dconf(false, false, 0); }, "FF C0", 65472,
       ReadFailure::None},
      {"left 65", [](ZRVIO& z) { z.a2dconf(false, false, 0); }, "00 41", 0,
       ReadFailure::InvalidReply},
      // cselect 64 sets bit 7 of the configuration byte: right-justified after all.
      {"cselect 64 is right", [](ZRVIO& z) { z.a2dconf(false, false, 64); }, "04 00", 0,
       ReadFailure::InvalidReply},
      {"cselect 64 allows 1023", [](ZRVIO& z) { z.a2dconf(false, false, 64); }, "03 FF", 1023,
       ReadFailure::None},
      // The reset layout is the board's: unknown again.
      {"resetall forgets the layout",
       [](ZRVIO& z) {
         z.a2dconf(true, false, 0);
         z.resetall();
       },
       "04 00", 1024, ReadFailure::None},
      {"reopening forgets the layout",
       [](ZRVIO& z) {
         z.a2dconf(true, false, 0);
         z.setPortopen(false);
         z.setPortopen(true);
       },
       "A7 00", 42752, ReadFailure::None},
      {"a silent board", [](ZRVIO& z) { z.a2dconf(true, false, 0); }, "", 0, ReadFailure::NoReply},
  };
  for (const auto& c : cases) {
    Rig rig(&host);
    fake::ScriptedBoard& b = rig.board;
    ZRVIO& link = rig.io;
    // Every status query is answered, also that of a reopening.
    b.onWrite = [&](const QByteArray& bytes) {
      if (bytes == hex("01")) b.queueReply(hex("33"));
    };
    c.configure(link);
    b.expect(hex("30"), hex(c.reply));
    EXPECT_EQ(link.a2d(0), c.result) << c.name;
    EXPECT_EQ(link.lastReadFailure(), c.failure) << c.name;
    EXPECT_EQ(link.errflag(), c.failure != ReadFailure::None) << c.name;
    if (c.failure == ReadFailure::InvalidReply) {
      EXPECT_EQ(link.lastReadError(), QStringLiteral("the board sent %1, which is no A/D result")
                                          .arg(hex(c.reply).toHex().toUInt(nullptr, 16)))
          << c.name;
    }
    EXPECT_TRUE(link.ready()) << c.name;
  }
}

TEST_F(ReadFailureTest, FailedReadDrainsTheRestOfTheReplyAndTheNextCommandIsInStep) {
  const struct {
    const char* name;
    const char* reply;  // to a2d(0), right-justified
    int32_t result;
    ReadFailure failure;
    const char* next = "32";          // what the next a2d(1) sends
    const char* nextReply = "02 01";  // and gets: a late byte owed goes first
  } cases[] = {
      {"a byte before the reply", "A7 03 00", 0, ReadFailure::InvalidReply},
      {"noise after an impossible result", "FF FF 12 34 56", 0, ReadFailure::InvalidReply},
      // The byte that came counts, as with every reply whose second byte fails. The second
      // is owed: the next command goes behind the status query, whose answer follows it.
      {"half a reply", "03", 768, ReadFailure::NoReply, "01 32", "00 33 02 01"},
  };
  for (const auto& c : cases) {
    Rig rig(&host);
    rig.io.a2dconf(true, false, 0);
    rig.board.expect(hex("30"), hex(c.reply));
    EXPECT_EQ(rig.io.a2d(0), c.result) << c.name;
    EXPECT_EQ(rig.io.lastReadFailure(), c.failure) << c.name;
    EXPECT_EQ(rig.board.unread(), 0) << c.name;
    rig.board.expect(hex(c.next), hex(c.nextReply));
    EXPECT_EQ(rig.io.a2d(1), 513) << c.name;
    EXPECT_FALSE(rig.io.errflag()) << c.name;
    EXPECT_EQ(rig.io.lastReadFailure(), ReadFailure::None) << c.name;
  }
}

TEST_F(ReadFailureTest, RepeatedConversionIsCheckedToItsLastResult) {
  const struct {
    const char* name;
    const char* results;  // to repeat(4), a2d(2), right-justified
    QList<int32_t> values;
    QList<ReadFailure> failures;
    bool waits = false;               // one read waits for the reply limit
    const char* next = "30";          // what the next a2d(0) sends
    const char* nextReply = "00 05";  // and gets
  } cases[] = {
      {"all good",
       "00 0A 00 0B 00 0C 00 0D",
       {10, 11, 12, 13},
       {ReadFailure::None, ReadFailure::None, ReadFailure::None, ReadFailure::None}},
      {"a byte at a result's start",
       "00 0A 00 0B A7 00 0C 00 0D",
       {10, 11, 0, 0},
       {ReadFailure::None, ReadFailure::None, ReadFailure::InvalidReply,
        ReadFailure::InvalidReply}},
      {"the first result impossible",
       "FF 00 00 0B 00 0C 00 0D",
       {0, 0, 0, 0},
       {ReadFailure::InvalidReply, ReadFailure::InvalidReply, ReadFailure::InvalidReply,
        ReadFailure::InvalidReply}},
      {"the board stops after two",
       "00 0A 00 0B",
       {10, 11, 0, 0},
       {ReadFailure::None, ReadFailure::None, ReadFailure::NoReply, ReadFailure::NoReply},
       true,
       "01 30",
       "00 0C 00 0D 33 00 05"},  // the late results come after all
  };
  for (const auto& c : cases) {
    Rig rig(&host);
    // Reads wait for their limit: a wait for results that cannot come would show.
    rig.board.setInstantTimeouts(false);
    rig.io.setReplyTimeout(2s);
    rig.io.a2dconf(true, false, 0);
    rig.io.repeat(4);
    rig.board.expect(hex("34"), hex(c.results));
    const auto start = Clock::now();
    QList<int32_t> values{rig.io.a2d(2)};
    QList<ReadFailure> failures{rig.io.lastReadFailure()};
    for (int i = 0; i < 3; ++i) {
      values.append(rig.io.readword());
      failures.append(rig.io.lastReadFailure());
    }
    const auto took = Clock::now() - start;
    EXPECT_EQ(values, c.values) << c.name;
    EXPECT_EQ(failures, c.failures) << c.name;
    // Only a silent board costs one reply limit; dropped results fail at once.
    EXPECT_LT(took, c.waits ? 3500ms : 1500ms) << c.name;
    EXPECT_EQ(rig.board.unread(), 0) << c.name;
    rig.board.expect(hex(c.next), hex(c.nextReply));
    EXPECT_EQ(rig.io.a2d(0), 5) << c.name;
    EXPECT_FALSE(rig.io.errflag()) << c.name;
  }
}

TEST_F(ReadFailureTest, OnlyTheFurtherResultsOfARepeatDirectlyBeforeA2dAreChecked) {
  // A readword reading 04 00 (1024, impossible right-justified) after each setup.
  const struct {
    const char* name;
    std::function<void(ZRVIO&, fake::ScriptedBoard&)> setup;
    bool checked;
  } cases[] = {
      {"repeat(3), a2d",
       [](ZRVIO& z, fake::ScriptedBoard& b) {
         z.repeat(3);
         b.expect(hex("30"), hex("00 01"));
         z.a2d(0);
       },
       true},
      {"a2d without repeat",
       [](ZRVIO& z, fake::ScriptedBoard& b) {
         b.expect(hex("30"), hex("00 01"));
         z.a2d(0);
       },
       false},
      {"repeat(3), ok, a2d",
       [](ZRVIO& z, fake::ScriptedBoard& b) {
         z.repeat(3);
         b.expect(hex("01"), hex("33"));
         z.ok();
         b.expect(hex("30"), hex("00 01"));
         z.a2d(0);
       },
       false},
      {"repeat(3), a2d, readbyte",
       [](ZRVIO& z, fake::ScriptedBoard& b) {
         z.repeat(3);
         b.expect(hex("30"), hex("00 01 00"));
         z.a2d(0);
         z.readbyte();
       },
       false},
      {"repeat(3), a2d, discardInput",
       [](ZRVIO& z, fake::ScriptedBoard& b) {
         z.repeat(3);
         b.expect(hex("30"), hex("00 01 00 02 00 03"));
         z.a2d(0);
         z.discardInput();
       },
       false},
  };
  for (const auto& c : cases) {
    Rig rig(&host);
    rig.io.a2dconf(true, false, 0);
    c.setup(rig.io, rig.board);
    ASSERT_FALSE(rig.io.errflag()) << c.name;
    rig.board.queueReply(hex("04 00"));
    EXPECT_EQ(rig.io.readword(), c.checked ? 0 : 1024) << c.name;
    EXPECT_EQ(rig.io.errflag(), c.checked) << c.name;
  }
}

TEST_F(ReadFailureTest, LastReadFailureSaysWhichFailureAndTheNextGoodReadClearsIt) {
  const struct {
    const char* name;
    const char* reply;  // to a2d(0), right-justified
    bool unplugged;
    ReadFailure failure;
    const char* reason;
    const char* next = "30";  // what the next a2d(0) sends
    const char* late = "";    // what comes ahead of its reply
  } cases[] = {
      {"silent", "", false, ReadFailure::NoReply, "no reply from the board within 50 ms", "01 30",
       "01 02 33"},
      {"unplugged", "", true, ReadFailure::PortError, "the device was removed"},
      {"impossible", "80 00", false, ReadFailure::InvalidReply,
       "the board sent 32768, which is no A/D result"},
  };
  for (const auto& c : cases) {
    Rig rig(&host);
    EXPECT_EQ(rig.io.lastReadFailure(), ReadFailure::None) << c.name;
    rig.io.a2dconf(true, false, 0);
    if (c.unplugged) rig.board.failReads(PortStatus::Code::Removed, "the device was removed");
    rig.board.expect(hex("30"), hex(c.reply));
    EXPECT_EQ(rig.io.a2d(0), 0) << c.name;
    EXPECT_TRUE(rig.io.errflag()) << c.name;
    EXPECT_EQ(rig.io.lastReadFailure(), c.failure) << c.name;
    EXPECT_EQ(rig.io.lastReadError(), c.reason) << c.name;
    rig.board.failReads(PortStatus::Code::Ok, {});
    rig.board.expect(hex(c.next), hex(c.late) + hex("00 07"));
    EXPECT_EQ(rig.io.a2d(0), 7) << c.name;
    EXPECT_EQ(rig.io.lastReadFailure(), ReadFailure::None) << c.name;
    EXPECT_FALSE(rig.io.errflag()) << c.name;
  }
}

}  // namespace
}  // namespace zrv
