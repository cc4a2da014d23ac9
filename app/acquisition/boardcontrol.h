#pragma once
// What a run needs of the board: open and close the link, reset and configure the converter,
// read channels singly or in repeated runs, and recover from a read that went wrong. The program
// holds a ZRVIO behind this interface (zrviolink.h); tests hold a fake, so the engine runs without
// a serial port.

#include <QString>
#include <chrono>
#include <cstdint>

#include "board/zrvio.h"

namespace zrvlog {

/// Why a read failed: no reply in time, a reply that cannot be valid (line noise, a board
/// that reset), or an error of the port itself (an unplugged adapter). The library's own.
using ReadFailure = zrv::ReadFailure;
/// What BoardControl::checkReplies() found.
using ReplyProof = zrv::ReplyProof;

class BoardControl {
 public:
  virtual ~BoardControl() = default;

  /// Whether the link is open; the program takes an open link to mean that a run is going on.
  virtual bool portopen() const = 0;
  /// Opens (with the board's handshake) or closes the link. Raises zrv::AutomationError.
  virtual void setPortopen(bool open) = 0;
  virtual int16_t CommPort() const = 0;
  virtual void setCommPort(int16_t port) = 0;

  virtual void resetall() = 0;
  virtual void a2dconf(bool justify, bool clkx2, int16_t cselect) = 0;
  virtual void repeat(int32_t ct) = 0;
  virtual int32_t a2d(int32_t pin) = 0;
  virtual int32_t readword() = 0;

  /// True when the latest read failed: a reply byte did not arrive or the reply cannot be
  /// valid (the value read counts as 0).
  virtual bool errflag() const = 0;
  /// Why the latest read failed ("no reply from the board within 200 ms"), for messages.
  virtual QString lastReadError() const = 0;
  /// The kind of the latest read failure; None after a read that succeeded.
  virtual ReadFailure lastReadFailure() const = 0;
  /// Throws away whatever the board sent that no command has read yet.
  virtual void discardInput() = 0;
  /// Proves the readings since the last call: false when a byte followed a reply on the
  /// line (noise, or replies out of step), so that none of them may be used; lastReadError()
  /// says why. Waits until the line has been quiet for quietTime() after the last reply
  /// (called later than that, it only looks at what is waiting).
  virtual bool settleReplies() = 0;
  /// settleReplies() without waiting: Pending while the quiet time after the last reply has
  /// not passed and nothing is waiting; the readings then go with the next ones, whose proof
  /// (the next Proven or Doubted) speaks for them too.
  virtual ReplyProof checkReplies() = 0;
  /// How long the line must be quiet after a reply for settleReplies to prove it.
  virtual std::chrono::microseconds quietTime() const = 0;
  /// The port as people know it, for messages: "COM3 (/dev/ttyUSB0)".
  virtual QString portDescription() const = 0;
  /// The device the port number stands for ("/dev/ttyUSB0", "sim").
  virtual QString deviceName() const = 0;
};

}  // namespace zrvlog
