#pragma once
// The data file (.zrv, format "1.0") and the CSV export, over any QIODevice.
//
// A data file holds, in this order: the format version; the start time, stop time,
// averaging, the Autorange switch and the legend; the axis ranges and grid counts; the
// sample interval; the graph's caption, colours, label formats, axis texts and fonts (lines
// 1 to 23); the element count and one line per element; the 25 calibration coefficients;
// the annotations and the cursors with their counts; then one row per sample (time stamp,
// jitter, the five channel values, all quoted). See datafile.cpp for the line-by-line layout.
//
// Nothing here opens a dialog: every outcome comes back as a value whose texts a window or
// a command line can show as they are. Path functions name the file in their texts.

#include <QIODevice>
#include <QString>
#include <cstdint>
#include <string_view>

namespace zrvlog {

class AcquisitionEngine;
class ByteWriter;
class DataSet;
class GeneralText;
class GraphModel;

/// The format version the first field must hold.
inline constexpr char kDataFileVersion[] = "1.0";
/// The message shown for a file that is not a data file of this version.
inline constexpr char kIncorrectFileFormat[] = "Incorrect file format";
/// The first line of the CSV export.
inline constexpr char kCsvHeader[] = "\"Time\",\"Jitter\",\"Ch0\",\"Ch1\",\"Ch2\",\"Ch3\",\"Ch4\"";

struct SaveResult {
  bool ok = false;    ///< everything was written (and, for a path, is in place)
  QString error;      ///< why not
  QString rowsError;  ///< a sample that could not be read back: the rows end before it
  int64_t rows = 0;   ///< sample rows written
};

struct LoadResult {
  enum class Status { Loaded, CannotOpen, IncorrectFormat, ReadError };
  Status status = Status::Loaded;
  QString error;               ///< for people; kIncorrectFileFormat for IncorrectFormat
  bool startTimeRead = false;  ///< the start and stop times were read (status panel 2)
  bool rowsReached = false;    ///< everything before the sample rows was read and applied
  int64_t rows = 0;            ///< sample rows loaded
  bool ok() const { return status == Status::Loaded; }
  /// A read error among the sample rows (a file cut short by a crash, a damaged row): the
  /// settings, the graph's look and the first `rows` samples are whole, so the data set can
  /// be used as far as it goes.
  bool partial() const { return status == Status::ReadError && rowsReached; }
};

/// How the texts of the samples (time stamps, jitters) are written.
enum class RowTexts {
  AsStored,     ///< as the data set holds them: the data file and its journal
  Spreadsheet,  ///< a text that a spreadsheet would run as a formula (it begins with =, +,
                ///< -, @, a tab or a CR and is no plain number) gets an apostrophe first
};

/// Whether a cell of the CSV would start a formula in a spreadsheet: it begins with =, +, -,
/// @, a tab or a CR and is not a plain number (a sign, digits with a point or the given
/// decimal separator, an exponent).
bool startsLikeFormula(std::string_view cell, std::string_view separator);

/// The sample rows: one per recorded sample, in recording order, by position (row i holds
/// the i-th time stamp and jitter and point i of each channel element), each field quoted,
/// numbers and dates in the user's locale. With the header, kCsvHeader comes first and the
/// rows are the CSV export's (RowTexts::Spreadsheet); without it, the data file's.
/// Failures of the device raise zrv::AutomationError; a sample that cannot be read back
/// ends the rows and is reported in rowsError.
SaveResult WriteSampleRows(ByteWriter& out, const DataSet& data, const GraphModel& graph,
                           bool withHeader);

/// How many samples are complete: a time stamp, a jitter and a point in each channel element.
std::size_t completeRows(const DataSet& data, const GraphModel& graph);
/// Appends the rows of samples [first, end) to out, exactly as WriteSampleRows writes them;
/// end must not pass completeRows(). text keeps the user's formats from call to call.
void appendSampleRows(std::string& out, GeneralText& text, const DataSet& data,
                      const GraphModel& graph, std::size_t first, std::size_t end,
                      RowTexts texts = RowTexts::AsStored);
/// Everything a data file holds before its sample rows, as the engine holds it now. Like a
/// save, it leaves the first element current and the last annotation and cursor.
QByteArray dataFileHeader(AcquisitionEngine& engine);

/// The whole data file, as the engine holds it now.
SaveResult writeDataFile(QIODevice& out, AcquisitionEngine& engine);
/// Saves to path through the safe writer (app/safewrite): a file is replaced only once the
/// new one is completely on the disk, so a failed save leaves it as it was; a FIFO or a
/// device is written in place; "-" is standard output.
SaveResult saveDataFile(const QString& path, AcquisitionEngine& engine);

/// The CSV export: the header and the sample rows.
SaveResult writeCsv(QIODevice& out, const DataSet& data, const GraphModel& graph);
/// Exports to path, replacing a file only once the export is completely written.
SaveResult exportCsv(const QString& path, const DataSet& data, const GraphModel& graph);

/// Reads a data file into the engine, which the caller has emptied (InitGraph). Values are
/// applied as they are read; after an error everything read before it stays. No field may
/// be longer than kMaxFieldBytes, and what is not a data file is refused from its first
/// field: a large damaged file costs no more than its first bytes.
LoadResult readDataFile(std::string_view bytes, AcquisitionEngine& engine);
LoadResult readDataFile(QIODevice& in, AcquisitionEngine& engine);
/// Opens path and reads it (see above), mapping it only once its first bytes have shown the
/// format version.
LoadResult loadDataFile(const QString& path, AcquisitionEngine& engine);

}  // namespace zrvlog
