// The real serial path on a faulty line: zrvsim serves the simulated board on a
// pseudo-terminal, a relay between it and ZRVIO drops, injects, delays and splits bytes, and
// the library must never return a garbage value and be in step again by the next command. A
// step is a conversion with its repeat: its results count only when none of its reads failed,
// as a caller summing them uses them.
#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>
#include <iterator>
#include <set>
#include <vector>

#include "board/portmap.h"
#include "board/protocol.h"
#include "board/simboard.h"
#include "board/zrvio.h"
#include "common/automationerror.h"
#include "tests/fakes/ptyrelay.h"
#include "tests/support/errorof.h"
#include "tests/support/zrvsim.h"

namespace zrv {
namespace {

using namespace std::chrono_literals;
using fake::Direction;
using fake::Fault;

constexpr int16_t kPort = 7;
// Generous for a pseudo-terminal round trip on a loaded machine, short enough for the
// cases that wait for it.
constexpr auto kReplyLimit = 300ms;
// Bytes before the first step: towards the board the handshake (sync, status, pins,
// directions), resetall and a2dconf; towards the host the status answer.
constexpr qint64 kSetupToBoard = 6 + 1 + 2;
constexpr qint64 kSetupToHost = 1;

/// One step of the script: a conversion of a channel, carried out n times.
struct Step {
  int channel;
  int n;
};
// Channels 4 (a constant 768, bytes 03 00) and 5-7 (0, bytes 00 00): every result is known,
// and a byte shifted by one shows.
constexpr Step kScript[] = {{4, 1}, {5, 1}, {4, 4}, {5, 1}, {4, 1}, {6, 3},
                            {4, 1}, {5, 1}, {4, 2}, {4, 1}, {5, 1}, {4, 1}};
constexpr int kSteps = static_cast<int>(std::size(kScript));

int32_t expectedValue(int channel) {
  return channel == 4 ? SimBoard::kConstantLevel : 0;
}

/// Where step s's reply starts towards the host.
qint64 replyStart(int step) {
  qint64 at = kSetupToHost;
  for (int i = 0; i < step; ++i)
    at += 2 * kScript[i].n;
  return at;
}
qint64 replyEnd(int step) {
  return replyStart(step) + 2 * kScript[step].n;
}
/// Where step s's a2d command byte goes towards the board (after its repeat, if any).
qint64 commandAt(int step) {
  qint64 at = kSetupToBoard;
  for (int i = 0; i <= step; ++i)
    at += (kScript[i].n > 1 ? 4 : 0) + (i < step ? 1 : 0);
  return at;
}

/// What one step gave: the value and the failure of each read.
struct Outcome {
  QList<int32_t> values;
  QList<ReadFailure> failures;
};

class LineFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_config.isValid());
    qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit());
    portmap::clearProcessOverrides();
  }
  void TearDown() override {
    stopLine();
    portmap::clearProcessOverrides();
  }

  /// A fresh zrvsim behind a fresh relay, the relay's device mapped to COM7.
  void startLine() {
    stopLine();
    const QString device = zrvtest::startZrvsim(m_sim);
    ASSERT_FALSE(device.isEmpty());
    m_relay = std::make_unique<fake::PtyRelay>();
    QString error;
    ASSERT_TRUE(m_relay->start(device, &error)) << error.toStdString();
    portmap::overrideForProcess(kPort, m_relay->devicePath());
  }
  void stopLine() {
    m_relay.reset();
    zrvtest::stopZrvsim(m_sim);
  }

  /// Opens the link as the program starts a run.
  void open(ZRVIO& io) {
    io.setCommPort(kPort);
    io.setReplyTimeout(kReplyLimit);
    // Generous on a loaded machine: a byte that follows a reply must show within it.
    io.setQuietTime(10ms);
    io.setPortopen(true);
    ASSERT_FALSE(io.errflag()) << io.lastReadError().toStdString();
    io.resetall();
    io.a2dconf(true, false, 0);
  }

  /// Reads a step as the sampling tick reads a channel, but always to its last result.
  static Outcome runStep(ZRVIO& io, const Step& step) {
    Outcome o;
    if (step.n > 1) io.repeat(step.n);
    o.values.append(io.a2d(step.channel));
    o.failures.append(io.lastReadFailure());
    for (int k = 1; k < step.n; ++k) {
      o.values.append(io.readword());
      o.failures.append(io.lastReadFailure());
    }
    return o;
  }

  QTemporaryDir m_config;
  QProcess m_sim;
  std::unique_ptr<fake::PtyRelay> m_relay;
};

TEST_F(LineFaultTest, NoFaultOnTheLineGivesAGarbageValueAndTheNextCommandIsInStep) {
  const QByteArray zero(1, '\0');
  const struct {
    const char* name;
    std::vector<Fault> faults;
    std::set<int> failing;         // steps with a failed read; every other step reads all it should
    ReadFailure failure;           // what their failed reads report
    bool settle = false;           // after a failed step, held-back bytes arrive before the next
    std::set<int> outOfStep = {};  // failing steps that find the line lost bytes it owed
  } cases[] = {
      {"one byte appended to a reply",
       {Fault::append(Direction::ToHost, replyEnd(1), "\xA7")},
       {1},
       ReadFailure::InvalidReply},
      {"one byte appended to a repeated conversion",
       {Fault::append(Direction::ToHost, replyEnd(2), "\xA7")},
       {2},
       ReadFailure::InvalidReply},
      {"one byte just after a reply, before the next command could go",
       {Fault::appendLater(Direction::ToHost, replyEnd(3), zero, 2ms)},
       {3},
       ReadFailure::InvalidReply},
      {"one byte appended to the status answer",
       {Fault::append(Direction::ToHost, kSetupToHost, "\x03")},
       {},
       ReadFailure::None},
      {"one byte ahead of a reply",
       {Fault::inject(Direction::ToHost, replyStart(3), "\xA7")},
       {3},
       ReadFailure::InvalidReply},
      {"one byte between the two bytes of a reply, forming a possible result",
       {Fault::inject(Direction::ToHost, replyStart(1) + 1, zero)},
       {1},
       ReadFailure::InvalidReply},
      {"one byte ahead of a repeated conversion",
       {Fault::inject(Direction::ToHost, replyStart(5), "\xA7")},
       {5},
       ReadFailure::InvalidReply},
      {"one byte at a result's start inside a repeated conversion",
       {Fault::inject(Direction::ToHost, replyStart(2) + 4, "\xA7")},
       {2},
       ReadFailure::InvalidReply},
      {"one byte inside a repeated conversion, forming possible results",
       {Fault::inject(Direction::ToHost, replyStart(2) + 4, zero)},
       {2},
       ReadFailure::InvalidReply},
      // The byte is owed until the status answer shows it will not come.
      {"a reply byte lost",
       {Fault::drop(Direction::ToHost, replyStart(4) + 1)},
       {4, 5},
       ReadFailure::NoReply,
       false,
       {5}},
      {"a command byte lost",
       {Fault::drop(Direction::ToBoard, commandAt(4))},
       {4, 5},
       ReadFailure::NoReply,
       false,
       {5}},
      {"replies split over writes",
       {Fault::split(Direction::ToHost, replyStart(2) + 3, 30ms),
        Fault::split(Direction::ToHost, replyStart(4) + 1, 30ms)},
       {},
       ReadFailure::None},
      {"a slow reply within the limit",
       {Fault::delay(Direction::ToHost, replyStart(4), 100ms)},
       {},
       ReadFailure::None},
      {"a reply later than the limit",
       {Fault::delay(Direction::ToHost, replyStart(4), 2 * kReplyLimit)},
       {4},
       ReadFailure::NoReply,
       true},
      // Nothing waits for it: it comes after the next command has gone, and after the drain.
      {"a reply later than the limit and the drain after it",
       {Fault::delay(Direction::ToHost, replyStart(4), 3 * kReplyLimit)},
       {4, 5},
       ReadFailure::NoReply},
      {"a reply later than the drain, before the next reply",
       {Fault::delay(Direction::ToHost, replyStart(4), kReplyLimit + 60ms)},
       {4},
       ReadFailure::NoReply},
      {"the board going silent",
       {Fault::silence(Direction::ToHost, replyStart(kSteps - 2))},
       {kSteps - 2, kSteps - 1},
       ReadFailure::NoReply},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(startLine());
    for (const Fault& f : c.faults)
      m_relay->addFault(f);
    ZRVIO io;
    ASSERT_NO_FATAL_FAILURE(open(io));
    for (int s = 0; s < kSteps; ++s) {
      const Outcome o = runStep(io, kScript[s]);
      const bool failed = o.failures.count(ReadFailure::None) != o.failures.size();
      EXPECT_EQ(failed, c.failing.count(s) == 1) << "step " << s;
      for (qsizetype k = 0; k < o.values.size(); ++k) {
        // A step either gives what zrvsim sent or fails; never a value it did not send.
        if (!failed) {
          EXPECT_EQ(o.values[k], expectedValue(kScript[s].channel))
              << "step " << s << " read " << k;
        } else if (o.failures[k] != ReadFailure::None) {
          const ReadFailure expected =
              c.outOfStep.count(s) == 1 ? ReadFailure::InvalidReply : c.failure;
          EXPECT_EQ(o.failures[k], expected) << "step " << s << " read " << k;
        }
      }
      if (failed && c.settle) {
        EXPECT_TRUE(m_relay->waitUntilSettled(Direction::ToHost, replyEnd(s), 5s));
      }
    }
    EXPECT_EQ(m_relay->pendingFaults(), 0);
  }
}

TEST_F(LineFaultTest, OneByteTooManyNoLongerSpoilsTheSamplesThatFollow) {
  // As the program records, two conversions averaged per channel; channel 3 is a noisy
  // level whose values a model of the same board gives exactly. One byte appended to the
  // first reply used to shift every later reply: 27 of the next 41 samples were garbage.
  ASSERT_NO_FATAL_FAILURE(startLine());
  SimBoard model;
  model.receive(
      protocol::command(protocol::cmd::kReset) +
          protocol::command(protocol::cmd::kA2dConfig,
                            QByteArray(1, static_cast<char>(protocol::makebyte(
                                              protocol::a2dConfigValue(true, false, 0))))),
      0);
  ZRVIO io;
  ASSERT_NO_FATAL_FAILURE(open(io));
  m_relay->addFault(Fault::append(Direction::ToHost, kSetupToHost + 4, "\xA7"));
  const QByteArray repeat = protocol::sendarg(1) + protocol::command(protocol::cmd::kRepeat);
  int garbage = 0;
  int failed = 0;
  for (int sample = 0; sample < 42; ++sample) {
    for (int channel : {3, 4}) {
      model.receive(repeat, 0);
      const QByteArray sent = model.receive(protocol::forPin(protocol::cmd::kA2d, channel), 0);
      ASSERT_EQ(sent.size(), 4);
      io.repeat(2);
      for (int k = 0; k < 2; ++k) {
        const int32_t value = k == 0 ? io.a2d(channel) : io.readword();
        const int32_t expected = protocol::word(static_cast<uint8_t>(sent[2 * k]),
                                                static_cast<uint8_t>(sent[2 * k + 1]));
        if (io.errflag())
          ++failed;
        else if (value != expected)
          ++garbage;
      }
    }
  }
  // The read the byte followed fails; none after it.
  EXPECT_EQ(garbage, 0);
  EXPECT_EQ(failed, 1);
}

TEST_F(LineFaultTest, UnpluggedAdapterFailsTheReadAtOnceAndTheNextCommandWithTheDeviceError) {
  ASSERT_NO_FATAL_FAILURE(startLine());
  ZRVIO io;
  ASSERT_NO_FATAL_FAILURE(open(io));
  io.setReplyTimeout(10s);
  // Unplugged once step 1's command has gone to the board, before its reply comes back.
  m_relay->addFault(Fault::unplug(Direction::ToBoard, commandAt(1) + 1));
  EXPECT_EQ(io.a2d(4), 768);
  const auto start = Clock::now();
  EXPECT_EQ(io.a2d(5), 0);
  EXPECT_LT(Clock::now() - start, 5s);
  EXPECT_TRUE(io.errflag());
  EXPECT_EQ(io.lastReadFailure(), ReadFailure::PortError);
  EXPECT_EQ(io.lastReadError(), "the device was removed");
  EXPECT_TRUE(m_relay->unplugged());
  EXPECT_EQ(errorOf([&] { io.a2d(4); }), err::kPortWriteFailed);
}

}  // namespace
}  // namespace zrv
