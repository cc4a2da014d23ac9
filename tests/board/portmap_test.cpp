#include "board/portmap.h"

#include <gtest/gtest.h>

#include <QSettings>
#include <QTemporaryDir>

namespace zrv::portmap {
namespace {

class PortMapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_config.isValid());
    qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit());
    clearProcessOverrides();
  }
  void TearDown() override { clearProcessOverrides(); }

  /// Writes the file as another program (or a person with an editor) would.
  void writeFile(const QString& key, const QString& value) {
    QSettings file(m_config.path() + "/Corvane/ZRV.conf", QSettings::IniFormat);
    file.setValue("Ports/" + key, value);
  }

  QTemporaryDir m_config;
};

TEST_F(PortMapTest, TheFileLivesUnderTheUsersConfigFolder) {
  EXPECT_EQ(configFile(), m_config.path() + "/Corvane/ZRV.conf");
}

TEST_F(PortMapTest, LookupPrefersOverrideThenFileThenDefault) {
  writeFile("COM3", "/dev/ttyUSB0");
  writeFile("COM4", "sim");
  writeFile("COM6", "  /dev/ttyACM1 ");
  writeFile("COM7", "");
  overrideForProcess(4, "/dev/pts/9");
  overrideForProcess(8, "sim");
  const struct {
    int16_t port;
    Entry expected;
  } cases[] = {
      {1, {1, "/dev/ttyS0", Source::Default}}, {2, {2, "/dev/ttyS1", Source::Default}},
      {3, {3, "/dev/ttyUSB0", Source::File}},  {4, {4, "/dev/pts/9", Source::Process}},
      {6, {6, "/dev/ttyACM1", Source::File}},  {7, {7, "/dev/ttyS6", Source::Default}},
      {8, {8, "sim", Source::Process}},        {255, {255, "/dev/ttyS254", Source::Default}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(lookup(c.port), c.expected) << "COM" << c.port;
    EXPECT_EQ(resolve(c.port), c.expected.device) << "COM" << c.port;
  }
  overrideForProcess(4, "");
  EXPECT_EQ(lookup(4), (Entry{4, "sim", Source::File}));
}

TEST_F(PortMapTest, EntriesListFileAndOverridesByNumber) {
  writeFile("COM10", "/dev/ttyUSB1");
  writeFile("COM2", "sim");
  writeFile("COMX", "/dev/ignored");
  writeFile("Other", "/dev/ignored");
  overrideForProcess(2, "/dev/pts/3");
  overrideForProcess(5, "sim");
  EXPECT_EQ(entries(), (QList<Entry>{{2, "/dev/pts/3", Source::Process},
                                     {5, "sim", Source::Process},
                                     {10, "/dev/ttyUSB1", Source::File}}));
}

TEST_F(PortMapTest, SetMappingWritesAndRemovesFileEntries) {
  QString error;
  ASSERT_TRUE(setMapping(3, "/dev/ttyUSB2", &error)) << error.toStdString();
  EXPECT_EQ(lookup(3), (Entry{3, "/dev/ttyUSB2", Source::File}));
  QSettings file(configFile(), QSettings::IniFormat);
  EXPECT_EQ(file.value("Ports/COM3").toString(), "/dev/ttyUSB2");
  ASSERT_TRUE(setMapping(3, ""));
  EXPECT_EQ(lookup(3).source, Source::Default);
  // Overrides are never written to the shared file.
  overrideForProcess(4, "sim");
  QSettings again(configFile(), QSettings::IniFormat);
  EXPECT_FALSE(again.contains("Ports/COM4"));
}

TEST_F(PortMapTest, UnwritableFileIsReported) {
  // A plain file where the folder should be makes the map unwritable.
  QFile blocker(m_config.path() + "/Corvane");
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  QString error;
  EXPECT_FALSE(setMapping(3, "/dev/ttyUSB2", &error));
  EXPECT_TRUE(error.contains(configFile())) << error.toStdString();
}

}  // namespace
}  // namespace zrv::portmap
