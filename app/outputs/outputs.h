#pragma once
// Every output the program writes, one entry each: the data file, the CSV (written as a run
// records when its target is a stream: the live CSV), the analysis CSV, each picture format
// and the broker samples are published to. The Export menu, the file dialogs, --convert,
// --headless and --recover are all made from these entries, and every file is written through
// the safe writer (app/safewrite): a new output is one entry and one writer class. The broker's
// target is an address, not a file: the safe writer never sees it, and its samples go out
// while the run records (livepublish.h).

#include <QIODevice>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <span>

#include "app/documents/datafile.h"
#include "app/graphview/graphview.h"

namespace zrvlog {

class Document;

/// What is written: the document (its samples, settings and the graph's look). Writers read
/// nothing else.
struct OutputSource {
  Document& document;
  /// The view pictures are drawn with, made when a picture first needs it.
  std::function<GraphView&()> view;
  PictureOptions picture;
};

/// Where an entry's output goes: a file (or standard output, a FIFO, a device), or the
/// address of a broker that takes the samples while a run records.
enum class TargetKind { File, Url };

/// Writes one output whole into a device; rows and the reason of a failure come back.
class OutputWriter {
 public:
  virtual ~OutputWriter() = default;
  virtual SaveResult write(QIODevice& out, OutputSource& source) const = 0;
};

struct OutputFormat {
  const char* id;          ///< "csv": the command line's --csv
  const char* menuText;    ///< "&CSV" in File > Export; nullptr: not an export (the data file)
  const char* filterText;  ///< "Comma delimited (*.csv)" in the file dialogs
  const char* extensions;  ///< "csv;txt"; the first is added to bare names
  const char* dialog;      ///< the whole filter of its own file dialog; nullptr: pictures'
  const char* help;        ///< what the command line's help says the option writes
  bool text;               ///< text: "-" (standard output) is a natural place for it
  bool canStream;          ///< written row by row while a run records, to a stream target
  bool picture;            ///< drawn by the graph's view (takes --size and --style)
  /// Writes the whole output; nullptr for an address, which only takes a running run.
  const OutputWriter* writer;
  TargetKind target = TargetKind::File;

  bool isFile() const { return target == TargetKind::File; }
  /// What the option takes, for the help: "FILE" or "URL".
  QString targetName() const;

  QStringList extensionList() const;
  /// The entry's pair of a pipe filter: "PNG image (*.png)|*.png".
  QString filter() const;
  QString option() const { return QStringLiteral("--") + QLatin1String(id); }
};

/// Every output, in menu order: the data file, the CSV, the analysis CSV, then the pictures.
std::span<const OutputFormat> outputFormats();
const OutputFormat* outputFormatById(const QString& id);
/// The data file and the CSV, by name.
const OutputFormat& dataFileFormat();
const OutputFormat& csvFormat();
/// The broker samples are published to (--publish, the Options dialog's Publish page).
const OutputFormat& publishFormat();
/// The picture entries (in menu order); the first is the default picture export.
std::span<const OutputFormat> pictureFormats();
/// The picture export dialog's filter: every picture format, then "All Files".
QString picturesFilter();
/// The filter of an output's file dialog (the pictures share one).
QString dialogFilter(const OutputFormat& format);
/// The picture format a save dialog's answer stands for: the extension of the name when it
/// is a picture format's, else the filter pair selected, else the first.
const OutputFormat& pictureFormatFor(const QString& path, int selectedFilter);

/// Writes one output to the held target; "Cannot write PATH: reason" when it fails. rows,
/// rowsError and the rest of the writer's result come back in result.
std::optional<QString> writeOutput(const OutputFormat& format, class SafeOutput& target,
                                   OutputSource& source, SaveResult* result = nullptr);

/// The picture styles by their command-line names ("shown", "light").
std::optional<PictureStyle> pictureStyleByName(const QString& name);
QStringList pictureStyleNames();

}  // namespace zrvlog
