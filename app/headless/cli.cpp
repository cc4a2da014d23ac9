#include "app/headless/cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/recovery/privatefiles.h"

namespace zrvlog::cli {

const char kUsage[] =
    "Usage:\n"
    "  zrvlog --headless [options] --zrv FILE and/or --csv FILE\n"
    "  zrvlog --convert IN.zrv [--csv FILE] %1\n"
    "  zrvlog --recover [--zrv FILE] [--csv FILE] [--discard]\n"
    "\n"
    "Recording without the window (--headless):\n"
    "  --port N|sim|DEVICE  the board: a COM number from 1 to 255 (through the port map),\n"
    "                       sim for the built-in simulated board, or a device such as\n"
    "                       /dev/ttyUSB0 (default: the port the program last used)\n"
    "  --interval SECONDS   sample interval, from 0.001 to 2147483.647 (default 1)\n"
    "  --stop SECONDS       stop time, from 0 to 1000000000; without it the run goes on\n"
    "                       until Ctrl+C\n"
    "  --channels N         channels 0 to N-1 are read, N = 1 to 5 (default 5)\n"
    "  --average N          conversions averaged per channel and sample, 1 to 255 (default 1)\n"
    "  --reference REF      A/D reference: vdd (Vdd, Vss), ch3 (Ch3, Vss) or ch3-ch2\n"
    "                       (Ch3, Ch2); default vdd\n"
    "  --raw                record raw counts (0-1023) instead of 0-5 V\n"
    "  --zrv FILE           write the data file (open it in ZRVLOG later)\n"
    "  --csv FILE           write the samples as comma-separated text; --csv - writes them\n"
    "                       to standard output as they are taken, a line per sample\n"
    "  --quiet              no progress lines\n"
    "  --reconnect SECONDS  when the port fails (a USB adapter unplugged), wait this long for\n"
    "                       it to come back, trying once a second, before the run ends;\n"
    "                       0 ends it at once (default 30)\n"
    "Progress goes to standard error once a second. Ctrl+C, SIGTERM and SIGHUP (the\n"
    "terminal or the remote session closed) end the run and keep every sample taken. A\n"
    "closed standard error only ends the progress lines. When the reader of --csv - goes\n"
    "away (zrvlog ... --csv - | head), the run ends as on Ctrl+C and exits with 3.\n"
    "If the data file cannot be written, a copy goes to ~/.local/share/ZRVLOG/rescued.\n"
    "\n"
    "Converting a data file (--convert IN.zrv):\n"
    "  --csv FILE           the samples as comma-separated text\n"
    "%2"
    "\n"
    "Recovering a recording that was not saved (--recover):\n"
    "  Every run is journalled as it goes (~/.local/share/ZRVLOG/recovery). Without files,\n"
    "  --recover lists the recordings left by a program that ended without saving; with\n"
    "  --zrv and/or --csv it writes the newest of them there and then removes it, unless\n"
    "  part of it could not be read (exit 1: the journal stays). --discard removes the\n"
    "  newest journal (after writing it, when files are given).\n"
    "\n"
    "No output may be an input or another output (exit 2, nothing written).\n"
    "\n"
    "Exit status:\n"
    "  0  done (also a run ended by Ctrl+C, SIGTERM or SIGHUP)\n"
    "  1  the board, the run or a file failed, or a recovery lost samples; what could be\n"
    "     written was written\n"
    "  2  wrong options; nothing was written\n"
    "  3  the reader of --csv - went away; the run ended there, the other files are written\n";

namespace {

// Standard error and output, for as long as someone reads them.
bool g_errorClosed = false;
bool g_outputClosed = false;
bool g_reportToError = false;

// Writes a line; false once the stream is closed (EPIPE: SIGPIPE is ignored in this mode).
bool writeLine(std::FILE* stream, const QString& text) {
  const QByteArray line = text.toLocal8Bit() + '\n';
  const bool ok = std::fwrite(line.constData(), 1, std::size_t(line.size()), stream) ==
                      std::size_t(line.size()) &&
                  std::fflush(stream) == 0;
  if (!ok) std::clearerr(stream);
  return ok;
}

}  // namespace

QString usage() {
  return QString::fromUtf8(kUsage).arg(pictureOptionsSynopsis(), pictureOptionsHelp());
}

void say(const QString& text) {
  if (!g_errorClosed && !writeLine(stderr, QStringLiteral("zrvlog: ") + text)) g_errorClosed = true;
}

void report(const QString& text) {
  if (g_reportToError) {
    say(text);
    return;
  }
  if (!g_outputClosed && !writeLine(stdout, text)) g_outputClosed = true;
}

void reportToStandardError() {
  g_reportToError = true;
}

int usageError(const QString& problem) {
  say(problem);
  if (!g_errorClosed) std::fprintf(stderr, "Try 'zrvlog --headless --help'.\n");
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

namespace {

// What identifies a file: where it is once links are resolved and, if it exists, its
// device and inode (which also catch hard links and bind mounts).
struct FileIdentity {
  QString resolved;
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity& o) const {
    return (exists && o.exists && device == o.device && inode == o.inode) || resolved == o.resolved;
  }
};

// Where a file that does not exist would be created: through a dangling link to its target,
// otherwise in its folder, resolved.
QString resolvedMissing(const QString& path, int depth = 0) {
  const QFileInfo info(path);
  if (info.isSymLink() && depth < 40) return resolvedMissing(info.symLinkTarget(), depth + 1);
  const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
  return (folder.isEmpty() ? QDir::cleanPath(info.absolutePath()) : folder) + QLatin1Char('/') +
         info.fileName();
}

FileIdentity identify(const QString& path) {
  FileIdentity id;
  struct stat st {};
  if (path == QLatin1String("-")) {
    // Standard output redirected to a file (> a.zrv) is that file.
    id.resolved = QStringLiteral("<standard output>");
    if (::fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode)) {
      id.exists = true;
      id.device = st.st_dev;
      id.inode = st.st_ino;
    }
    return id;
  }
  if (::stat(QFile::encodeName(path).constData(), &st) == 0) {
    id.exists = true;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    id.resolved = QFileInfo(path).canonicalFilePath();
  } else {
    id.resolved = resolvedMissing(path);
  }
  return id;
}

// Keeps the data set in a new private file of the user's own folder.
std::optional<QString> rescue(AcquisitionEngine& engine, QString& path) {
  const QString folder = rescueFolder();
  if (const auto problem = makePrivateFolder(folder)) return problem;
  const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
  for (int attempt = 0; attempt < 100; ++attempt) {
    path = QStringLiteral("%1/rescued-%2-%3")
               .arg(folder, stamp)
               .arg(QCoreApplication::applicationPid());
    if (attempt > 0) path += QLatin1Char('-') + QString::number(attempt);
    path += QStringLiteral(".zrv");
    const int fd = createPrivateFile(path);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return QStringLiteral("Cannot create %1: %2").arg(path, systemError(errno));
    QFile file;
    file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle);
    SaveResult r = writeDataFile(file, engine);
    if (r.ok && (!file.flush() || ::fdatasync(fd) != 0)) {
      r.ok = false;
      r.error = systemError(errno);
    }
    file.close();
    if (!r.ok) {
      QFile::remove(path);
      return QStringLiteral("Cannot write %1: %2").arg(path, r.error);
    }
    syncFolder(folder);
    return std::nullopt;
  }
  return QStringLiteral("Cannot create a file in %1: every name is taken").arg(folder);
}

}  // namespace

std::optional<QString> clobberedFile(const QList<NamedFile>& inputs,
                                     const QList<NamedFile>& outputs) {
  QList<std::pair<const NamedFile*, FileIdentity>> seen;
  for (const NamedFile& in : inputs)
    if (!in.path.isEmpty()) seen.append({&in, identify(in.path)});
  const qsizetype inputCount = seen.size();
  for (const NamedFile& out : outputs) {
    if (out.path.isEmpty()) continue;
    const FileIdentity id = identify(out.path);
    for (qsizetype i = 0; i < seen.size(); ++i) {
      if (!(seen[i].second == id)) continue;
      const NamedFile& other = *seen[i].first;
      return i < inputCount
                 ? QStringLiteral("%1 %2 is the input %3 %4: writing it would destroy what is read")
                       .arg(out.option, out.path, other.option, other.path)
                 : QStringLiteral("%1 %2 and %3 %4 are the same file: one would replace the other")
                       .arg(other.option, other.path, out.option, out.path);
    }
    seen.append({&out, id});
  }
  return std::nullopt;
}

QString rescueFolder() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
         QStringLiteral("/ZRVLOG/rescued");
}

bool writeOutputs(const OutputFiles& o, AcquisitionEngine& engine) {
  bool ok = true;
  const auto samples = qulonglong(engine.data.sampleCount());
  if (!o.zrvPath.isEmpty() && !reportWritten(o.zrvPath, saveDataFile(o.zrvPath, engine), samples)) {
    ok = false;
    // The samples exist nowhere else: keep them where only this user can reach them.
    QString copy;
    if (const auto problem = rescue(engine, copy))
      say(QStringLiteral("no copy could be kept either: %1").arg(*problem));
    else
      report(QStringLiteral("wrote %1 instead (%2 samples)").arg(copy).arg(samples));
  }
  if (!o.csvPath.isEmpty() && o.csvPath != QLatin1String("-"))
    ok &= reportWritten(o.csvPath, exportCsv(o.csvPath, engine.data, engine.graph()), samples);
  return ok;
}

}  // namespace zrvlog::cli
