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

class ByteWriter;
class Document;
class GeneralText;
class GraphModel;
class SampleStore;

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

/// The sample rows: one per sample of the store, in recording order, each field quoted,
/// numbers and dates in the user's locale. With the header, kCsvHeader comes first and the
/// rows are the CSV export's (RowTexts::Spreadsheet); without it, the data file's.
/// Failures of the device raise zrv::AutomationError.
SaveResult WriteSampleRows(ByteWriter& out, const SampleStore& store, bool withHeader);

/// Appends the rows of samples [first, end) of the store to out, exactly as WriteSampleRows
/// writes them; end must not pass the store's rows. text keeps the user's formats from call
/// to call.
void appendSampleRows(std::string& out, GeneralText& text, const SampleStore& store,
                      std::size_t first, std::size_t end, RowTexts texts = RowTexts::AsStored);
/// Everything a data file holds before its sample rows, as the document holds it now. It
/// reads the graph's items by index: the current element, annotation and cursor stay.
QByteArray dataFileHeader(const Document& document);

/// The whole data file, as the document holds it now.
SaveResult writeDataFile(QIODevice& out, const Document& document);
/// Saves to path through the safe writer (app/safewrite): a file is replaced only once the
/// new one is completely on the disk, so a failed save leaves it as it was; a FIFO or a
/// device is written in place; "-" is standard output.
SaveResult saveDataFile(const QString& path, const Document& document);

/// The CSV export: the header and the sample rows.
SaveResult writeCsv(QIODevice& out, const Document& document);
/// Exports to path, replacing a file only once the export is completely written.
SaveResult exportCsv(const QString& path, const Document& document);

/// Reads a data file into the document, which the caller has emptied (initGraph). Values
/// are applied as they are read; after an error everything read before it stays (the
/// sample rows up to the last whole one). No field may be longer than kMaxFieldBytes, and
/// what is not a data file is refused from its first field: a large damaged file costs no
/// more than its first bytes.
LoadResult readDataFile(std::string_view bytes, Document& document);
LoadResult readDataFile(QIODevice& in, Document& document);
/// Opens path and reads it (see above), mapping it only once its first bytes have shown the
/// format version.
LoadResult loadDataFile(const QString& path, Document& document);

}  // namespace zrvlog
