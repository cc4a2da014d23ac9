#include "app/headless/cli.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <cstdio>
#include <cstring>

namespace zrvlog::cli {

const char kUsage[] =
    "Usage:\n"
    "  zrvlog --headless [options] --zrv FILE and/or --csv FILE\n"
    "  zrvlog --convert IN.zrv [--csv FILE] %1\n"
    "  zrvlog --recover [--zrv FILE] [--csv FILE]\n"
    "\n"
    "Recording without the window (--headless):\n"
    "  --port N|sim|DEVICE  the board: a COM number (through the port map), sim for the\n"
    "                       built-in simulated board, or a device such as /dev/ttyUSB0\n"
    "                       (default: the port the program last used)\n"
    "  --interval SECONDS   sample interval (default 1)\n"
    "  --stop SECONDS       stop time; without it the run goes on until Ctrl+C\n"
    "  --channels N         channels 0 to N-1 are read, N = 1 to 5 (default 5)\n"
    "  --average N          conversions averaged per channel and sample (default 1)\n"
    "  --reference REF      A/D reference: vdd (Vdd, Vss), ch3 (Ch3, Vss) or ch3-ch2\n"
    "                       (Ch3, Ch2); default vdd\n"
    "  --raw                record raw counts (0-1023) instead of 0-5 V\n"
    "  --zrv FILE           write the data file (open it in ZRVLOG later)\n"
    "  --csv FILE           write the samples as comma-separated text\n"
    "  --quiet              no progress lines\n"
    "Progress goes to standard error once a second; Ctrl+C or SIGTERM ends the run and\n"
    "keeps every sample taken.\n"
    "\n"
    "Converting a data file (--convert IN.zrv):\n"
    "  --csv FILE           the samples as comma-separated text\n"
    "%2"
    "\n"
    "Recovering a recording that was not saved (--recover):\n"
    "  Every run is journalled as it goes (~/.local/share/ZRVLOG/recovery). Without files,\n"
    "  --recover lists the recordings left by a program that ended without saving; with\n"
    "  --zrv and/or --csv it writes the newest of them there and then removes it.\n"
    "\n"
    "Exit status: 0 done; 1 the board, the run or a file failed (what was recorded is still\n"
    "written); 2 wrong options.\n";

QString usage() {
  return QString::fromUtf8(kUsage).arg(pictureOptionsSynopsis(), pictureOptionsHelp());
}

void say(const QString& text) {
  std::fprintf(stderr, "zrvlog: %s\n", qPrintable(text));
  std::fflush(stderr);
}

void report(const QString& text) {
  std::fprintf(stdout, "%s\n", qPrintable(text));
  std::fflush(stdout);
}

int usageError(const QString& problem) {
  say(problem);
  std::fprintf(stderr, "Try 'zrvlog --headless --help'.\n");
  return kExitUsage;
}

std::optional<int> parseOrStop(QCommandLineParser& p, const QStringList& args) {
  if (!p.parse(args)) return usageError(p.errorText());
  if (p.isSet(QStringLiteral("help"))) {
    std::fputs(qPrintable(usage()), stdout);
    return kExitOk;
  }
  if (!p.positionalArguments().isEmpty())
    return usageError(QStringLiteral("unexpected argument '%1'").arg(p.positionalArguments()[0]));
  return std::nullopt;
}

bool hasArgument(int argc, char** argv, const char* name) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return true;
  return false;
}

std::optional<QString> unwritableFolder(const QString& path) {
  const QFileInfo folder(QFileInfo(path).absolutePath());
  if (!folder.exists())
    return QStringLiteral("the folder %1 does not exist").arg(folder.filePath());
  if (!folder.isDir()) return QStringLiteral("%1 is not a folder").arg(folder.filePath());
  if (!folder.isWritable())
    return QStringLiteral("the folder %1 is not writable").arg(folder.filePath());
  return std::nullopt;
}

bool reportWritten(const QString& path, const SaveResult& r, qulonglong samples) {
  if (!r.ok) {
    say(r.error);
    return false;
  }
  report(QStringLiteral("wrote %1 (%2 samples)").arg(path).arg(samples));
  if (!r.rowsError.isEmpty()) say(r.rowsError);
  return true;
}

bool writeOutputs(const OutputFiles& o, AcquisitionEngine& engine) {
  bool ok = true;
  const auto samples = qulonglong(engine.data.sampleCount());
  if (!o.zrvPath.isEmpty() && !reportWritten(o.zrvPath, saveDataFile(o.zrvPath, engine), samples)) {
    ok = false;
    // The samples exist nowhere else: keep them where a file can still be written.
    const QString rescue = QDir::temp().filePath(
        QStringLiteral("zrvlog-rescued-%1.zrv").arg(QCoreApplication::applicationPid()));
    if (saveDataFile(rescue, engine).ok)
      report(QStringLiteral("wrote %1 instead (%2 samples)").arg(rescue).arg(samples));
  }
  if (!o.csvPath.isEmpty())
    ok &= reportWritten(o.csvPath, exportCsv(o.csvPath, engine.data, engine.graph()), samples);
  return ok;
}

}  // namespace zrvlog::cli
