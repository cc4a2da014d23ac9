#include "board/portmap.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <cerrno>
#include <optional>

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

  /// Puts bytes where the port map goes (creating its folder).
  void putFile(const QByteArray& bytes) {
    ASSERT_TRUE(QDir().mkpath(m_config.path() + "/Corvane"));
    QFile file(configFile());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
  }
  /// The port map's bytes, or nothing when it is not a readable file.
  std::optional<QByteArray> fileBytes() const {
    QFile file(configFile());
    if (!QFileInfo(configFile()).isFile() || !file.open(QIODevice::ReadOnly)) return std::nullopt;
    return file.readAll();
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
  // No file can be there: no map, as when the file is missing.
  EXPECT_EQ(lookup(3, &error), (Entry{3, "/dev/ttyS2", Source::Default}));
  EXPECT_EQ(error, "");
}

TEST_F(PortMapTest, FileThatCannotBeUsedIsAnErrorNamingItAndTheLineAndMapsNothing) {
  const QString file = m_config.path() + "/Corvane/ZRV.conf";
  const QByteArray native = QFile::encodeName(file);
  const struct {
    const char* name;
    std::function<void()> make;
    QString error;
    bool asRoot = true;  // root reads any file
  } cases[] = {
      {"binary garbage",
       [&] {
         putFile(
             QByteArray("\x7F"
                        "ELF\x02\x01\x01\0\0\n\xFE",
                        11));
       },
       file + ", line 1: holds binary data, not text"},
      {"binary after good lines",
       [&] { putFile(QByteArray("[Ports]\nCOM3=/dev/ttyUSB0\n\0\x01\n", 29)); },
       file + ", line 3: holds binary data, not text"},
      {"not UTF-8", [&] { putFile("[Ports]\nCOM3=/dev/tty\xE9\n"); },
       file + ", line 2: holds bytes that are not UTF-8 text"},
      {"a line that is no INI line", [&] { putFile("[Ports]\nCOM3 /dev/ttyUSB0\n"); },
       file + ", line 2: \"COM3 /dev/ttyUSB0\" is neither a [section] nor a key=value line"},
      {"an open section", [&] { putFile("\n[Ports\nCOM3=/dev/ttyUSB0\n"); },
       file + ", line 2: \"[Ports\" lacks the closing \"]\" of a section"},
      {"an open quote", [&] { putFile("[Ports]\nCOM3=\"/dev/ttyUSB0\n"); },
       file + ", line 2: COM3: a quoted value without its closing quote"},
      {"a typed value", [&] { putFile("[Ports]\nCOM3=@Invalid()\n"); },
       file + ", line 2: COM3 holds \"@Invalid()\", which is no device"},
      {"a folder", [&] { ASSERT_TRUE(QDir().mkpath(file)); }, file + " is a folder, not a file"},
      {"a FIFO",
       [&] {
         ASSERT_TRUE(QDir().mkpath(m_config.path() + "/Corvane"));
         ASSERT_EQ(::mkfifo(native.constData(), 0600), 0);
       },
       file + " is not a regular file (a FIFO, socket or device), so it is not read"},
      {"a dangling link",
       [&] {
         ASSERT_TRUE(QDir().mkpath(m_config.path() + "/Corvane"));
         ASSERT_TRUE(QFile::link(m_config.path() + "/gone.conf", file));
       },
       file + " cannot be read: " + qt_error_string(ENOENT)},
      {"a link to itself",
       [&] {
         ASSERT_TRUE(QDir().mkpath(m_config.path() + "/Corvane"));
         ASSERT_TRUE(QFile::link(file, file));
       },
       file + " cannot be read: " + qt_error_string(ELOOP)},
      {"unreadable",
       [&] {
         putFile("[Ports]\nCOM3=/dev/ttyUSB0\n");
         ASSERT_TRUE(QFile::setPermissions(file, QFileDevice::WriteOwner));
       },
       file + " cannot be read: " + qt_error_string(EACCES), false},
  };
  for (const auto& c : cases) {
    if (!c.asRoot && ::geteuid() == 0) continue;
    QDir(m_config.path()).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(m_config.path()));
    clearProcessOverrides();
    c.make();
    const std::optional<QByteArray> before = fileBytes();
    const QString expected = "the port map " + c.error;
    QString error;
    EXPECT_EQ(lookup(3, &error), (Entry{3, "", Source::Default})) << c.name;
    EXPECT_EQ(error, expected) << c.name;
    EXPECT_EQ(resolve(3), "") << c.name;
    EXPECT_EQ(fileError(), expected) << c.name;
    // Overrides need no file.
    overrideForProcess(4, "sim");
    EXPECT_EQ(lookup(4, &error), (Entry{4, "sim", Source::Process})) << c.name;
    EXPECT_EQ(error, "") << c.name;
    EXPECT_EQ(entries(&error), (QList<Entry>{{4, "sim", Source::Process}})) << c.name;
    EXPECT_EQ(error, expected) << c.name;
    // Writing would lose what is there: refused, and the file stays as it is.
    EXPECT_FALSE(setMapping(3, "/dev/ttyUSB1", &error)) << c.name;
    EXPECT_TRUE(error.startsWith(expected)) << c.name << ": " << error.toStdString();
    EXPECT_EQ(fileBytes(), before) << c.name;
  }
  QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

TEST_F(PortMapTest, ValuesReadAndWriteAsQSettingsHasThem) {
  const QStringList devices = {
      "/dev/ttyUSB0",  "sim",  "a,b",
      "a;b",           "a\"b", "a\\b",
      "\u00E9/\u00FC", "@x",   "a=b",
      "with space",    "#x",   "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0",
  };
  int row = 0;
  for (const QString& device : devices) {
    // A folder per row: QSettings caches what it has read of a file by its name.
    const QString home = m_config.path() + QStringLiteral("/row%1").arg(++row);
    qputenv("XDG_CONFIG_HOME", home.toLocal8Bit());
    {
      QSettings written(configFile(), QSettings::IniFormat);
      written.setValue("Ports/COM2", device);
    }
    EXPECT_EQ(lookup(2), (Entry{2, device, Source::File})) << device.toStdString();
    ASSERT_TRUE(setMapping(7, device)) << device.toStdString();
    EXPECT_EQ(lookup(7).device, device) << device.toStdString();
    QSettings read(configFile(), QSettings::IniFormat);
    EXPECT_EQ(read.value("Ports/COM7").toString(), device) << device.toStdString();
    EXPECT_EQ(read.value("Ports/COM2").toString(), device) << device.toStdString();
  }
}

TEST_F(PortMapTest, SetMappingChangesItsLineAndKeepsTheRestOfTheFile) {
  const struct {
    const char* name;
    const char* before;  // nullptr: no file
    int16_t port;
    const char* device;
    const char* after;  // nullptr: no file
  } cases[] = {
      {"a new file in a new folder", nullptr, 3, "/tmp/zrv-sim", "[Ports]\nCOM3=/tmp/zrv-sim\n"},
      {"removing from no file", nullptr, 3, "", nullptr},
      {"added after the last entry",
       "; shared by every program\n[Ports]\nCOM1=/dev/ttyUSB0\n\n[Other]\nkey=value\n", 3,
       "/tmp/zrv-sim",
       "; shared by every program\n[Ports]\nCOM1=/dev/ttyUSB0\nCOM3=/tmp/zrv-sim\n\n[Other]\n"
       "key=value\n"},
      {"replaced in place, duplicates dropped", "[Ports]\nCOM3=/dev/a\nCOM4=sim\ncom3=/dev/b\n", 3,
       "/dev/c", "[Ports]\nCOM3=/dev/c\nCOM4=sim\n"},
      {"removed", "[Ports]\nCOM3=/dev/a\nCOM4=sim\n", 3, "", "[Ports]\nCOM4=sim\n"},
      {"a section of its own", "[Other]\nkey=1", 2, "sim", "[Other]\nkey=1\n\n[Ports]\nCOM2=sim\n"},
      {"line ends kept", "[Ports]\r\nCOM1=x\r\n", 2, "y", "[Ports]\r\nCOM1=x\r\nCOM2=y\r\n"},
      {"quoted when it would split", "[Ports]\n", 5, "a;b", "[Ports]\nCOM5=\"a;b\"\n"},
  };
  for (const auto& c : cases) {
    QDir(m_config.path()).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(m_config.path()));
    if (c.before) putFile(c.before);
    QString error;
    ASSERT_TRUE(setMapping(c.port, c.device, &error)) << c.name << ": " << error.toStdString();
    const std::optional<QByteArray> after = fileBytes();
    if (c.after)
      EXPECT_EQ(after.value_or("(no file)"), QByteArray(c.after)) << c.name;
    else
      EXPECT_FALSE(after.has_value()) << c.name;
  }
}

TEST_F(PortMapTest, DeviceNamesWithControlCharactersAreRefused) {
  QString error;
  EXPECT_FALSE(setMapping(3, "/dev/tty\nUSB0", &error));
  EXPECT_EQ(error, "a device name cannot hold control characters");
  EXPECT_FALSE(fileBytes().has_value());
}

}  // namespace
}  // namespace zrv::portmap
