// End to end over a real pseudo-terminal: zrvsim serves the simulated board, ZRVIO reaches
// it through the port map and QSerialPort like any serial device.
#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>

#include "board/portmap.h"
#include "board/zrvio.h"
#include "common/automationerror.h"

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
  void TearDown() override {
    if (m_sim.state() != QProcess::NotRunning) {
      m_sim.kill();
      m_sim.waitForFinished(5000);
    }
  }

  /// Starts zrvsim and maps COM7 to its device in the port map file.
  void startSim(const QStringList& args = {}) {
    const QString bin = qEnvironmentVariable("ZRV_BIN_DIR");
    ASSERT_FALSE(bin.isEmpty()) << "ZRV_BIN_DIR is not set";
    m_sim.setProgram(bin + "/zrvsim");
    m_sim.setArguments(args);
    m_sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_sim.start();
    ASSERT_TRUE(m_sim.waitForStarted(5000)) << m_sim.errorString().toStdString();
    while (!m_sim.canReadLine())
      ASSERT_TRUE(m_sim.waitForReadyRead(5000)) << "no device path";
    m_device = QString::fromLocal8Bit(m_sim.readLine()).trimmed();
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

}  // namespace
}  // namespace zrv
