// The dispatch interface: every member of the table called by its number against a scripted
// board, automation conversions of arguments and results, and the refusals (438, 450, 13, 6).
#include "board/dispatch.h"

#include <gtest/gtest.h>

#include <QSet>
#include <QTemporaryDir>

#include "board/portmap.h"
#include "board/zrvio.h"
#include "common/automationerror.h"
#include "testhost.h"
#include "tests/fakes/scriptedboard.h"
#include "tests/support/errorof.h"

namespace zrv::dispatch {
namespace {

using fake::hex;
using fake::toHex;
using namespace std::chrono_literals;

Variant L(int32_t v) {
  return Variant(v);
}
Variant I(int16_t v) {
  return Variant(v);
}

struct Call {
  const char* member;
  unsigned kind;
  std::vector<Variant> args;
  const char* out;    // bytes the call sends (hex)
  const char* reply;  // the board's answer; queued at once when out is empty
  Variant result;
  std::function<bool(const ZRVIO&)> after = nullptr;  // a check of the control afterwards
  bool open = true;
};

// At least one call for every member and every kind it takes.
std::vector<Call> calls() {
  return {
      {"CommPort", kPropertyGet, {}, "", "", I(1)},
      {"CommPort",
       kPropertyPut,
       {L(3)},
       "",
       "",
       {},
       [](const ZRVIO& io) { return io.CommPort() == 3; },
       false},
      {"tris", kPropertyPut, {L(255)}, "03 FF", "", {}},
      {"tris", kPropertyGet, {}, "56", "0F", L(15)},
      {"pins", kPropertyPut, {Variant("90")}, "04 AD", "", {}},
      {"pins", kPropertyGet, {}, "57", "5A", L(90)},
      {"eeprom", kPropertyGet, {L(16)}, "08 80 88 52", "41", L(65)},
      {"eeprom", kPropertyPut, {I(16), L(65)}, "08 80 88 51 A0", "", {}},
      {"ok", kMethod, {}, "01", "33", Variant(true)},
      {"ok", kMethod | kPropertyGet, {}, "01", "30", Variant(false)},
      {"led", kPropertyPut, {Variant(true)}, "0D", "", {}},
      {"led", kPropertyPut, {I(0)}, "0C", "", {}},
      {"a2d", kMethod, {I(3)}, "36", "03 FF", L(1023)},
      {"a2d", kMethod, {Variant(2.5)}, "34", "00 01", L(1)},  // 2.5 rounds to even
      {"toggle", kMethod, {L(3)}, "26", "", {}},
      {"high", kMethod, {L(3)}, "17", "", {}},
      {"low", kMethod, {L(3)}, "16", "", {}},
      {"inp", kMethod, {L(3)}, "27", "31", L(1)},
      {"count", kMethod, {L(2), L(1000)}, "09 81 F4 44", "01 02", L(258)},
      {"pulseout", kMethod, {L(1), L(500)}, "09 80 FA 43", "", {}},
      {"pulsein", kMethod, {L(4), L(1)}, "79", "00 64", L(100)},
      {"pwm", kMethod, {L(-1), L(128), L(100)}, "08 80 B2 54 C0", "", {}},
      {"pwm", kMethod, {I(5), Variant("77"), Variant(100.0)}, "08 80 B2 6B A6", "", {}},
      {"freq", kMethod, {L(2), L(1000), L(50)}, "08 80 99 0E 84 83 F4", "", {}},
      {"rctime", kMethod, {L(3), L(1)}, "0E A7", "12 34", L(0x1234)},
      {"portopen", kPropertyGet, {}, "", "", Variant(true)},
      {"portopen",
       kPropertyPut,
       {Variant(false)},
       "",
       "",
       {},
       [](const ZRVIO& io) { return !io.portopen(); }},
      {"counter", kPropertyGet, {}, "5A", "00 2A", L(42)},
      {"setcounter", kMethod, {L(4), Variant(true)}, "0E 95", "", {}},
      {"setcounter", kMethod, {I(8), I(-1)}, "0E 97", "", {}},  // -1 is True
      {"setcounter", kMethod, {I(2), I(0)}, "0E 92", "", {}},
      {"ready", kPropertyGet, {}, "", "", Variant(true)},
      {"errflag", kPropertyGet, {}, "", "", Variant(false)},
      {"resetall", kMethod, {}, "5C", "", {}},
      {"repeat", kMethod, {L(4)}, "0A 80 81 5B", "", {}},
      {"readbyte", kMethod, {}, "", "7F", L(127)},
      {"readword", kMethod, {}, "", "01 02", L(258)},
      {"a2dconf", kMethod, {Variant(true), I(-1), I(8)}, "31 E8", "", {}},
      {"a2dconf", kMethod, {Variant(false), Variant("True"), Variant(2.0)}, "31 A2", "", {}},
  };
}

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_config.isValid());
    qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit());
    portmap::clearProcessOverrides();
  }

  QTemporaryDir m_config;
  TestHost host;
};

TEST_F(DispatchTest, TableHasEveryMemberOnceWithItsNumberAndHelp) {
  const QStringList expected = {
      "CommPort 68030008", "tris 68030007",     "pins 68030006",     "eeprom 68030005",
      "ok 60030012",       "led 68030004",      "a2d 60030013",      "toggle 60030014",
      "high 60030015",     "low 60030016",      "inp 60030017",      "count 60030018",
      "pulseout 60030019", "pulsein 6003001A",  "pwm 6003001B",      "freq 6003001C",
      "rctime 6003001D",   "portopen 68030003", "counter 68030002",  "setcounter 60030022",
      "ready 68030001",    "errflag 68030000",  "resetall 60030023", "repeat 60030024",
      "readbyte 60030025", "readword 60030026", "a2dconf 60030034",
  };
  QStringList actual;
  for (const Member& m : members()) {
    actual.append(QStringLiteral("%1 %2").arg(m.name, dispidText(m.dispid)));
    EXPECT_NE(QString(m.help).trimmed(), QString()) << m.name;
    EXPECT_NE(m.get, nullptr) << m.name;
    EXPECT_EQ(m.put != nullptr, !m.isMethod()) << m.name;
    EXPECT_EQ(find(m.dispid), &m);
    EXPECT_EQ(find(QString(m.name).toUpper()), &m);
  }
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(find(QStringLiteral("nothing")), nullptr);
  EXPECT_EQ(find(0x60030011), nullptr);
}

TEST_F(DispatchTest, EveryMemberWorksByItsNumber) {
  QSet<QString> covered;
  for (const Call& c : calls()) {
    const Member* member = find(QLatin1String(c.member));
    ASSERT_NE(member, nullptr) << c.member;
    covered.insert(
        QStringLiteral("%1/%2").arg(c.member).arg(c.kind & kPropertyPut ? "put" : "get"));
    fake::ScriptedBoard board;
    ZRVIO io(&host);
    io.setPortFactory(board.factory());
    if (c.open) {
      board.expect(hex("00 01"), hex("33"));
      io.setPortopen(true);
    }
    const qsizetype mark = board.written().size();
    if (*c.out)
      board.expect(hex(c.out), hex(c.reply));
    else
      board.queueReply(hex(c.reply));
    const std::string what = std::string(c.member) + " " + toHex(hex(c.out)).toStdString();
    try {
      const Variant result = invoke(io, member->dispid, c.kind, c.args);
      EXPECT_EQ(result, c.result) << what << ": " << describe(result).toStdString();
    } catch (const AutomationError& e) {
      ADD_FAILURE() << what << ": " << e.what();
    }
    EXPECT_EQ(toHex(board.written().mid(mark)), c.out) << what;
    EXPECT_EQ(board.unread(), 0) << what;
    if (c.after) {
      EXPECT_TRUE(c.after(io)) << what;
    }
  }
  for (const Member& m : members()) {
    const bool called = covered.contains(QStringLiteral("%1/get").arg(m.name));
    const bool assigned = covered.contains(QStringLiteral("%1/put").arg(m.name));
    EXPECT_EQ(called, m.isMethod() || m.readable) << m.name;
    EXPECT_EQ(assigned, !m.isMethod() && m.writable) << m.name;
  }
}

TEST_F(DispatchTest, WrongArgumentCountsAreRefusedForEveryMember) {
  ZRVIO io(&host);
  for (const Member& m : members()) {
    const size_t n = m.params.size();
    const std::vector<Variant> tooMany(n + 2, L(1));
    EXPECT_EQ(errorOf([&] { invoke(io, m.dispid, kMethod, std::span(tooMany).first(n + 1)); }),
              err::kWrongArgumentCount)
        << m.name;
    if (n > 0) {
      EXPECT_EQ(errorOf([&] { invoke(io, m.dispid, kMethod, std::span(tooMany).first(n - 1)); }),
                err::kWrongArgumentCount)
          << m.name;
    }
    if (m.isMethod()) {
      EXPECT_EQ(errorOf([&] { invoke(io, m.dispid, kPropertyPut, tooMany); }), err::kMemberNotFound)
          << m.name;
    } else {
      EXPECT_EQ(errorOf([&] { invoke(io, m.dispid, kPropertyPut, std::span(tooMany).first(n)); }),
                err::kWrongArgumentCount)
          << m.name;
      EXPECT_EQ(
          errorOf([&] { invoke(io, m.dispid, kPropertyPut, std::span(tooMany).first(n + 2)); }),
          err::kWrongArgumentCount)
          << m.name;
    }
  }
}

TEST_F(DispatchTest, BadCallsAndValuesAreRefusedWithClearErrors) {
  fake::ScriptedBoard board;
  ZRVIO io(&host);
  io.setPortFactory(board.factory());
  board.expect(hex("00 01"), hex("33"));
  io.setPortopen(true);
  const qsizetype mark = board.written().size();
  const struct {
    const char* name;
    int32_t dispid;
    unsigned kind;
    std::vector<Variant> args;
    int error;
    const char* message;
  } cases[] = {
      {"unknown number",
       0x60030011,
       kMethod,
       {},
       err::kMemberNotFound,
       "Object doesn't support this property or method: no member has the dispatch number "
       "60030011"},
      {"number zero", 0, kPropertyGet, {}, err::kMemberNotFound, nullptr},
      {"assigning a method",
       0x60030013,
       kPropertyPut,
       {L(1), L(2)},
       err::kMemberNotFound,
       "Object doesn't support this property or method: a2d is a method; it cannot be assigned"},
      {"kind 0", 0x60030013, 0, {L(1)}, err::kInvalidArgument, nullptr},
      {"kind 8", 0x60030013, 8, {L(1)}, err::kInvalidArgument, nullptr},
      {"method and put",
       0x68030007,
       kMethod | kPropertyPut,
       {L(1)},
       err::kInvalidArgument,
       nullptr},
      {"count of arguments",
       0x60030018,
       kMethod,
       {L(1)},
       err::kWrongArgumentCount,
       "Wrong number of arguments or invalid property assignment: count takes 2 arguments, not "
       "1"},
      {"missing argument",
       0x60030013,
       kMethod,
       {Variant::missing()},
       err::kWrongArgumentCount,
       "Wrong number of arguments or invalid property assignment: a2d: argument 1 (pin) is "
       "missing"},
      {"text that is no number",
       0x60030013,
       kMethod,
       {Variant("abc")},
       err::kTypeMismatch,
       "Type mismatch: a2d: argument 1 (pin) (String \"abc\") cannot be Long"},
      {"port number beyond 16 bits",
       0x68030008,
       kPropertyPut,
       {L(70000)},
       err::kOverflow,
       "Overflow: CommPort: the value assigned (Long 70000) cannot be Integer"},
      {"prescale beyond 16 bits",
       0x60030022,
       kMethod,
       {L(40000), Variant(true)},
       err::kOverflow,
       nullptr},
      {"pin beyond 32 bits", 0x60030014, kMethod, {Variant(3e9)}, err::kOverflow, nullptr},
      {"boolean from text",
       0x68030004,
       kPropertyPut,
       {Variant("maybe")},
       err::kTypeMismatch,
       nullptr},
      {"led read", 0x68030004, kPropertyGet, {}, err::kGetNotSupportedAtRunTime, nullptr},
      {"counter assigned",
       0x68030002,
       kPropertyPut,
       {L(1)},
       err::kSetNotSupportedAtRunTime,
       nullptr},
      {"ready assigned",
       0x68030001,
       kPropertyPut,
       {Variant(true)},
       err::kSetNotSupportedAtRunTime,
       nullptr},
      {"errflag assigned",
       0x68030000,
       kPropertyPut,
       {Variant(true)},
       err::kSetNotSupportedAtRunTime,
       nullptr},
      {"duty that does not fit",
       0x6003001B,
       kMethod,
       {L(0), L(256), L(1)},
       err::kInvalidArgument,
       nullptr},
      {"rctime state -1 (a True)",
       0x6003001D,
       kMethod,
       {L(0), Variant(true)},
       err::kInvalidArgument,
       nullptr},
  };
  for (const auto& c : cases) {
    try {
      invoke(io, c.dispid, c.kind, c.args);
      ADD_FAILURE() << c.name << ": no error";
    } catch (const AutomationError& e) {
      EXPECT_EQ(e.number(), c.error) << c.name << ": " << e.what();
      if (c.message) {
        EXPECT_EQ(e.message(), c.message) << c.name;
      }
    }
    EXPECT_TRUE(io.ready()) << c.name;
  }
  EXPECT_EQ(toHex(board.written().mid(mark)), "");
}

}  // namespace
}  // namespace zrv::dispatch
