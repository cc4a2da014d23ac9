// zrvctl: the ZRV control library from the shell (see commandline.h and --help).
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QSerialPortInfo>
#include <cstdio>

#include "board/dispatch.h"
#include "board/portmap.h"
#include "board/zrvio.h"
#include "commandline.h"
#include "common/automationerror.h"

namespace {

enum ExitStatus { kDone = 0, kFailed = 1, kUsage = 2, kNoAnswer = 3 };

void out(const QString& text) {
  std::fputs(text.toLocal8Bit().constData(), stdout);
  std::fflush(stdout);
}

void err(const QString& text) {
  std::fputs((QStringLiteral("zrvctl: ") + text + u'\n').toLocal8Bit().constData(), stderr);
}

QString sourceText(zrv::portmap::Source source) {
  switch (source) {
    case zrv::portmap::Source::File:
      return QStringLiteral("port map file");
    case zrv::portmap::Source::Process:
      return QStringLiteral("this process");
    case zrv::portmap::Source::Default:
      break;
  }
  return QStringLiteral("default");
}

int changeMap(const std::vector<zrvctl::MapChange>& changes) {
  const QString file = zrv::portmap::configFile();
  for (const zrvctl::MapChange& c : changes) {
    QString error;
    if (!zrv::portmap::setMapping(c.commPort, c.device, &error)) {
      err(QStringLiteral("cannot change COM%1 in the port map: %2").arg(c.commPort).arg(error));
      return kFailed;
    }
    if (c.device.isEmpty())
      out(QStringLiteral("COM%1: no entry in %2 (it means %3)\n")
              .arg(c.commPort)
              .arg(file, zrv::portmap::defaultDevice(c.commPort)));
    else
      out(QStringLiteral("COM%1: %2, in %3\n").arg(c.commPort).arg(c.device, file));
  }
  return kDone;
}

int listPorts() {
  QString text = QStringLiteral("Port map (%1):\n").arg(zrv::portmap::configFile());
  QString mapError;
  const auto entries = zrv::portmap::entries(&mapError);
  for (const auto& e : entries)
    text += QStringLiteral("  %1 %2 (%3)\n")
                .arg(QStringLiteral("COM%1").arg(e.commPort).leftJustified(6),
                     e.device.leftJustified(24), sourceText(e.source));
  // A file that cannot be read maps nothing, and no number falls back to its default
  // device; "no entries" would hide that.
  if (!mapError.isEmpty()) {
    text += QStringLiteral(
        "  (the file cannot be used: opening a COM number fails until it is fixed)\n");
  } else {
    if (entries.isEmpty()) text += QStringLiteral("  (no entries)\n");
    text += QStringLiteral("  any other COM<n>: %1 (COM1: %2)\n")
                .arg(QStringLiteral("/dev/ttyS<n-1>"), zrv::portmap::defaultDevice(1));
  }
  text += QStringLiteral("Serial devices present:\n");
  const auto ports = QSerialPortInfo::availablePorts();
  for (const QSerialPortInfo& p : ports) {
    QStringList about;
    for (const QString& s : {p.description(), p.manufacturer(), p.serialNumber()})
      if (!s.isEmpty()) about.append(s);
    text += QStringLiteral("  %1  %2\n")
                .arg(p.systemLocation(), -24)
                .arg(about.join(QStringLiteral(", ")));
  }
  if (ports.isEmpty()) text += QStringLiteral("  (none found)\n");
  out(text);
  if (mapError.isEmpty()) return kDone;
  err(mapError);
  return kFailed;
}

QString failure(const zrv::AutomationError& e) {
  return QStringLiteral("error %1: %2").arg(e.number()).arg(e.message());
}

int run(const zrvctl::Options& options) {
  if (!options.device.isEmpty()) zrv::portmap::overrideForProcess(options.commPort, options.device);
  zrv::ZRVIO io;
  try {
    io.setCommPort(options.commPort);
    io.setPortopen(true);
  } catch (const zrv::AutomationError& e) {
    err(QStringLiteral("cannot open the link: %1").arg(failure(e)));
    return kFailed;
  }
  if (io.errflag()) {
    err(QStringLiteral("no board answers on %1: %2").arg(io.portDescription(), io.lastReadError()));
    return kNoAnswer;
  }
  for (const zrvctl::Command& c : options.commands) {
    try {
      const zrv::Variant result = zrv::dispatch::invoke(io, c.member->dispid, c.kind, c.args);
      // A reply that never came reads as 0; say so instead of printing it.
      if (io.errflag()) {
        err(QStringLiteral("%1: the board did not answer: %2").arg(c.text, io.lastReadError()));
        return kNoAnswer;
      }
      if (!result.isEmpty()) out(result.toText() + u'\n');
    } catch (const zrv::AutomationError& e) {
      err(QStringLiteral("%1: %2").arg(c.text, failure(e)));
      return kFailed;
    }
  }
  io.setPortopen(false);
  return kDone;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  // zrvctl reports what goes wrong itself; the library's warnings would only repeat it.
  // (QT_LOGGING_RULES still turns them, and the debug output, on.)
  QLoggingCategory::setFilterRules(QStringLiteral("zrv.board.warning=false"));
  QStringList args = QCoreApplication::arguments();
  args.removeFirst();
  zrvctl::Options options;
  try {
    options = zrvctl::parse(args);
  } catch (const zrvctl::UsageError& e) {
    err(e.message());
    std::fputs("Try 'zrvctl --help'.\n", stderr);
    return kUsage;
  }
  if (options.help) {
    out(zrvctl::helpText());
    return kDone;
  }
  if (options.version) {
    out(QStringLiteral("zrvctl " ZRV_VERSION "\n"));
    return kDone;
  }
  if (!options.mapChanges.empty()) {
    const int status = changeMap(options.mapChanges);
    if (status != kDone || !options.listPorts) return status;
  }
  if (options.listPorts) return listPorts();
  return run(options);
}
