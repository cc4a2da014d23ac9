#pragma once
// The board control of the program: a ZRVIO from the board library behind BoardControl.
//
// The program reads the board on an acquisition thread of its own, so a command waiting for
// the board has no events to let through: the link's host never runs the event loop from
// inside a board wait, which keeps a queued stop or a new setting from running in the middle
// of a tick.

#include "app/acquisition/boardcontrol.h"
#include "board/host.h"
#include "board/zrvio.h"

namespace zrvlog {

class ZrvioLink : public BoardControl {
 public:
  /// host: null for a host that lets no events run during board waits.
  /// The tick proves the replies of all its channels at once (settleReplies).
  explicit ZrvioLink(zrv::Host* host = nullptr) : m_zrvio(host ? host : &m_quietHost) {
    m_zrvio.setDeferredProof(true);
  }

  zrv::ZRVIO& zrvio() { return m_zrvio; }

  bool portopen() const override { return m_zrvio.portopen(); }
  void setPortopen(bool open) override { m_zrvio.setPortopen(open); }
  int16_t CommPort() const override { return m_zrvio.CommPort(); }
  void setCommPort(int16_t port) override { m_zrvio.setCommPort(port); }
  void resetall() override { m_zrvio.resetall(); }
  void a2dconf(bool justify, bool clkx2, int16_t cselect) override {
    m_zrvio.a2dconf(justify, clkx2, cselect);
  }
  void repeat(int32_t ct) override { m_zrvio.repeat(ct); }
  int32_t a2d(int32_t pin) override { return m_zrvio.a2d(pin); }
  int32_t readword() override { return m_zrvio.readword(); }
  bool errflag() const override { return m_zrvio.errflag(); }
  QString lastReadError() const override { return m_zrvio.lastReadError(); }
  ReadFailure lastReadFailure() const override { return m_zrvio.lastReadFailure(); }
  void discardInput() override;
  bool settleReplies() override { return m_zrvio.settleReplies(); }
  ReplyProof checkReplies() override { return m_zrvio.checkReplies(); }
  std::chrono::microseconds quietTime() const override { return m_zrvio.quietTime(); }
  QString portDescription() const override { return m_zrvio.portDescription(); }
  QString deviceName() const override;

 private:
  class QuietHost : public zrv::Host {
   public:
    void processEvents() override {}
  };
  QuietHost m_quietHost;  // declared before the control that points at it
  zrv::ZRVIO m_zrvio;
};

}  // namespace zrvlog
