#pragma once
// A board behind the engine's BoardControl for tests: channel c reads rawValue(c) (or what a
// test sets), every call is logged, failures can be injected, and a hook runs inside a2d as
// a board wait would run other commands.

#include <QString>
#include <QStringList>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <thread>

#include "app/acquisition/boardcontrol.h"
#include "common/automationerror.h"

namespace zrvtest {

class FakeBoardControl : public zrvlog::BoardControl {
 public:
  std::array<int32_t, 8> raw{100, 200, 300, 400, 500, 600, 700, 800};
  QStringList
      calls;  // "open", "close", "resetall", "a2dconf(1,1,0)", "repeat(4)", "a2d(0)", "readword"
  std::optional<zrv::AutomationError> failOpen, failA2dconf, failA2d;
  bool silent = false;  // reads time out: 0 with errflag
  int failReads = 0;    // the next this many reads fail as silent ones do
  zrvlog::ReadFailure failureKind = zrvlog::ReadFailure::NoReply;  // of a failed read
  bool logCalls = true;                    // off for long runs, where the log would dominate
  std::function<void(int32_t)> duringA2d;  // runs inside a2d, before it returns
  // How long every a2d takes, as a board at the end of a slow line or busy with a long
  // command would; may be changed from another thread while a run goes on.
  std::atomic<int> a2dMilliseconds{0};

  bool portopen() const override { return m_open; }
  void setPortopen(bool open) override {
    if (open && failOpen) throw *failOpen;
    if (open && m_open) throw zrv::AutomationError(8005, QStringLiteral("already open"));
    log(open ? QStringLiteral("open") : QStringLiteral("close"));
    m_open = open;
  }
  int16_t CommPort() const override { return m_port; }
  void setCommPort(int16_t port) override {
    if (port < 1 || port > 255) throw zrv::AutomationError(8002, QStringLiteral("COM%1").arg(port));
    m_port = port;
  }
  void resetall() override {
    requireOpen();
    log(QStringLiteral("resetall"));
  }
  void a2dconf(bool justify, bool clkx2, int16_t cselect) override {
    requireOpen();
    if (failA2dconf) throw *failA2dconf;
    log(QStringLiteral("a2dconf(%1,%2,%3)").arg(int(justify)).arg(int(clkx2)).arg(cselect));
  }
  void repeat(int32_t ct) override {
    requireOpen();
    log(QStringLiteral("repeat(%1)").arg(ct));
  }
  int32_t a2d(int32_t pin) override {
    if (duringA2d) duringA2d(pin);
    if (const int ms = a2dMilliseconds.load())
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    requireOpen();
    if (failA2d) throw *failA2d;
    log(QStringLiteral("a2d(%1)").arg(pin));
    m_lastPin = pin;
    m_errflag = readFails();
    return m_errflag ? 0 : raw[pin % 8];
  }
  int32_t readword() override {
    log(QStringLiteral("readword"));
    m_errflag = readFails();
    return m_errflag ? 0 : raw[m_lastPin % 8];
  }
  bool errflag() const override { return m_errflag; }
  QString lastReadError() const override {
    if (!m_errflag) return {};
    return failureKind == zrvlog::ReadFailure::PortError
               ? QStringLiteral("the device was removed")
               : QStringLiteral("no reply from the board within 200 ms");
  }
  zrvlog::ReadFailure lastReadFailure() const override {
    return m_errflag ? failureKind : zrvlog::ReadFailure::None;
  }
  void discardInput() override { log(QStringLiteral("discardInput")); }
  // The next this many ticks find a byte following their replies.
  std::atomic<int> doubtTicks{0};
  // Every proof that waits for the line's quiet (not a look without waiting) finds a byte.
  std::atomic<bool> doubtSettles{false};
  std::chrono::microseconds quietTime() const override { return std::chrono::microseconds(500); }
  bool settleReplies() override { return !doubtSettles && proof(); }
  bool proof() {
    if (doubtTicks <= 0) return true;
    --doubtTicks;
    return false;
  }
  // The next this many looks without waiting come before the line's quiet time has passed.
  int pendingChecks = 0;
  zrvlog::ReplyProof checkReplies() override {
    if (pendingChecks > 0) {
      --pendingChecks;
      return zrvlog::ReplyProof::Pending;
    }
    return proof() ? zrvlog::ReplyProof::Proven : zrvlog::ReplyProof::Doubted;
  }
  QString portDescription() const override { return QStringLiteral("COM%1 (fake)").arg(m_port); }
  QString deviceName() const override { return QStringLiteral("/dev/fake%1").arg(m_port); }

  int count(const QString& call) const { return static_cast<int>(calls.count(call)); }
  void log(const QString& call) {
    if (logCalls) calls << call;
  }

 private:
  bool readFails() {
    if (silent) return true;
    if (failReads <= 0) return false;
    --failReads;
    return true;
  }
  void requireOpen() const {
    if (!m_open)
      throw zrv::AutomationError(zrv::err::kDeviceUnavailable, QStringLiteral("port closed"));
  }
  bool m_open = false;
  bool m_errflag = false;
  int16_t m_port = 1;
  int32_t m_lastPin = 0;
};

}  // namespace zrvtest
