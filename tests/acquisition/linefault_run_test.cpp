// Runs through a faulty serial line: the engine on the real board control, reading zrvsim
// through a relay that breaks the line. A run must never record a value built from a reply
// the line spoiled, must ride out a single fault, and must end, saying why, when the
// adapter is unplugged.
#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>
#include <functional>
#include <memory>

#include "app/acquisition/engine.h"
#include "app/acquisition/zrviolink.h"
#include "app/graph/graphmodel.h"
#include "app/timer/manualtimer.h"
#include "board/portmap.h"
#include "board/simboard.h"
#include "tests/fakes/ptyrelay.h"
#include "tests/support/zrvsim.h"

namespace zrvlog {
namespace {

using zrv::fake::Direction;
using zrv::fake::Fault;

constexpr int16_t kPort = 7;
constexpr int kTicks = 12;
// Towards the program: the handshake's status answer, then two bytes per channel and tick.
qint64 replyByte(int tick, int channel, int byte = 0) {
  return 1 + 2 * (5 * tick + channel) + byte;
}

class RunLineFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_config.isValid());
    qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit());
    zrv::portmap::clearProcessOverrides();
    const QString device = zrvtest::startZrvsim(m_sim);
    ASSERT_FALSE(device.isEmpty());
    QString error;
    ASSERT_TRUE(m_relay.start(device, &error)) << error.toStdString();
    zrv::portmap::overrideForProcess(kPort, m_relay.devicePath());
    link.setCommPort(kPort);
    engine.applyStartUpDefaults();
    engine.quickset(Quickset::RawCounts);  // values are the counts the board sent
    QObject::connect(&engine, &AcquisitionEngine::runEnded, [this](RunEnd why, const QString& m) {
      if (why == RunEnd::Failed) failures << m;
    });
  }
  void TearDown() override {
    if (engine.running()) engine.stopRun();
    m_relay.stop();
    zrvtest::stopZrvsim(m_sim);
    zrv::portmap::clearProcessOverrides();
  }

  QTemporaryDir m_config;
  QProcess m_sim;
  zrv::fake::PtyRelay m_relay;
  GraphModel graph;
  ZrvioLink link;
  ManualTimer timer;
  AcquisitionEngine engine{graph, link, timer};
  QStringList failures;
};

TEST_F(RunLineFaultTest, ASingleFaultOnTheLineCostsAtMostOneSampleAndSpoilsNone) {
  struct Case {
    const char* name;
    Fault fault;
  } cases[] = {
      {"one byte too many after a reply",
       Fault::append(Direction::ToHost, replyByte(3, 2), "\xA7")},
      {"noise ahead of a reply", Fault::inject(Direction::ToHost, replyByte(3, 2), "\x02")},
      {"a byte of a reply lost", Fault::drop(Direction::ToHost, replyByte(3, 2, 1))},
      {"a reply late",
       Fault::delay(Direction::ToHost, replyByte(3, 2), std::chrono::milliseconds(300))},
      {"a reply split", Fault::split(Direction::ToHost, replyByte(3, 2, 1))},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    m_relay.addFault(tc.fault);
    engine.startRun();
    for (int i = 0; i < kTicks; ++i)
      timer.fire();
    EXPECT_TRUE(engine.running());
    EXPECT_TRUE(failures.isEmpty()) << failures.join(u';').toStdString();
    const auto samples = int64_t(engine.data.sampleCount());
    EXPECT_GE(samples, kTicks - 1);
    EXPECT_EQ(samples + engine.missedTicks(), kTicks);
    for (int64_t i = 0; i < samples; ++i) {
      for (int c = 0; c < 4; ++c) {
        EXPECT_GE(graph.pointY(i, c), 0) << "sample " << i << ", channel " << c;
        EXPECT_LE(graph.pointY(i, c), 1023) << "sample " << i << ", channel " << c;
      }
      // Channel 5 carries a constant level: a reply out of step would show at once.
      EXPECT_EQ(graph.pointY(i, 4), zrv::SimBoard::kConstantLevel) << "sample " << i;
    }
    engine.stopRun();
  }
}

TEST_F(RunLineFaultTest, AnUnpluggedAdapterEndsTheRunNamingThePort) {
  m_relay.addFault(Fault::unplug(Direction::ToHost, replyByte(4, 0)));
  engine.startRun();
  for (int i = 0; i < kTicks && engine.running(); ++i)
    timer.fire();
  EXPECT_FALSE(engine.running());
  ASSERT_EQ(failures.size(), 1);
  EXPECT_TRUE(failures[0].contains(QStringLiteral("COM7"))) << failures[0].toStdString();
  // The samples before it stay; the last before the cut may be lost with the line.
  EXPECT_GE(engine.data.sampleCount(), 3u);
  EXPECT_LE(engine.data.sampleCount(), 4u);
}

}  // namespace
}  // namespace zrvlog
