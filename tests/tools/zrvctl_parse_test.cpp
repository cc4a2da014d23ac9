// zrvctl's command line: the forms of a member, values, and mistakes found before anything
// is sent.
#include <gtest/gtest.h>

#include "commandline.h"

namespace zrvctl {
namespace {

using zrv::Variant;
namespace d = zrv::dispatch;

/// A command as text: "count method Long 2, Long 1000".
QString summary(const Command& c) {
  QStringList args;
  for (const Variant& v : c.args)
    args.append(zrv::describe(v));
  const char* kind = c.kind == d::kPropertyPut ? "put" : c.kind == d::kMethod ? "method" : "get";
  return QStringLiteral("%1 %2 %3").arg(c.member->name, kind, args.join(", ")).trimmed();
}

TEST(ZrvctlCommandLine, MembersInEveryForm) {
  const struct {
    QStringList words;
    QStringList commands;
  } cases[] = {
      {{"a2d", "0"}, {"a2d method Long 0"}},
      {{"a2d(0)"}, {"a2d method Long 0"}},
      {{"count(2, 1000)", "count", "2", "1000"},
       {"count method Long 2, Long 1000", "count method Long 2, Long 1000"}},
      {{"pins=90", "led=true", "eeprom(16)=65", "eeprom(16)", "counter"},
       {"pins put Long 90", "led put Boolean True", "eeprom put Long 16, Long 65",
        "eeprom get Long 16", "counter get"}},
      {{"eeprom", "16"}, {"eeprom get Long 16"}},
      {{"pwm", "-1", "128", "100"}, {"pwm method Long -1, Long 128, Long 100"}},
      {{"TRIS=0x0F", "Ok", "resetall()", "readword"},
       {"tris put Long 15", "ok method", "resetall method", "readword method"}},
      {{"a2dconf", "TRUE", "false", "8"}, {"a2dconf method Boolean True, Boolean False, Long 8"}},
      {{"a2d", "1.5", "a2d(abc)", "a2d", "\"4\""},
       {"a2d method Double 1.5", "a2d method String \"abc\"", "a2d method String \"4\""}},
      {{"freq(2,1000,50)", "setcounter(8, true)"},
       {"freq method Long 2, Long 1000, Long 50", "setcounter method Long 8, Boolean True"}},
      {{"portopen", "CommPort", "ready", "errflag"},
       {"portopen get", "CommPort get", "ready get", "errflag get"}},
      {{"a2d", "3000000000"}, {"a2d method Double 3000000000"}},
  };
  for (const auto& c : cases) {
    const Options options = parse(QStringList{"--port", "sim"} + c.words);
    QStringList actual;
    for (const Command& command : options.commands)
      actual.append(summary(command));
    EXPECT_EQ(actual, c.commands) << c.words.join(' ').toStdString();
  }
}

TEST(ZrvctlCommandLine, PortsAndOptions) {
  const struct {
    QStringList words;
    int16_t commPort;
    const char* device;
    bool help, list;
  } cases[] = {
      {{}, 1, "", false, false},
      {{"--port", "3"}, 3, "", false, false},
      {{"-p", "255"}, 255, "", false, false},
      {{"--port=sim"}, 1, "sim", false, false},
      {{"--port", "/dev/ttyUSB0"}, 1, "/dev/ttyUSB0", false, false},
      {{"--help"}, 1, "", true, false},
      {{"--list-ports", "-h"}, 1, "", true, true},
  };
  for (const auto& c : cases) {
    const Options o = parse(c.words);
    EXPECT_EQ(o.commPort, c.commPort) << c.words.join(' ').toStdString();
    EXPECT_EQ(o.device, c.device);
    EXPECT_EQ(o.help, c.help);
    EXPECT_EQ(o.listPorts, c.list);
    EXPECT_TRUE(o.commands.empty());
  }
}

TEST(ZrvctlCommandLine, MapChangesInTheOrderGiven) {
  const struct {
    QStringList words;
    std::vector<MapChange> changes;
    bool list;
  } cases[] = {
      {{"--map", "3=/tmp/zrv-sim"}, {{3, "/tmp/zrv-sim"}}, false},
      {{"--map=12=sim", "--unmap", "3", "--list-ports"}, {{12, "sim"}, {3, ""}}, true},
      {{"--unmap=255", "--map", " 1 = /dev/ttyUSB0 "}, {{255, ""}, {1, "/dev/ttyUSB0"}}, false},
      {{"--map", "3=/dev/serial/by-id/usb-FTDI=A50285BI"},
       {{3, "/dev/serial/by-id/usb-FTDI=A50285BI"}},
       false},
  };
  for (const auto& c : cases) {
    const Options o = parse(c.words);
    EXPECT_EQ(o.mapChanges, c.changes) << c.words.join(' ').toStdString();
    EXPECT_EQ(o.listPorts, c.list) << c.words.join(' ').toStdString();
    EXPECT_TRUE(o.commands.empty());
  }
}

TEST(ZrvctlCommandLine, MistakesAreFoundBeforeAnythingRuns) {
  const struct {
    QStringList words;
    const char* message;
  } cases[] = {
      {{"--port"}, "--port needs a port"},
      {{"--port", "0"}, "--port takes a COM number (1 to 255), \"sim\" or a device path, not '0'"},
      {{"--port", "COM3"}, nullptr},
      {{"--verbose", "a2d", "0"}, "unknown option '--verbose'"},
      {{"nope"}, "the control has no member 'nope'"},
      {{"a2d"}, "a2d takes 1 argument (pin), given 0"},
      {{"count", "1"}, "count takes 2 arguments (pin, duration), given 1"},
      {{"count(1)"}, "count takes 2 arguments (pin, duration), given 1 in 'count(1)'"},
      {{"ok(1)"}, "ok takes no arguments, given 1 in 'ok(1)'"},
      {{"a2d(0"}, "'a2d(0' lacks its closing parenthesis"},
      {{"a2d(0)x"}, "'a2d(0)x' has 'x' after its arguments"},
      {{"a2d=4"}, "a2d is a method; it cannot be assigned"},
      {{"counter=4"}, "counter is read-only"},
      {{"led"}, "led is write-only; assign it (led=value)"},
      {{"eeprom=4"}, "eeprom takes 1 argument (add) before its '='"},
      {{"portopen=true"},
       "portopen cannot be set here: zrvctl opens the link on the port of --port"},
      {{"CommPort=3"}, "CommPort cannot be set here: zrvctl opens the link on the port of --port"},
      {{"=5"}, "'=5' names no member"},
      {{"a2d", "0", "tris", "a2d"}, "a2d takes 1 argument (pin), given 0"},
      {{"--map"}, "--map needs N=DEVICE"},
      {{"--unmap"}, "--unmap needs N"},
      {{"--map", "3"}, "--map takes N=DEVICE, such as --map 3=/dev/ttyUSB0, not '3'"},
      {{"--map", "0=/dev/ttyUSB0"}, "--map 0=/dev/ttyUSB0: '0' is not a COM number (1 to 255)"},
      {{"--map", "256=sim"}, "--map 256=sim: '256' is not a COM number (1 to 255)"},
      {{"--map", "COM3=sim"}, "--map COM3=sim: 'COM3' is not a COM number (1 to 255)"},
      {{"--map", "3="}, "--map 3=: the device is missing (--unmap 3 removes the entry)"},
      {{"--map=3=  "}, "--map 3=  : the device is missing (--unmap 3 removes the entry)"},
      {{"--map", "3=ttyUSB0"},
       "--map 3=ttyUSB0: the device must be \"sim\" or an absolute path such as /dev/ttyUSB0"},
      {{"--map", "3=/dev/tty\tUSB0"}, "--map: a device name cannot hold control characters"},
      {{"--unmap", "-1"}, "--unmap -1: '-1' is not a COM number (1 to 255)"},
      {{"--unmap=x"}, "--unmap x: 'x' is not a COM number (1 to 255)"},
      {{"--map", "3=sim", "a2d", "0"},
       "--map and --unmap only change the port map; call the members in a run of their own"},
  };
  for (const auto& c : cases) {
    try {
      parse(c.words);
      ADD_FAILURE() << c.words.join(' ').toStdString() << ": accepted";
    } catch (const UsageError& e) {
      if (c.message) {
        EXPECT_EQ(e.message(), c.message) << c.words.join(' ').toStdString();
      }
    }
  }
}

}  // namespace
}  // namespace zrvctl
