// zrvctl end to end: the built tool against the in-process simulated board, against zrvsim
// on a pseudo-terminal, and against a device that never answers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <functional>
#include <optional>

#include "board/dispatch.h"
#include "board/portmap.h"

namespace {

struct ToolRun {
  int status = -1;
  QStringList lines;  // stdout
  QString errors;     // stderr
};

class ZrvctlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_config.isValid());
    qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit());
    m_bin = qEnvironmentVariable("ZRV_BIN_DIR");
    ASSERT_FALSE(m_bin.isEmpty()) << "ZRV_BIN_DIR is not set";
  }
  void TearDown() override {
    if (m_sim.state() != QProcess::NotRunning) {
      m_sim.kill();
      m_sim.waitForFinished(5000);
    }
  }

  ToolRun zrvctl(const QStringList& args) {
    QProcess p;
    p.start(m_bin + "/zrvctl", args);
    EXPECT_TRUE(p.waitForFinished(20000)) << args.join(' ').toStdString();
    ToolRun r;
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    const QString out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.lines = out.split('\n', Qt::SkipEmptyParts);
    r.errors = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
  }

  /// The port map's bytes, or nothing when it is not a readable file.
  static std::optional<QByteArray> mapBytes() {
    QFile file(zrv::portmap::configFile());
    if (!QFileInfo(file).isFile() || !file.open(QIODevice::ReadOnly)) return std::nullopt;
    return file.readAll();
  }

  /// Starts zrvsim and returns its device.
  QString startSim(const QStringList& args = {}) {
    m_sim.start(m_bin + "/zrvsim", args);
    EXPECT_TRUE(m_sim.waitForStarted(5000));
    while (!m_sim.canReadLine())
      if (!m_sim.waitForReadyRead(5000)) return {};
    return QString::fromLocal8Bit(m_sim.readLine()).trimmed();
  }

  QTemporaryDir m_config;
  QString m_bin;
  QProcess m_sim;
};

TEST_F(ZrvctlTest, RunsSeveralMembersOnTheSimulatedBoardInOneLink) {
  const ToolRun r = zrvctl({"--port",  "sim",  "pins=90", "led=true", "eeprom(16)=65", "eeprom(16)",
                            "counter", "tris", "a2dconf", "true",     "false",         "0",
                            "a2d",     "4",    "a2d(4)",  "ok",       "rctime",        "3",
                            "1",       "pwm",  "-1",      "128",      "100",           "errflag"});
  EXPECT_EQ(r.status, 0) << r.errors.toStdString();
  EXPECT_EQ(r.errors, "");
  ASSERT_EQ(r.lines.size(), 8) << r.lines.join('|').toStdString();
  EXPECT_EQ(r.lines[0], "65");
  bool number = false;
  r.lines[1].toInt(&number);
  EXPECT_TRUE(number) << r.lines[1].toStdString();  // the counter
  EXPECT_EQ(r.lines.mid(2), (QStringList{"255", "768", "768", "True", "400", "False"}));
}

TEST_F(ZrvctlTest, DrivesZrvsimThroughThePortMapAndByDevicePath) {
  const QString device = startSim();
  ASSERT_TRUE(device.startsWith("/dev/")) << device.toStdString();
  ASSERT_TRUE(zrv::portmap::setMapping(7, device));
  for (const QString& port : {QStringLiteral("7"), device}) {
    const ToolRun r =
        zrvctl({"--port", port, "tris=0xF0", "pins=5", "high(1)", "toggle", "0", "pins", "inp(1)",
                "count(2,10)", "eeprom(3)=200", "eeprom", "3", "ok"});
    EXPECT_EQ(r.status, 0) << r.errors.toStdString();
    // pins 0-3 are outputs: 5, then pin 1 high and pin 0 toggled; the inputs vary.
    ASSERT_EQ(r.lines.size(), 5) << r.lines.join('|').toStdString();
    EXPECT_EQ(r.lines[0].toInt() & 0x0F, 0x06);
    EXPECT_EQ(r.lines.mid(1), (QStringList{"1", "0", "200", "True"}));
  }
  // With no member it only checks that the board answers.
  EXPECT_EQ(zrvctl({"--port", "7"}).status, 0);
}

TEST_F(ZrvctlTest, FailuresGiveTheNumberOnStderrAndADocumentedStatus) {
  const struct {
    QStringList args;
    int status;
    const char* error;  // the start of stderr
    int lines;          // results printed before the failure
  } cases[] = {
      {{"--port", "sim", "nope"}, 2, "zrvctl: the control has no member 'nope'\n", 0},
      {{"--port", "sim", "a2d"}, 2, "zrvctl: a2d takes 1 argument (pin), given 0\n", 0},
      {{"--port", "0"}, 2, "zrvctl: --port takes", 0},
      {{"--port", "sim", "a2d", "4", "count", "1", "70000", "a2d", "4"},
       1,
       "zrvctl: count 1 70000: error 5: Invalid procedure call or argument: duration 70000 does "
       "not fit a 16-bit operand (0 to 65535)\n",
       1},
      {{"--port", "sim", "a2d(abc)"}, 1, "zrvctl: a2d(abc): error 13: Type mismatch: a2d:", 0},
      {{"--port", "sim", "CommPort", "rctime", "0", "2"}, 1, "zrvctl: rctime 0 2: error 5:", 1},
      {{"--port", "/dev/zrv-no-such-device", "ok"},
       1,
       "zrvctl: cannot open the link: error 8002: Invalid port number: COM1 "
       "(/dev/zrv-no-such-device): ",
       0},
      {{"--port", "sim", "readword"}, 3, "zrvctl: readword: the board did not answer: ", 0},
  };
  for (const auto& c : cases) {
    const ToolRun r = zrvctl(c.args);
    EXPECT_EQ(r.status, c.status) << c.args.join(' ').toStdString() << ": "
                                  << r.errors.toStdString();
    EXPECT_TRUE(r.errors.startsWith(c.error)) << r.errors.toStdString();
    EXPECT_EQ(r.lines.size(), c.lines) << c.args.join(' ').toStdString();
  }
}

TEST_F(ZrvctlTest, SilentDeviceEndsWithNoAnswer) {
  // A pseudo-terminal nobody serves: the handshake's status query goes unanswered.
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const QString device = QString::fromLocal8Bit(ptsname(master));
  const ToolRun r = zrvctl({"--port", device, "a2d", "0"});
  ::close(master);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.errors, QStringLiteral("zrvctl: no board answers on COM1 (%1): no reply from the "
                                     "board within 200 ms\n")
                          .arg(device));
  EXPECT_TRUE(r.lines.isEmpty());
}

TEST_F(ZrvctlTest, HelpListsEveryMemberWithItsHelpText) {
  const ToolRun r = zrvctl({"--help"});
  EXPECT_EQ(r.status, 0);
  const QString text = r.lines.join('\n');
  for (const auto& m : zrv::dispatch::members()) {
    EXPECT_TRUE(text.contains(QStringLiteral("  %1  (").arg(zrv::dispatch::signature(m))))
        << m.name;
    EXPECT_TRUE(text.contains(QString::fromLatin1(m.help).trimmed())) << m.name;
    EXPECT_TRUE(text.contains(zrv::dispatch::dispidText(m.dispid))) << m.name;
  }
  EXPECT_TRUE(text.contains("Exit status:"));
}

TEST_F(ZrvctlTest, ListPortsShowsTheMapAndTheDefaultRule) {
  ASSERT_TRUE(zrv::portmap::setMapping(3, "/dev/ttyUSB0"));
  ASSERT_TRUE(zrv::portmap::setMapping(12, "sim"));
  const ToolRun r = zrvctl({"--list-ports"});
  EXPECT_EQ(r.status, 0);
  ASSERT_GE(r.lines.size(), 5) << r.lines.join('\n').toStdString();
  EXPECT_EQ(r.lines[0], QStringLiteral("Port map (%1):").arg(zrv::portmap::configFile()));
  EXPECT_TRUE(r.lines[1].startsWith("  COM3   /dev/ttyUSB0")) << r.lines[1].toStdString();
  EXPECT_TRUE(r.lines[1].endsWith("(port map file)"));
  EXPECT_TRUE(r.lines[2].startsWith("  COM12  sim")) << r.lines[2].toStdString();
  EXPECT_EQ(r.lines[3], "  any other COM<n>: /dev/ttyS<n-1> (COM1: /dev/ttyS0)");
  EXPECT_EQ(r.lines[4], "Serial devices present:");
}

TEST_F(ZrvctlTest, MapAndUnmapWriteThePerUserPortMapCreatingItsFolder) {
  // A fresh account: not even the configuration folder exists yet.
  qputenv("XDG_CONFIG_HOME", m_config.filePath("home/.config").toLocal8Bit());
  const QString file = zrv::portmap::configFile();
  const struct {
    QStringList args;
    int status;
    QStringList lines;  // the first lines of stdout
    const char* map;    // the file afterwards; nullptr: no file
  } steps[] = {
      {{"--unmap", "3"}, 0, {"COM3: no entry in " + file + " (it means /dev/ttyS2)"}, nullptr},
      {{"--map", "3=/tmp/zrv-sim"},
       0,
       {"COM3: /tmp/zrv-sim, in " + file},
       "[Ports]\nCOM3=/tmp/zrv-sim\n"},
      {{"--map=12=sim", "--map", "3=/dev/ttyUSB0"},
       0,
       {"COM12: sim, in " + file, "COM3: /dev/ttyUSB0, in " + file},
       "[Ports]\nCOM3=/dev/ttyUSB0\nCOM12=sim\n"},
      {{"--map", "0=sim"}, 2, {}, "[Ports]\nCOM3=/dev/ttyUSB0\nCOM12=sim\n"},
      {{"--map", "4=", "--unmap", "3"}, 2, {}, "[Ports]\nCOM3=/dev/ttyUSB0\nCOM12=sim\n"},
      {{"--unmap", "3", "--list-ports"},
       0,
       {"COM3: no entry in " + file + " (it means /dev/ttyS2)", "Port map (" + file + "):"},
       "[Ports]\nCOM12=sim\n"},
  };
  for (const auto& s : steps) {
    const ToolRun r = zrvctl(s.args);
    const std::string what = s.args.join(' ').toStdString();
    EXPECT_EQ(r.status, s.status) << what << ": " << r.errors.toStdString();
    EXPECT_EQ(r.lines.mid(0, s.lines.size()), s.lines) << what;
    EXPECT_EQ(mapBytes(), s.map ? std::optional<QByteArray>(s.map) : std::nullopt) << what;
  }
  EXPECT_EQ(zrv::portmap::resolve(12), "sim");
}

TEST_F(ZrvctlTest, PortMapThatCannotBeUsedIsReportedNeverBlocksAndIsLeftAlone) {
  const QString file = zrv::portmap::configFile();
  const struct {
    const char* name;
    std::function<void()> make;
    const char* problem;  // after "the port map <file>"
  } cases[] = {
      {"binary garbage",
       [&] {
         QFile f(file);
         ASSERT_TRUE(f.open(QIODevice::WriteOnly));
         f.write(
             QByteArray("\x7F"
                        "ELF\x02\x01\x01\0\0",
                        9));
       },
       ", line 1: holds binary data, not text"},
      {"a folder", [&] { ASSERT_TRUE(QDir().mkpath(file)); }, " is a folder, not a file"},
      {"a FIFO", [&] { ASSERT_EQ(::mkfifo(QFile::encodeName(file).constData(), 0600), 0); },
       " is not a regular file (a FIFO, socket or device), so it is not read"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QDir(QFileInfo(file).absolutePath()).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(QFileInfo(file).absolutePath()));
    c.make();
    const std::optional<QByteArray> before = mapBytes();
    const QString problem = QStringLiteral("the port map %1%2").arg(file, c.problem);

    ToolRun r = zrvctl({"--list-ports"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.errors, "zrvctl: " + problem + "\n");
    EXPECT_TRUE(r.lines.contains(
        "  (the file cannot be used: opening a COM number fails until it is fixed)"))
        << r.lines.join('\n').toStdString();

    r = zrvctl({"--port", "3", "ok"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.errors, "zrvctl: cannot open the link: error 8002: Invalid port number: COM3: " +
                            problem + "\n");

    r = zrvctl({"--map", "3=sim"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.errors,
              "zrvctl: cannot change COM3 in the port map: " + problem + "; it is left as it is\n");
    EXPECT_EQ(mapBytes(), before);
    EXPECT_TRUE(QFileInfo::exists(file));
  }
}

TEST_F(ZrvctlTest, TheReadmeRecipeReachesZrvsimOnAFreshAccount) {
  qputenv("XDG_CONFIG_HOME", m_config.filePath("fresh/.config").toLocal8Bit());
  const QString link = m_config.filePath("zrv-sim");
  ASSERT_TRUE(startSim({"--pace", "--link", link}).startsWith("/dev/"));
  ToolRun r = zrvctl({"--map", "3=" + link});
  ASSERT_EQ(r.status, 0) << r.errors.toStdString();
  r = zrvctl({"--port", "3", "ok", "a2dconf(true,false,0)", "a2d(4)"});
  EXPECT_EQ(r.status, 0) << r.errors.toStdString();
  EXPECT_EQ(r.lines, (QStringList{"True", "768"}));
}

}  // namespace
