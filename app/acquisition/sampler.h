#pragma once
// Sampler: the reading half of a run. On every tick of the sampling timer it reads the
// channels from the board and hands their raw sums, with the tick's timing, to the engine,
// which records them on the UI thread. It runs on the timer's tick thread: in the program the
// timer's own thread, so that neither a replot nor a dialog delays a read and a silent board
// never stalls the window; in tests the test's thread, where a tick runs to its end inside
// ManualTimer::fire(). Its control members (begin, end, setPlan) are called there too, through
// SamplingTimer::runOnTickThread().
//
// Reading: a sample holds genuine readings only. A tick reads every channel, then has the
// link prove the replies (nothing followed them on the line, BoardControl::settleReplies).
// When waiting for the line's quiet would run into the next tick, or the interval is short
// (kNextTickProvesUpTo), the replies are proven when that tick comes instead, and the sample
// is handed over then: the proof never slows a fast run. A tick that comes before the line's quiet
// has passed (the run is behind) does not wait for it: a byte arriving now would put its own
// replies out of step, so its proof speaks for the held readings too, and a tick that fails or is
// doubted takes them with it. A tick with any failed or doubtful read hands nothing over: it is
// read once more after the line has settled, as long as its period has not passed, else it counts
// as missed. After a reply that could be the board's power-on state, or a missed tick, the run's
// board set-up (the setUp given to begin) is repeated before the next read, so a board that reset
// goes on as configured.
//
// Time: a sample's time stamp is when its reads began; every tick that produced no sample
// counts as missed, the timer's dropped deadlines (ticks that passed while a read was
// failing) included; each tick says how long after the run's first tick it came.
//
// The port: when it reports an error (an unplugged adapter) the run waits for the device
// to come back for the reconnect grace given to begin: the link is closed, every tick counts
// as missed, and once a second the same device is opened again and set up; reading goes on
// when that works. The run cannot go on when the grace passes (0: at once), or when the
// board has not answered for kSilenceLimit in a row: failed() says why.
//
// The board belongs to one thread at a time: the engine's while no run goes on, the
// sampler's from begin() until end() has closed the link and released the LinkBaton. end()
// may come in the middle of a tick (a board wait that ran events); the tick then stops at
// its next read and hands nothing over.

#include <QObject>
#include <QString>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "app/acquisition/boardcontrol.h"
#include "app/documents/dataset.h"

namespace zrvlog {

class SamplingTimer;

/// What a run reads on each tick; the options dialog may change it between ticks.
struct ReadPlan {
  int16_t channels = 5;  ///< channels 0 to channels - 1 are read
  int16_t average = 1;   ///< conversions summed per channel (repeat count)
  bool operator==(const ReadPlan&) const = default;
};

/// One tick's readings, as handed from the sampler to the engine.
struct RawTick {
  uint64_t run = 0;      ///< the run it was read for (begin()'s number)
  uint64_t epoch = 0;    ///< the data set generation when the tick began
  double tickStart = 0;  ///< local date-time at which the tick began (day count)
  std::chrono::steady_clock::time_point started;  ///< the same instant on the steady clock
  std::chrono::steady_clock::duration reading{};  ///< how long reading the channels took
  int32_t milliseconds = 0;               ///< measured since the tick of the previous sample
  int32_t intervalMs = 0;                 ///< the timer's interval at this tick
  ReadPlan plan;                          ///< what was read
  std::array<int32_t, kChannels> sums{};  ///< summed counts of the channels read
  int64_t missedTicks = 0;                ///< ticks of this run that could not read, so far
  int64_t elapsedMs = 0;                  ///< since the run's first tick, as the timer measured
};

/// What a run needs of the sampler besides the read plan.
struct RunLink {
  /// The run's board set-up (reset and A/D configuration), repeated after the board may
  /// have reset and after the port came back. Raises zrv::AutomationError.
  std::function<void()> setUp;
  /// How long a run waits for a port that failed to come back; 0: the run ends at once.
  std::chrono::seconds reconnectGrace{30};
};

/// Hands the board from the engine to the sampler for a run and back.
class LinkBaton {
 public:
  void give() {
    std::lock_guard lock(m_mutex);
    m_withSampler = true;
  }
  void release() {
    {
      std::lock_guard lock(m_mutex);
      m_withSampler = false;
    }
    m_released.notify_all();
  }
  bool withSampler() const {
    std::lock_guard lock(m_mutex);
    return m_withSampler;
  }
  /// Waits until the sampler has let go of the board (a tick that was running when the run
  /// stopped finishes its read first, within the board's own reply limits).
  void waitReleased() {
    std::unique_lock lock(m_mutex);
    m_released.wait(lock, [this] { return !m_withSampler; });
  }

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_released;
  bool m_withSampler = false;
};

class Sampler : public QObject {
  Q_OBJECT

 public:
  /// How long the board may stay silent before the run gives up on it.
  static constexpr std::chrono::milliseconds kSilenceLimit{2000};
  /// Time left for the rest of a tick once its replies are proven; with less, the next tick
  /// proves them.
  static constexpr std::chrono::microseconds kProofMargin{500};
  /// At intervals up to this the next tick always proves a tick's replies: the quiet wait
  /// would be a tenth of a fast tick, and a sample a tick late is not seen.
  static constexpr std::chrono::milliseconds kNextTickProvesUpTo{20};
  /// A run that is behind starts a tick before the line's quiet after the last one has passed;
  /// that tick's proof then speaks for both. Readings wait for it at most this long, then a
  /// tick waits for the quiet before it reads. Where the reads fill the interval (5 channels at
  /// 3 ms) that quiet never comes by itself, and each wait (three byte times) puts the run
  /// behind: at 100 ms the waits came with about as many dropped ticks. Half a second keeps
  /// them rare, and the readings still reach the engine within it.
  static constexpr std::chrono::milliseconds kMaxHeldFor{500};
  /// How often a port that failed is tried again while the run waits for it.
  static constexpr std::chrono::milliseconds kReconnectEvery{1000};
  /// Readings are announced to the engine's thread at most this often.
  static constexpr std::chrono::milliseconds kAnnounceGap{10};

  /// epoch: the data set's generation, read at the start of every tick.
  Sampler(BoardControl& board, SamplingTimer& timer, LinkBaton& baton,
          const std::atomic<uint64_t>& epoch, QObject* parent = nullptr);

  // Called on the sampler's thread.
  /// The board, opened and configured, is the sampler's now: ticks begin one interval later.
  void begin(uint64_t run, zrvlog::ReadPlan plan, zrvlog::RunLink link = {});
  /// Ends the run's reading: no further tick, the held readings proven (with the line's quiet
  /// wait) and handed over or counted missed, the link closed, the baton released. Harmless
  /// when nothing runs.
  void end();
  void setPlan(zrvlog::ReadPlan plan) { m_plan = plan; }

  /// The timer's tick: reads one sample (see the file comment).
  void Timer1_Timer(int32_t Milliseconds);

  /// The readings taken since the last call, oldest first (any thread).
  std::deque<RawTick> takeSamples();
  /// A stop at `at` (any thread): a tick that begins later reads nothing.
  void stopAt(std::chrono::steady_clock::time_point at);
  /// The run's final count as of the stop (any thread), after end() or while a tick is still
  /// reading a slow board: the readings handed over so far, and the missed ticks counting
  /// every tick begun by the stop whose readings were neither handed over nor counted (the
  /// tick still reading, readings held for their proof) and the deadlines after the latest
  /// tick up to the stop. Both come from one moment, so no tick is counted twice.
  struct StopCount {
    std::deque<RawTick> samples;
    uint64_t run = 0;
    int64_t missed = 0;
    QString why;  ///< why the last missed tick was missed
  };
  StopCount countAtStop(std::chrono::steady_clock::time_point stoppedAt);

 Q_SIGNALS:
  /// Readings are waiting for takeSamples(). Sent once until they are taken and at most
  /// every kAnnounceGap, so a fast run costs the engine's thread one event per few ticks; a
  /// reading not yet announced is announced by a later tick.
  void samplesWaiting();
  /// A tick could not read; missed counts this run's missed ticks so far, elapsedMs is the
  /// tick's time since the run's first tick. While the port is away why is "Waiting for COM3
  /// to come back (12 s)".
  void tickMissed(uint64_t run, int64_t missed, const QString& why, qint64 elapsedMs);
  /// The port failed and the run waits for it: status says so, "Waiting for COM3 to come
  /// back (12 s)". Comes after the tick's tickMissed.
  void waitingForPort(uint64_t run, const QString& status);
  /// The run cannot go on (see the file comment); the sampler has stopped ticking.
  void failed(uint64_t run, const QString& message);

 private:
  enum class Outcome { Read, Missed, PortLost, Fatal, Abandoned };
  Outcome readTick(uint64_t run, RawTick& tick, QString& why);
  Outcome readChannels(uint64_t run, RawTick& tick, QString& why,
                       std::chrono::steady_clock::time_point tickEnds);
  void settleHeld(bool wait);
  void dropHeld(const QString& why);
  bool readChannel(int16_t channel, int16_t average, int32_t& sum);
  Outcome setUpBoard(uint64_t run, QString& why);
  Outcome awaitPort(uint64_t run, QString& why);
  void stampTick(RawTick& tick);
  bool abandoned(uint64_t run) const { return !m_active || m_run != run; }
  void hand(std::vector<RawTick> ticks);
  void syncLedger();
  void syncLedgerLocked();
  double localNow();

  BoardControl& m_board;
  SamplingTimer& m_timer;
  // Readings on their way to the engine's thread.
  mutable std::mutex m_outMutex;
  std::deque<RawTick> m_out;
  bool m_outAnnounced = false;
  // The tick thread's count as a stop sees it, guarded by m_outMutex (see countAtStop).
  struct Ledger {
    uint64_t run = 0;
    int64_t missed = 0;
    QString why;
    std::vector<std::chrono::steady_clock::time_point> held;       // when each held tick began
    std::optional<std::chrono::steady_clock::time_point> reading;  // when the tick reading began
    std::chrono::steady_clock::time_point deadline{};  // of the latest tick, on the timer's grid
    std::chrono::milliseconds interval{1};
    bool onClock = false;  // the deadlines follow the clock
  } m_ledger;
  std::optional<std::chrono::steady_clock::time_point> m_readingSince;
  std::chrono::steady_clock::time_point
      m_lastDeadline{};  // of the latest tick, or the grid's origin
  std::atomic<std::chrono::steady_clock::rep> m_stopAt{std::chrono::steady_clock::rep{-1}};
  QString m_lastMissedWhy;
  std::chrono::steady_clock::time_point m_lastAnnounced{};
  LinkBaton& m_baton;
  const std::atomic<uint64_t>& m_epoch;

  struct Failure {
    ReadFailure kind = ReadFailure::None;
    QString why;
  };
  Failure m_failure;  // of the latest read that failed
  bool m_active = false;
  bool m_inTick = false;
  uint64_t m_run = 0;
  ReadPlan m_plan;
  int64_t m_missed = 0;
  int64_t m_msSinceSample = 0;  // measured milliseconds of missed ticks since the last sample
  int64_t m_silentMs = 0;       // since the first failed tick of the current streak
  bool m_failing = false;
  RunLink m_link;
  bool m_proofDeferred = false;  // the last readChannels left its proof to the next tick
  std::vector<RawTick> m_held;   // read, waiting for that proof
  bool m_setUpDue = false;       // the board may have reset: set it up before the next read
  int64_t m_dropped = 0;         // the timer's dropped deadlines, as counted so far
  int64_t m_elapsedMs = -1;      // since the run's first tick; -1 before it
  // While the port is away: until when it may come back, and the next attempt to reopen it.
  bool m_portLost = false;
  QString m_portLostWhy;
  std::chrono::steady_clock::time_point m_reconnectUntil{};
  std::chrono::steady_clock::time_point m_nextReconnect{};
  // The local time's offset from UTC, and when it was taken (see localNow).
  int64_t m_utcOffsetMs = 0;
  int64_t m_offsetTakenAt = -1;
};

}  // namespace zrvlog
