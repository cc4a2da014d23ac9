#pragma once
// The transport under ZRVIO: a byte pipe to one board with a CTS line. Implementations:
// DevicePort (a real serial device through its descriptor), SimPort (the simulated board in
// this process) and, for tests, the scripted fake in tests/fakes.
//
// Operations report failures as values with a reason a person can read; ZRVIO turns them
// into automation errors (writes, open) or into its error flag (reads).

#include <QByteArray>
#include <QString>
#include <chrono>
#include <cstdint>
#include <memory>

#include "board/export.h"

namespace zrv {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

/// The outcome of a port operation: Ok, or what went wrong and why.
struct PortStatus {
  enum class Code {
    Ok,
    NotFound,      ///< the device does not exist
    AccessDenied,  ///< no permission, or another process holds the device
    NotOpen,       ///< the operation needs an open port
    Removed,       ///< the device went away (unplugged adapter)
    TimedOut,      ///< nothing arrived (or could be sent) before the deadline
    Failed,        ///< any other failure; see reason
  };
  Code code = Code::Ok;
  QString reason;  ///< e.g. "Permission denied"; empty when Ok

  bool ok() const { return code == Code::Ok; }
  static PortStatus success() { return {}; }
  static PortStatus failure(Code code, QString reason) { return {code, std::move(reason)}; }
};

/// One byte read from a port, or the reason there is none.
struct ByteRead {
  uint8_t byte = 0;
  PortStatus status;
  bool ok() const { return status.ok(); }
};

class ZRV_EXPORT SerialPort {
 public:
  virtual ~SerialPort() = default;

  /// Opens the device with the board's line settings (57,600 baud, 8N1, no flow control).
  virtual PortStatus open() = 0;
  /// Closes the device; harmless when closed.
  virtual void close() = 0;
  virtual bool isOpen() const = 0;
  /// Writes all of bytes, in order; fails when they cannot all be handed to the device by
  /// the deadline.
  virtual PortStatus write(const QByteArray& bytes, Deadline deadline) = 0;
  /// Returns the next received byte as soon as it is there, or a failure once the deadline
  /// has passed (TimedOut) or the device reports an error (at once, not at the deadline).
  virtual ByteRead readByte(Deadline deadline) = 0;
  /// Throws away every received byte not read yet, without waiting. The default reads what
  /// is waiting until nothing is (at most 64 KiB, so that a noisy line cannot hold it).
  virtual void discardInput();
  /// Like discardInput(), and says whether anything was waiting: a byte the caller did not
  /// expect (the default asks readByte() for one without waiting).
  virtual bool discardWaiting();
  /// Waits until the deadline for a byte where the line should be quiet (after a reply) and
  /// reads it: true when one came. A deadline already passed only looks at what is waiting.
  /// Quiet here owes nothing, unlike a reply that timed out. The default asks readByte().
  virtual bool byteArrives(Deadline deadline);
  /// The CTS input. Ports that cannot report it (pseudo-terminals) say asserted.
  virtual bool cts() = 0;
};

/// The device name of the built-in simulated board in the port map.
inline constexpr char kSimDevice[] = "sim";

/// A port for a device of the port map: the simulated board for "sim", else the serial
/// device at that path. The port is returned closed.
ZRV_EXPORT std::unique_ptr<SerialPort> makeSerialPort(const QString& device);

}  // namespace zrv
