// The stored properties: a control saves what differs from its defaults into a QSettings
// group and is restored from it, without talking to the board.
#include "board/propertybag.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "board/zrvio.h"
#include "common/automationerror.h"
#include "testhost.h"
#include "tests/fakes/scriptedboard.h"
#include "tests/support/errorof.h"

namespace zrv {
namespace {

class PropertyBagTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }

  QString file() const { return m_dir.filePath("form.ini"); }
  /// The keys saved in the form's group, as another process would find them on disk.
  QStringList savedKeys() const {
    QSettings s(file(), QSettings::IniFormat);
    s.beginGroup("ZRVIO1");
    return s.childKeys();
  }

  QTemporaryDir m_dir;
  TestHost host;
};

TEST_F(PropertyBagTest, DefaultsAreNotWrittenAndLoadAsTheSameState) {
  {
    ZRVIO io(&host);
    QSettings settings(file(), QSettings::IniFormat);
    SettingsPropertyBag bag(settings, "ZRVIO1");
    io.writeProperties(bag);
  }
  EXPECT_EQ(savedKeys(), QStringList());
  ZRVIO loaded(&host);
  loaded.setCommPort(9);
  loaded.setTris(1);
  loaded.setPins(2);
  QSettings settings(file(), QSettings::IniFormat);
  loaded.readProperties(SettingsPropertyBag(settings, "ZRVIO1"));
  EXPECT_EQ(loaded.CommPort(), 1);
  EXPECT_EQ(loaded.tris(), 255);
  EXPECT_EQ(loaded.pins(), 0);
}

TEST_F(PropertyBagTest, ChangedValuesRoundTripThroughTheFileWithoutOpeningTheLink) {
  const struct {
    int16_t port;
    int32_t tris, pins;
    QStringList keys;
  } cases[] = {
      {3, 255, 0, {"CommPort"}},
      {1, 15, 0, {"tris"}},
      {1, 255, 90, {"pins"}},
      {255, 0, 255, {"CommPort", "pins", "tris"}},
      {2, 300, -1, {"CommPort", "pins", "tris"}},  // kept as stored; refused only when sent
  };
  for (const auto& c : cases) {
    {
      ZRVIO io(&host);
      io.setCommPort(c.port);
      io.setTris(c.tris);
      io.setPins(c.pins);
      QSettings settings(file(), QSettings::IniFormat);
      SettingsPropertyBag bag(settings, "ZRVIO1");
      io.writeProperties(bag);
    }
    EXPECT_EQ(savedKeys(), c.keys) << c.port;
    fake::ScriptedBoard board;
    ZRVIO loaded(&host);
    loaded.setPortFactory(board.factory());
    QSettings settings(file(), QSettings::IniFormat);
    loaded.readProperties(SettingsPropertyBag(settings, "ZRVIO1"));
    EXPECT_EQ(loaded.CommPort(), c.port);
    EXPECT_EQ(loaded.tris(), c.tris);
    EXPECT_EQ(loaded.pins(), c.pins);
    EXPECT_FALSE(loaded.portopen());
    EXPECT_EQ(board.opens(), 0);
  }
}

TEST_F(PropertyBagTest, ValuesBackAtTheirDefaultsAreRemovedFromTheBag) {
  QSettings settings(file(), QSettings::IniFormat);
  SettingsPropertyBag bag(settings, "ZRVIO1");
  ZRVIO io(&host);
  io.setCommPort(4);
  io.setPins(8);
  io.writeProperties(bag);
  io.setCommPort(1);
  io.setPins(0);
  io.writeProperties(bag);
  settings.sync();
  EXPECT_EQ(savedKeys(), QStringList());
}

TEST_F(PropertyBagTest, BadStoredValuesAreRefusedAndChangeNothing) {
  const struct {
    const char* key;
    const char* value;
    int error;
  } cases[] = {
      {"CommPort", "abc", err::kTypeMismatch}, {"CommPort", "0", err::kPortInvalid},
      {"CommPort", "256", err::kPortInvalid},  {"CommPort", "-3", err::kPortInvalid},
      {"tris", "", err::kTypeMismatch},        {"pins", "1.5e3x", err::kTypeMismatch},
      {"pins", "99999999999", err::kOverflow},
  };
  for (const auto& c : cases) {
    QSettings settings(file(), QSettings::IniFormat);
    settings.clear();
    settings.setValue(QStringLiteral("ZRVIO1/%1").arg(c.key), c.value);
    ZRVIO io(&host);
    io.setCommPort(5);
    io.setTris(6);
    io.setPins(7);
    EXPECT_EQ(errorOf([&] { io.readProperties(SettingsPropertyBag(settings, "ZRVIO1")); }), c.error)
        << c.key << "=" << c.value;
    EXPECT_EQ(io.CommPort(), 5);
    EXPECT_EQ(io.tris(), 6);
    EXPECT_EQ(io.pins(), 7);
  }
}

TEST_F(PropertyBagTest, LoadingIntoAnOpenLinkIsRefused) {
  fake::ScriptedBoard board;
  board.setInstantTimeouts(true);
  ZRVIO io(&host);
  io.setPortFactory(board.factory());
  io.setPortopen(true);
  QSettings settings(file(), QSettings::IniFormat);
  EXPECT_EQ(errorOf([&] { io.readProperties(SettingsPropertyBag(settings, "ZRVIO1")); }),
            err::kPortOpen);
}

TEST_F(PropertyBagTest, InitialisingResetsTheStoredBytesAndTheFlagButKeepsThePort) {
  ZRVIO io(&host);
  io.setCommPort(6);
  io.setTris(1);
  io.setPins(2);
  io.readbyte();  // a read on a closed port sets the flag
  ASSERT_TRUE(io.errflag());
  io.initProperties();
  EXPECT_EQ(io.CommPort(), 6);
  EXPECT_EQ(io.tris(), 255);
  EXPECT_EQ(io.pins(), 0);
  EXPECT_FALSE(io.errflag());
}

}  // namespace
}  // namespace zrv
