#include "app/about/sysinfo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringDecoder>

#include "common/numberformat.h"

namespace zrvlog {

namespace {

const QString kRootPrefix = QStringLiteral("HKEY_LOCAL_MACHINE\\");

// "a\\b" and "a\"b" inside a quoted value, as registry export files write them.
QString unquote(QStringView quoted) {
  QString text;
  text.reserve(quoted.size());
  for (qsizetype i = 0; i < quoted.size(); ++i) {
    if (quoted[i] == u'\\' && i + 1 < quoted.size() &&
        (quoted[i + 1] == u'\\' || quoted[i + 1] == u'"'))
      ++i;
    text += quoted[i];
  }
  return text;
}

QString stripQuotes(const QString& text) {
  if (text.size() >= 2 && text.startsWith(u'"') && text.endsWith(u'"'))
    return unquote(QStringView(text).mid(1, text.size() - 2));
  return text;
}

// A key path as the file may write it: without the root, without doubled or trailing
// separators.
QString normalizedKey(QString key) {
  key = key.trimmed();
  if (key.startsWith(kRootPrefix, Qt::CaseInsensitive)) key = key.mid(kRootPrefix.size());
  QStringList parts = key.split(u'\\', Qt::SkipEmptyParts);
  for (QString& p : parts)
    p = p.trimmed();
  return parts.join(u'\\');
}

MachineConfiguration::Value parseValue(const QString& raw) {
  using Type = MachineConfiguration::Type;
  MachineConfiguration::Value value;
  const QString text = raw.trimmed();
  if (text.startsWith(QLatin1String("dword:"), Qt::CaseInsensitive)) {
    const QString digits = text.mid(6).trimmed();
    bool ok = false;
    const uint32_t number = digits.toUInt(&ok, 16);
    if (ok && !digits.isEmpty() && digits.size() <= 8) {
      value.type = Type::DWord;
      value.number = number;
      return value;
    }
    value.type = Type::Binary;  // a malformed number is data the program cannot use
    return value;
  }
  if (text.startsWith(QLatin1String("hex"), Qt::CaseInsensitive) && text.contains(u':') &&
      !text.startsWith(u'"')) {
    value.type = Type::Binary;
    return value;
  }
  value.type = Type::String;
  value.text = stripQuotes(text);
  return value;
}

}  // namespace

const QStringList& systemInfoTools() {
  static const QStringList tools = {
      QStringLiteral("hardinfo2"),           QStringLiteral("hardinfo"),
      QStringLiteral("kinfocenter"),         QStringLiteral("gnome-system-monitor"),
      QStringLiteral("mate-system-monitor"), QStringLiteral("xfce4-taskmanager"),
  };
  return tools;
}

QString MachineConfiguration::defaultFile() {
  const QString override = qEnvironmentVariable("ZRVLOG_MACHINE_CONFIG");
  return override.isEmpty() ? QStringLiteral("/etc/ZRVLOG/machine.conf") : override;
}

MachineConfiguration::MachineConfiguration(QString file) : m_file(std::move(file)) {}

std::optional<MachineConfiguration::Value> MachineConfiguration::query(const QString& key,
                                                                       const QString& name) const {
  QFile f(m_file);
  if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) return std::nullopt;
  const QString wantedKey = normalizedKey(key);
  QStringDecoder decode(QStringDecoder::Utf8);
  const QString content = decode(f.readAll());

  bool inKey = false;
  std::optional<Value> found;
  for (const QString& rawLine : content.split(u'\n')) {
    const QString line = rawLine.trimmed();
    if (line.isEmpty() || line.startsWith(u';') || line.startsWith(u'#')) continue;
    if (line.startsWith(u'[') && line.endsWith(u']')) {
      inKey =
          normalizedKey(line.mid(1, line.size() - 2)).compare(wantedKey, Qt::CaseInsensitive) == 0;
      continue;
    }
    if (!inKey) continue;
    // The name ends at the first '=' outside quotes.
    qsizetype eq = -1;
    bool quoted = false;
    for (qsizetype i = 0; i < line.size() && eq < 0; ++i) {
      if (line[i] == u'"') quoted = !quoted;
      if (line[i] == u'\\' && quoted) ++i;
      if (i < line.size() && line[i] == u'=' && !quoted) eq = i;
    }
    if (eq <= 0) continue;
    const QString valueName = stripQuotes(line.left(eq).trimmed());
    // The last line wins, as when a registry file is imported.
    if (valueName.compare(name, Qt::CaseInsensitive) == 0) found = parseValue(line.mid(eq + 1));
  }
  return found;
}

bool GetKeyValue(const MachineConfiguration& config, int32_t KeyRoot, const QString& KeyName,
                 const QString& SubKeyRef, QString& KeyVal) {
  const std::optional<MachineConfiguration::Value> value =
      KeyRoot == HKEY_LOCAL_MACHINE ? config.query(KeyName, SubKeyRef) : std::nullopt;
  if (!value) {
    KeyVal.clear();
    return false;
  }
  switch (value->type) {
    case MachineConfiguration::Type::String:
      // Text ends at its first NUL, as a C string does.
      KeyVal = value->text.left(value->text.indexOf(QChar(u'\0')));
      break;
    case MachineConfiguration::Type::DWord: {
      // All eight digits: the value is the whole 32-bit number, high bytes and zeros included.
      const QString literal =
          QStringLiteral("&h%1").arg(value->number, 8, 16, QLatin1Char('0')).toUpper();
      KeyVal = zrv::formatGeneral(zrv::parseNumber(literal).value_or(0));
      break;
    }
    case MachineConfiguration::Type::Binary:
      break;
  }
  return true;
}

QString findSystemInfoTool(const MachineConfiguration& config, const QStringList& searchPath) {
  QString path;
  // An empty value names no tool; the next place is tried.
  if (GetKeyValue(config, HKEY_LOCAL_MACHINE, kMsinfoKey, kMsinfoPathValue, path) &&
      !path.isEmpty())
    return path;
  QString folder;
  if (GetKeyValue(config, HKEY_LOCAL_MACHINE, kMsinfoLocationKey, kMsinfoLocationValue, folder) &&
      !folder.isEmpty()) {
    const QString candidate = QDir::cleanPath(folder + u'/' + kMsinfoFileName);
    if (QFileInfo(candidate).isFile()) return candidate;
  }
  for (const QString& tool : systemInfoTools()) {
    const QString found = QStandardPaths::findExecutable(tool, searchPath);
    if (!found.isEmpty()) return found;
  }
  return {};
}

}  // namespace zrvlog
