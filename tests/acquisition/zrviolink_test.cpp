#include "app/acquisition/zrviolink.h"

#include <gtest/gtest.h>

#include "app/acquisition/engine.h"
#include "app/graph/graphmodel.h"
#include "app/timer/manualtimer.h"
#include "board/portmap.h"
#include "common/automationerror.h"

namespace zrvlog {
namespace {

// The engine on the library's own board control, against the built-in simulated board.
class ZrvioLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zrv::portmap::overrideForProcess(kSimPort, QStringLiteral("sim"));
    engine.applyStartUpDefaults();
  }
  void TearDown() override { zrv::portmap::clearProcessOverrides(); }
  static constexpr int16_t kSimPort = 7;

  GraphModel graph;
  ZrvioLink link;
  ManualTimer timer;
  AcquisitionEngine engine{graph, link, timer};
};

TEST_F(ZrvioLinkTest, ARunReadsAllFiveChannelsOfTheSimulatedBoard) {
  engine.settings.AvgCt = 4;
  link.setCommPort(kSimPort);
  engine.startRun();
  for (int i = 0; i < 3; ++i)
    timer.fire();
  engine.stopRun();
  ASSERT_EQ(engine.document().sampleCount(), 3u);
  for (int c = 0; c < 5; ++c) {
    for (int64_t i = 0; i < 3; ++i) {
      const double volts = graph.pointY(i, c);
      EXPECT_GE(volts, 0.0) << c;
      EXPECT_LE(volts, 5.0) << c;
    }
  }
  EXPECT_FALSE(link.errflag());
  EXPECT_FALSE(link.portopen());
}

TEST_F(ZrvioLinkTest, ErrorsOfTheLibraryReachTheProgramWithTheirNumbers) {
  link.setCommPort(250);  // unmapped: a serial device that does not exist here
  try {
    engine.startRun();
    FAIL() << "opened a port that does not exist";
  } catch (const zrv::AutomationError& e) {
    EXPECT_EQ(e.number(), 8002) << e.message().toStdString();
    EXPECT_TRUE(e.message().contains(QStringLiteral("COM250"))) << e.message().toStdString();
  }
  EXPECT_FALSE(engine.running());
}

}  // namespace
}  // namespace zrvlog
