#pragma once
// What the command-line modes (recording, converting, recovering) share: their messages and
// exit statuses, option checks (outputs that would write over an input or each other), a
// document for reading and writing files without any engine, and the report of every file
// written, with a private copy when a data file cannot be written.

#include <QCommandLineParser>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <vector>

#include "app/dialogs/dialogs.h"
#include "app/documents/datafile.h"
#include "app/documents/document.h"
#include "app/documents/settingtable.h"
#include "app/graph/graphmodel.h"
#include "app/outputs/outputs.h"
#include "app/safewrite/safewrite.h"

namespace zrvlog {
class AcquisitionEngine;
}

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

/// The help of every mode; %1 and %2 stand for the output options, %3 for the run settings
/// (usage() fills them in).
extern const char kUsage[];
/// The help as printed, with the options of every output of the registry.
QString usage();
/// The output options of every mode for the synopsis, and their help.
QString outputOptionsSynopsis();
QString outputOptionsHelp();

/// A message for people on standard error: "zrvlog: text". Once standard error is closed
/// (a reader that went away) nothing more is written there, and nothing else changes.
void say(const QString& text);
/// A progress line on standard error, dropped when standard error cannot take it at once.
void sayProgress(const QString& text);
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

/// A document with the program's start-up settings, for reading, converting and recovering
/// data files: no engine, no link, no timer.
struct FileDocument {
  FileDocument() {
    document.applyStartUpDefaults();
    document.initGraph();
  }
  Document document;
};

/// One output the command line asked for: an entry of the output registry and where it
/// goes, held (checked and locked) from the parse to the end of the mode.
struct RequestedOutput {
  const OutputFormat* format = nullptr;
  QString path;                        ///< "-": standard output; the address of a broker
  std::unique_ptr<SafeOutput> target;  ///< nullptr for an address
  NamedFile named() const { return {format->option(), path}; }
};

/// The outputs a mode writes, and the picture options that go with them.
struct Outputs {
  std::vector<RequestedOutput> list;
  PictureOptions picture{QSize(1024, 768), PictureStyle::AsShown};
  bool empty() const { return list.empty(); }
  bool anyPicture() const;
  const RequestedOutput* find(const OutputFormat& format) const;
  QList<NamedFile> named() const;
  /// Whether one of them writes to standard output (the results then go to standard error).
  bool toStandardOutput() const;
};

/// The run settings given on the command line, each checked as the options dialog checks it.
struct SettingValues {
  std::vector<std::pair<const SettingDescriptor*, zrv::Variant>> list;
  /// Gives the engine every setting given (after its start-up defaults).
  void applyTo(AcquisitionEngine& engine) const;
  const zrv::Variant* find(SettingId id) const;
};
/// An option per setting of the setting table that has one, and their help.
void addSettingOptions(QCommandLineParser& p);
QString settingOptionsHelp();
/// The settings named on the command line; an exit status (kExitUsage, said) when one is
/// refused.
std::optional<int> takeSettings(const QCommandLineParser& p, SettingValues& values);

/// Adds an option per entry of the output registry, with --size and --style.
void addOutputOptions(QCommandLineParser& p);
/// The outputs named on the command line, checked against the inputs and each other and
/// held; an exit status (kExitUsage, said) when one cannot be written or another program
/// holds it. Nothing is written then. An address (--publish) is taken only when recording,
/// and is held by nothing: its target stays empty.
std::optional<int> takeOutputs(const QCommandLineParser& p, const QList<NamedFile>& inputs,
                               Outputs& outputs, bool recording = false);
/// Writes every output not written yet (skip: the live CSV) from the source, each said as
/// it is written; returns false when one could not be written. When the data file cannot
/// be written a private copy goes to rescueFolder(), and where it went is reported.
bool writeOutputs(Outputs& outputs, OutputSource& source, const RequestedOutput* skip = nullptr);
/// The source of a mode without a window: the document, and a view made when a picture needs
/// one (the mode's application is then a GUI one; see commandline.cpp).
struct HeadlessSource {
  explicit HeadlessSource(Document& document, const PictureOptions& picture);
  ~HeadlessSource();
  OutputSource source;

 private:
  std::unique_ptr<WidgetDialogs> m_dialogs;
  std::unique_ptr<GraphView> m_view;
};

/// The three modes; each takes the whole command line and returns the exit status.
int record(const QStringList& args);
int recover(const QStringList& args);
int convert(const QStringList& args);

}  // namespace zrvlog::cli
