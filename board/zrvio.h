#pragma once
// ZRVIO: the control of one ZRV I/O board on a serial port.
//
// Error model
//   Members raise zrv::AutomationError with the numbers hosts of the control know:
//     68   device unavailable: a command while the port is closed, or the board did not
//          become ready (CTS and no reply owed) within readyTimeout();
//     387  setting not permitted: a run-time property set while the host is in design mode;
//     382  setting not supported at run time: a read-only property assigned;
//     6    overflow: a number too large for the arithmetic the member does on it;
//     5    invalid argument: an operand that does not fit its wire encoding (negative pin
//          numbers and counts included); raised before anything is sent.
//   Serial-port errors name the port and the device, e.g. "COM3 (/dev/ttyUSB0): Permission
//   denied": 8000 port number changed while open, 8002 invalid port number or no such
//   device, 8005 port already open, 8010 the device cannot be opened (permission, in use),
//   8012 a transfer on a closed port, 8020 a write failed (device removed, no room).
//   Failed byte reads never raise: the read gives 0, errflag() turns True and
//   lastReadError() says why ("no reply from the board within 200 ms", "the device was
//   removed").
//
// Waits
//   A reply (one or two bytes, or the handshake's status answer) must complete within
//   replyTimeout() (default 200 ms) of the read starting; an unplugged device fails the
//   read at once. Before sending, a command waits at most readyTimeout() (default 500 ms)
//   for CTS and for an owed reply; it then fails with 68. So a silent board fails any
//   command in about 200 ms; a board whose commands run longer needs larger limits.
//
// Threads
//   One thread (the host's UI thread) calls every member. While a command waits for the
//   board to become ready it lets the host process its events, so host code (a timer tick,
//   a button) may issue commands inside that wait; the reply-owed flag ("busy") keeps them
//   from interleaving on the wire. Reading a reply never processes events. Host code run
//   from that wait must not destroy the ZRVIO.

#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

#include "board/serialport.h"

namespace zrv {

class Host;

class ZRVIO {
 public:
  static constexpr std::chrono::milliseconds kDefaultReplyTimeout{200};
  static constexpr std::chrono::milliseconds kDefaultReadyTimeout{500};
  /// Valid port numbers (COM1 to COM255).
  static constexpr int16_t kMinCommPort = 1;
  static constexpr int16_t kMaxCommPort = 255;

  /// Makes the (closed) port for a device of the port map; the default is makeSerialPort.
  using PortFactory = std::function<std::unique_ptr<SerialPort>(const QString& device)>;

  /// A control on COM1, port closed, direction byte 255, pin byte 0. `host` (not owned,
  /// may be null for the default host) must outlive the control.
  explicit ZRVIO(Host* host = nullptr);
  /// Closes the port; nothing is sent.
  ~ZRVIO();
  ZRVIO(const ZRVIO&) = delete;
  ZRVIO& operator=(const ZRVIO&) = delete;

  // ---- Hosting -------------------------------------------------------------------------

  /// Replaces the host (null: the default host).
  void setHost(Host* host);
  /// Replaces how ports are made (null: the real ones); takes effect at the next open.
  void setPortFactory(PortFactory factory);
  void setReplyTimeout(std::chrono::milliseconds timeout) { m_replyTimeout = timeout; }
  std::chrono::milliseconds replyTimeout() const { return m_replyTimeout; }
  void setReadyTimeout(std::chrono::milliseconds timeout) { m_readyTimeout = timeout; }
  std::chrono::milliseconds readyTimeout() const { return m_readyTimeout; }
  /// Why the last failed byte read failed; empty until one has.
  QString lastReadError() const { return m_lastReadError; }
  /// The port and its device for messages: "COM3 (/dev/ttyUSB0)".
  QString portDescription() const;

  // ---- Link and status -----------------------------------------------------------------

  /// The port number (1 = COM1). "Returns/sets the communications port number."
  int16_t CommPort() const { return m_commPort; }
  /// Sets the port number: 8000 while the port is open, 8002 outside 1-255.
  void setCommPort(int16_t port);

  /// Whether the port is open. "Set to true to connect to device"
  bool portopen() const;
  /// Opens the port and runs the handshake (sync 00, status 01, up to ten reply bytes until
  /// "3", then the stored pin byte and direction byte), or closes the port (sending
  /// nothing). 387 in design mode; 8005 when opening an open port; serial-port errors when
  /// the device cannot be opened. A handshake that fails (a write error) closes the port
  /// again. A board that does not answer "3" is not an error (see errflag()).
  void setPortopen(bool open);

  /// Status query: true when the board answers "3". "Checks status of ZRV board"
  bool ok();
  /// True when the port is open, CTS is asserted and no reply is owed; false while the port
  /// is closed. "Is ZRV ready for commands?"
  bool ready();
  /// Always fails: 387 in design mode, else 382.
  void setReady(bool value);
  /// True when the most recent byte read failed. "Error flag"
  bool errflag() const { return m_errflag; }
  /// Always fails: 387 in design mode, else 382.
  void setErrflag(bool value);
  /// Full reset of the board (5C). "Full reset"
  void resetall();

  // ---- Analog conversion and repeated reads --------------------------------------------

  /// One A/D conversion of channel pin (taken modulo 8; 5 when negative): sends 30+2p and
  /// returns the two reply bytes as 256 * first + second. "Read a analog input"
  int32_t a2d(int32_t pin);
  /// Configures the converter: sends 31 and the data byte 80 + justify*40 + clkx2*20 +
  /// cselect. cselect outside 0-127: 6; 32-127 (which would overwrite justify and clkx2): 5.
  /// "Set the A/D configuration options"
  void a2dconf(bool justify, bool clkx2, int16_t cselect);
  /// Makes the board run the next repeatable command ct times (sends the argument ct - 1,
  /// then 5B). ct from 1 to 65536; 5 otherwise (6 for the smallest 32-bit value).
  /// "Set the repeat count for repeatable operations"
  void repeat(int32_t ct);
  /// One further reply byte of a repeated command; sends nothing, needs no open port (a
  /// failed read gives 0 and sets errflag). "Read a byte from a repeat operation"
  int32_t readbyte();
  /// One further 16-bit reply, high byte first; as readbyte otherwise.
  /// "Read a word from a repeat operation"
  int32_t readword();

 private:
  /// Keeps busy True while a reply is owed; clears it when released or destroyed, so no
  /// failure can leave it set.
  class BusyHold {
   public:
    explicit BusyHold(bool* busy = nullptr) : m_busy(busy) {
      if (m_busy) *m_busy = true;
    }
    BusyHold(BusyHold&& other) noexcept : m_busy(std::exchange(other.m_busy, nullptr)) {}
    BusyHold& operator=(BusyHold&&) = delete;
    ~BusyHold() { release(); }
    void release() {
      if (m_busy) *std::exchange(m_busy, nullptr) = false;
    }

   private:
    bool* m_busy;
  };

  Host& host() const;
  [[noreturn]] void throwPortError(int number, const QString& reason) const;
  void requireRunTimeSet(const char* property) const;
  void checkPin(int32_t pin) const;

  // The guarded send: open check (68), readiness wait (68 on timeout), busy, one write.
  // When a reply is expected the returned hold keeps busy True until it goes.
  [[nodiscard]] BusyHold sendcmd(uint8_t command, bool expectReply);
  [[nodiscard]] BusyHold sendcmddata(uint8_t command, const QByteArray& data, bool expectReply);
  [[nodiscard]] BusyHold sendargcmd(int32_t argument, uint8_t command, const QByteArray& data,
                                    bool expectReply);
  BusyHold guardedWrite(const QByteArray& bytes, bool expectReply);
  void waitUntilReady();
  void writeBytes(const QByteArray& bytes);
  Deadline replyDeadline() const { return Clock::now() + m_replyTimeout; }
  /// One reply byte, or 0 with errflag set when none arrives by the deadline.
  uint8_t getbyte(Deadline deadline);

  void openPort();
  void closePort();
  void handshake();
  void sendPins();
  void sendTris();

  Host* m_host = nullptr;
  PortFactory m_portFactory;
  std::unique_ptr<SerialPort> m_port;
  QString m_device;  ///< the device of the open port

  bool m_errflag = false;
  int32_t m_tris = 255;  ///< stored direction byte; 1 bits mark inputs
  int32_t m_pins = 0;    ///< stored pin byte
  bool m_busy = false;   ///< a reply is owed
  int16_t m_commPort = 1;

  std::chrono::milliseconds m_replyTimeout = kDefaultReplyTimeout;
  std::chrono::milliseconds m_readyTimeout = kDefaultReadyTimeout;
  QString m_lastReadError;
};

}  // namespace zrv
