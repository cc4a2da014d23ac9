#pragma once
// Finding the system-information tool that the about box's "System Info..." button starts.
//
// The machine configuration is a read-only file of keys and values, the machine-wide
// settings a system administrator keeps for every user: /etc/ZRVLOG/machine.conf, or the
// file named by the environment variable ZRVLOG_MACHINE_CONFIG. Sections are key paths,
// lines are "name=value" pairs; key paths and value names compare without regard to case.
//
//   ; where the system-information tool is
//   [SOFTWARE\Microsoft\Shared Tools\MSINFO]
//   PATH=/usr/bin/hardinfo
//   ; or the folder that holds it, under the file name msinfo32
//   [SOFTWARE\Microsoft\Shared Tools Location]
//   MSINFO=/opt/site-tools
//   [SOFTWARE\Corvane\ZRVLOG]
//   Flags=dword:0000001f
//
// A value is text (a double-quoted value loses its quotes; inside them \\ and \" stand for
// \ and "), a 32-bit number written "dword:" and one to eight hexadecimal digits, or binary
// data written "hex:..." (read, but of no type the program uses). A section may start with
// "HKEY_LOCAL_MACHINE\", which is ignored. Lines starting with ; or # are comments.
//
// The tool: the path under "SOFTWARE\Microsoft\Shared Tools\MSINFO" value "PATH"; else
// msinfo32 in the folder under "SOFTWARE\Microsoft\Shared Tools Location" value "MSINFO",
// when that file exists; else the first of systemInfoTools() found on the search path.

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

namespace zrvlog {

/// The root handle of the machine-wide keys: the only root the machine configuration holds.
inline constexpr int32_t HKEY_LOCAL_MACHINE = static_cast<int32_t>(0x80000002u);

/// Where the system-information tool is recorded.
inline const QString kMsinfoKey = QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO");
inline const QString kMsinfoPathValue = QStringLiteral("PATH");
inline const QString kMsinfoLocationKey =
    QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools Location");
inline const QString kMsinfoLocationValue = QStringLiteral("MSINFO");
/// The tool's file name in the folder of kMsinfoLocationKey.
inline const QString kMsinfoFileName = QStringLiteral("msinfo32");

/// Well-known system-information tools of Linux desktops, looked for on the search path in
/// this order when the machine configuration names none: HardInfo (both generations), the
/// KDE Info Center, and the system monitors of GNOME, MATE and Xfce.
const QStringList& systemInfoTools();

/// The read-only machine configuration. The file is read at every query, so a change made
/// by the administrator applies at the next one.
class MachineConfiguration {
 public:
  /// Value types, numbered as the registry numbers them.
  enum class Type { String = 1, Binary = 3, DWord = 4 };
  struct Value {
    Type type = Type::String;
    QString text;         ///< String: the text
    uint32_t number = 0;  ///< DWord: the number
  };

  /// $ZRVLOG_MACHINE_CONFIG when it is set and not empty, else /etc/ZRVLOG/machine.conf.
  static QString defaultFile();

  explicit MachineConfiguration(QString file = defaultFile());
  const QString& file() const { return m_file; }

  /// Value `name` of key `key`; nothing when the file, the key or the value is missing.
  std::optional<Value> query(const QString& key, const QString& name) const;

 private:
  QString m_file;
};

/// The about box's registry read over the machine configuration. On success KeyVal is the
/// text of a text value, or a 32-bit number as the number-to-text conversion writes it (the
/// value as "&h" and eight hexadecimal digits, so 0000001F gives 31 and FFFFFFFF gives -1);
/// a value of another type leaves KeyVal unchanged. When KeyRoot is not HKEY_LOCAL_MACHINE
/// or the key or the value does not exist: KeyVal empty, result false.
bool GetKeyValue(const MachineConfiguration& config, int32_t KeyRoot, const QString& KeyName,
                 const QString& SubKeyRef, QString& KeyVal);

/// The system-information tool to start, or empty text when there is none. searchPath lists
/// the folders looked through for systemInfoTools(); empty means the PATH.
QString findSystemInfoTool(const MachineConfiguration& config, const QStringList& searchPath = {});

}  // namespace zrvlog
