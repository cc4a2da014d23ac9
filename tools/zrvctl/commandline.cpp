#include "commandline.h"

#include "board/zrvio.h"

namespace zrvctl {

namespace {

using zrv::Variant;
using zrv::dispatch::kMethod;
using zrv::dispatch::kPropertyGet;
using zrv::dispatch::kPropertyPut;
using zrv::dispatch::Member;

QString paramNames(const Member& m) {
  QStringList names;
  for (const auto& p : m.params)
    names.append(QLatin1String(p.name));
  return names.join(QStringLiteral(", "));
}

QString takes(const Member& m, size_t count) {
  if (count == 0) return QStringLiteral("%1 takes no arguments").arg(m.name);
  return QStringLiteral("%1 takes %2 (%3)")
      .arg(QLatin1String(m.name),
           count == 1 ? QStringLiteral("1 argument") : QStringLiteral("%1 arguments").arg(count),
           paramNames(m));
}

// Splits "a, b, c" at commas; an empty list for blank text.
QStringList splitArguments(const QString& text) {
  if (text.trimmed().isEmpty()) return {};
  QStringList parts = text.split(u',');
  for (QString& p : parts)
    p = p.trimmed();
  return parts;
}

const Member& memberNamed(const QString& name, const QString& word) {
  const Member* m = zrv::dispatch::find(name);
  if (!m) {
    if (name.isEmpty()) throw UsageError(QStringLiteral("'%1' names no member").arg(word));
    throw UsageError(QStringLiteral("the control has no member '%1'").arg(name));
  }
  // zrvctl opens and closes the link itself, on the port of --port.
  const QLatin1String n(m->name);
  if ((n == QLatin1String("CommPort") || n == QLatin1String("portopen")) && word.contains(u'='))
    throw UsageError(
        QStringLiteral("%1 cannot be set here: zrvctl opens the link on the port of --port")
            .arg(n));
  return *m;
}

}  // namespace

void parsePort(const QString& text, Options& options) {
  if (text == QLatin1String(zrv::kSimDevice) || text.startsWith(u'/')) {
    options.commPort = 1;
    options.device = text;
    return;
  }
  bool ok = false;
  const int n = text.toInt(&ok);
  if (!ok || n < zrv::ZRVIO::kMinCommPort || n > zrv::ZRVIO::kMaxCommPort)
    throw UsageError(QStringLiteral("--port takes a COM number (1 to 255), \"sim\" or a device "
                                    "path, not '%1'")
                         .arg(text));
  options.commPort = static_cast<int16_t>(n);
  options.device.clear();
}

namespace {

// A COM number for --map and --unmap; `option` and `text` for the message.
int16_t mapNumber(const QString& number, const char* option, const QString& text) {
  bool ok = false;
  const int n = number.trimmed().toInt(&ok);
  if (!ok || n < zrv::ZRVIO::kMinCommPort || n > zrv::ZRVIO::kMaxCommPort)
    throw UsageError(QStringLiteral("%1 %2: '%3' is not a COM number (1 to 255)")
                         .arg(QLatin1String(option), text, number.trimmed()));
  return static_cast<int16_t>(n);
}

}  // namespace

MapChange parseMapping(const QString& text) {
  const qsizetype equals = text.indexOf(u'=');
  if (equals < 0)
    throw UsageError(
        QStringLiteral("--map takes N=DEVICE, such as --map 3=/dev/ttyUSB0, not '%1'").arg(text));
  MapChange change{mapNumber(text.left(equals), "--map", text), text.mid(equals + 1).trimmed()};
  if (change.device.isEmpty())
    throw UsageError(QStringLiteral("--map %1: the device is missing (--unmap %2 removes the "
                                    "entry)")
                         .arg(text)
                         .arg(change.commPort));
  // The library opens the device from whatever folder the host runs in.
  if (change.device != QLatin1String(zrv::kSimDevice) && !change.device.startsWith(u'/'))
    throw UsageError(QStringLiteral("--map %1: the device must be \"sim\" or an absolute path "
                                    "such as /dev/ttyUSB0")
                         .arg(text));
  for (const QChar c : change.device)
    if (c.category() == QChar::Other_Control)
      throw UsageError(QStringLiteral("--map: a device name cannot hold control characters"));
  return change;
}

MapChange parseUnmapping(const QString& text) {
  return {mapNumber(text, "--unmap", text), QString()};
}

Variant parseValue(const QString& text) {
  const QString t = text.trimmed();
  if (t.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0) return Variant(true);
  if (t.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0) return Variant(false);
  bool ok = false;
  const qlonglong whole = t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                              ? t.mid(2).toLongLong(&ok, 16)
                              : t.toLongLong(&ok, 10);
  if (ok) {
    if (whole >= INT32_MIN && whole <= INT32_MAX) return Variant(static_cast<int32_t>(whole));
    return Variant(static_cast<double>(whole));
  }
  const double number = t.toDouble(&ok);
  if (ok) return Variant(number);
  if (t.size() >= 2 && t.startsWith(u'"') && t.endsWith(u'"'))
    return Variant(t.mid(1, t.size() - 2));
  return Variant(t);
}

Options parse(const QStringList& args) {
  Options options;
  qsizetype i = 0;
  // Options come first; after the first member every word is a member or a value, so that
  // negative numbers ("pwm -1 128 100") are never taken for options.
  for (; i < args.size(); ++i) {
    const QString& arg = args[i];
    if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
      options.help = true;
    } else if (arg == QLatin1String("--version")) {
      options.version = true;
    } else if (arg == QLatin1String("--list-ports")) {
      options.listPorts = true;
    } else if (arg == QLatin1String("--port") || arg == QLatin1String("-p")) {
      if (i + 1 >= args.size()) throw UsageError(QStringLiteral("%1 needs a port").arg(arg));
      parsePort(args[++i], options);
    } else if (arg.startsWith(QLatin1String("--port="))) {
      parsePort(arg.mid(7), options);
    } else if (arg == QLatin1String("--map") || arg == QLatin1String("--unmap")) {
      if (i + 1 >= args.size())
        throw UsageError(arg == QLatin1String("--map") ? QStringLiteral("--map needs N=DEVICE")
                                                       : QStringLiteral("--unmap needs N"));
      const QString& value = args[++i];
      options.mapChanges.push_back(arg == QLatin1String("--map") ? parseMapping(value)
                                                                 : parseUnmapping(value));
    } else if (arg.startsWith(QLatin1String("--map="))) {
      options.mapChanges.push_back(parseMapping(arg.mid(6)));
    } else if (arg.startsWith(QLatin1String("--unmap="))) {
      options.mapChanges.push_back(parseUnmapping(arg.mid(8)));
    } else if (arg == QLatin1String("--")) {
      ++i;
      break;
    } else if (arg.startsWith(u'-') && arg.size() > 1) {
      throw UsageError(QStringLiteral("unknown option '%1'").arg(arg));
    } else {
      break;
    }
  }
  for (; i < args.size(); ++i) {
    const QString word = args[i];
    Command c;
    c.text = word;
    const qsizetype open = word.indexOf(u'(');
    const qsizetype equals = word.indexOf(u'=');
    if (open >= 0 && (equals < 0 || open < equals)) {
      // name(args) or name(index)=value
      const qsizetype close = word.indexOf(u')', open);
      if (close < 0)
        throw UsageError(QStringLiteral("'%1' lacks its closing parenthesis").arg(word));
      const Member& m = memberNamed(word.left(open).trimmed(), word);
      c.member = &m;
      for (const QString& a : splitArguments(word.mid(open + 1, close - open - 1)))
        c.args.push_back(parseValue(a));
      const QString rest = word.mid(close + 1).trimmed();
      if (rest.isEmpty()) {
        c.kind = m.isMethod() ? kMethod : kPropertyGet;
      } else if (rest.startsWith(u'=')) {
        c.kind = kPropertyPut;
        c.args.push_back(parseValue(rest.mid(1)));
      } else {
        throw UsageError(QStringLiteral("'%1' has '%2' after its arguments").arg(word, rest));
      }
    } else if (equals >= 0) {
      const Member& m = memberNamed(word.left(equals).trimmed(), word);
      c.member = &m;
      c.kind = kPropertyPut;
      c.args.push_back(parseValue(word.mid(equals + 1)));
    } else {
      // name, with its arguments (if it takes any) as the next words.
      const Member& m = memberNamed(word.trimmed(), word);
      c.member = &m;
      c.kind = m.isMethod() ? kMethod : kPropertyGet;
      const size_t n = m.params.size();
      const qsizetype remaining = args.size() - 1 - i;
      if (static_cast<qsizetype>(n) > remaining)
        throw UsageError(takes(m, n) + QStringLiteral(", given %1").arg(remaining));
      for (size_t k = 0; k < n; ++k) {
        c.args.push_back(parseValue(args[++i]));
        c.text += u' ' + args[i];
      }
    }
    const Member& m = *c.member;
    if (c.kind == kPropertyPut) {
      if (m.isMethod())
        throw UsageError(QStringLiteral("%1 is a method; it cannot be assigned").arg(m.name));
      if (!m.writable) throw UsageError(QStringLiteral("%1 is read-only").arg(m.name));
      if (c.args.size() != m.params.size() + 1)
        throw UsageError(takes(m, m.params.size()) + QStringLiteral(" before its '='"));
    } else {
      if (!m.isMethod() && !m.readable)
        throw UsageError(QStringLiteral("%1 is write-only; assign it (%1=value)").arg(m.name));
      if (c.args.size() != m.params.size())
        throw UsageError(takes(m, m.params.size()) +
                         QStringLiteral(", given %1 in '%2'").arg(c.args.size()).arg(word));
    }
    options.commands.push_back(std::move(c));
  }
  if (!options.mapChanges.empty() && !options.commands.empty())
    throw UsageError(QStringLiteral(
        "--map and --unmap only change the port map; call the members in a run of their own"));
  return options;
}

QString helpText() {
  QString text = QStringLiteral(
      "Usage: zrvctl [--port N|sim|DEVICE] MEMBER...\n"
      "  or:  zrvctl --map N=DEVICE | --unmap N ... [--list-ports]\n"
      "  or:  zrvctl --list-ports\n"
      "  or:  zrvctl --help | --version\n"
      "\n"
      "Drives a ZRV I/O board through the ZRV control library: opens the link on the port,\n"
      "calls the members given in turn, printing each result on a line of its own, and\n"
      "closes the link. With no member it only checks that the board answers.\n"
      "\n"
      "  zrvctl --port 3 a2d 0\n"
      "  zrvctl --port sim pins=90 led=true 'eeprom(16)=65' 'eeprom(16)' counter\n"
      "\n"
      "Options (before the first member):\n"
      "  -p, --port PORT  a COM number (1-255) as the port map resolves it (default 1),\n"
      "                   \"sim\" for the built-in simulated board, or a device path such\n"
      "                   as /dev/ttyUSB0\n"
      "  --list-ports     show the port map and the serial devices present\n"
      "  --map N=DEVICE   map COM<N> (1-255) to DEVICE (\"sim\" or an absolute path such as\n"
      "                   /dev/ttyUSB0) in the per-user port map, for every program that\n"
      "                   uses the library; the file and its folder are made as needed\n"
      "  --unmap N        remove COM<N>'s entry: it means /dev/ttyS<N-1> again\n"
      "  -h, --help       show this text\n"
      "  --version        show the version of zrvctl\n"
      "\n"
      "Members:\n"
      "  name             read a property, or call a method without arguments\n"
      "  name(a, b)       call a method, or read an indexed property, with arguments\n"
      "  name a b         the same, the arguments as the following words\n"
      "  name=value       assign a property      name(i)=value   assign an indexed one\n"
      "Values are true/false, numbers (hex as 0x5A) or text; names are case-insensitive.\n"
      "Results print as numbers, or True/False; members without a result print nothing.\n"
      "Everything is checked before the link opens; the first failure ends the run.\n"
      "\n"
      "Exit status:\n"
      "  0  every member ran\n"
      "  1  a member, opening the link, or the port map failed: the reason on stderr\n"
      "  2  the command line is wrong; nothing was sent\n"
      "  3  the board did not answer (a reply timed out or could not be read)\n"
      "\n"
      "The control's members:\n");
  for (const Member& m : zrv::dispatch::members()) {
    text += QStringLiteral("  %1  (%2, %3)\n      %4\n")
                .arg(zrv::dispatch::signature(m), zrv::dispatch::kindText(m),
                     zrv::dispatch::dispidText(m.dispid), QString::fromLatin1(m.help).trimmed());
  }
  return text;
}

}  // namespace zrvctl
