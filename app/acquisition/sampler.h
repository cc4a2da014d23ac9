#pragma once
// Sampler: the reading half of a run. On every tick of the sampling timer it reads the
// channels from the board and hands their raw sums, with the tick's timing, to the engine,
// which records them on the UI thread. It runs on the timer's tick thread: in the program the
// timer's own thread, so that neither a replot nor a dialog delays a read and a silent board
// never stalls the window; in tests the test's thread, where a tick runs to its end inside
// ManualTimer::fire(). Its control members (begin, end, setPlan) are called there too, through
// SamplingTimer::runOnTickThread().
//
// Reading: a failed read (no reply, a reply that cannot be valid) is retried once after the
// input is drained, so a stray byte or a late reply costs nothing. A tick that still cannot
// read hands nothing over and counts as missed; the next sample's measured interval then
// spans the gap. The run cannot go on when the port reports an error (an unplugged adapter)
// or the board has not answered for kSilenceLimit in a row: failed() says why.
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
#include <mutex>

#include "app/acquisition/boardcontrol.h"

namespace zrvlog {

class SamplingTimer;

/// Slots of the raw table: the channel count is checked against it before any read.
inline constexpr int kRawSlots = 6;

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
  std::array<int32_t, kRawSlots> sums{};  ///< summed counts of the channels read
  int64_t missedTicks = 0;                ///< ticks of this run that could not read, so far
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
  /// Readings are announced to the engine's thread at most this often.
  static constexpr std::chrono::milliseconds kAnnounceGap{10};

  /// epoch: the data set's generation, read at the start of every tick.
  Sampler(BoardControl& board, SamplingTimer& timer, LinkBaton& baton,
          const std::atomic<uint64_t>& epoch, QObject* parent = nullptr);

  // Called on the sampler's thread.
  /// The board, opened and configured, is the sampler's now: ticks begin one interval later.
  void begin(uint64_t run, zrvlog::ReadPlan plan);
  /// Ends the run's reading: no further tick, the link closed, the baton released. Harmless
  /// when nothing runs.
  void end();
  void setPlan(zrvlog::ReadPlan plan) { m_plan = plan; }

  /// The timer's tick: reads one sample (see the file comment).
  void Timer1_Timer(int32_t Milliseconds);

  /// The readings taken since the last call, oldest first (any thread).
  std::deque<RawTick> takeSamples();

 Q_SIGNALS:
  /// Readings are waiting for takeSamples(). Sent once until they are taken and at most
  /// every kAnnounceGap, so a fast run costs the engine's thread one event per few ticks; a
  /// reading not yet announced is announced by a later tick.
  void samplesWaiting();
  /// A tick could not read; missed counts this run's missed ticks so far.
  void tickMissed(uint64_t run, int64_t missed, const QString& why);
  /// The run cannot go on (see the file comment); the sampler has stopped ticking.
  void failed(uint64_t run, const QString& message);

 private:
  enum class Outcome { Read, Missed, Fatal, Abandoned };
  Outcome readChannels(uint64_t run, RawTick& tick, QString& why);
  bool readChannel(int16_t channel, int16_t average, int32_t& sum);
  bool abandoned(uint64_t run) const { return !m_active || m_run != run; }
  void hand(const RawTick& tick);
  double localNow();

  BoardControl& m_board;
  SamplingTimer& m_timer;
  // Readings on their way to the engine's thread.
  std::mutex m_outMutex;
  std::deque<RawTick> m_out;
  bool m_outAnnounced = false;
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
  // The local time's offset from UTC, and when it was taken (see localNow).
  int64_t m_utcOffsetMs = 0;
  int64_t m_offsetTakenAt = -1;
};

}  // namespace zrvlog
