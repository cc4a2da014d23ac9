#include "app/acquisition/engine.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QLocale>
#include <cmath>
#include <functional>
#include <map>
#include <thread>

#include "app/graph/graphmodel.h"
#include "app/store/samplestore.h"
#include "app/timer/manualtimer.h"
#include "common/automationdate.h"
#include "common/automationerror.h"
#include "tests/fakes/fakeboardcontrol.h"
#include "tests/support/variantprinter.h"

namespace zrvlog {
namespace {

using zrv::Variant;
using M = GraphMember;

class EngineTest : public ::testing::Test {
 protected:
  EngineTest() : engine(graph, board, timer) {
    QObject::connect(&engine, &AcquisitionEngine::sampleRecorded,
                     [this](const SampleReport& r) { reports.push_back(r); });
    QObject::connect(&engine, &AcquisitionEngine::runEnded, [this](RunEnd why, const QString& m) {
      ends.push_back(why);
      if (why == RunEnd::Failed) failures << m;
    });
    engine.applyStartUpDefaults();
  }

  // Starts a run and delivers ticks of the given measured milliseconds.
  void run(int ticks, std::optional<int32_t> ms = std::nullopt) {
    if (!engine.running()) engine.startRun();
    for (int i = 0; i < ticks && engine.running(); ++i)
      timer.fire(ms);
  }
  QStringList keys() const {
    QStringList k;
    for (std::size_t i = 1; i <= engine.document().sampleCount(); ++i)
      k << engine.document().keyText(i - 1);
    return k;
  }
  int64_t points(int element) const { return int64_t(graph.points(element).size()); }

  GraphModel graph;
  zrvtest::FakeBoardControl board;
  ManualTimer timer;
  AcquisitionEngine engine;
  std::vector<SampleReport> reports;
  std::vector<RunEnd> ends;
  QStringList failures;
};

TEST_F(EngineTest, StartUpDefaults) {
  for (int16_t c = 0; c < 5; ++c) {
    EXPECT_EQ(engine.data.GetCoef(1, c), Variant(kVoltsPerCount));
    EXPECT_EQ(engine.data.GetCoef(0, c), Variant(int16_t{0}));
  }
  EXPECT_TRUE(engine.settings.stopsec.isEmpty());
  EXPECT_EQ(engine.settings.Tol, Variant(int16_t{25}));
  EXPECT_EQ(engine.GetTimerInt(), 1000);
  EXPECT_EQ(graph.property(M::ElementTotal), Variant(int16_t{5}));
  EXPECT_EQ(graph.property(M::RangeXMax), Variant(100.0));
  EXPECT_EQ(graph.property(M::RangeYMax), Variant(5.0));
  EXPECT_EQ(graph.property(M::LabelFormatY), Variant("%g V"));
  EXPECT_EQ(graph.property(M::GridCountX), Variant(int16_t{20}));
  EXPECT_TRUE(engine.data.StartTime.isEmptyText());
  EXPECT_EQ(engine.document().sampleCount(), 0u);
  engine.data.ClearCoef();
  EXPECT_EQ(engine.data.GetCoef(1, 3), Variant(int16_t{0}));
  EXPECT_THROW(engine.data.GetCoef(5, 0), zrv::AutomationError);
  EXPECT_THROW(engine.data.SetCoef(0, -1, Variant(1.0)), zrv::AutomationError);
}

TEST_F(EngineTest, StartSequenceOnTheBoard) {
  engine.settings.RefSel = 8;
  engine.startRun();
  EXPECT_EQ(board.calls, QStringList({"open", "resetall", "a2dconf(1,1,8)"}));
  EXPECT_TRUE(engine.running());
  EXPECT_TRUE(timer.enabled());
  EXPECT_TRUE(engine.data.DataChanged);
  engine.stopRun();
  EXPECT_FALSE(engine.running());
  EXPECT_FALSE(timer.enabled());
  EXPECT_TRUE(engine.data.DataChanged) << "stopping keeps the data unsaved";
}

TEST_F(EngineTest, KeysOfA100MsRunAreClean) {
  engine.SetTimerInt(100);
  run(4);
  EXPECT_EQ(keys(), QStringList({"T0", "T0.1", "T0.2", "T0.3"}));
  EXPECT_EQ(graph.points(0).x(3), 0.3);
}

TEST_F(EngineTest, NominalTimeStaysExactOverLongRuns) {
  DataSet data;
  for (int i = 0; i < 1'000'000; ++i)
    data.advanceSampleTime(5);
  EXPECT_EQ(data.sampleKey(), QStringLiteral("T5000"));
  data.advanceSampleTime(1000);  // a new interval continues from where the old one stopped
  EXPECT_EQ(data.sampleKey(), QStringLiteral("T5001"));
}

TEST_F(EngineTest, TwoChannelsReadFivePlotted) {
  engine.settings.ChanLimit = 2;
  run(1);
  EXPECT_EQ(board.count("a2d(0)"), 1);
  EXPECT_EQ(board.count("a2d(1)"), 1);
  EXPECT_EQ(board.count("a2d(2)"), 0);
  for (int c = 0; c < 5; ++c)
    ASSERT_EQ(points(c), 1) << c;
  EXPECT_EQ(graph.pointY(0, 2), 0.0);
  EXPECT_EQ(graph.pointY(0, 0), 100 * kVoltsPerCount);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].values,
            (std::array<double, 5>{100 * kVoltsPerCount, 200 * kVoltsPerCount, 0, 0, 0}));
  EXPECT_EQ(reports[0].jitter, 0);
}

TEST_F(EngineTest, AChannelCountPastTheLimitEndsTheRunNamingTheLimit) {
  for (int16_t channels : {int16_t{6}, int16_t{-1}}) {
    failures.clear();
    board.calls.clear();
    engine.settings.ChanLimit = channels;
    run(1);
    EXPECT_FALSE(engine.running()) << channels;
    ASSERT_EQ(failures.size(), 1) << channels;
    EXPECT_TRUE(
        failures[0].contains(QStringLiteral("%1 channels: 0 to 5 can be read").arg(channels)))
        << failures[0].toStdString();
    EXPECT_EQ(board.count("a2d(0)"), 0) << "checked before any read";
  }
}

TEST_F(EngineTest, RepeatIsSentOnlyWhenAveraging) {
  struct Case {
    int16_t avg;
    int repeats, readwords;
  } cases[] = {{1, 0, 0}, {4, 5, 15}};
  for (const auto& tc : cases) {
    board.calls.clear();
    engine.settings.AvgCt = tc.avg;
    run(1);
    engine.stopRun();
    EXPECT_EQ(board.count(QStringLiteral("repeat(%1)").arg(tc.avg)), tc.repeats) << tc.avg;
    EXPECT_EQ(board.count("readword"), tc.readwords) << tc.avg;
    // The average of equal readings is the reading itself.
    EXPECT_DOUBLE_EQ(graph.pointY(0, 3), 400 * kVoltsPerCount) << tc.avg;
  }
}

TEST_F(EngineTest, FullScaleCountShowsFiveVolts) {
  board.raw[0] = 1023;
  run(1);
  EXPECT_EQ(graph.pointY(0, 0), 4.9999999999999964);
  EXPECT_EQ(reports.at(0).values[0], 4.9999999999999964);
}

TEST_F(EngineTest, ScrollsByPagesWhenTheNextSampleLeavesTheRange) {
  run(100);  // samples at 0 .. 99 s
  EXPECT_EQ(graph.property(M::RangeXMin), Variant(0.0));
  EXPECT_EQ(graph.property(M::RangeXMax), Variant(100.0));
  run(1);  // the sample at 100 s; the next would be at 101
  EXPECT_EQ(graph.property(M::RangeXMin), Variant(99.0));
  EXPECT_EQ(graph.property(M::RangeXMax), Variant(199.0));
  EXPECT_EQ(engine.settings.MINX, Variant(99.0));
  EXPECT_EQ(graph.property(M::RangeYMax), Variant(5.0)) << "the Y range stays";
}

TEST_F(EngineTest, TimingToleranceBoundary) {
  struct Case {
    int32_t ms;
    bool overrun;
  } cases[] = {{1000, false}, {1250, false}, {1251, true}, {750, false}, {749, true}};
  engine.startRun();
  for (const auto& tc : cases) {
    timer.fire(tc.ms);
    EXPECT_EQ(reports.back().overrun, tc.overrun) << tc.ms;
    EXPECT_EQ(reports.back().jitter, tc.ms - 1000) << tc.ms;
  }
  EXPECT_EQ(engine.document().store().jitter(2), Variant(int32_t{251}));
  EXPECT_EQ(engine.document().store().jitter(4), Variant(int32_t{-251}));
}

TEST_F(EngineTest, StopTimeTakesEverySampleUpToIt) {
  struct Case {
    const char* stopsec;
    std::size_t samples;
  } cases[] = {{"0", 1}, {"10", 11}, {"2.5", 3}};
  for (const auto& tc : cases) {
    engine.settings.stopsec = Variant(tc.stopsec);
    run(50);
    EXPECT_FALSE(engine.running()) << tc.stopsec;
    EXPECT_EQ(engine.document().sampleCount(), tc.samples) << tc.stopsec;
  }
  engine.settings.stopsec = Variant("");
  run(30);
  EXPECT_TRUE(engine.running()) << "empty text means no stop time";
}

TEST_F(EngineTest, TypedSettingsAreReadInTheUsersNotation) {
  const QLocale saved;
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  engine.settings.stopsec = Variant("2,5");  // as typed in a comma locale
  engine.settings.MAXX = Variant("1,5");
  run(10);
  QLocale::setDefault(saved);
  EXPECT_EQ(engine.document().sampleCount(), 3u)
      << "samples at 0, 1 and 2 s: the stop time is 2.5, not 2";
  EXPECT_EQ(graph.property(M::RangeXMin), Variant(1.0))
      << "scrolled once the next sample passed 1.5";
}

TEST_F(EngineTest, TheAutorangeSwitchAnnouncesItsChanges) {
  QList<bool> seen;
  QObject::connect(&engine, &AcquisitionEngine::autorangeChanged, [&](bool on) { seen << on; });
  engine.setAutorange(true);
  engine.setAutorange(true);
  engine.setAutorange(false);
  EXPECT_EQ(seen, QList<bool>({true, false}));
}

TEST_F(EngineTest, FirstTickSetsTheStartTime) {
  run(1);
  ASSERT_EQ(engine.data.StartTime.type(), zrv::VarType::Date);
  const Variant start = engine.data.StartTime;
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_TRUE(reports[0].first);
  EXPECT_EQ(reports[0].tickStart, start.dateValue());
  run(2);
  EXPECT_EQ(engine.data.StartTime, start);
  EXPECT_FALSE(reports.at(1).first);
  EXPECT_FALSE(reports.at(2).first);
  EXPECT_EQ(engine.document().store().stamp(0).type(), zrv::VarType::Date);
  // Local wall-clock time, whatever the time zone.
  const double now = zrv::toAutomationDate(QDateTime::currentDateTime());
  EXPECT_NEAR(engine.document().store().stamp(2).dateValue(), now, 5.0 / 86400);
}

TEST_F(EngineTest, FailedStartsLeaveTheLinkClosed) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
  } cases[] = {
      {"port cannot open", [&] { board.failOpen = zrv::AutomationError(8002, "no such device"); }},
      {"board refuses the configuration",
       [&] { board.failA2dconf = zrv::AutomationError(68, "CTS"); }},
  };
  for (const auto& tc : cases) {
    board.failOpen.reset();
    board.failA2dconf.reset();
    tc.arrange();
    EXPECT_THROW(engine.startRun(), zrv::AutomationError) << tc.name;
    EXPECT_FALSE(engine.running()) << tc.name;
    EXPECT_FALSE(timer.enabled()) << tc.name;
  }
}

TEST_F(EngineTest, ATickThatFailsStopsTheRunAndRecordsNothingHalfway) {
  engine.data.SetCoef(2, 3, Variant("not a number"));
  run(1);
  EXPECT_FALSE(engine.running());
  ASSERT_EQ(failures.size(), 1);
  EXPECT_TRUE(failures[0].contains(QStringLiteral("Type mismatch"))) << failures[0].toStdString();
  EXPECT_EQ(engine.document().sampleCount(), 0u);
  for (int c = 0; c < 5; ++c)
    EXPECT_EQ(points(c), 0) << c;
}

TEST_F(EngineTest, AFailedReadIsRetriedOnceAfterTheInputIsDrained) {
  struct Case {
    const char* name;
    int failReads;
    ReadFailure kind;
    std::size_t samples;
    int64_t missed;
  } cases[] = {
      {"one bad reply costs nothing", 1, ReadFailure::InvalidReply, 1, 0},
      {"one missing reply costs nothing", 1, ReadFailure::NoReply, 1, 0},
      {"two in a row cost the tick", 2, ReadFailure::NoReply, 0, 1},
  };
  for (const auto& tc : cases) {
    engine.startRun();
    board.calls.clear();
    board.failReads = tc.failReads;
    board.failureKind = tc.kind;
    timer.fire();
    EXPECT_TRUE(engine.running()) << tc.name;
    EXPECT_EQ(engine.document().sampleCount(), tc.samples) << tc.name;
    EXPECT_EQ(engine.missedTicks(), tc.missed) << tc.name;
    EXPECT_EQ(board.count("discardInput"), 1) << tc.name;
    for (int c = 0; c < 5; ++c)
      EXPECT_EQ(points(c), int64_t(tc.samples)) << tc.name;
    engine.stopRun();
  }
}

TEST_F(EngineTest, AMissedTickRecordsNothingAndTheNextSampleShowsTheGap) {
  run(2);
  board.failReads = 2;  // the read and its retry
  timer.fire();
  EXPECT_EQ(engine.document().sampleCount(), 2u) << "no zeros, no half rows";
  EXPECT_EQ(engine.missedTicks(), 1);
  timer.fire();
  // Keys stay on the interval's grid, so that keys rebuilt from the interval on reload match;
  // the gap shows in the jitter of the sample after it.
  EXPECT_EQ(keys(), QStringList({"T0", "T1", "T2"}));
  EXPECT_EQ(engine.document().store().jitter(2), Variant(int32_t{1000}));
  EXPECT_TRUE(reports.back().overrun);
  EXPECT_EQ(reports.back().missedTicks, 1);
  for (int c = 0; c < 5; ++c)
    EXPECT_EQ(points(c), 3) << c;
}

TEST_F(EngineTest, TheRunEndsWhenTheBoardIsSilentForTwoSecondsOrThePortFails) {
  struct Case {
    const char* name;
    ReadFailure kind;
    int32_t intervalMs;
    int ticksUntilTheEnd;  // failed ticks the run survives, the last one ending it
    const char* says;
  } cases[] = {
      {"silent at 1 s", ReadFailure::NoReply, 1000, 3, "has not answered for 2 s"},
      {"silent at 500 ms", ReadFailure::NoReply, 500, 5, "has not answered for 2 s"},
      {"silent at 10 s: one miss is survived", ReadFailure::NoReply, 10000, 2,
       "has not answered for 10 s"},
      {"unplugged", ReadFailure::PortError, 1000, 1, "the device was removed"},
  };
  for (const auto& tc : cases) {
    failures.clear();
    engine.SetTimerInt(tc.intervalMs);
    engine.setReconnectGrace(std::chrono::seconds(0));  // a port that fails ends the run
    engine.startRun();
    timer.fire();
    board.silent = true;
    board.failureKind = tc.kind;
    for (int i = 1; i < tc.ticksUntilTheEnd; ++i) {
      timer.fire();
      EXPECT_TRUE(engine.running()) << tc.name << " after failed tick " << i;
    }
    timer.fire();
    EXPECT_FALSE(engine.running()) << tc.name;
    ASSERT_EQ(failures.size(), 1) << tc.name;
    EXPECT_TRUE(failures[0].contains(QStringLiteral("COM1 (fake)"))) << failures[0].toStdString();
    EXPECT_TRUE(failures[0].contains(QLatin1String(tc.says))) << failures[0].toStdString();
    EXPECT_EQ(engine.document().sampleCount(), 1u) << tc.name;
    EXPECT_FALSE(board.portopen()) << tc.name;
    board.silent = false;
  }
}

TEST_F(EngineTest, TheStopTimeIsWallTimeAndEveryTickWithoutASampleCountsAsMissed) {
  struct Case {
    const char* name;
    const char* stopsec;
    std::function<void(int tick)> beforeTick;
    int ticks;  // fired (while the run goes on)
    bool ended;
    std::size_t samples;
    int64_t missed;
    // Every read outlasts its 1 ms period, so that its proof waits for the next tick (or the
    // stop); channel 1 reads 1000 + the tick's number. Checked once the run has stopped:
    bool slowReads = false;
    std::vector<int32_t> recorded = {};  // channel 1's counts
    int64_t missedAtStop = 0;
  } cases[] = {
      {"failed ticks bring the stop time closer", "5",
       [&](int tick) { board.failReads = tick % 2 ? 2 : 0; }, 20, true, 3, 3},
      {"ticks the timer dropped while a read was slow", "",
       [&](int tick) {
         board.duringA2d = [&, tick](int32_t pin) {
           if (tick == 1 && pin == 0) timer.fire(), timer.fire();
         };
       },
       3, false, 3, 2},
      {"doubtful replies read again", "", [&](int tick) { board.doubtTicks = tick == 1 ? 1 : 0; },
       3, false, 3, 0},
      {"doubtful again on the retry", "", [&](int tick) { board.doubtTicks = tick == 1 ? 2 : 0; },
       3, false, 2, 1},
      {"held readings go with the next proof, the last ones at the stop",
       "",
       [&](int tick) { board.pendingChecks = tick == 1 ? 1 : 0; },
       3,
       false,
       2,
       0,
       true,
       {1000, 1001, 1002},
       0},
      {"held readings are missed when the next proof doubts them",
       "",
       [&](int tick) {
         board.pendingChecks = tick == 1 ? 1 : 0;
         board.doubtTicks = tick == 2 ? 1 : 0;
       },
       3,
       false,
       0,
       2,
       true,
       {1002},
       2},
      {"held readings are missed when the stop's proof doubts them",
       "",
       [&](int tick) { board.pendingChecks = board.doubtTicks = tick == 2 ? 1 : 0; },
       3,
       false,
       1,
       0,
       true,
       {1000},
       2},
  };
  for (const auto& tc : cases) {
    engine.settings.stopsec = Variant(tc.stopsec);
    engine.SetTimerInt(tc.slowReads ? 1 : 1000);
    board.a2dMilliseconds = tc.slowReads ? 1 : 0;
    reports.clear();
    engine.startRun();
    int fired = 0;
    for (; fired < tc.ticks && engine.running(); ++fired) {
      board.raw[0] = 1000 + fired;
      tc.beforeTick(fired);
      timer.fire();
    }
    board.duringA2d = nullptr;
    EXPECT_EQ(!engine.running(), tc.ended) << tc.name;
    EXPECT_EQ(engine.document().sampleCount(), tc.samples) << tc.name;
    EXPECT_EQ(engine.missedTicks(), tc.missed) << tc.name;
    if (tc.ended) {
      EXPECT_EQ(fired, 6) << tc.name << ": ticks at 0 to 5 s";
    }
    if (engine.running()) engine.stopRun();
    if (!tc.slowReads) continue;
    std::vector<int32_t> recorded;
    for (const SampleReport& r : reports)
      recorded.push_back(int32_t(std::lround(r.values[0] / kVoltsPerCount)));
    EXPECT_EQ(recorded, tc.recorded) << tc.name;
    EXPECT_EQ(engine.document().sampleCount(), tc.recorded.size()) << tc.name;
    EXPECT_EQ(engine.missedTicks(), tc.missedAtStop) << tc.name;
    EXPECT_FALSE(board.portopen()) << tc.name;
  }
  board.a2dMilliseconds = 0;
  board.raw[0] = 100;
}

TEST_F(EngineTest, AfterAFailedTickTheBoardIsSetUpAgainBeforeItIsRead) {
  engine.settings.ClkX2 = false;
  run(1);
  board.failReads = 2;  // the read and its retry: the board may have reset
  timer.fire();
  board.calls.clear();
  timer.fire();
  ASSERT_GE(board.calls.size(), 3);
  EXPECT_EQ(board.calls.mid(0, 3), QStringList({"resetall", "a2dconf(1,0,0)", "a2d(0)"}));
  EXPECT_EQ(engine.document().sampleCount(), 2u);
}

TEST_F(EngineTest, ARunWaitsForAFailedPortForItsGraceThenEnds) {
  QStringList statuses;
  QObject::connect(&engine, &AcquisitionEngine::waitingForPort,
                   [&](const QString& status) { statuses << status; });
  engine.setReconnectGrace(std::chrono::seconds(1));
  run(1);
  board.failReads = 1;
  board.failureKind = ReadFailure::PortError;
  board.failOpen = zrv::AutomationError(zrv::err::kPortInvalid, QStringLiteral("no such device"));
  const auto start = std::chrono::steady_clock::now();
  while (engine.running() && std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
    timer.fire();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_FALSE(engine.running());
  ASSERT_FALSE(statuses.isEmpty());
  EXPECT_EQ(statuses.first(), QStringLiteral("Waiting for COM1 to come back (1 s)"));
  ASSERT_EQ(failures.size(), 1);
  EXPECT_TRUE(failures[0].contains(QStringLiteral("did not come back within 1 s")))
      << failures[0].toStdString();
  EXPECT_EQ(engine.missedTicks(), int64_t(statuses.size()));
}

TEST_F(EngineTest, EveryRunEndSaysWhy) {
  engine.settings.stopsec = QStringLiteral("1");
  run(5);
  engine.settings.stopsec = QString();
  run(1);
  engine.stopRun();
  EXPECT_EQ(ends, std::vector<RunEnd>({RunEnd::StopTimeReached, RunEnd::Stopped}));
}

TEST_F(EngineTest, CommandsInsideATicksBoardWaitWinOverTheTick) {
  struct Case {
    const char* name;
    std::function<void()> command;
    bool runningAfter;
  } cases[] = {
      {"Stop", [&] { engine.stopRun(); }, false},
      {"Clear", [&] { engine.ClearAll(); }, true},
      {"a nested tick", [&] { timer.fire(); }, true},
  };
  for (const auto& tc : cases) {
    if (!engine.running()) engine.startRun();
    engine.ClearAll();
    run(1);  // one sample before the interruption
    bool once = true;
    board.duringA2d = [&](int32_t pin) {
      if (pin == 2 && std::exchange(once, false)) tc.command();
    };
    const std::size_t before = engine.document().sampleCount();
    timer.fire();
    board.duringA2d = nullptr;
    EXPECT_EQ(engine.running(), tc.runningAfter) << tc.name;
    EXPECT_TRUE(failures.isEmpty())
        << tc.name << ": " << failures.join(QLatin1Char(';')).toStdString();
    if (std::string(tc.name) == "a nested tick")
      EXPECT_EQ(engine.document().sampleCount(), before + 1) << "the outer tick records once";
    else
      EXPECT_LE(engine.document().sampleCount(), before) << tc.name;
    for (int c = 0; c < 5; ++c)
      EXPECT_EQ(points(c), int64_t(engine.document().sampleCount())) << tc.name;
  }
}

TEST_F(EngineTest, ClearForRunKeepsTheLookAndClearAllRestoresIt) {
  graph.setProperty(M::ElementIndex, Variant(int16_t{2}));
  graph.setProperty(M::ElementColor, Variant(int32_t{0x123456}));
  graph.setProperty(M::ElementLabel, Variant("Pressure"));
  graph.setProperty(M::Caption, Variant("Bench 4"));
  engine.startRun();
  graph.setProperty(M::ElementIndex, Variant(int16_t{2}));
  EXPECT_EQ(graph.property(M::ElementColor), Variant(int32_t{0x123456}));
  EXPECT_EQ(graph.property(M::ElementLabel), Variant("Pressure"));
  EXPECT_EQ(graph.property(M::Caption), Variant("Bench 4"));
  engine.stopRun();
  engine.ClearAll();
  graph.setProperty(M::ElementIndex, Variant(int16_t{2}));
  EXPECT_EQ(graph.property(M::ElementColor), Variant(int32_t{0xFF0000}));
  EXPECT_EQ(graph.property(M::ElementLabel), Variant("Channel 3"));
}

TEST_F(EngineTest, ClearDiscardsDataWithoutAsking) {
  run(3);
  engine.ClearAll();
  EXPECT_FALSE(engine.data.DataChanged);
  EXPECT_EQ(engine.document().sampleCount(), 0u);
  EXPECT_EQ(points(0), 0);
  run(1);
  EXPECT_EQ(keys(), QStringList({"T0"})) << "a reset in the middle of a run starts the keys again";
}

TEST_F(EngineTest, InitGraphRemovesAnnotationsAndCursors) {
  graph.newAnnotation();
  graph.newAnnotation();
  graph.newCursor();
  engine.InitGraph();
  EXPECT_EQ(graph.annotationCount(), 0);
  EXPECT_EQ(graph.cursorCount(), 0);
  engine.InitGraph();  // nothing to remove: no error
}

TEST_F(EngineTest, AutorangeFitsTheGraphToTheData) {
  engine.setAutorange(true);
  run(3);
  EXPECT_LT(graph.property(M::RangeXMax).toDouble(), 10.0);
  // Each tick copies the range back before fitting, so the settings follow one tick later.
  EXPECT_LT(engine.settings.MAXX.toDouble(), 10.0);
  EXPECT_EQ(engine.settings.MAXX.type(), zrv::VarType::Double);
}

TEST_F(EngineTest, QuicksetsSetRangeCalibrationAndFormat) {
  engine.quickset(Quickset::RawCounts);
  EXPECT_EQ(engine.settings.MAXY, Variant(int16_t{1023}));
  EXPECT_EQ(graph.property(M::RangeYMax), Variant(1023.0));
  EXPECT_EQ(engine.data.GetCoef(1, 4), Variant(1.0));
  EXPECT_EQ(engine.data.GetCoef(0, 4), Variant(int16_t{0}));
  EXPECT_EQ(graph.property(M::LabelFormatY), Variant("%4.0f"));
  run(1);
  EXPECT_EQ(graph.pointY(0, 1), 200.0);
}

TEST_F(EngineTest, ANewIntervalChangesTheStep) {
  engine.SetTimerInt(500);
  run(3);
  EXPECT_EQ(keys(), QStringList({"T0", "T0.5", "T1"}));
  EXPECT_EQ(engine.data.SampleTime, Variant(1.5));
}

}  // namespace
}  // namespace zrvlog
