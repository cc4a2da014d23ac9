#pragma once
// A scripted stand-in for a board on a serial port, for tests of ZRVIO and its hosts.
//
//   fake::ScriptedBoard board;
//   io.setPortFactory(board.factory());
//   board.expect(hex("30"), hex("03FF"));  // once 30 has been written, 03 FF can be read
//   EXPECT_EQ(io.a2d(0), 1023);
//   EXPECT_EQ(board.written(), hex("30"));
//
// The test owns the board; ZRVIO opens ports bound to it through factory(). Every byte
// written is logged; expectations are matched in order against the written byte stream
// (bytes written while no expectation is pending are not matched), and each match makes its
// reply readable. Bytes queued with queueReply are readable at
// once. A read with nothing to give waits for its deadline (as a silent device does) unless
// setInstantTimeouts is on. discardInput drops what is readable (see discarded()).
// Failures can be injected for open, write and read.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

#include "board/serialport.h"
#include "board/zrvio.h"

namespace zrv::fake {

/// Bytes from hex text, spaces allowed: hex("0A 80 81").
QByteArray hex(const char* text);
/// Hex text of bytes for messages: "0A 80 81".
QString toHex(const QByteArray& bytes);

class ScriptedBoard {
 public:
  ScriptedBoard() = default;
  ScriptedBoard(const ScriptedBoard&) = delete;
  ScriptedBoard& operator=(const ScriptedBoard&) = delete;

  /// Ports bound to this board (it must outlive them).
  ZRVIO::PortFactory factory();

  /// Once `out` has been written (after the previous expectation), `reply` becomes readable.
  void expect(const QByteArray& out, const QByteArray& reply = {});
  /// Bytes readable right away.
  void queueReply(const QByteArray& bytes);
  void setCts(bool asserted) { m_cts = asserted; }
  /// The next open fails with this status.
  void failOpen(PortStatus::Code code, const QString& reason);
  /// The next write fails with this status (nothing of it is logged).
  void failNextWrite(PortStatus::Code code, const QString& reason);
  /// Every read fails at once with this status (an unplugged device).
  void failReads(PortStatus::Code code, const QString& reason);
  /// Reads with nothing to give fail at once instead of waiting for their deadline.
  void setInstantTimeouts(bool instant) { m_instantTimeouts = instant; }

  /// Called before each read is served, and after each write is logged.
  std::function<void()> onRead;
  std::function<void(const QByteArray&)> onWrite;

  QByteArray written() const { return m_written; }
  /// The deadline of every read so far, in order.
  QList<Deadline> readDeadlines() const { return m_readDeadlines; }
  /// Expectations that did not match what was written, as text.
  QStringList mismatches() const { return m_mismatches; }
  /// All expectations were met, none mismatched.
  bool scriptDone() const { return m_expectations.isEmpty() && m_mismatches.isEmpty(); }
  /// Bytes queued but not read yet.
  qsizetype unread() const { return m_replies.size() - m_replyPos; }
  /// Bytes thrown away unread by discardInput, in order, and how often it was called.
  QByteArray discarded() const { return m_discarded; }
  int discards() const { return m_discards; }
  bool isOpen() const { return m_open; }
  int opens() const { return m_opens; }
  QStringList devicesOpened() const { return m_devices; }

 private:
  class Port;
  friend class Port;

  PortStatus open(const QString& device);
  void close() { m_open = false; }
  PortStatus write(const QByteArray& bytes);
  ByteRead readByte(Deadline deadline);
  void discardInput();
  void matchExpectations();

  struct Expectation {
    QByteArray out;
    QByteArray reply;
  };
  QList<Expectation> m_expectations;
  QByteArray m_unmatched;  ///< written since the last matched expectation
  QByteArray m_written;
  QByteArray m_replies;
  qsizetype m_replyPos = 0;
  QByteArray m_discarded;
  int m_discards = 0;
  QStringList m_mismatches;
  QStringList m_devices;
  QList<Deadline> m_readDeadlines;
  PortStatus m_openFailure;
  PortStatus m_writeFailure;
  PortStatus m_readFailure;
  bool m_cts = true;
  bool m_open = false;
  bool m_instantTimeouts = false;
  int m_opens = 0;
};

}  // namespace zrv::fake
