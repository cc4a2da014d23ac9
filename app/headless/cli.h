#pragma once
// What the command-line modes (recording, converting, recovering) share: their messages and
// exit statuses, option checks, an engine for reading and writing files without sampling, and
// the report of every file written.

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
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

/// The help of every mode; %1 and %2 stand for the picture options (usage() fills them in).
extern const char kUsage[];
/// The help as printed, with the picture options of every picture format.
QString usage();
/// --convert's picture options for the synopsis and for the help (convert.cpp).
QString pictureOptionsSynopsis();
QString pictureOptionsHelp();

/// A message for people on standard error: "zrvlog: text".
void say(const QString& text);
/// A result on standard output ("wrote FILE (N samples)").
void report(const QString& text);
/// Says what is wrong with the options and where the help is; returns kExitUsage.
int usageError(const QString& problem);
/// Parses the command line; an exit status when the program ends here (the help was shown,
/// or the options are wrong), nothing when it goes on.
std::optional<int> parseOrStop(QCommandLineParser& p, const QStringList& args);
bool hasArgument(int argc, char** argv, const char* name);
/// Why a file cannot be created at path (its folder is missing or not writable), if so.
std::optional<QString> unwritableFolder(const QString& path);

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

/// Where a data set goes: a data file and/or a CSV file (empty: not wanted).
struct OutputFiles {
  QString zrvPath, csvPath;
};

/// Tells how writing one file went; returns false when it could not be written.
bool reportWritten(const QString& path, const SaveResult& r, qulonglong samples);
/// Writes the data set to the files wanted; returns false when one could not be written.
bool writeOutputs(const OutputFiles& o, AcquisitionEngine& engine);

/// The three modes; each takes the whole command line and returns the exit status.
int record(const QStringList& args);
int recover(const QStringList& args);
int convert(const QStringList& args);

}  // namespace zrvlog::cli
