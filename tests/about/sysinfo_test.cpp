#include "app/about/sysinfo.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace zrvlog {
namespace {

// A machine configuration file with the given text, and folders for tools.
class MachineConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.isValid()); }

  QString writeConfig(const QString& text) {
    const QString path = dir.filePath(QStringLiteral("machine.conf"));
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text.toUtf8());
    return path;
  }
  // An (optionally executable) file under the temporary folder; returns its path.
  QString makeFile(const QString& relative, bool executable = true) {
    const QString path = dir.filePath(relative);
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("#!/bin/sh\n");
    f.close();
    if (executable)
      f.setPermissions(f.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeUser);
    return path;
  }
  QString folder(const QString& relative) {
    const QString path = dir.filePath(relative);
    QDir().mkpath(path);
    return path;
  }

  QTemporaryDir dir;
};

TEST_F(MachineConfigTest, GetKeyValueRendersTextAndNumbers) {
  const MachineConfiguration config(
      writeConfig(QStringLiteral("; comment\n"
                                 "# another comment\n"
                                 "[SOFTWARE\\Corvane\\ZRVLOG]\n"
                                 "Plain = some text  \n"
                                 "\"Quoted\"=\"C:\\\\Tools\\\\a \\\"b\\\"\"\n"
                                 "Empty=\n"
                                 "Small=dword:0000001f\n"
                                 "HighByte=dword:00000105\n"
                                 "ZeroLowByte=dword:00000100\n"
                                 "Word=dword:0000ffff\n"
                                 "AllOnes=dword:FFFFFFFF\n"
                                 "Short=dword:7\n"
                                 "Blob=hex:01,02,03\n"
                                 "Twice=first\n"
                                 "Twice=second\n"
                                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\Other]\n"
                                 "Rooted=yes\n")));
  struct Case {
    const char* key;
    const char* name;
    bool found;
    const char* value;  // KeyVal afterwards, starting from "unchanged"
  } cases[] = {
      {"SOFTWARE\\Corvane\\ZRVLOG", "Plain", true, "some text"},
      {"software\\corvane\\zrvlog", "PLAIN", true, "some text"},  // no case in names
      {"SOFTWARE\\Corvane\\ZRVLOG", "Quoted", true, "C:\\Tools\\a \"b\""},
      {"SOFTWARE\\Corvane\\ZRVLOG", "Empty", true, ""},
      // 32-bit numbers: the whole value, whatever bytes are zero or below 16.
      {"SOFTWARE\\Corvane\\ZRVLOG", "Small", true, "31"},
      {"SOFTWARE\\Corvane\\ZRVLOG", "HighByte", true, "261"},
      {"SOFTWARE\\Corvane\\ZRVLOG", "ZeroLowByte", true, "256"},
      {"SOFTWARE\\Corvane\\ZRVLOG", "Word", true, "65535"},
      {"SOFTWARE\\Corvane\\ZRVLOG", "AllOnes", true, "-1"},
      {"SOFTWARE\\Corvane\\ZRVLOG", "Short", true, "7"},
      // Other types leave KeyVal as it was.
      {"SOFTWARE\\Corvane\\ZRVLOG", "Blob", true, "unchanged"},
      {"SOFTWARE\\Corvane\\ZRVLOG", "Twice", true, "second"},
      {"SOFTWARE\\Corvane\\Other", "Rooted", true, "yes"},
      {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\Other", "Rooted", true, "yes"},
      {"SOFTWARE\\Corvane\\ZRVLOG", "Missing", false, ""},
      {"SOFTWARE\\Corvane\\Missing", "Plain", false, ""},
      {"SOFTWARE\\Corvane", "Plain", false, ""},  // a parent key holds no child's values
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " / " + c.name);
    QString value = QStringLiteral("unchanged");
    EXPECT_EQ(GetKeyValue(config, HKEY_LOCAL_MACHINE, QString::fromUtf8(c.key),
                          QString::fromUtf8(c.name), value),
              c.found);
    EXPECT_EQ(value, QString::fromUtf8(c.value));
  }
}

TEST_F(MachineConfigTest, GetKeyValueFailsForOtherRootsAndAMissingFile) {
  const QString file = writeConfig(QStringLiteral("[SOFTWARE\\A]\nV=x\n"));
  QString value = QStringLiteral("old");
  const int32_t HKEY_CURRENT_USER = static_cast<int32_t>(0x80000001u);
  EXPECT_FALSE(GetKeyValue(MachineConfiguration(file), HKEY_CURRENT_USER,
                           QStringLiteral("SOFTWARE\\A"), QStringLiteral("V"), value));
  EXPECT_EQ(value, QString());
  value = QStringLiteral("old");
  EXPECT_FALSE(GetKeyValue(MachineConfiguration(dir.filePath(QStringLiteral("none.conf"))),
                           HKEY_LOCAL_MACHINE, QStringLiteral("SOFTWARE\\A"), QStringLiteral("V"),
                           value));
  EXPECT_EQ(value, QString());
}

TEST_F(MachineConfigTest, TheEnvironmentNamesAnotherConfiguration) {
  const QByteArray saved = qgetenv("ZRVLOG_MACHINE_CONFIG");
  qputenv("ZRVLOG_MACHINE_CONFIG", "/somewhere/else.conf");
  EXPECT_EQ(MachineConfiguration::defaultFile(), QStringLiteral("/somewhere/else.conf"));
  qunsetenv("ZRVLOG_MACHINE_CONFIG");
  EXPECT_EQ(MachineConfiguration::defaultFile(), QStringLiteral("/etc/ZRVLOG/machine.conf"));
  if (!saved.isNull()) qputenv("ZRVLOG_MACHINE_CONFIG", saved);
}

TEST_F(MachineConfigTest, TheToolComesFromThePathValueTheFolderOrTheSearchPath) {
  const QString tools = folder(QStringLiteral("site-tools"));
  const QString toolInFolder = makeFile(QStringLiteral("site-tools/msinfo32"));
  folder(QStringLiteral("empty-folder"));
  const QString bin = folder(QStringLiteral("bin"));
  const QString emptyBin = folder(QStringLiteral("empty-bin"));
  // Both on the search path: the list's order decides.
  makeFile(QStringLiteral("bin/gnome-system-monitor"));
  const QString hardinfo = makeFile(QStringLiteral("bin/hardinfo"));
  makeFile(QStringLiteral("plain/kinfocenter"), /*executable=*/false);

  struct Case {
    const char* name;
    QString config;  // empty: no file at all
    QStringList searchPath;
    QString expected;
  } cases[] = {
      {"nothing anywhere", {}, {emptyBin}, {}},
      {"the path value, as it is",
       QStringLiteral("[%1]\nPATH=/opt/x/sysinfo\n").arg(kMsinfoKey),
       {bin},
       QStringLiteral("/opt/x/sysinfo")},
      {"only a folder, without the tool",
       QStringLiteral("[%1]\nMSINFO=%2\n")
           .arg(kMsinfoLocationKey, dir.filePath(QStringLiteral("empty-folder"))),
       {emptyBin},
       {}},
      {"a folder with the tool",
       QStringLiteral("[%1]\nMSINFO=%2\n").arg(kMsinfoLocationKey, tools),
       {bin},
       toolInFolder},
      {"the folder with a trailing slash",
       QStringLiteral("[%1]\nMSINFO=%2/\n").arg(kMsinfoLocationKey, tools),
       {emptyBin},
       toolInFolder},
      {"an empty path value falls through to the folder",
       QStringLiteral("[%1]\nPATH=\n[%2]\nMSINFO=%3\n").arg(kMsinfoKey, kMsinfoLocationKey, tools),
       {emptyBin},
       toolInFolder},
      {"no configuration: the first well-known tool on the search path", {}, {bin}, hardinfo},
      {"a folder without the tool falls back to the search path",
       QStringLiteral("[%1]\nMSINFO=%2\n")
           .arg(kMsinfoLocationKey, dir.filePath(QStringLiteral("empty-folder"))),
       {emptyBin, bin},
       hardinfo},
      {"a file that cannot be run is no tool", {}, {dir.filePath(QStringLiteral("plain"))}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const QString file =
        c.config.isEmpty() ? dir.filePath(QStringLiteral("absent.conf")) : writeConfig(c.config);
    EXPECT_EQ(findSystemInfoTool(MachineConfiguration(file), c.searchPath), c.expected);
  }
}

}  // namespace
}  // namespace zrvlog
