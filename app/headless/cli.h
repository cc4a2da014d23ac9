#pragma once
// What the command-line modes (recording, converting, recovering) share: their messages and
// exit statuses, option checks (outputs that would write over an input or each other), an
// engine for reading and writing files without sampling, and the report of every file
// written, with a private copy when a data file cannot be written.

#include <QCommandLineParser>
#include <QString>
#include <QStringList>
#include <optional>

#include "app/acquisition/engine.h"
#include "app/acquisition/zrviolink.h"
#include "app/documents/datafile.h"
#include "app/graph/graphmodel.h"
#include "app/timer/manualtimer.h"

namespace zrvlog::cli {

constexpr int kExitOk = 0;
/// The board, the run or a file failed, or a recovery could not give back everything; what
/// could be written was written.
constexpr int kExitFailed = 1;
/// Wrong options; nothing was written.
constexpr int kExitUsage = 2;
/// The reader of the live CSV on standard output went away: the run ended there, and the
/// other files were written.
constexpr int kExitReaderGone = 3;

/// The help of every mode; %1 and %2 stand for the picture options (usage() fills them in).
extern const char kUsage[];
/// The help as printed, with the picture options of every picture format.
QString usage();
/// --convert's picture options for the synopsis and for the help (convert.cpp).
QString pictureOptionsSynopsis();
QString pictureOptionsHelp();

/// A message for people on standard error: "zrvlog: text". Once standard error is closed
/// (a reader that went away) nothing more is written there, and nothing else changes.
void say(const QString& text);
/// A result on standard output ("wrote FILE (N samples)"), or on standard error while
/// standard output carries data (see reportToStandardError).
void report(const QString& text);
/// Results go to standard error from now on: standard output carries the live CSV.
void reportToStandardError();
/// Says what is wrong with the options and where the help is; returns kExitUsage.
int usageError(const QString& problem);
/// Parses the command line; an exit status when the program ends here (the help was shown,
/// or the options are wrong), nothing when it goes on.
std::optional<int> parseOrStop(QCommandLineParser& p, const QStringList& args);
bool hasArgument(int argc, char** argv, const char* name);
/// Why a file cannot be created at path (its folder is missing or not writable), if so.
std::optional<QString> unwritableFolder(const QString& path);

/// A file that a command reads or writes, with the option that named it. The path "-" is
/// standard output.
struct NamedFile {
  QString option;  ///< as the user wrote it: "--csv"
  QString path;
};
/// Why the outputs cannot be written, if one of them is an input or another output: the
/// same file after links are resolved (canonical paths, for files that exist the same
/// device and inode). Outputs with an empty path are not wanted and are left out.
std::optional<QString> clobberedFile(const QList<NamedFile>& inputs,
                                     const QList<NamedFile>& outputs);

/// Where copies of data sets go when their data file cannot be written:
/// ~/.local/share/ZRVLOG/rescued (under XDG_DATA_HOME when set).
QString rescueFolder();

/// An engine that never samples, for reading, converting and recovering data files.
struct FileEngine {
  FileEngine() {
    engine.applyStartUpDefaults();
    engine.InitGraph();
  }
  GraphModel graph;
  ZrvioLink link;  // never opened
  ManualTimer timer;
  AcquisitionEngine engine{graph, link, timer};
};

/// Where a data set goes: a data file and/or a CSV file (empty: not wanted; a CSV path "-"
/// is standard output, written as the samples come, so writeOutputs leaves it out).
struct OutputFiles {
  QString zrvPath, csvPath;
  QList<NamedFile> named() const {
    return {{QStringLiteral("--zrv"), zrvPath}, {QStringLiteral("--csv"), csvPath}};
  }
};

/// Tells how writing one file went; returns false when it could not be written.
bool reportWritten(const QString& path, const SaveResult& r, qulonglong samples);
/// Writes the data set to the files wanted; returns false when one could not be written.
/// When the data file cannot be written a private copy goes to rescueFolder(), and where
/// it went is reported.
bool writeOutputs(const OutputFiles& o, AcquisitionEngine& engine);

/// The three modes; each takes the whole command line and returns the exit status.
int record(const QStringList& args);
int recover(const QStringList& args);
int convert(const QStringList& args);

}  // namespace zrvlog::cli
