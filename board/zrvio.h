#pragma once
// ZRVIO: the control of one ZRV I/O board on a serial port.
//
// Error model
//   Members raise zrv::AutomationError with the numbers hosts of the control know:
//     68   device unavailable: a command while the port is closed, or the board did not
//          become ready (CTS and no reply owed) within readyTimeout();
//     387  setting not permitted: a run-time property set while the host is in design mode;
//     382  setting not supported at run time: a read-only property assigned;
//     393  reading not supported at run time: the write-only led read;
//     6    overflow: a number too large for the arithmetic the member does on it;
//     5    invalid argument: an operand that does not fit its wire encoding (negative pin
//          numbers, durations and counts included); raised before anything is sent.
//   Serial-port errors name the port and the device, e.g. "COM3 (/dev/ttyUSB0): Permission
//   denied": 8000 port number changed while open, 8002 invalid port number or no such
//   device, or a port map file that cannot be used ("COM3: the port map
//   /home/a/.config/Corvane/ZRV.conf, line 2: holds binary data, not text"), 8005 port
//   already open, 8010 the device cannot be opened (permission, in use), 8012 a transfer on
//   a closed port, 8020 a write failed (device removed, no room).
//
// Failed reads
//   Reading a reply never raises. A read fails when no byte comes within the limit
//   (ReadFailure::NoReply), when the device reports an error such as an unplugged adapter
//   or a closed port (PortError), or when an A/D result cannot be one (InvalidReply, see
//   below). The read then gives 0 for the failed byte (a word whose first byte failed is 0,
//   its second not waited for; one whose second failed keeps its first: 256 * first), and 0
//   for an invalid A/D result; errflag() turns True,
//   lastReadFailure() says which failure and lastReadError() why ("no reply from the board
//   within 200 ms", "the device was removed", "the board sent 42752, which is no A/D
//   result"). The next successful read clears errflag() and lastReadFailure().
//
//   Staying in step. The board's replies carry no framing and no checksum, so one byte too
//   many (line noise, a board reset) or too few would shift every later reply, and a shifted
//   reply can still look like a possible value. A reply counts only when the exchange proves
//   it:
//   - the line is quiet before every command: whatever the board sent that no command has
//     read is thrown away first (discardInput() does the same on request);
//   - a reply has exactly its length within its deadline (replyTimeout());
//   - no byte follows an A/D result (the last of a repeated conversion) before the next
//     command, nor within quietTime() (three byte times) after it. By default a2d and
//     readword wait that long before returning such a result, and fail it (0, errflag,
//     InvalidReply) when a byte comes. With setDeferredProof(true) they return at once; a
//     byte found waiting when the next command is due puts the result in doubt, and
//     settleReplies() waits for the quiet after the last one and says whether all were
//     proven: a caller that reads several channels in a row pays the quiet once;
//   - a reply that does not come in time is owed, however late it comes: the bytes the
//     exchange has not brought are counted and taken off the line as they come, before any
//     later reply (and the input is drained until the line has been quiet for 20 ms, at most
//     replyTimeout()). While bytes are owed, a command that gets a reply is sent behind the
//     status query: its answer must come right after the owed bytes, else the line lost
//     some of them, the count is void and that reply fails (InvalidReply). Bytes still owed
//     after kLateReplyLimit are taken as lost;
//   - A/D results are checked against the converter's layout as this link last set it with
//     a2dconf: right-justified (justify True, or a cselect that sets bit 7) a result is at
//     most 1023, left-justified its low 6 bits are 0. Until the link has configured the
//     converter (after opening, and after resetall) the layout is the board's own affair,
//     possibly left over from another program, so every word passes. A board that reset
//     and powered up left-justified shows here.
//   - The results of a repeated conversion (repeat(n) directly before a2d, then n - 1
//     readword calls) are checked one by one the same way; a byte gained or lost inside
//     them shifts the rest, so that one byte too many follows the last or the last does not
//     come in time. Once one of them fails, the rest of that conversion is drained, and
//     each remaining readword of it fails at once with the same failure instead of waiting
//     for results that will not come. Any other command, readbyte or discardInput ends the
//     conversion's check. So a caller summing the results uses them only once the last has
//     been read without errflag (or, deferred, settleReplies() said yes).
//   A stray byte can therefore still pass inside a reply only when it replaces a lost one
//   and the word it forms is a possible result. Replies other than A/D results get the
//   quiet line before their command and the exact length within the deadline.
//
// Waits
//   A reply (one or two bytes, or the handshake's status answer) must complete within
//   replyTimeout() (default 200 ms) of the read starting; an unplugged device fails the
//   read at once. Before sending, a command waits at most readyTimeout() (default 500 ms)
//   for CTS and for an owed reply; it then fails with 68. So a silent board fails any
//   command in about 220 ms: the reply limit and the drain's quiet time.
//   Commands that keep the board busy get that time on top, taking durations in the units
//   of protocol::units (1 ms; measurements in 1 us up to 65.535 ms): count's reply may take
//   its duration longer, pulsein's twice the measurement limit, rctime's the limit once; and
//   after pulseout, pwm and freq the next command's readiness wait and reply may take the
//   period or duration longer. Only the limits grow; nothing waits longer than the board.
//   A host may abandon a wait (abandonWait(), from any thread or a signal handler, e.g. on
//   Ctrl+C): the member waiting then fails with 18, within about 50 ms once the host has
//   called setAbandonable(true) (the C interface does), else when the wait ends.
//
// Threads
//   One thread at a time calls the members (but abandonWait()): a host's UI thread, or a
//   thread it hands the control to and takes it back from, as ZRVLOG's sampler does for a
//   run. The control does no locking of its own; two threads calling it at once is the
//   host's error. While a command waits for the board to become ready it lets the calling
//   thread process its events, so host code (a timer tick, a button) may issue commands
//   inside that wait; the reply-owed flag ("busy") keeps them from interleaving on the wire.
//   Reading a reply never processes events. Host code run from that wait must not destroy
//   the ZRVIO.

#include <QString>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

#include "board/export.h"
#include "board/protocol.h"
#include "board/serialport.h"

namespace zrv {

/// Why the latest failed read failed.
enum class ReadFailure { None, NoReply, InvalidReply, PortError };

/// What checkReplies() found.
enum class ReplyProof { Proven, Doubted, Pending };

class Host;
class PropertyBag;

class ZRV_EXPORT ZRVIO {
 public:
  static constexpr std::chrono::milliseconds kDefaultReplyTimeout{200};
  static constexpr std::chrono::milliseconds kDefaultReadyTimeout{500};
  /// Three byte times at 57,600 baud (10 bits each).
  static constexpr std::chrono::microseconds kDefaultQuietTime{521};
  /// Bytes of a timed-out reply that have not come after this long are taken as lost.
  static constexpr std::chrono::milliseconds kLateReplyLimit{1000};
  /// Valid port numbers (COM1 to COM255).
  static constexpr int16_t kMinCommPort = 1;
  static constexpr int16_t kMaxCommPort = 255;
  /// Raises 8002 ("COM0 is not a port number (1 to 255)") for a number outside them.
  static void checkCommPort(int32_t port);

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
  /// Why the last failed read failed, for people; empty until one has.
  QString lastReadError() const { return m_lastReadError; }
  /// Why the latest failed read failed; None after a successful read.
  ReadFailure lastReadFailure() const { return m_readFailure; }
  /// Makes the wait for the board under way, or else the next one, give up: the member
  /// fails with 18 (user interrupt). Safe from any thread and from a signal handler. False
  /// withdraws a request no wait has taken up yet.
  void abandonWait(bool abandon = true) noexcept { m_abandon.store(abandon); }
  /// Waits for replies in slices of 50 ms, so that abandonWait() ends them at once.
  void setAbandonable(bool abandonable) { m_abandonable = abandonable; }
  /// Discards whatever the board sent that no command has read (stale replies, noise).
  /// Results of a repeated conversion not read yet go too. Nothing happens while closed.
  void discardInput();
  /// How long the line must stay quiet after an A/D result for it to count as proven (see
  /// Staying in step); the default is three byte times.
  void setQuietTime(std::chrono::microseconds quiet) { m_quietTime = quiet; }
  std::chrono::microseconds quietTime() const { return m_quietTime; }
  /// Off (the default): every A/D result is proven before a2d or readword returns it.
  /// On: the caller proves them with settleReplies(), once after several reads in a row,
  /// so that a tick reading five channels waits for the line's quiet once, not five times.
  void setDeferredProof(bool deferred) { m_deferredProof = deferred; }
  bool deferredProof() const { return m_deferredProof; }
  /// Proves the A/D results read since the last call: waits until the line has been quiet
  /// for quietTime() after the last one. False when a byte followed any of them (before the
  /// next command, or now): they may be noise or replies out of step and must not be used.
  /// lastReadError() then says so; errflag() is left alone. Bytes that followed are drained.
  /// The quiet time counts from the last result: called later, it only looks at what is
  /// waiting (so a caller may prove a tick's replies when the next tick comes).
  bool settleReplies();
  /// settleReplies() without waiting. Pending when nothing is waiting but the quiet time
  /// after the last result has not passed yet: the results stay unproven and go with the
  /// next exchange, which a byte coming now would put out of step (one byte too many shifts
  /// every later reply), so that the next Proven or Doubted speaks for them too.
  ReplyProof checkReplies();
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
  /// True when the most recent read failed (see Failed reads above). "Error flag"
  bool errflag() const { return m_errflag; }
  /// Always fails: 387 in design mode, else 382.
  void setErrflag(bool value);
  /// Full reset of the board (5C). "Full reset"
  void resetall();

  // ---- Analog conversion and repeated reads --------------------------------------------

  /// One A/D conversion of channel pin (taken modulo 8; 5 when negative): sends 30+2p and
  /// returns the two reply bytes as 256 * first + second; 0 with errflag set for a result
  /// the configured layout rules out. "Read a analog input"
  int32_t a2d(int32_t pin);
  /// Configures the converter: sends 31 and the data byte makebyte(v), v = justify*80 |
  /// clkx2*40 | cselect*2; so for cselect 0-31 the byte is 80 + justify*40 + clkx2*20 +
  /// cselect. cselect 32-127 passes, its upper bits merging with clkx2 and justify (64 sets
  /// the justify bit); outside 0-127: 6. "Set the A/D configuration options"
  void a2dconf(bool justify, bool clkx2, int16_t cselect);
  /// Makes the board run the next repeatable command ct times (sends the argument ct - 1,
  /// then 5B). ct from 1 to 65536; 5 otherwise (6 for the smallest 32-bit value).
  /// "Set the repeat count for repeatable operations"
  void repeat(int32_t ct);
  /// One further reply byte of a repeated command; sends nothing, needs no open port (a
  /// failed read gives 0 and sets errflag). Reading a repeated conversion bytewise ends
  /// its check. "Read a byte from a repeat operation"
  int32_t readbyte();
  /// One further 16-bit reply, high byte first; as readbyte otherwise. The further results
  /// of a repeated conversion are checked as a2d's. "Read a word from a repeat operation"
  int32_t readword();

  // ---- Digital pins and the LED --------------------------------------------------------
  // Pin numbers are taken modulo 8; negative ones are refused with 5.

  /// The direction byte (1 bits mark inputs). With the port open it is read from the board
  /// (56) and stored; a failed read keeps the stored byte and sets errflag. With the port
  /// closed the stored byte. "Set data direction for pins (1=input)"
  int32_t tris();
  /// Stores the direction byte and, with the port open, sends it (02/03 and a data byte).
  /// Allowed in design mode. With the port open a value outside 0-255 is stored, then
  /// refused with 5 before anything is sent (and the next open refuses it too).
  void setTris(int32_t value);
  /// The pin byte (1 bits are high levels); read like tris() with 57. "State of all pins"
  int32_t pins();
  /// Stores the pin byte and, with the port open, sends it (04/05 and a data byte); as
  /// setTris() otherwise.
  void setPins(int32_t value);
  /// Inverts a pin (20+2p). "Switch state of pin"
  void toggle(int32_t pin);
  /// Drives a pin high (11+2p). "Set pin to high"
  void high(int32_t pin);
  /// Drives a pin low (10+2p). "Set pin to low"
  void low(int32_t pin);
  /// Reads a pin (21+2p): 0 when the board answers "0", else 1 (also when the read fails;
  /// errflag tells). "Read input"
  int32_t inp(int32_t pin);
  /// The LED cannot be read back: always 393.
  [[noreturn]] bool led() const;
  /// Switches the LED (0D on, 0C off). 387 in design mode. "Sets LED state"
  void setLed(bool on);

  // ---- Pulses, frequencies and the counter ---------------------------------------------
  // Durations, periods and fdurations are 16-bit operands (0-65535; 5 otherwise) passed to
  // the board unchanged.

  /// Counts the transitions on a pin during duration (argument, then 40+2p); returns the
  /// 16-bit reply. "Count the number of transitions on a pin"
  int32_t count(int32_t pin, int32_t duration);
  /// A pulse of period on a pin (argument, then 41+2p). "Generate a pulse"
  void pulseout(int32_t pin, int32_t period);
  /// Measures a pulse of a state (taken modulo 2; 5 when negative) on a pin (70+2p+state);
  /// returns the 16-bit reply. "Pulse input"
  int32_t pulsein(int32_t pin, int32_t state);
  /// Pulse-width modulation with duty 0-255 for fduration: on pin -1 the board's fixed PWM
  /// output (argument, 54+bit 0, data byte), else on a pin (argument, 60+2p+bit 0, data byte).
  /// "Pulse width modulator"
  void pwm(int32_t pin, int32_t duty, int32_t fduration);
  /// A tone (0-32767) on a pin for duration (argument, then 0E and three data bytes).
  /// "Outputs a frequency"
  void freq(int32_t pin, int32_t tone, int32_t duration);
  /// Measures the RC time of a pin starting in state 0 or 1 (0E, A0+2p+state); returns the
  /// 16-bit reply. Other states would address another pin: 5. "Measure RC time constant"
  int32_t rctime(int32_t pin, int32_t state);
  /// Reads the counter/timer (5A); returns the 16-bit reply. "Counter or timer output"
  int32_t counter();
  /// Always fails: 387 in design mode, else 382.
  [[noreturn]] void setCounter(int32_t value);
  /// Sets the counter/timer's prescaler (2, 4 or 8; any other value: none) and mode (true:
  /// counts, false: times) with 0E 90+code+mode. "Set counter or timer prescaler and mode"
  void setcounter(int16_t prescale, bool countmode);

  // ---- EEPROM ---------------------------------------------------------------------------

  /// One EEPROM byte at add (0-65535; argument, then 52). With the port closed: 8012, the
  /// serial port's own error, as the address goes out before the command. "EEPROM storage"
  int32_t eeprom(int32_t add);
  /// Writes value (0-255) at add (argument, 50+bit 0, data byte). 387 in design mode.
  void setEeprom(int32_t add, int32_t value);

  // ---- Stored properties ---------------------------------------------------------------
  // "CommPort" (default 1), "tris" (255) and "pins" (0) travel with the host's saved form.

  /// A new control: direction byte 255, pin byte 0, errflag false; the port number stays.
  void initProperties();
  /// Restores the stored properties (missing keys take their defaults); sends nothing.
  /// 8000 while the port is open; 13 for a value that is not a number, 8002 for a port
  /// number outside 1-255 (nothing changes then).
  void readProperties(const PropertyBag& bag);
  /// Saves the stored properties; values equal to their defaults are not written.
  void writeProperties(PropertyBag& bag) const;

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
  [[noreturn]] void throwPortError(int number, const QString& reason, bool timedOut = false) const;
  /// Raises 18 when the host asked to abandon the wait (and takes the request up).
  void throwIfAbandoned();
  void requireRunTimeSet(const char* property) const;
  void checkPin(int32_t pin) const;

  // The guarded send: open check (68), readiness wait (68 on timeout), busy, one write.
  // When a reply is expected the returned hold keeps busy True until it goes.
  // replyBytes: the reply's length (of one run when repeated); 0 for none.
  static constexpr int kNoReply = 0;
  static constexpr int kByteReply = 1;
  static constexpr int kWordReply = 2;
  [[nodiscard]] BusyHold sendcmd(uint8_t command, int replyBytes);
  [[nodiscard]] BusyHold sendcmddata(uint8_t command, const QByteArray& data, int replyBytes);
  [[nodiscard]] BusyHold sendargcmd(int32_t argument, uint8_t command, const QByteArray& data,
                                    int replyBytes);
  BusyHold guardedWrite(const QByteArray& bytes, int replyBytes);
  /// Takes what is waiting off the line, late bytes first; true when a byte beyond them was.
  bool discardStale();
  /// Reads the late bytes still owed and the status answer sent ahead of this reply; false
  /// (the read failed) when they do not come or the answer is not where it must be.
  bool catchUp(Deadline deadline);
  /// One byte from the port, or the read failed (errflag) and says why.
  ByteRead receive(Deadline deadline);
  void waitUntilReady();
  void writeBytes(const QByteArray& bytes);
  /// When a reply must be complete: the reply limit, plus whatever the board is still known
  /// to be busy with, plus `busy` for the command itself.
  Deadline replyDeadline(Clock::duration busy = Clock::duration::zero()) const;
  /// Notes that the command just sent keeps the board busy for a while.
  void boardBusyFor(Clock::duration busy);
  /// One reply byte, or 0 with errflag set when none arrives by the deadline.
  uint8_t getbyte(Deadline deadline);
  /// Two reply bytes, high byte first; the second is not waited for when the first failed.
  int32_t getword(Deadline deadline);
  /// An A/D result: a word the converter's layout allows, else 0 with errflag set.
  int32_t getA2dResult(Deadline deadline);
  /// Records a failed read (errflag, failure, reason) and drains what is still arriving.
  void failRead(ReadFailure failure, const QString& reason);
  /// Reads and throws away bytes until the line is quiet.
  void drainInput();
  /// Whether a byte arrives by `until`; what arrives is drained.
  bool byteFollows(Deadline until);
  /// A result already handed out turned out doubtful; settleReplies() reports it.
  void noteDoubt(const QString& reason);
  /// The last result of an A/D exchange: proven now, or left for settleReplies().
  int32_t lastA2dResult(int32_t value);
  /// Forgets the further results of the last repeated conversion.
  void forgetOwedResults();
  /// Reads a stored byte back from the board (56 or 57) into *stored.
  int32_t readStoredByte(uint8_t command, int32_t* stored);
  /// Stores a byte property and, with the port open, sends it (02 or 04, data byte).
  void writeStoredByte(const char* property, uint8_t command, int32_t value, int32_t* stored);

  void openPort();
  void closePort();
  void handshake();
  void sendPins();
  void sendTris();
  void sendStoredByte(const char* property, uint8_t command, int32_t value);

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
  Deadline m_boardBusyUntil{};  ///< until when the board may still run the last command
  QString m_lastReadError;
  ReadFailure m_readFailure = ReadFailure::None;

  // Set by abandonWait() from any thread, taken up by the wait it ends.
  std::atomic<bool> m_abandon{false};
  bool m_abandonable = false;

  // The converter as this link has configured it, and the repeated conversion under way.
  protocol::A2dLayout m_a2dLayout = protocol::A2dLayout::Unknown;
  int32_t m_pendingRepeat = 1;  ///< what the board repeats the next command (if repeatable)
  int32_t m_lastRepeat = 1;     ///< ... and what it applied to the last command sent
  int32_t m_resultsOwed = 0;    ///< further results of the last a2d not read yet
  ReadFailure m_resultsLost = ReadFailure::None;  ///< why they were drained, if they were
  // Proving A/D results (see Staying in step).
  std::chrono::microseconds m_quietTime = kDefaultQuietTime;
  bool m_deferredProof = false;
  bool m_unproven = false;    ///< an A/D exchange was read in full; nothing has followed it yet
  bool m_doubted = false;     ///< a byte followed a result since the last settleReplies()
  Deadline m_lastResultAt{};  ///< when the last A/D result was read in full
  // Late replies (see Staying in step).
  int m_replyLeft = 0;       ///< bytes the reply under way has still to bring
  bool m_markerDue = false;  ///< the status answer goes ahead of the reply under way
  int m_lateBytes = 0;       ///< bytes owed by replies that came too late
  Deadline m_lateSince{};    ///< when the oldest of them was given up
};

}  // namespace zrv
