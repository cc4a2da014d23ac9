#pragma once
// A ZRVIO linked to a scripted board, with a port map of its own and short deadlines.

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <chrono>
#include <functional>
#include <span>

#include "board/portmap.h"
#include "board/zrvio.h"
#include "testhost.h"
#include "tests/fakes/scriptedboard.h"

namespace zrv {

/// What opening sends to a board that answers "3": sync, status, pins 0, directions 255.
inline constexpr char kHandshake[] = "00 01 04 80 03 FF";

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // No mapping unless a test makes one.
    ASSERT_TRUE(m_config.isValid());
    qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit());
    portmap::clearProcessOverrides();
    io.setPortFactory(board.factory());
    io.setReplyTimeout(std::chrono::milliseconds(50));
    io.setReadyTimeout(std::chrono::milliseconds(100));
  }

  /// Opens the link with a board that answers the status query, and forgets the handshake.
  void open() {
    board.expect(fake::hex("00 01"), fake::hex("33"));
    io.setPortopen(true);
    ASSERT_EQ(fake::toHex(board.written()), kHandshake);
    m_mark = board.written().size();
  }
  /// The bytes written since open().
  QString sent() const { return fake::toHex(board.written().mid(m_mark)); }

  /// A member called on a freshly opened link: what it must send, the reply it gets and
  /// what it must return.
  struct ByteCase {
    const char* name;
    std::function<int32_t(ZRVIO&)> call;
    const char* out;
    const char* reply;
    int32_t result;
  };
  void expectBytes(std::span<const ByteCase> cases) {
    for (const ByteCase& c : cases) {
      fake::ScriptedBoard b;
      ZRVIO link(&host);
      link.setPortFactory(b.factory());
      b.expect(fake::hex("00 01"), fake::hex("33"));
      link.setPortopen(true);
      b.expect(fake::hex(c.out), fake::hex(c.reply));
      EXPECT_EQ(c.call(link), c.result) << c.name;
      EXPECT_EQ(fake::toHex(b.written().mid(6)), c.out) << c.name;
      EXPECT_FALSE(link.errflag()) << c.name;
      EXPECT_TRUE(link.ready()) << c.name;
      EXPECT_EQ(b.unread(), 0) << c.name;
    }
  }

  QTemporaryDir m_config;
  fake::ScriptedBoard board;
  TestHost host;
  ZRVIO io{&host};
  qsizetype m_mark = 0;
};

}  // namespace zrv
