// A host abandoning a wait for the board (Ctrl+C in a script): the member fails with 18 long
// before its limit, from another thread or from the host's own events, and a request nobody
// took up can be withdrawn. Waits that run out are marked as timeouts for hosts to tell.
#include <gtest/gtest.h>

#include <thread>

#include "board/zrvio.h"
#include "common/automationerror.h"
#include "linkfixture.h"
#include "tests/fakes/scriptedboard.h"

namespace zrv {
namespace {

using namespace std::chrono_literals;
using fake::hex;

// What a call raised: its number, whether it timed out, and how long the call took.
struct Outcome {
  int number = 0;
  bool timedOut = false;
  Clock::duration took{};
};

Outcome outcomeOf(const std::function<void()>& call) {
  Outcome outcome;
  const auto start = Clock::now();
  try {
    call();
  } catch (const AutomationError& e) {
    outcome.number = e.number();
    outcome.timedOut = e.timedOut();
  }
  outcome.took = Clock::now() - start;
  return outcome;
}

class AbandonTest : public LinkTest {};

TEST_F(AbandonTest, AbandonedWaitsFailWith18AndTimeoutsAreMarked) {
  // Limits far beyond what any case may take, so that only abandoning can end the wait.
  constexpr auto kLong = 30s;
  struct Case {
    const char* name;
    // Returns the helper thread it starts, if any.
    std::function<std::jthread(ZRVIO&, fake::ScriptedBoard&, TestHost&)> arrange;
    std::chrono::milliseconds readyTimeout;
    int number;
    bool timedOut;
  } cases[] = {
      {"reply abandoned from another thread",
       [](ZRVIO& io, fake::ScriptedBoard& b, TestHost&) {
         b.expect(hex("30"));
         return std::jthread([&io] {
           std::this_thread::sleep_for(100ms);
           io.abandonWait();
         });
       },
       std::chrono::duration_cast<std::chrono::milliseconds>(kLong), err::kUserInterrupt, false},
      {"readiness abandoned from the host's events",
       [](ZRVIO& io, fake::ScriptedBoard& b, TestHost& h) {
         b.setCts(false);
         h.onEvents = [&io] { io.abandonWait(); };
         return std::jthread();
       },
       std::chrono::duration_cast<std::chrono::milliseconds>(kLong), err::kUserInterrupt, false},
      {"a request made before the call ends its first wait",
       [](ZRVIO& io, fake::ScriptedBoard& b, TestHost&) {
         b.expect(hex("30"));
         io.abandonWait();
         return std::jthread();
       },
       std::chrono::duration_cast<std::chrono::milliseconds>(kLong), err::kUserInterrupt, false},
      {"a withdrawn request abandons nothing",
       [](ZRVIO& io, fake::ScriptedBoard& b, TestHost&) {
         b.expect(hex("30"), hex("00 07"));
         io.abandonWait();
         io.abandonWait(false);
         return std::jthread();
       },
       std::chrono::duration_cast<std::chrono::milliseconds>(kLong), 0, false},
      {"a board that never becomes ready times out",
       [](ZRVIO&, fake::ScriptedBoard& b, TestHost&) {
         b.setCts(false);
         return std::jthread();
       },
       100ms, err::kDeviceUnavailable, true},
  };
  for (const Case& c : cases) {
    fake::ScriptedBoard b;
    TestHost h;
    ZRVIO link(&h);
    link.setPortFactory(b.factory());
    link.setAbandonable(true);
    b.expect(hex("00 01"), hex("33"));
    link.setPortopen(true);
    link.setReplyTimeout(std::chrono::duration_cast<std::chrono::milliseconds>(kLong));
    link.setReadyTimeout(c.readyTimeout);
    std::jthread helper = c.arrange(link, b, h);
    const Outcome outcome = outcomeOf([&] { link.a2d(0); });
    if (helper.joinable()) helper.join();
    EXPECT_EQ(outcome.number, c.number) << c.name;
    EXPECT_EQ(outcome.timedOut, c.timedOut) << c.name;
    EXPECT_LT(outcome.took, 10s) << c.name;
    h.onEvents = nullptr;
  }
}

TEST_F(AbandonTest, ACommandOnAClosedPortIsNoTimeout) {
  const Outcome outcome = outcomeOf([&] { io.a2d(0); });
  EXPECT_EQ(outcome.number, err::kDeviceUnavailable);
  EXPECT_FALSE(outcome.timedOut);
}

}  // namespace
}  // namespace zrv
