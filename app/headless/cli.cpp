#include "app/headless/cli.h"

#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/acquisition/engine.h"
#include "app/recovery/privatefiles.h"
#include "app/safewrite/safewrite.h"
#include "common/counted.h"

namespace zrvlog::cli {

const char kUsage[] =
    "Usage:\n"
    "  zrvlog --headless [options] OUTPUT...\n"
    "  zrvlog --convert IN.zrv OUTPUT...\n"
    "  zrvlog --recover [OUTPUT...] [--discard]\n"
    "where each OUTPUT is one of %1\n"
    "\n"
    "Outputs (the files in every mode, --publish with --headless):\n"
    "%2"
    "  A FILE is replaced only once the new one is whole on the disk; - is standard output,\n"
    "  and a FIFO or a device (/dev/stdout, /dev/null) is written in place. A link in a\n"
    "  shared sticky folder (/tmp) is followed only when it belongs to you or the folder's\n"
    "  owner; a folder or a socket is refused. Each output is locked for the whole run: a\n"
    "  second zrvlog naming it is refused (exit 2). \"wrote FILE\" means it is on the disk.\n"
    "\n"
    "Recording without the window (--headless):\n"
    "  --port N|sim|DEVICE  the board: a COM number from 1 to 255 (through the port map),\n"
    "                       sim for the built-in simulated board, or a device such as\n"
    "                       /dev/ttyUSB0 (default: the port the program last used)\n"
    "%3"
    "  --raw                record raw counts (0-1023) instead of 0-5 V\n"
    "  --quiet              no progress lines\n"
    "  The outputs are written when the run ends, but --csv to standard output, a FIFO or a\n"
    "  device gets the samples as they are taken, a line per sample, and --publish sends them\n"
    "  to the broker as they are taken.\n"
    "Progress goes to standard error once a second; a line that standard error cannot take\n"
    "at once (its reader stalled) is dropped, never waited for. Ctrl+C, SIGTERM and SIGHUP\n"
    "(the terminal or the remote session closed) end the run and keep every sample taken. A\n"
    "closed standard error only ends the progress lines. When the reader of the live CSV\n"
    "goes away (zrvlog ... --csv - | head), the run ends as on Ctrl+C and exits with 3.\n"
    "If the data file cannot be written, a copy goes to ~/.local/share/ZRVLOG/rescued.\n"
    "\n"
    "Converting a data file (--convert IN.zrv): the outputs are made from the file.\n"
    "\n"
    "Recovering a recording that was not saved (--recover):\n"
    "  Every run is journalled as it goes (~/.local/share/ZRVLOG/recovery). Without outputs,\n"
    "  --recover lists the recordings left by a program that ended without saving; with\n"
    "  outputs it writes the newest of them there and then removes it, unless an output\n"
    "  could not be written or part of the recording is missing (exit 1: the journal\n"
    "  stays). --discard removes the newest journal (after writing it, when outputs are\n"
    "  given).\n"
    "\n"
    "No output may be an input or another output (exit 2, nothing written).\n"
    "\n"
    "Exit status:\n"
    "  0  done (also a run ended by Ctrl+C, SIGTERM or SIGHUP)\n"
    "  1  the board, the run or a file failed, or a recovery lost samples; what could be\n"
    "     written was written\n"
    "  2  wrong options, or an output that cannot be written or is held by another zrvlog;\n"
    "     nothing was written\n"
    "  3  the reader of the live CSV went away; the run ended there, the other files are\n"
    "     written\n";

namespace {

// Standard error and output, for as long as someone reads them.
bool g_errorClosed = false;
bool g_outputClosed = false;
bool g_reportToError = false;
// A stream whose reader stopped taking lines is waited for no more: later lines go only when
// it takes them at once.
bool g_errorStalled = false;
bool g_outputStalled = false;
constexpr int kLineWaitMs = 2000;

// Writes a line unless the stream cannot take it within waitMs; false once it is closed
// (EPIPE: SIGPIPE is ignored in this mode). A line at most a pipe's buffer long goes in one
// write, which a pipe that polled writable takes without blocking.
bool writeLine(int fd, const QString& text, int waitMs, bool& stalled) {
  const QByteArray line = text.toLocal8Bit() + '\n';
  qsizetype done = 0;
  while (done < line.size()) {
    pollfd p{fd, POLLOUT, 0};
    const int n = ::poll(&p, 1, stalled ? 0 : waitMs);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) {
      stalled = true;  // dropped: nobody is reading just now
      return true;
    }
    if (n < 0 || (p.revents & (POLLERR | POLLNVAL)) != 0) return false;
    const std::size_t chunk = std::min<std::size_t>(std::size_t(line.size() - done), PIPE_BUF);
    const ssize_t written = ::write(fd, line.constData() + done, chunk);
    if (written < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (written <= 0) return false;
    done += written;
  }
  stalled = false;
  return true;
}

}  // namespace

QString usage() {
  return QString::fromUtf8(kUsage).arg(outputOptionsSynopsis(), outputOptionsHelp(),
                                       settingOptionsHelp());
}

void say(const QString& text) {
  if (!g_errorClosed &&
      !writeLine(STDERR_FILENO, QStringLiteral("zrvlog: ") + text, kLineWaitMs, g_errorStalled))
    g_errorClosed = true;
}

void sayProgress(const QString& text) {
  // Never waited for; a line dropped here marks standard error as stalled for say() as well,
  // so that the messages at the end of a run do not wait for it either.
  if (!g_errorClosed &&
      !writeLine(STDERR_FILENO, QStringLiteral("zrvlog: ") + text, 0, g_errorStalled))
    g_errorClosed = true;
}

void report(const QString& text) {
  if (g_reportToError) {
    say(text);
    return;
  }
  if (!g_outputClosed && !writeLine(STDOUT_FILENO, text, kLineWaitMs, g_outputStalled))
    g_outputClosed = true;
}

void reportToStandardError() {
  g_reportToError = true;
}

int usageError(const QString& problem) {
  say(problem);
  if (!g_errorClosed)
    writeLine(STDERR_FILENO, QStringLiteral("Try 'zrvlog --headless --help'."), kLineWaitMs,
              g_errorStalled);
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
  if (const int fd = classifyOutput(path).descriptor; fd >= 0) {
    // "-", /dev/stdout, /dev/fd/1 are one stream; standard output redirected to a file
    // (> a.zrv) is that file.
    id.resolved = QStringLiteral("<descriptor %1>").arg(fd);
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
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
std::optional<QString> rescue(const Document& document, QString& path) {
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
    SaveResult r;
    {
      CheckedDevice file(fd);
      r = writeDataFile(file, document);
    }
    if (r.ok && ::fdatasync(fd) != 0) {
      r.ok = false;
      r.error = systemError(errno);
    }
    if (::close(fd) != 0 && r.ok) {
      r.ok = false;
      r.error = systemError(errno);
    }
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

bool Outputs::anyPicture() const {
  return std::any_of(list.begin(), list.end(),
                     [](const RequestedOutput& o) { return o.format->picture; });
}

const RequestedOutput* Outputs::find(const OutputFormat& format) const {
  for (const RequestedOutput& o : list)
    if (o.format == &format) return &o;
  return nullptr;
}

QList<NamedFile> Outputs::named() const {
  QList<NamedFile> files;
  for (const RequestedOutput& o : list)
    if (o.format->isFile()) files << o.named();
  return files;
}

bool Outputs::toStandardOutput() const {
  return std::any_of(list.begin(), list.end(), [](const RequestedOutput& o) {
    return o.target && o.target->target().descriptor == STDOUT_FILENO;
  });
}

QString outputOptionsSynopsis() {
  QStringList options;
  for (const OutputFormat& format : outputFormats())
    options << QStringLiteral("%1 %2").arg(format.option(), format.targetName());
  return options.join(QStringLiteral(", "));
}

QString outputOptionsHelp() {
  const Outputs defaults;
  QString help;
  for (const OutputFormat& format : outputFormats())
    help += QStringLiteral("  %1 %2").arg(format.option(), format.targetName()).leftJustified(23) +
            QString::fromLatin1(format.help) + QLatin1Char('\n');
  help += QStringLiteral(
              "  --size WxH           picture size in pixels (default %1x%2); a page takes the\n"
              "                       width, which sets the text's size relative to the graph\n")
              .arg(defaults.picture.size.width())
              .arg(defaults.picture.size.height());
  help += QStringLiteral(
              "  --style STYLE        %1: the graph's own colours (the default), or white\n"
              "                       paper with dark text and darkened channel colours\n")
              .arg(pictureStyleNames().join(QLatin1Char('|')));
  return help;
}

namespace {

// Words after a column of 23, lines of at most 90 characters.
QString helpEntry(const QString& head, const QString& text) {
  constexpr int kColumn = 23, kWidth = 90;
  QString out = head.size() < kColumn - 1 ? head.leftJustified(kColumn)
                                          : head + QLatin1Char('\n') + QString(kColumn, u' ');
  int lineStart = int(out.lastIndexOf(u'\n') + 1);
  bool first = true;
  for (const QString& word : text.split(u' ', Qt::SkipEmptyParts)) {
    if (!first && out.size() - lineStart + 1 + word.size() > kWidth) {
      out += QLatin1Char('\n') + QString(kColumn, u' ');
      lineStart = int(out.size() - kColumn);
    } else if (!first) {
      out += QLatin1Char(' ');
    }
    out += word;
    first = false;
  }
  return out + QLatin1Char('\n');
}

QString defaultShown(const SettingDescriptor& d) {
  if (!d.defaultText || !*d.defaultText) return {};
  for (const SettingChoice& choice : d.choices)
    if (QString::number(choice.code) == QLatin1String(d.defaultText))
      return QString::fromLatin1(choice.word);
  return QString::fromLatin1(d.defaultText);
}

}  // namespace

QString settingOptionsHelp() {
  QString help;
  for (const SettingDescriptor& d : settingTable()) {
    if (!d.option) continue;
    QString text =
        QString::fromLatin1(d.help) + QStringLiteral(": ") + QString::fromLatin1(d.takes);
    if (const QString shown = defaultShown(d); !shown.isEmpty())
      text += QStringLiteral(" (default %1)").arg(shown);
    help += helpEntry(
        QStringLiteral("  --%1 %2").arg(QLatin1String(d.option), QLatin1String(d.valueName)), text);
  }
  return help;
}

void addSettingOptions(QCommandLineParser& p) {
  for (const SettingDescriptor& d : settingTable())
    if (d.option)
      p.addOption(QCommandLineOption(QString::fromLatin1(d.option), {},
                                     QString::fromLatin1(d.valueName).toLower()));
}

std::optional<int> takeSettings(const QCommandLineParser& p, SettingValues& values) {
  for (const SettingDescriptor& d : settingTable()) {
    if (!d.option) continue;
    const QString option = QString::fromLatin1(d.option);
    if (!p.isSet(option)) continue;
    if (p.values(option).size() > 1)
      return usageError(QStringLiteral("--%1 is given twice").arg(option));
    const QString text = p.value(option);
    const SettingCheck check = checkSetting(d, text);
    if (!check.ok())
      return usageError(QStringLiteral("--%1 takes %2, not '%3'")
                            .arg(option, QString::fromLatin1(d.takes), text));
    values.list.push_back({&d, check.value});
  }
  return std::nullopt;
}

void SettingValues::applyTo(AcquisitionEngine& engine) const {
  for (const auto& [d, value] : list)
    setSetting(engine, *d, value);
}

const zrv::Variant* SettingValues::find(SettingId id) const {
  for (const auto& [d, value] : list)
    if (d->id == id) return &value;
  return nullptr;
}

void addOutputOptions(QCommandLineParser& p) {
  for (const OutputFormat& format : outputFormats())
    p.addOption(QCommandLineOption(QString::fromLatin1(format.id), {}, QStringLiteral("file")));
  p.addOption(QCommandLineOption(QStringLiteral("size"), {}, QStringLiteral("wxh")));
  p.addOption(QCommandLineOption(QStringLiteral("style"), {}, QStringLiteral("style")));
}

std::optional<int> takeOutputs(const QCommandLineParser& p, const QList<NamedFile>& inputs,
                               Outputs& outputs, bool recording) {
  for (const OutputFormat& format : outputFormats()) {
    const QString id = QString::fromLatin1(format.id);
    if (!p.isSet(id)) continue;
    if (!format.isFile() && !recording)
      return usageError(QStringLiteral("%1 goes with --headless: it takes samples as a run "
                                       "records them")
                            .arg(format.option()));
    if (p.values(id).size() > 1)
      return usageError(
          QStringLiteral("%1 is given twice; it takes one file").arg(format.option()));
    if (p.value(id).isEmpty())
      return usageError(format.isFile()
                            ? QStringLiteral("%1 takes a file name (- for standard "
                                             "output)")
                                  .arg(format.option())
                            : QStringLiteral("%1 takes an address").arg(format.option()));
    outputs.list.push_back({&format, p.value(id), nullptr});
  }
  const QString size = QStringLiteral("size"), style = QStringLiteral("style");
  if (p.isSet(size)) {
    const QStringList wh = p.value(size).split(QLatin1Char('x'));
    bool okW = false, okH = false;
    const int w = wh.value(0).toInt(&okW), h = wh.size() == 2 ? wh[1].toInt(&okH) : 0;
    if (!okW || !okH || w < 16 || h < 16 || w > 10000 || h > 10000)
      return usageError(
          QStringLiteral("--size takes WIDTHxHEIGHT in pixels, not '%1'").arg(p.value(size)));
    outputs.picture.size = QSize(w, h);
  }
  if (p.isSet(style)) {
    const auto chosen = pictureStyleByName(p.value(style));
    if (!chosen)
      return usageError(QStringLiteral("--style takes %1, not '%2'")
                            .arg(pictureStyleNames().join(QStringLiteral(" or ")), p.value(style)));
    outputs.picture.style = *chosen;
  }
  if (const auto problem = clobberedFile(inputs, outputs.named())) return usageError(*problem);
  // Held from here to the end: what cannot be written, or what another program writes, is
  // refused before anything starts.
  for (RequestedOutput& o : outputs.list) {
    if (!o.format->isFile()) continue;  // an address: the safe writer has no say in it
    o.target = std::make_unique<SafeOutput>();
    if (const auto problem = o.target->hold(o.path))
      return usageError(
          QStringLiteral("cannot write %1 %2: %3").arg(o.format->option(), o.path, *problem));
  }
  // Standard output carries data; what is said about it goes to standard error.
  if (outputs.toStandardOutput()) reportToStandardError();
  return std::nullopt;
}

HeadlessSource::HeadlessSource(Document& document, const PictureOptions& picture)
    : source{document, {}, picture} {
  source.view = [this]() -> GraphView& {
    if (!m_view) {
      // The same drawing as the window's export at that size: the view lays the graph out
      // for each picture, shown or not.
      m_dialogs = std::make_unique<WidgetDialogs>();
      m_view = std::make_unique<GraphView>(source.document.graph(), *m_dialogs);
      m_view->resize(source.picture.size);
    }
    return *m_view;
  };
}

HeadlessSource::~HeadlessSource() = default;

bool writeOutputs(Outputs& outputs, OutputSource& source, const RequestedOutput* skip) {
  bool ok = true;
  const auto samples = qulonglong(source.document.sampleCount());
  for (RequestedOutput& o : outputs.list) {
    if (&o == skip || !o.format->writer) continue;
    SaveResult r;
    if (writeOutput(*o.format, *o.target, source, &r)) {
      say(r.error);
      ok = false;
      if (o.format != &dataFileFormat()) continue;
      // The samples may exist nowhere else: keep them where only this user can reach them.
      QString copy;
      if (const auto problem = rescue(source.document, copy))
        say(QStringLiteral("no copy could be kept either: %1").arg(*problem));
      else
        report(QStringLiteral("wrote %1 instead (%2)")
                   .arg(copy, zrv::counted(samples, QStringLiteral("sample"))));
      continue;
    }
    const QString name = outputName(o.path);
    report(o.format->picture
               ? QStringLiteral("wrote %1").arg(name)
               : QStringLiteral("wrote %1 (%2)")
                     .arg(name, zrv::counted(qulonglong(r.rows), QStringLiteral("sample"))));
    if (!r.rowsError.isEmpty()) say(r.rowsError);
  }
  return ok;
}

}  // namespace zrvlog::cli
