#pragma once
// A ZRVIO linked to a scripted board, with a port map of its own and short deadlines.

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <chrono>

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

  QTemporaryDir m_config;
  fake::ScriptedBoard board;
  TestHost host;
  ZRVIO io{&host};
  qsizetype m_mark = 0;
};

}  // namespace zrv
