// Runs through a faulty serial line: the engine on the real board control, reading zrvsim
// through a relay that breaks the line. zrvsim runs on the system's monotonic clock, so every
// recorded value is checked against what the simulated board's signal carried while the
// sample was read: a run must record no value the board did not send for that channel at
// that time, ride out every fault of the table, and count the ticks it could not record.
#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "app/acquisition/engine.h"
#include "app/acquisition/zrviolink.h"
#include "app/graph/graphmodel.h"
#include "app/timer/manualtimer.h"
#include "board/portmap.h"
#include "board/protocol.h"
#include "board/simboard.h"
#include "tests/fakes/ptyrelay.h"
#include "tests/support/zrvsim.h"

namespace zrvlog {
namespace {

using namespace std::chrono_literals;
using zrv::fake::Direction;
using zrv::fake::Fault;

constexpr int16_t kPort = 7;
constexpr int kTicks = 12;
constexpr int kChannels = 5;
constexpr auto kReplyLimit = 300ms;

// Towards the program: the handshake's status answer, then each tick's channels, 2 bytes
// per conversion.
qint64 replyByte(int tick, int channel, int byte = 0, int average = 1) {
  return 1 + 2 * average * (kChannels * tick + channel) + byte;
}
// Towards the board: sync, status, pins and directions (2 bytes each), resetall and
// a2dconf; then each channel's conversion, after its repeat (4 bytes) when averaging.
qint64 commandByte(int tick, int channel, int average = 1) {
  const int perChannel = average > 1 ? 5 : 1;
  return 9 + perChannel * (kChannels * tick + channel) + (average > 1 ? 4 : 0);
}

// Whether the board's signal on a channel carried `value` (the average of `average`
// conversions made together) at some moment between from and to.
bool boardSent(int channel, double value, int average, std::chrono::steady_clock::time_point from,
               std::chrono::steady_clock::time_point to) {
  if (channel == 3) {
    // The noisy level: its noise depends on every conversion made so far, so only its
    // range can be checked.
    return value >= 276 && value <= 324;
  }
  (void)average;  // the conversions of one repeat are made at the same moment
  uint32_t noise = 0;
  for (auto t = from; t <= to + 1ms; t += 500us) {
    const double seconds = std::chrono::duration<double>(t.time_since_epoch()).count();
    if (zrv::SimBoard::signalValue(channel, seconds, noise) == value) return true;
  }
  return false;
}

class RunLineFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_config.isValid());
    qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit());
    zrv::portmap::clearProcessOverrides();
    link.setCommPort(kPort);
    link.zrvio().setReplyTimeout(kReplyLimit);
    // Generous on a loaded machine: a byte that follows a reply must show within it.
    link.zrvio().setQuietTime(10ms);
    engine.applyStartUpDefaults();
    engine.quickset(Quickset::RawCounts);  // values are the counts the board sent
    QObject::connect(&engine, &AcquisitionEngine::runEnded, [this](RunEnd why, const QString& m) {
      if (why == RunEnd::Failed) failures << m;
    });
    QObject::connect(&engine, &AcquisitionEngine::sampleRecorded,
                     [this](const SampleReport& r) { reports.push_back(r); });
  }
  void TearDown() override {
    if (engine.running()) engine.stopRun();
    stopLine();
    zrv::portmap::clearProcessOverrides();
  }

  void startLine() {
    stopLine();
    const QString device = zrvtest::startZrvsim(m_sim, {QStringLiteral("--boot-clock")});
    ASSERT_FALSE(device.isEmpty());
    m_relay = std::make_unique<zrv::fake::PtyRelay>();
    QString error;
    ASSERT_TRUE(m_relay->start(device, &error, m_config.filePath(QStringLiteral("ttyUSB0"))))
        << error.toStdString();
    zrv::portmap::overrideForProcess(kPort, m_relay->devicePath());
  }
  void stopLine() {
    m_relay.reset();
    zrvtest::stopZrvsim(m_sim);
  }

  QTemporaryDir m_config;
  QProcess m_sim;
  std::unique_ptr<zrv::fake::PtyRelay> m_relay;
  GraphModel graph;
  ZrvioLink link;
  ManualTimer timer;
  AcquisitionEngine engine{graph, link, timer};
  QStringList failures;
  std::vector<SampleReport> reports;
};

TEST_F(RunLineFaultTest, EveryFaultCostsTicksButNoRecordedValueIsOneTheBoardDidNotSend) {
  const struct {
    const char* name;
    int average;
    std::vector<Fault> faults;
    int maxMissed;
    std::chrono::milliseconds tickGap = 0ms;  // real time between ticks
  } cases[] = {
      {"a clean line", 1, {}, 0},
      {"a stray byte before a reply",
       1,
       {Fault::inject(Direction::ToHost, replyByte(3, 2), "\x02")},
       1},
      {"a stray byte between the two bytes of a reply",
       1,
       {Fault::inject(Direction::ToHost, replyByte(3, 2, 1), "\x01")},
       1},
      {"a stray byte right after a reply",
       1,
       {Fault::appendLater(Direction::ToHost, replyByte(3, 3), QByteArray(1, '\0'), 2ms)},
       1},
      {"a stray byte after a tick's last reply",
       1,
       {Fault::append(Direction::ToHost, replyByte(4, 0), QByteArray(1, '\0'))},
       1},
      {"a reply later than the read waits",
       1,
       {Fault::delay(Direction::ToHost, replyByte(3, 2), kReplyLimit + 100ms)},
       2},
      // Later than the drain after the timeout: counted, so never taken for the next reply.
      {"a reply later than the drain, before the retry's reply",
       1,
       {Fault::delay(Direction::ToHost, replyByte(3, 2), kReplyLimit + 60ms)},
       1},
      {"a reply later than the retry's limit too",
       1,
       {Fault::delay(Direction::ToHost, replyByte(3, 2), 2 * kReplyLimit + 100ms)},
       2},
      {"a stray byte inside an average of 4",
       4,
       {Fault::inject(Direction::ToHost, replyByte(3, 2, 4, 4), QByteArray(1, '\0'))},
       1},
      {"a board that resets: silent for 1 s, then in its power-on state",
       1,
       {Fault::inject(Direction::ToBoard, commandByte(3, 0), "\x5C"),
        Fault::mute(Direction::ToHost, replyByte(3, 0), 1000ms)},
       4},
      {"the adapter unplugged for 1.5 s",
       1,
       {Fault::unplugFor(Direction::ToHost, replyByte(4, 0), 1500ms)},
       10,
       250ms},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    ASSERT_NO_FATAL_FAILURE(startLine());
    for (const Fault& f : tc.faults)
      m_relay->addFault(f);
    engine.settings.AvgCt = static_cast<int16_t>(tc.average);
    failures.clear();
    reports.clear();
    engine.startRun();
    for (int i = 0; i < kTicks && engine.running(); ++i) {
      timer.fire();
      std::this_thread::sleep_for(tc.tickGap);
    }
    EXPECT_TRUE(engine.running());
    EXPECT_TRUE(failures.isEmpty()) << failures.join(u';').toStdString();
    const auto samples = int64_t(engine.document().sampleCount());
    EXPECT_EQ(samples + engine.missedTicks(), kTicks);
    EXPECT_LE(engine.missedTicks(), tc.maxMissed);
    EXPECT_EQ(m_relay->pendingFaults(), 0) << "the fault never came";
    const bool unplugged = !tc.faults.empty() && tc.faults[0].kind == Fault::Kind::Unplug;
    EXPECT_EQ(m_relay->replugs(), unplugged ? 1 : 0);
    ASSERT_EQ(int64_t(reports.size()), samples);
    int falseValues = 0;
    for (const SampleReport& r : reports) {
      // The time stamp is when the reads were made, not when a failed read began.
      EXPECT_LT(r.reading, kReplyLimit) << "sample at " << r.sampleTime;
      for (int c = 0; c < kChannels; ++c) {
        if (boardSent(c, r.values[c], tc.average, r.started, r.started + r.reading)) continue;
        ++falseValues;
        ADD_FAILURE() << "sample at " << r.sampleTime << ", channel " << c << ": " << r.values[c];
      }
    }
    EXPECT_EQ(falseValues, 0);
    engine.stopRun();
  }
}

TEST_F(RunLineFaultTest, WithoutAGraceAnUnpluggedAdapterEndsTheRunNamingThePort) {
  ASSERT_NO_FATAL_FAILURE(startLine());
  engine.setReconnectGrace(0s);
  m_relay->addFault(Fault::unplug(Direction::ToHost, replyByte(4, 0)));
  engine.startRun();
  for (int i = 0; i < kTicks && engine.running(); ++i)
    timer.fire();
  EXPECT_FALSE(engine.running());
  ASSERT_EQ(failures.size(), 1);
  EXPECT_TRUE(failures[0].contains(QStringLiteral("COM7"))) << failures[0].toStdString();
  // The samples before it stay; the last before the cut may be lost with the line.
  EXPECT_GE(engine.document().sampleCount(), 3u);
  EXPECT_LE(engine.document().sampleCount(), 4u);
}

}  // namespace
}  // namespace zrvlog
