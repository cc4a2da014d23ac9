#include "tests/fakes/scriptedboard.h"

#include <thread>

namespace zrv::fake {

QByteArray hex(const char* text) {
  return QByteArray::fromHex(QByteArray(text).replace(' ', QByteArray()));
}

QString toHex(const QByteArray& bytes) {
  return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

class ScriptedBoard::Port final : public SerialPort {
 public:
  Port(ScriptedBoard& board, QString device) : m_board(board), m_device(std::move(device)) {}
  ~Port() override { close(); }

  PortStatus open() override {
    const PortStatus status = m_board.open(m_device);
    m_open = status.ok();
    return status;
  }
  void close() override {
    if (m_open) m_board.close();
    m_open = false;
  }
  bool isOpen() const override { return m_open; }
  PortStatus write(const QByteArray& bytes, Deadline) override {
    if (!m_open) return PortStatus::failure(PortStatus::Code::NotOpen, "the port is not open");
    return m_board.write(bytes);
  }
  ByteRead readByte(Deadline deadline) override {
    if (!m_open) return {0, PortStatus::failure(PortStatus::Code::NotOpen, "the port is not open")};
    return m_board.readByte(deadline);
  }
  bool cts() override { return m_board.m_cts; }
  void discardInput() override {
    if (m_open) m_board.discardInput();
  }
  bool discardWaiting() override {
    if (!m_open || m_board.unread() == 0) return false;
    m_board.discardInput();
    return true;
  }

 private:
  ScriptedBoard& m_board;
  QString m_device;
  bool m_open = false;
};

ZRVIO::PortFactory ScriptedBoard::factory() {
  return [this](const QString& device) { return std::make_unique<Port>(*this, device); };
}

void ScriptedBoard::expect(const QByteArray& out, const QByteArray& reply) {
  m_expectations.append({out, reply});
}

void ScriptedBoard::queueReply(const QByteArray& bytes) {
  m_replies += bytes;
}

void ScriptedBoard::failOpen(PortStatus::Code code, const QString& reason) {
  m_openFailure = PortStatus::failure(code, reason);
}

void ScriptedBoard::failNextWrite(PortStatus::Code code, const QString& reason) {
  m_writeFailure = PortStatus::failure(code, reason);
}

void ScriptedBoard::failReads(PortStatus::Code code, const QString& reason) {
  m_readFailure = PortStatus::failure(code, reason);
}

PortStatus ScriptedBoard::open(const QString& device) {
  m_devices.append(device);
  if (!m_openFailure.ok()) return std::exchange(m_openFailure, PortStatus::success());
  m_open = true;
  ++m_opens;
  return PortStatus::success();
}

PortStatus ScriptedBoard::write(const QByteArray& bytes) {
  if (!m_writeFailure.ok()) return std::exchange(m_writeFailure, PortStatus::success());
  m_written += bytes;
  m_unmatched += bytes;
  matchExpectations();
  if (onWrite) onWrite(bytes);
  return PortStatus::success();
}

void ScriptedBoard::matchExpectations() {
  while (!m_expectations.isEmpty() && !m_unmatched.isEmpty()) {
    const Expectation& next = m_expectations.first();
    if (m_unmatched.startsWith(next.out)) {
      m_unmatched.remove(0, next.out.size());
      m_replies += next.reply;
      m_expectations.removeFirst();
    } else if (next.out.startsWith(m_unmatched)) {
      return;  // part of the expected bytes so far
    } else {
      m_mismatches.append(
          QStringLiteral("expected %1, written %2").arg(toHex(next.out), toHex(m_unmatched)));
      m_unmatched.clear();
      m_expectations.clear();
    }
  }
  // Bytes written while nothing is expected are not held against later expectations.
  if (m_expectations.isEmpty()) m_unmatched.clear();
}

void ScriptedBoard::discardInput() {
  ++m_discards;
  m_discarded += m_replies.mid(m_replyPos);
  m_replyPos = m_replies.size();
}

ByteRead ScriptedBoard::readByte(Deadline deadline) {
  m_readDeadlines.append(deadline);
  if (onRead) onRead();
  if (!m_readFailure.ok()) return {0, m_readFailure};
  if (m_replyPos < m_replies.size())
    return {static_cast<uint8_t>(m_replies[m_replyPos++]), PortStatus::success()};
  if (!m_instantTimeouts) std::this_thread::sleep_until(deadline);
  return {0, PortStatus::failure(PortStatus::Code::TimedOut, QStringLiteral("no reply"))};
}

}  // namespace zrv::fake
