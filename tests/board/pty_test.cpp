// End to end over a real pseudo-terminal: zrvsim serves the simulated board, ZRVIO reaches
// it through the port map and QSerialPort like any serial device.
#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <cerrno>

#include "board/portmap.h"
#include "board/zrvio.h"
#include "common/automationerror.h"
#include "tests/support/zrvsim.h"

namespace zrv {
namespace {

using namespace std::chrono_literals;

constexpr int16_t kPort = 7;

class PtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_config.isValid());
    qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit());
    portmap::clearProcessOverrides();
  }
  void TearDown() override { zrvtest::stopZrvsim(m_sim); }

  /// Starts zrvsim and maps COM7 to its device in the port map file.
  void startSim(const QStringList& args = {}) {
    m_device = zrvtest::startZrvsim(m_sim, args);
    ASSERT_TRUE(m_device.startsWith("/dev/")) << m_device.toStdString();
    ASSERT_TRUE(portmap::setMapping(kPort, m_device));
  }

  QTemporaryDir m_config;
  QProcess m_sim;
  QString m_device;
};

TEST_F(PtyTest, ReadsAllChannelsAndRepeatedConversionsThroughZrvsim) {
  startSim();
  ZRVIO io;
  io.setCommPort(kPort);
  for (int session = 0; session < 2; ++session) {  // zrvsim keeps serving after a close
    io.setPortopen(true);
    EXPECT_FALSE(io.errflag()) << io.lastReadError().toStdString();
    EXPECT_EQ(io.portDescription(), QStringLiteral("COM7 (%1)").arg(m_device));
    EXPECT_TRUE(io.ok());
    io.resetall();
    io.a2dconf(true, false, 0);
    for (int channel = 0; channel < 5; ++channel) {
      const int32_t value = io.a2d(channel);
      EXPECT_GE(value, 0) << channel;
      EXPECT_LE(value, 1023) << channel;
    }
    EXPECT_EQ(io.a2d(4), 768);
    io.repeat(5);
    int32_t sum = io.a2d(3);
    for (int i = 0; i < 4; ++i)
      sum += io.readword();
    EXPECT_GE(sum, 5 * (300 - 24));
    EXPECT_LE(sum, 5 * (300 + 24));
    EXPECT_FALSE(io.errflag()) << io.lastReadError().toStdString();
    EXPECT_TRUE(io.ready());
    io.setPortopen(false);
    EXPECT_FALSE(io.portopen());
  }
  m_sim.terminate();
  ASSERT_TRUE(m_sim.waitForFinished(5000));
  EXPECT_EQ(m_sim.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(m_sim.exitCode(), 0);
}

TEST_F(PtyTest, BoardThatGoesAwayFailsReadsAtOnce) {
  startSim();
  ZRVIO io;
  io.setCommPort(kPort);
  io.setReplyTimeout(5s);
  io.setPortopen(true);
  m_sim.kill();
  ASSERT_TRUE(m_sim.waitForFinished(5000));
  const auto start = Clock::now();
  EXPECT_EQ(io.readword(), 0);
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_TRUE(io.errflag());
  EXPECT_EQ(io.lastReadError(), "the device was removed");
  try {
    io.a2d(0);
    ADD_FAILURE() << "the write to a vanished device succeeded";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), err::kPortWriteFailed);
    EXPECT_EQ(e.detail(), QStringLiteral("COM7 (%1): the device was removed").arg(m_device));
  }
  EXPECT_TRUE(io.ready() || !io.portopen());
}

TEST_F(PtyTest, PacedZrvsimNeverAnswersFasterThanTheWire) {
  startSim({"--pace"});
  ZRVIO io;
  io.setCommPort(kPort);
  io.setPortopen(true);
  io.a2dconf(true, false, 0);
  constexpr int kRounds = 50;
  const auto start = Clock::now();
  for (int i = 0; i < kRounds; ++i)
    EXPECT_EQ(io.a2d(4), 768);
  // One command byte in and two reply bytes out, 173.6 us each at 57,600 baud.
  EXPECT_GE(Clock::now() - start, kRounds * 3 * 173us);
  EXPECT_FALSE(io.errflag());
}

TEST_F(PtyTest, PinsPulsesCounterAndEepromThroughZrvsim) {
  startSim();
  ZRVIO io;
  io.setCommPort(kPort);
  io.setPins(0x05);
  io.setTris(0xF0);  // pins 0-3 outputs, 4-7 inputs
  io.setPortopen(true);
  EXPECT_EQ(io.tris(), 0xF0);
  EXPECT_EQ(io.pins() & 0x0F, 0x05);
  io.high(1);
  io.toggle(0);
  io.low(2);
  EXPECT_EQ(io.pins() & 0x0F, 0x02);
  EXPECT_EQ(io.inp(1), 1);
  EXPECT_EQ(io.inp(0), 0);
  io.setLed(true);
  io.setcounter(1, false);
  EXPECT_EQ(io.rctime(3, 1), 400);
  EXPECT_EQ(io.pulsein(4, 1), 5000);
  EXPECT_EQ(io.count(2, 10), 0);                 // an output
  const int32_t transitions = io.count(4, 100);  // pin 4 changes every 5 ms
  EXPECT_GE(transitions, 19);
  EXPECT_LE(transitions, 21);
  io.pulseout(1, 5);
  io.pwm(-1, 128, 100);
  io.pwm(5, 77, 1);
  io.freq(2, 1000, 2);
  io.setEeprom(16, 65);
  EXPECT_EQ(io.eeprom(16), 65);
  EXPECT_EQ(io.eeprom(17), 255);
  EXPECT_GT(io.counter(), 0);
  EXPECT_FALSE(io.errflag()) << io.lastReadError().toStdString();
}

TEST_F(PtyTest, PacedZrvsimAnswersACountOnlyWhenItsDurationIsOver) {
  startSim({"--pace"});
  ZRVIO io;
  io.setCommPort(kPort);
  io.setPortopen(true);
  const auto start = Clock::now();
  const int32_t transitions = io.count(0, 300);  // longer than the 200 ms reply limit
  EXPECT_GE(Clock::now() - start, 300ms);
  EXPECT_FALSE(io.errflag()) << io.lastReadError().toStdString();
  EXPECT_GE(transitions, 299);
  EXPECT_LE(transitions, 301);
  // A tone longer than the reply limit delays the next answer without a timeout.
  io.freq(1, 440, 300);
  EXPECT_TRUE(io.ok());
  EXPECT_FALSE(io.errflag()) << io.lastReadError().toStdString();
}

TEST_F(PtyTest, ZrvsimKeepsTheEepromInAFileAcrossRuns) {
  const QString image = m_config.filePath("eeprom.bin");
  for (int run = 0; run < 2; ++run) {
    startSim({"--eeprom", image});
    ZRVIO io;
    io.setCommPort(kPort);
    io.setPortopen(true);
    if (run == 0) {
      EXPECT_EQ(io.eeprom(16), 255);
      io.setEeprom(16, 65);
      io.setEeprom(255, 0);
    }
    EXPECT_EQ(io.eeprom(16), 65) << run;
    EXPECT_EQ(io.eeprom(255), 0) << run;
    EXPECT_EQ(io.eeprom(0), 255) << run;
    io.setPortopen(false);
    m_sim.terminate();
    ASSERT_TRUE(m_sim.waitForFinished(5000));
    EXPECT_EQ(m_sim.exitCode(), 0);
    QFile file(image);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    ASSERT_EQ(bytes.size(), 256);
    EXPECT_EQ(static_cast<uint8_t>(bytes[16]), 65);
    EXPECT_EQ(static_cast<uint8_t>(bytes[255]), 0);
    EXPECT_EQ(bytes.count('\xFF'), 254);
  }
}

TEST_F(PtyTest, ZrvsimRefusesAFileThatIsNotAnEepromImage) {
  const QString image = m_config.filePath("short.bin");
  QFile file(image);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("0123456789");
  file.close();
  QProcess sim;
  sim.start(qEnvironmentVariable("ZRV_BIN_DIR") + "/zrvsim", {"--eeprom", image});
  ASSERT_TRUE(sim.waitForFinished(5000));
  EXPECT_EQ(sim.exitCode(), 1);
  EXPECT_EQ(QString::fromLocal8Bit(sim.readAllStandardError()).trimmed(),
            QStringLiteral("zrvsim: %1 is not an EEPROM image (10 bytes, not 256)").arg(image));
}

TEST_F(PtyTest, DeviceIsUsedByOneControlAtATime) {
  startSim();
  ZRVIO first, second;
  first.setCommPort(kPort);
  second.setCommPort(kPort);
  first.setPortopen(true);
  try {
    second.setPortopen(true);
    ADD_FAILURE() << "a second control opened the device";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), err::kPortUnavailable) << e.what();
  }
  EXPECT_FALSE(second.portopen());
  EXPECT_TRUE(first.ok());
  // Closing gives the device up for good, also its exclusive mode (zrvsim keeps it open).
  first.setPortopen(false);
  second.setPortopen(true);
  EXPECT_TRUE(second.ok());
}

TEST_F(PtyTest, MissingDeviceIsReportedWithThePortAndDevice) {
  ASSERT_TRUE(portmap::setMapping(kPort, "/dev/zrv-no-such-device"));
  ZRVIO io;
  io.setCommPort(kPort);
  try {
    io.setPortopen(true);
    ADD_FAILURE() << "opened a missing device";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), err::kPortInvalid);
    EXPECT_TRUE(e.detail().startsWith("COM7 (/dev/zrv-no-such-device): ")) << e.what();
  }
  EXPECT_FALSE(io.portopen());
}

TEST_F(PtyTest, DeviceThatIsNoSerialPortIsRefused) {
  const QString path = m_config.filePath("plain-file");
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.close();
  ASSERT_TRUE(portmap::setMapping(kPort, path));
  ZRVIO io;
  io.setCommPort(kPort);
  try {
    io.setPortopen(true);
    ADD_FAILURE() << "opened a plain file";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), err::kPortUnavailable);
    EXPECT_EQ(
        e.detail(),
        QStringLiteral("COM7 (%1): not a serial device (%2)").arg(path, qt_error_string(ENOTTY)));
  }
  EXPECT_FALSE(io.portopen());
}

}  // namespace
}  // namespace zrv
