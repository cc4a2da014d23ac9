#include "board/portmap.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QMap>
#include <QMutex>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringDecoder>
#include <cctype>
#include <cerrno>

namespace zrv::portmap {

namespace {

const QString kSection = QStringLiteral("Ports");
// Far more than any port map needs: a larger file is something else.
constexpr qint64 kMaxFileSize = 256 * 1024;
// How long a writer waits for another one (QSettings uses the same lock file).
constexpr int kLockWaitMs = 5000;
// Longest piece of a bad line quoted in a message.
constexpr qsizetype kQuoteLength = 40;

// The overrides of this process; a mutex because hosts may resolve ports on any thread.
struct Overrides {
  QMutex mutex;
  QMap<int16_t, QString> devices;
};

Overrides& overrides() {
  static Overrides o;
  return o;
}

QString keyOf(int16_t commPort) {
  return QStringLiteral("COM%1").arg(commPort);
}

QString quoted(const QString& text) {
  return text.size() <= kQuoteLength ? text : text.left(kQuoteLength) + QStringLiteral("...");
}

// The number of a key of [Ports] ("COM3", any case), or 0 for keys that are not ours.
int16_t commPortOfKey(const QString& key) {
  if (!key.startsWith(QLatin1String("COM"), Qt::CaseInsensitive) || key.size() < 4) return 0;
  for (qsizetype i = 3; i < key.size(); ++i)
    if (!key[i].isDigit()) return 0;
  bool ok = false;
  const int n = key.mid(3).toInt(&ok);
  return ok && n > 0 && n <= INT16_MAX ? static_cast<int16_t>(n) : 0;
}

// ---- Reading -----------------------------------------------------------------------------

// The file's bytes, or why they cannot be had. A file that is not there is no error.
struct FileBytes {
  bool exists = false;
  QByteArray bytes;
  QString error;
};

FileBytes readRegularFile(const QString& path) {
  FileBytes file;
  const QByteArray native = QFile::encodeName(path);
  auto fail = [&](const QString& why) {
    file.error = QStringLiteral("the port map %1 %2").arg(path, why);
    return file;
  };
  auto cannotRead = [&](int error) {
    return fail(QStringLiteral("cannot be read: %1").arg(qt_error_string(error)));
  };
  auto notRegular = [&] {
    return fail(
        QStringLiteral("is not a regular file (a FIFO, socket or device), so it is not read"));
  };
  // Look before opening: opening a FIFO waits for a writer, opening a device acts on it.
  struct stat st {};
  if (::stat(native.constData(), &st) != 0) {
    const int error = errno;
    struct stat link {};
    // No such file, not even a dangling link, or no folder for it: no map.
    if ((error == ENOENT || error == ENOTDIR) && ::lstat(native.constData(), &link) != 0)
      return file;
    file.exists = true;
    return cannotRead(error);
  }
  file.exists = true;
  if (S_ISDIR(st.st_mode)) return fail(QStringLiteral("is a folder, not a file"));
  if (!S_ISREG(st.st_mode)) return notRegular();
  const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return cannotRead(errno);
  // The path may have been replaced in between: what was opened is what counts.
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return notRegular();
  }
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      file.bytes.append(buffer, n);
      if (file.bytes.size() > kMaxFileSize) {
        ::close(fd);
        return fail(
            QStringLiteral("is too large (over %1 bytes) to be a port map").arg(kMaxFileSize));
      }
      continue;
    }
    if (n == 0) break;
    if (errno == EINTR) continue;
    const int error = errno;
    ::close(fd);
    return cannotRead(error);
  }
  ::close(fd);
  return file;
}

// A value as QSettings writes it: quoted or not, backslash escapes, ";" starting a comment
// outside quotes. Returns why it cannot be read, or empty.
QString unescapeValue(const QString& text, QString* value) {
  QString v;
  bool inQuotes = false;
  for (qsizetype i = 0; i < text.size();) {
    const QChar c = text[i++];
    if (c == u'"') {
      inQuotes = !inQuotes;
    } else if (c == u';' && !inQuotes) {
      break;
    } else if (c == u'\\' && i < text.size()) {
      const QChar e = text[i++];
      switch (e.unicode()) {
        case 'n':
          v += u'\n';
          break;
        case 't':
          v += u'\t';
          break;
        case 'r':
          v += u'\r';
          break;
        case 'x': {
          qsizetype digits = 0;
          while (digits < 4 && i + digits < text.size() && isxdigit(text[i + digits].toLatin1()))
            ++digits;
          v += QChar(static_cast<char16_t>(text.mid(i, digits).toUInt(nullptr, 16)));
          i += digits;
          break;
        }
        default:
          v += e;
      }
    } else {
      v += c;
    }
  }
  if (inQuotes) return QStringLiteral("a quoted value without its closing quote");
  *value = v.trimmed();
  return {};
}

// The port map file, read and parsed; its lines are kept for rewriting it.
struct MapFile {
  bool exists = false;
  QString error;  ///< why the file cannot be used; empty when it can
  QMap<int16_t, QString> devices;

  QList<QByteArray> lines;  ///< as read, without the '\n' (a '\r' stays)
  QList<int16_t> entryOn;   ///< the number each line maps in [Ports] (0: none)
  int portsEnd = -1;        ///< after the last line of the first [Ports] section; -1: none
  bool bom = false;
  bool crlf = false;
};

// Why one line cannot be read, or empty; records what it maps.
QString parseLine(MapFile& map, int index, bool& inPorts, int& portsSections) {
  QByteArray bytes = map.lines[index];
  if (bytes.endsWith('\r')) bytes.chop(1);
  for (const char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 && u != '\t') || u == 0x7F) return QStringLiteral("holds binary data, not text");
  }
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  const QString text = utf8.decode(bytes);
  if (utf8.hasError()) return QStringLiteral("holds bytes that are not UTF-8 text");
  const QString line = text.trimmed();
  if (line.isEmpty() || line.startsWith(u';') || line.startsWith(u'#')) return {};
  if (line.startsWith(u'[')) {
    if (!line.endsWith(u']'))
      return QStringLiteral("\"%1\" lacks the closing \"]\" of a section").arg(quoted(line));
    inPorts = line.mid(1, line.size() - 2).trimmed().compare(kSection, Qt::CaseInsensitive) == 0;
    if (inPorts && ++portsSections == 1) map.portsEnd = index + 1;
    return {};
  }
  const qsizetype equals = line.indexOf(u'=');
  if (equals < 0)
    return QStringLiteral("\"%1\" is neither a [section] nor a key=value line").arg(quoted(line));
  const QString key = line.left(equals).trimmed();
  if (key.isEmpty()) return QStringLiteral("a value without a key");
  if (!inPorts) return {};
  if (portsSections == 1) map.portsEnd = index + 1;
  const int16_t n = commPortOfKey(key);
  if (n == 0) return {};  // not ours
  QString device;
  const QString why = unescapeValue(line.mid(equals + 1), &device);
  if (!why.isEmpty()) return QStringLiteral("%1: %2").arg(key, why);
  // QSettings doubles a leading "@"; a single one starts one of its typed values.
  if (device.startsWith(QLatin1String("@@")))
    device.remove(0, 1);
  else if (device.startsWith(u'@'))
    return QStringLiteral("%1 holds \"%2\", which is no device").arg(key, quoted(device));
  map.entryOn[index] = n;
  // The last line of a number wins, as with QSettings; an empty one unmaps it.
  if (device.isEmpty())
    map.devices.remove(n);
  else
    map.devices.insert(n, device);
  return {};
}

MapFile readMap() {
  const QString path = configFile();
  MapFile map;
  FileBytes file = readRegularFile(path);
  map.exists = file.exists;
  map.error = file.error;
  if (!map.error.isEmpty() || !map.exists) return map;
  if (file.bytes.startsWith("\xEF\xBB\xBF")) {
    map.bom = true;
    file.bytes.remove(0, 3);
  }
  map.lines = file.bytes.split('\n');
  if (map.lines.last().isEmpty()) map.lines.removeLast();  // after the final line end
  map.crlf = !map.lines.isEmpty() && map.lines.first().endsWith('\r');
  map.entryOn = QList<int16_t>(map.lines.size(), 0);
  bool inPorts = false;
  int portsSections = 0;
  for (int i = 0; i < map.lines.size(); ++i) {
    const QString why = parseLine(map, i, inPorts, portsSections);
    if (!why.isEmpty()) {
      map.error = QStringLiteral("the port map %1, line %2: %3").arg(path).arg(i + 1).arg(why);
      map.devices.clear();
      return map;
    }
  }
  return map;
}

// ---- Writing -----------------------------------------------------------------------------

// A value QSettings reads back as it is: quoted when it holds what would end or split it.
QString encodeValue(QString device) {
  if (device.startsWith(u'@')) device.prepend(u'@');
  QString escaped;
  bool quote = false;
  for (const QChar c : device) {
    if (c == u'\\' || c == u'"') escaped += u'\\';
    if (c == u';' || c == u',' || c == u'=' || c.isSpace()) quote = true;
    escaped += c;
  }
  return quote ? u'"' + escaped + u'"' : escaped;
}

QByteArray rewritten(const MapFile& map, int16_t commPort, const QString& device) {
  QByteArray entry = (keyOf(commPort) + u'=' + encodeValue(device)).toUtf8();
  if (map.crlf) entry += '\r';
  QList<QByteArray> lines;
  bool placed = device.isEmpty();
  for (int i = 0; i < map.lines.size(); ++i) {
    if (map.entryOn[i] != commPort) {
      lines.append(map.lines[i]);
    } else if (!placed) {
      lines.append(entry);  // where the number was mapped before; its other lines go
      placed = true;
    }
  }
  if (!placed && map.portsEnd >= 0) {
    lines.insert(map.portsEnd, entry);
  } else if (!placed) {
    if (!lines.isEmpty() && !lines.last().trimmed().isEmpty()) lines.append(map.crlf ? "\r" : "");
    lines.append(map.crlf ? "[Ports]\r" : "[Ports]");
    lines.append(entry);
  }
  QByteArray bytes = map.bom ? QByteArray("\xEF\xBB\xBF") : QByteArray();
  for (const QByteArray& line : lines)
    bytes += line + '\n';
  return bytes;
}

}  // namespace

QString configFile() {
  // Located at every call rather than through QSettings, which fixes its search paths once
  // per process: hosts (and tests) may change XDG_CONFIG_HOME in between.
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
         QStringLiteral("/Corvane/ZRV.conf");
}

QString defaultDevice(int16_t commPort) {
  return QStringLiteral("/dev/ttyS%1").arg(commPort - 1);
}

Entry lookup(int16_t commPort, QString* error) {
  if (error) error->clear();
  {
    Overrides& o = overrides();
    QMutexLocker lock(&o.mutex);
    const auto it = o.devices.constFind(commPort);
    if (it != o.devices.cend()) return {commPort, *it, Source::Process};
  }
  const MapFile map = readMap();
  if (!map.error.isEmpty()) {
    if (error) *error = map.error;
    return {commPort, QString(), Source::Default};
  }
  const auto it = map.devices.constFind(commPort);
  if (it != map.devices.cend()) return {commPort, *it, Source::File};
  return {commPort, defaultDevice(commPort), Source::Default};
}

QString resolve(int16_t commPort) {
  return lookup(commPort).device;
}

QList<Entry> entries(QString* error) {
  QMap<int16_t, Entry> byNumber;
  const MapFile map = readMap();
  if (error) *error = map.error;
  for (auto it = map.devices.cbegin(); it != map.devices.cend(); ++it)
    byNumber.insert(it.key(), {it.key(), it.value(), Source::File});
  {
    Overrides& o = overrides();
    QMutexLocker lock(&o.mutex);
    for (auto it = o.devices.cbegin(); it != o.devices.cend(); ++it)
      byNumber.insert(it.key(), {it.key(), it.value(), Source::Process});
  }
  return byNumber.values();
}

QString fileError() {
  return readMap().error;
}

bool setMapping(int16_t commPort, const QString& device, QString* error) {
  const QString path = configFile();
  auto fail = [error](const QString& why) {
    if (error) *error = why;
    return false;
  };
  const QString wanted = device.trimmed();
  if (commPort < 1) return fail(QStringLiteral("COM%1 is not a port number").arg(commPort));
  for (const QChar c : wanted)
    if (c.category() == QChar::Other_Control)
      return fail(QStringLiteral("a device name cannot hold control characters"));
  const MapFile before = readMap();
  if (!before.error.isEmpty()) return fail(before.error + QStringLiteral("; it is left as it is"));
  if (wanted.isEmpty() && !before.devices.contains(commPort) && !before.entryOn.contains(commPort))
    return true;  // nothing to remove
  if (!QDir().mkpath(QFileInfo(path).absolutePath()))
    return fail(
        QStringLiteral("cannot write the port map %1: its folder cannot be created").arg(path));
  QLockFile lock(path + QStringLiteral(".lock"));
  if (!lock.tryLock(kLockWaitMs))
    return fail(
        lock.error() == QLockFile::LockFailedError
            ? QStringLiteral("cannot write the port map %1: another program is writing it")
                  .arg(path)
            : QStringLiteral("cannot write the port map %1: its folder is not writable").arg(path));
  // Read again under the lock, so that a change another program made meanwhile stays.
  const MapFile map = readMap();
  if (!map.error.isEmpty()) return fail(map.error + QStringLiteral("; it is left as it is"));
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly))
    return fail(QStringLiteral("cannot write the port map %1: %2").arg(path, file.errorString()));
  const QByteArray bytes = rewritten(map, commPort, wanted);
  if (file.write(bytes) != bytes.size() || !file.commit())
    return fail(QStringLiteral("cannot write the port map %1: %2").arg(path, file.errorString()));
  return true;
}

void overrideForProcess(int16_t commPort, const QString& device) {
  Overrides& o = overrides();
  QMutexLocker lock(&o.mutex);
  if (device.trimmed().isEmpty())
    o.devices.remove(commPort);
  else
    o.devices.insert(commPort, device.trimmed());
}

void clearProcessOverrides() {
  Overrides& o = overrides();
  QMutexLocker lock(&o.mutex);
  o.devices.clear();
}

}  // namespace zrv::portmap
