#pragma once
// A faulty serial line for tests and benches: a relay between a host (the library, through a
// pseudo-terminal of its own) and a board's device (zrvsim's pseudo-terminal), forwarding
// bytes both ways on a thread and breaking the line as a plan says.
//
//   fake::PtyRelay relay;
//   ASSERT_TRUE(relay.start(zrvsimDevice, &error));
//   zrv::portmap::overrideForProcess(7, relay.devicePath());
//   relay.addFault(fake::Fault::append(fake::Direction::ToHost, 3, "\xA7"));  // after "3" + 2
//
// Started with a link path, the host opens that path, a symbolic link to the relay's
// pseudo-terminal: an unplugged adapter then vanishes from it, and one plugged in again
// (unplug with a duration, or replug()) appears there anew, as a USB adapter keeps its name.
//
// Faults are placed by byte offsets of one direction: the number of bytes the relay has
// taken from that direction's source before the fault applies. Offsets count what the
// source sent, so bytes injected or dropped never move later faults; a test knows them from
// the commands it sends and the replies they get (the handshake's answer is byte 0 towards
// the host). A fault whose offset has already passed never applies.

#include <QByteArray>
#include <QString>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace zrv::fake {

/// Which way bytes travel through the relay.
enum class Direction { ToBoard, ToHost };

/// One fault of a relay's plan.
struct Fault {
  enum class Kind { Drop, Inject, Append, Delay, Silence, Mute, Unplug };
  Kind kind = Kind::Drop;
  Direction direction = Direction::ToHost;
  qint64 at = 0;
  int count = 0;
  QByteArray bytes;
  std::chrono::milliseconds duration{0};

  /// Drops `count` bytes from byte `at` on.
  static Fault drop(Direction direction, qint64 at, int count = 1);
  /// Sends `bytes` just before byte `at`, together with it (noise ahead of a reply).
  static Fault inject(Direction direction, qint64 at, QByteArray bytes);
  /// Sends `bytes` right after the first `at` bytes, together with the last of them (one
  /// byte too many at the end of a reply); at 0 as soon as the fault is added.
  static Fault append(Direction direction, qint64 at, QByteArray bytes);
  /// As append, but the bytes come `gap` after the byte before them, and everything after
  /// them waits behind them (a stray byte just after a reply, before the next one).
  static Fault appendLater(Direction direction, qint64 at, QByteArray bytes,
                           std::chrono::milliseconds gap);
  /// Holds byte `at` and all that follows back for `duration` from its arrival (a slow
  /// board); order is kept.
  static Fault delay(Direction direction, qint64 at, std::chrono::milliseconds duration);
  /// Splits the stream before byte `at`: what came before goes at once, the rest in a
  /// write of its own `gap` later.
  static Fault split(Direction direction, qint64 at,
                     std::chrono::milliseconds gap = std::chrono::milliseconds(20));
  /// Drops byte `at` and everything after it (a board gone silent, a cut wire).
  static Fault silence(Direction direction, qint64 at);
  /// Drops byte `at` and every byte that comes within `duration` of it (a board that is
  /// silent for a while, as one that resets).
  static Fault mute(Direction direction, qint64 at, std::chrono::milliseconds duration);
  /// Once the first `at` bytes have been delivered, closes the host's side as an unplugged
  /// adapter does: the host's reads fail at once, its writes fail.
  static Fault unplug(Direction direction, qint64 at);
  /// As unplug, and the adapter is plugged in again `away` later (see replug()).
  static Fault unplugFor(Direction direction, qint64 at, std::chrono::milliseconds away);
};

class PtyRelay {
 public:
  PtyRelay() = default;
  ~PtyRelay();
  PtyRelay(const PtyRelay&) = delete;
  PtyRelay& operator=(const PtyRelay&) = delete;

  /// Opens the board's device and a new pseudo-terminal for the host and starts relaying;
  /// false with *error set when either cannot be had.
  bool start(const QString& boardDevice, QString* error, const QString& linkPath = {});
  /// Stops relaying and closes both sides; harmless when stopped.
  void stop();

  /// The device the host opens (a pseudo-terminal such as /dev/pts/7, or the link path).
  QString devicePath() const { return m_linkPath.isEmpty() ? m_hostPath : m_linkPath; }

  /// Adds a fault to the plan (any thread).
  void addFault(const Fault& fault);
  /// Unplugs the host's side at once.
  void unplug();
  bool unplugged() const;
  /// Plugs an unplugged host side in again: a new pseudo-terminal, at the link path.
  void replug();
  /// How often the host's side has been plugged in again.
  int replugs() const;
  /// Faults of the plan that have not applied yet.
  int pendingFaults() const;

  /// Bytes taken from a direction's source so far.
  qint64 received(Direction direction) const;
  /// Waits until a direction has taken `count` bytes from its source and has nothing left
  /// to deliver (delayed bytes have gone out); false when the timeout passes first.
  bool waitUntilSettled(Direction direction, qint64 count, std::chrono::milliseconds timeout);

 private:
  using Clock = std::chrono::steady_clock;
  struct Chunk {
    QByteArray bytes;
    Clock::time_point due;
    bool unplug = false;                ///< unplug once everything before has gone out
    std::chrono::milliseconds away{0};  ///< ... and plug in again this much later
  };
  struct Planned {
    Fault fault;
    bool done = false;
  };
  struct Stream {
    qint64 received = 0;
    std::deque<Chunk> queue;
    Clock::time_point holdUntil{};  ///< nothing leaves before this (a delay keeps order)
    int dropLeft = 0;
    bool silent = false;
    Clock::time_point mutedUntil{};
  };

  void run();
  void wake();
  Stream& stream(Direction direction) { return m_streams[static_cast<int>(direction)]; }
  const Stream& stream(Direction direction) const { return m_streams[static_cast<int>(direction)]; }
  void take(Direction direction, const char* bytes, qsizetype size, Clock::time_point now);
  void enqueue(Stream& s, QByteArray bytes, Clock::time_point due, bool unplug = false,
               std::chrono::milliseconds away = {});
  void applyAfter(Direction direction, Clock::time_point now);
  /// Writes what is due; returns false when the stream waits for its fd to take more.
  bool flush(Direction direction, Clock::time_point now);
  void closeHostSide();
  bool openHostSide(QString* error);

  QString m_hostPath;
  QString m_linkPath;
  int m_hostMaster = -1;
  int m_hostSlave = -1;  ///< kept open so that the host may close and reopen the device
  int m_board = -1;
  int m_wake = -1;

  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<Planned> m_faults;
  Stream m_streams[2];
  bool m_unplugRequested = false;
  bool m_unplugged = false;
  bool m_replugRequested = false;
  Clock::time_point m_replugAt{};  ///< when an unplugged side comes back; epoch: never
  int m_replugs = 0;
  bool m_stop = false;
  std::thread m_thread;
};

}  // namespace zrv::fake
