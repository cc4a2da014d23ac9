#include "datafile.h"

#include <sys/mman.h>
#include <unistd.h>
#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <optional>

#include "app/documents/document.h"
#include "app/documents/fieldio.h"
#include "app/documents/numbertext.h"
#include "app/documents/settingtable.h"
#include "app/documents/textcodec.h"
#include "app/graph/graphmodel.h"
#include "app/safewrite/safewrite.h"
#include "app/store/samplestore.h"
#include "common/automationdate.h"
#include "common/automationerror.h"

namespace zrvlog {

using zrv::AutomationError;
using zrv::Variant;
namespace err = zrv::err;
using M = GraphMember;

namespace {

// ---- The layout of lines 1 to 23 ----------------------------------------------------------

// Where a field's value comes from and goes to.
enum class Source : uint8_t {
  Version,
  StartTime,
  Setting,  // a run setting of the setting table, by the line it is kept on
  Autorange,
  Range,  // a range of the graph, a setting of the setting table by its id
  Graph,
  EndOfLine
};
// The type a value is written as.
enum class Column : uint8_t { Text, Integer, Long, Boolean, Double, Font, Variant };

struct Cell {
  Source source;
  Column column = Column::Variant;
  M member = M::Caption;
  int line = 0;  // for a setting: the line the setting table keeps it on
  SettingId range = SettingId::MinX;
};

constexpr Cell kEol{Source::EndOfLine};
constexpr Cell graph(M member, Column column) {
  return {Source::Graph, column, member};
}
constexpr Cell settingOn(int line) {
  return {Source::Setting, Column::Variant, M::Caption, line};
}

// Line 7 keeps the ranges, in this order. They reach the settings and the graph together,
// once all four are read and each is a number the graph takes.
constexpr SettingId kRanges[] = {SettingId::MinX, SettingId::MinY, SettingId::MaxX,
                                 SettingId::MaxY};
constexpr M kRangeMembers[] = {M::RangeXMin, M::RangeYMin, M::RangeXMax, M::RangeYMax};
constexpr Cell rangeCell(int i) {
  return {Source::Range, Column::Variant, M::Caption, 0, kRanges[i]};
}

// The setting a cell stands for, and the type the file writes it as.
const SettingDescriptor& settingOf(const Cell& cell) {
  if (cell.source == Source::Range) return setting(cell.range);
  const SettingDescriptor* d = settingOnFileLine(cell.line);
  Q_ASSERT(d);
  return *d;
}
Column columnOf(const Cell& cell) {
  if (cell.source != Source::Setting && cell.source != Source::Range) return cell.column;
  switch (settingOf(cell).type) {
    case SettingType::Int16:
    case SettingType::Choice:
      return Column::Integer;
    case SettingType::Int32:
      return Column::Long;
    case SettingType::Text:
      break;
  }
  return Column::Variant;
}

constexpr Cell kHeader[] = {
    {Source::Version, Column::Text},
    kEol,  // 1
    {Source::StartTime},
    kEol,  // 2
    settingOn(3),
    kEol,  // 3
    settingOn(4),
    kEol,  // 4
    {Source::Autorange, Column::Boolean},
    kEol,  // 5
    graph(M::LegendOn, Column::Boolean),
    kEol,  // 6
    rangeCell(0),
    rangeCell(1),
    rangeCell(2),
    rangeCell(3),
    kEol,  // 7
    graph(M::GridCountX, Column::Integer),
    graph(M::GridCountY, Column::Integer),
    kEol,  // 8
    settingOn(9),
    kEol,  // 9
    graph(M::Caption, Column::Text),
    kEol,  // 10
    graph(M::FrameStyle, Column::Long),
    kEol,  // 11
    graph(M::GridShown, Column::Boolean),
    graph(M::GridColor, Column::Long),
    kEol,  // 12
    graph(M::LogX, Column::Boolean),
    graph(M::LogY, Column::Boolean),
    kEol,  // 13
    graph(M::TimeLabelsX, Column::Boolean),
    graph(M::TimeLabelsY, Column::Boolean),
    kEol,  // 14
    graph(M::AxisColor, Column::Long),
    kEol,  // 15
    graph(M::FrameColor, Column::Long),
    kEol,  // 16
    graph(M::LabelFormatX, Column::Text),
    graph(M::LabelFormatY, Column::Text),
    kEol,  // 17
    graph(M::LabelColor, Column::Long),
    graph(M::TickFont, Column::Font),
    kEol,  // 18
    graph(M::PlotAreaColor, Column::Long),
    kEol,  // 19
    graph(M::AxisTitleX, Column::Text),
    graph(M::AxisTitleY, Column::Text),
    kEol,  // 20
    graph(M::AxisTitleFont, Column::Font),
    kEol,  // 21
    // Line 22 repeats line 18; a reader applies both, in this order.
    graph(M::LabelColor, Column::Long),
    graph(M::TickFont, Column::Font),
    kEol,  // 22
    graph(M::TitleFont, Column::Font),
    graph(M::LegendFont, Column::Font),
    kEol,  // 23
};

constexpr std::array<Cell, 7> kElementCells{{
    graph(M::ElementColor, Column::Long),
    graph(M::ElementLineStyle, Column::Long),
    graph(M::ElementPointColor, Column::Long),
    graph(M::ElementPointSymbol, Column::Long),
    graph(M::ElementShow, Column::Boolean),
    graph(M::ElementSolidPoints, Column::Boolean),
    graph(M::ElementLineWidth, Column::Long),
}};
constexpr std::array<Cell, 7> kAnnotationCells{{
    graph(M::AnnoLabelBkColor, Column::Long),
    graph(M::AnnoLabelText, Column::Text),
    graph(M::AnnoLabelColor, Column::Long),
    graph(M::AnnoLabelHorizontal, Column::Boolean),
    graph(M::AnnoLabelX, Column::Double),
    graph(M::AnnoLabelY, Column::Double),
    graph(M::AnnoVisible, Column::Boolean),
}};
constexpr std::array<Cell, 6> kCursorCells{{
    graph(M::CursorColor, Column::Long),
    graph(M::CursorSnap, Column::Integer),
    graph(M::CursorStyle, Column::Integer),
    graph(M::CursorVisible, Column::Boolean),
    graph(M::CursorPosX, Column::Double),
    graph(M::CursorPosY, Column::Double),
}};

QString cellName(const Cell& cell) {
  switch (cell.source) {
    case Source::Version:
      return QStringLiteral("format version");
    case Source::StartTime:
      return QStringLiteral("StartTime");
    case Source::Setting:
    case Source::Range:
      return QString::fromLatin1(settingOf(cell).name);
    case Source::Autorange:
      return QStringLiteral("Autorange");
    case Source::Graph:
      return QStringLiteral("graph %1, %2")
          .arg(static_cast<int>(cell.member))
          .arg(QLatin1String(memberInfo(cell.member).name));
    case Source::EndOfLine:
      break;
  }
  return {};
}

// ---- Writing ------------------------------------------------------------------------------

Variant valueOf(const Cell& cell, const Document& document) {
  switch (cell.source) {
    case Source::Version:
      return Variant(kDataFileVersion);
    case Source::StartTime:
      return document.data.StartTime;
    case Source::Setting:
    case Source::Range:
      return settingValue(document, settingOf(cell));
    case Source::Autorange:
      return Variant(document.autorange());
    case Source::Graph:
      return document.graph().property(cell.member);
    case Source::EndOfLine:
      break;
  }
  return {};
}

void writeCell(FieldWriter& w, const Cell& cell, const Variant& v) {
  try {
    switch (columnOf(cell)) {
      case Column::Text:
      case Column::Font:
        return w.text(v.toText());
      case Column::Integer:
        return w.whole(v.toInteger());
      case Column::Long:
        return w.whole(v.toLong());
      case Column::Boolean:
        return w.boolean(v.toBool());
      case Column::Double:
        return w.real(v.toDouble());
      case Column::Variant:
        return w.variant(v);
    }
  } catch (const AutomationError& e) {
    if (e.number() == err::kPathFileAccessError) throw;
    throw AutomationError(
        e.number(), QStringLiteral("%1 cannot be saved: %2")
                        .arg(cellName(cell), e.detail().isEmpty() ? e.message() : e.detail()));
  }
}

// One element, annotation or cursor, read by its index.
template <std::size_t N>
void writeRecord(FieldWriter& w, const std::array<Cell, N>& cells, const GraphModel& g, int item) {
  for (const Cell& cell : cells)
    writeCell(w, cell, g.itemValue(cell.member, item));
  w.endLine();
}

void writeHeaderAndBlocks(FieldWriter& w, const Document& document) {
  for (const Cell& cell : kHeader) {
    if (cell.source == Source::EndOfLine)
      w.endLine();
    else
      writeCell(w, cell, valueOf(cell, document));
  }
  const GraphModel& g = document.graph();
  w.whole(int16_t(g.elementCount()));
  w.endLine();
  for (int k = 0; k < g.elementCount(); ++k)
    writeRecord(w, kElementCells, g, k);
  for (int16_t order = 0; order < kOrders; ++order) {
    for (int16_t c = 0; c < kChannels; ++c) {
      w.variant(document.data.GetCoef(order, c));
      w.endLine();
    }
  }
  w.whole(int16_t(g.annotationCount()));
  w.endLine();
  for (int k = 0; k < g.annotationCount(); ++k)
    writeRecord(w, kAnnotationCells, g, k);
  w.whole(int16_t(g.cursorCount()));
  w.endLine();
  for (int k = 0; k < g.cursorCount(); ++k)
    writeRecord(w, kCursorCells, g, k);
}

// Runs a writer into the output at path through the safe writer: a file takes the new bytes
// only once they are all on the disk; a FIFO or a device gets them in place.
template <class Write>
SaveResult writeFileSafely(const QString& path, const QString& verb, Write&& write) {
  SaveResult result;
  const auto problem = writeOutputFile(path, verb, [&](QIODevice& out) -> std::optional<QString> {
    result = write(out);
    if (!result.ok) return result.error;
    return std::nullopt;
  });
  result.ok = !problem;
  if (problem) result.error = *problem;
  return result;
}

// A number as the CSV writes one (or as a file written in a point locale holds one).
bool isPlainNumber(std::string_view t, std::string_view separator) {
  std::size_t i = 0;
  const auto digits = [&] {
    const std::size_t start = i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9')
      ++i;
    return i - start;
  };
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  std::size_t mantissa = digits();
  if (i < t.size() && t[i] == '.') {
    ++i;
    mantissa += digits();
  } else if (!separator.empty() && t.substr(i, separator.size()) == separator) {
    i += separator.size();
    mantissa += digits();
  }
  if (mantissa == 0) return false;
  if (i < t.size() && (t[i] == 'E' || t[i] == 'e')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (digits() == 0) return false;
  }
  return i == t.size();
}

}  // namespace

bool startsLikeFormula(std::string_view cell, std::string_view separator) {
  if (cell.empty()) return false;
  switch (cell.front()) {
    case '=':
    case '+':
    case '-':
    case '@':
    case '\t':
    case '\r':
      return !isPlainNumber(cell, separator);
    default:
      return false;
  }
}

void appendSampleRows(std::string& b, GeneralText& text, const SampleStore& store,
                      std::size_t first, std::size_t end, RowTexts texts) {
  // A stored text ends at a quote of its own, as in every other text field of the file.
  const auto quoted = [&](const Variant& value) {
    b.push_back('"');
    const std::size_t start = b.size();
    text.appendVariant(b, value);
    if (const std::size_t q = b.find('"', start); q != std::string::npos) b.resize(q);
    // A loaded file's text such as =cmd|' /C calc'!A0 must reach a spreadsheet as text.
    if (texts == RowTexts::Spreadsheet &&
        startsLikeFormula(std::string_view(b).substr(start), text.separator()))
      b.insert(start, 1, '\'');
    b.push_back('"');
  };
  const int channels = std::min(store.channels(), kChannels);
  store.prefetch(first, end);
  // The columns once per call, not a checked read per value: rows first to end are there.
  std::array<std::span<const double>, kChannels> columns;
  for (int k = 0; k < channels; ++k)
    columns[std::size_t(k)] = store.values(k);
  for (std::size_t i = first; i < end; ++i) {
    quoted(store.stamp(i));
    b.push_back(',');
    quoted(store.jitter(i));
    b.push_back(',');
    for (int k = 0; k < kChannels; ++k) {
      b.push_back('"');
      text.appendNumber(b, k < channels ? columns[std::size_t(k)][i] : 0.0);
      b += k < kChannels - 1 ? "\"," : "\"\r\n";
    }
  }
}

SaveResult WriteSampleRows(ByteWriter& out, const SampleStore& store, bool withHeader) {
  SaveResult result;
  std::string& b = out.buffer();
  if (withHeader) {
    b += kCsvHeader;
    b += "\r\n";
  }
  const std::size_t rows = store.rows();
  GeneralText text;
  // Only the CSV export has the header; its readers are spreadsheets.
  const RowTexts texts = withHeader ? RowTexts::Spreadsheet : RowTexts::AsStored;
  constexpr std::size_t kRowsPerFlush = 4096;
  for (std::size_t i = 0; i < rows; i += kRowsPerFlush) {
    appendSampleRows(b, text, store, i, std::min(rows, i + kRowsPerFlush), texts);
    out.flushIfFull();
    // The rows written need not stay in memory: a long run would bring it all in.
    if ((i + kRowsPerFlush) % SampleStore::kDropEveryRows == 0) store.dropResident();
  }
  result.rows = int64_t(rows);
  result.ok = true;
  return result;
}

QByteArray dataFileHeader(const Document& document) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  ByteWriter out(buffer);
  FieldWriter fields(out);
  writeHeaderAndBlocks(fields, document);
  out.flush();
  return bytes;
}

SaveResult writeDataFile(QIODevice& out, const Document& document) {
  SaveResult result;
  try {
    ByteWriter bytes(out);
    FieldWriter fields(bytes);
    writeHeaderAndBlocks(fields, document);
    result = WriteSampleRows(bytes, document.store(), false);
    bytes.flush();
  } catch (const AutomationError& e) {
    result.ok = false;
    result.error =
        e.number() == err::kPathFileAccessError && !e.detail().isEmpty() ? e.detail() : e.message();
  }
  return result;
}

SaveResult saveDataFile(const QString& path, const Document& document) {
  return writeFileSafely(path, QStringLiteral("save"),
                         [&](QIODevice& file) { return writeDataFile(file, document); });
}

SaveResult writeCsv(QIODevice& out, const Document& document) {
  SaveResult result;
  try {
    ByteWriter bytes(out);
    result = WriteSampleRows(bytes, document.store(), true);
    bytes.flush();
  } catch (const AutomationError& e) {
    result.ok = false;
    result.error = e.detail().isEmpty() ? e.message() : e.detail();
  }
  return result;
}

SaveResult exportCsv(const QString& path, const Document& document) {
  return writeFileSafely(path, QStringLiteral("write"),
                         [&](QIODevice& file) { return writeCsv(file, document); });
}

// ---- Reading ------------------------------------------------------------------------------

namespace {

// The first field is at most kMaxFieldBytes long after a byte order mark, and the byte after
// it shows whether it is longer: this many bytes decide whether a file is a data file.
constexpr std::size_t kVersionProbeBytes = 3 + kMaxFieldBytes + 1;

bool isVersion(const Field& field) {
  return field.kind == Field::Kind::Quoted && field.text == kDataFileVersion;
}

// Whether bytes (the whole file or its first kVersionProbeBytes) open with the version.
bool startsWithVersion(std::string_view bytes) {
  try {
    return isVersion(FieldReader(bytes).next());
  } catch (const AutomationError&) {
    return false;  // empty, or a first field too long to be one
  }
}

// A row's time stamp and jitter go into the store's date and whole-number columns when the
// writer would give back exactly the text the file holds; any other text is kept as it is.
// Recorded stamps advance by the interval or a second, so a guess from the last one, checked
// by formatting it, reads most without parsing; the locale's parser is tried for the rest
// until it has failed often enough to show that the file's stamps are text of another kind.
class StampReader {
 public:
  // A stamp shows whole seconds: an interval of 2.5 s moves it by 2 or 3.
  explicit StampReader(int32_t intervalMs)
      : m_steps{std::max<int64_t>(1, intervalMs / 1000), (int64_t{intervalMs} + 999) / 1000, 1} {}

  Variant stamp(const Field& field) {
    const std::string_view t = field.text;
    if (field.kind == Field::Kind::Empty || !ascii(t)) return textOf(field);
    if (m_last && t == m_lastText) return Variant::date(days(*m_last));
    ++m_stamps;
    if (m_last) {
      for (const int64_t step : m_steps) {
        if (formatsAs(*m_last + step, t)) return remember(*m_last + step, t);
      }
    }
    // Parsing costs tens of microseconds: it is for the first stamp and the gaps, and stops
    // when a file's stamps need it often (they then stay text, which is never wrong).
    if (m_parseFailures < kParseFailuresToGiveUp && m_parses < 64 + m_stamps / 16) {
      ++m_parses;
      const Variant text = textOf(field);
      if (const auto moment = timeStampMoment(text)) {
        const double d = zrv::toAutomationDate(*moment);
        const int64_t seconds = std::llround(d * 86400.0);
        if (d >= 0 && formatsAs(seconds, t)) return remember(seconds, t);
      }
      ++m_parseFailures;
      return text;
    }
    return textOf(field);
  }

  Variant jitter(const Field& field) {
    const std::string_view t = field.text;
    int32_t value = 0;
    if (isWholeNumberText(t) && ascii(t)) {
      const auto [end, error] =
          std::from_chars(t.data() + (t.front() == '+'), t.data() + t.size(), value);
      if (error == std::errc() && end == t.data() + t.size()) {
        m_buffer.clear();
        m_text.appendVariant(m_buffer, Variant(value));
        if (m_buffer == t) return Variant(value);
      }
    }
    return textOf(field);
  }

 private:
  static constexpr int kParseFailuresToGiveUp = 64;

  static bool ascii(std::string_view t) {
    return std::all_of(t.begin(), t.end(), [](char ch) { return (ch & 0x80) == 0; });
  }
  static Variant textOf(const Field& field) {
    const std::string_view t = field.text;
    if (ascii(t)) return Variant(QString::fromLatin1(t.data(), qsizetype(t.size())));
    return Variant(FieldReader::toText(field));
  }
  // The automation date of a whole second, as the date of a parsed time stamp has it.
  static double days(int64_t seconds) {
    return double(seconds / 86400) + double(seconds % 86400) / 86400.0;
  }
  bool formatsAs(int64_t seconds, std::string_view text) {
    m_buffer.clear();
    m_text.appendDate(m_buffer, days(seconds));
    return m_buffer == text;
  }
  Variant remember(int64_t seconds, std::string_view text) {
    m_last = seconds;
    m_lastText.assign(text);
    return Variant::date(days(seconds));
  }

  GeneralText m_text;
  std::string m_buffer;
  std::array<int64_t, 3> m_steps;
  std::size_t m_stamps = 0;  // not the same as the last one
  std::size_t m_parses = 0;
  std::optional<int64_t> m_last;
  std::string m_lastText;
  int m_parseFailures = 0;
};

const char* const kRowFieldNames[] = {"time stamp", "jitter",    "channel 0", "channel 1",
                                      "channel 2",  "channel 3", "channel 4"};

class Loader {
 public:
  /// mapped: bytes are a read-only mapping of the file, whose pages read may be given back.
  Loader(std::string_view bytes, Document& document, bool mapped)
      : m_bytes(bytes),
        m_mapped(mapped),
        m_fields(bytes),
        m_document(document),
        m_graph(document.graph()) {}

  void run(LoadResult& result);

 private:
  Field take(QString what) {
    m_what = std::move(what);
    m_line = m_fields.line();
    return m_fields.next();
  }
  Variant takeVariant(QString what) { return m_fields.toVariant(take(std::move(what))); }
  void applyCell(const Cell& cell, const Variant& v, LoadResult& result);
  template <std::size_t N>
  void readRecord(const std::array<Cell, N>& cells, const QString& record);
  void readRows(LoadResult& result);

  std::string_view m_bytes;
  bool m_mapped;
  FieldReader m_fields;
  Document& m_document;
  GraphModel& m_graph;
  std::array<Variant, std::size(kRanges)> m_range;  // as read

 public:
  QString m_what;
  int m_line = 1;
};

void Loader::applyCell(const Cell& cell, const Variant& v, LoadResult& result) {
  AcquisitionSettings& s = m_document.settings;
  switch (cell.source) {
    case Source::StartTime:
      m_document.data.StartTime = v;
      return;
    case Source::Setting:
      setSetting(m_document, settingOf(cell), v);
      // Lines 2 and 3: the start and stop times the status bar shows.
      if (settingOf(cell).id == SettingId::StopTime) result.startTimeRead = true;
      return;
    case Source::Autorange:
      m_document.setAutorange(v.toBool());
      return;
    case Source::Range: {
      const auto i =
          std::find(std::begin(kRanges), std::end(kRanges), cell.range) - std::begin(kRanges);
      m_range[i] = v;
      if (i + 1 < std::ssize(kRanges)) return;
      // The four become settings only when the graph can take them: a range that is not a
      // number would make every later reset of the graph fail.
      for (int k = 0; k < std::ssize(kRanges); ++k) {
        m_what = cellName(rangeCell(k));
        convertForMember(memberInfo(kRangeMembers[k]), m_range[k]);
      }
      for (int k = 0; k < std::ssize(kRanges); ++k)
        setSetting(m_document, setting(kRanges[k]), m_range[k]);
      m_graph.setProperty(M::RangeXMin, s.MINX);
      m_graph.setProperty(M::RangeXMax, s.MAXX);
      m_graph.setProperty(M::RangeYMin, s.MINY);
      m_graph.setProperty(M::RangeYMax, s.MAXY);
      return;
    }
    case Source::Graph:
      m_graph.setProperty(cell.member, v);
      return;
    case Source::Version:
    case Source::EndOfLine:
      return;
  }
}

template <std::size_t N>
void Loader::readRecord(const std::array<Cell, N>& cells, const QString& record) {
  for (const Cell& cell : cells) {
    const Variant v = takeVariant(record + QStringLiteral(", ") + cellName(cell));
    m_graph.setProperty(cell.member, v);
  }
}

void Loader::run(LoadResult& result) {
  // Line 1: a data file of this version, or nothing is applied at all.
  Field version;
  try {
    version = take(QStringLiteral("format version"));
  } catch (const AutomationError&) {
    version = {};  // empty, or a first field too long to be one
  }
  if (!isVersion(version)) {
    result.status = LoadResult::Status::IncorrectFormat;
    return;
  }
  result.status = LoadResult::Status::ReadError;  // until the end is reached
  for (const Cell& cell : kHeader) {
    if (cell.source == Source::EndOfLine || cell.source == Source::Version) continue;
    const Variant v = takeVariant(cellName(cell));
    applyCell(cell, v, result);
  }

  const int16_t elements = takeVariant(QStringLiteral("number of elements")).toInteger();
  for (int16_t k = 0; k < elements; ++k) {
    // Selecting an element the graph does not have ends the load here.
    m_what = QStringLiteral("element %1").arg(k);
    m_graph.setProperty(M::ElementIndex, Variant(k));
    readRecord(kElementCells, QStringLiteral("element %1").arg(k));
  }
  m_graph.setProperty(M::ElementIndex, Variant(int16_t{0}));

  for (int16_t order = 0; order < kOrders; ++order)
    for (int16_t c = 0; c < kChannels; ++c)
      m_document.data.SetCoef(
          order, c, takeVariant(QStringLiteral("coefficient a%1 of channel %2").arg(order).arg(c)));

  const int16_t annotations = takeVariant(QStringLiteral("number of annotations")).toInteger();
  for (int16_t k = 0; k < annotations; ++k) {
    m_what = QStringLiteral("annotation %1").arg(k);
    m_graph.newAnnotation();
    m_graph.setProperty(M::AnnotationIndex, Variant(k));
    readRecord(kAnnotationCells, QStringLiteral("annotation %1").arg(k));
  }
  const int16_t cursors = takeVariant(QStringLiteral("number of cursors")).toInteger();
  for (int16_t k = 0; k < cursors; ++k) {
    m_what = QStringLiteral("cursor %1").arg(k);
    m_graph.newCursor();
    m_graph.setProperty(M::CursorIndex, Variant(k));
    readRecord(kCursorCells, QStringLiteral("cursor %1").arg(k));
  }
  result.rowsReached = true;
  readRows(result);
  result.status = LoadResult::Status::Loaded;
}

void Loader::readRows(LoadResult& result) {
  DataSet& data = m_document.data;
  SampleStore& store = m_document.store();
  const int32_t interval = m_document.interval();
  std::array<Field, 7> f;
  std::array<double, kChannels> y{};
  int64_t row = 0;
  // What is being read is put into words only when something goes wrong.
  int field = 0;
  int channel = -1;
  // Rows go into the store in batches: one announcement (and one catch-up of the graph) per
  // batch instead of per row.
  constexpr std::size_t kRowsPerCommit = 4096;
  StampReader texts(interval);
  try {
    while (!m_fields.atEnd()) {
      m_line = m_fields.line();
      ++row;
      channel = -1;
      for (field = 0; field < int(f.size()); ++field) {
        if (field > 0 && m_fields.atEnd()) throw AutomationError(err::kInputPastEndOfFile);
        f[std::size_t(field)] = m_fields.next();
      }
      for (channel = 0; channel < kChannels; ++channel)
        y[std::size_t(channel)] = m_fields.toDouble(f[2 + std::size_t(channel)]);
      channel = -1;
      // The key of a recorded sample: its nominal time, advanced by the interval.
      store.stage(data.SampleTime.toDouble(), texts.stamp(f[0]), texts.jitter(f[1]), y);
      data.advanceSampleTime(interval);
      result.rows = row;
      if (store.stagedRows() >= kRowsPerCommit) store.commit();
      // The rows read need not stay in memory: they are in the store now.
      if (m_mapped && row % int64_t(SampleStore::kDropEveryRows) == 0) {
        const std::size_t read = m_bytes.size() - m_fields.bytesLeft();
        const std::size_t page = std::size_t(sysconf(_SC_PAGESIZE));
        ::madvise(const_cast<char*>(m_bytes.data()), read / page * page, MADV_DONTNEED);
      }
    }
    store.commit();
  } catch (const AutomationError& e) {
    // The rows read whole stay.
    store.commit();
    if (field < int(f.size()) && e.number() == err::kInputPastEndOfFile) {
      m_what =
          QStringLiteral("sample row %1, which ends after %2 of its 7 fields").arg(row).arg(field);
    } else if (field < int(f.size())) {
      m_what =
          QStringLiteral("sample row %1, %2").arg(row).arg(QLatin1String(kRowFieldNames[field]));
      m_line = m_fields.line();  // where the field that could not be read starts
    } else if (channel >= 0) {
      m_what = QStringLiteral("sample row %1, channel %2").arg(row).arg(channel);
      m_line = f[2 + std::size_t(channel)].line;
    } else {
      m_what = QStringLiteral("sample row %1").arg(row);
    }
    throw;
  }
}

}  // namespace

namespace {

LoadResult readBytes(std::string_view bytes, Document& document, bool mapped) {
  LoadResult result;
  Loader loader(bytes, document, mapped);
  try {
    loader.run(result);
  } catch (const AutomationError& e) {
    result.status = LoadResult::Status::ReadError;
    // Conversions quote a long value by its start; whatever else a message quotes, it stays
    // a message (a field may hold 64 KB).
    constexpr qsizetype kMessageCharacters = 300;
    result.error = QStringLiteral("%1 (line %2, %3)")
                       .arg(zrv::excerpt(e.message(), kMessageCharacters))
                       .arg(loader.m_line)
                       .arg(loader.m_what);
  }
  if (result.status == LoadResult::Status::IncorrectFormat)
    result.error = QString::fromLatin1(kIncorrectFileFormat);
  return result;
}

}  // namespace

LoadResult readDataFile(std::string_view bytes, Document& document) {
  return readBytes(bytes, document, false);
}

namespace {

// Up to kVersionProbeBytes from the start of a device, also from a pipe that gives less.
QByteArray readHead(QIODevice& in) {
  QByteArray head;
  while (head.size() < qsizetype(kVersionProbeBytes)) {
    const QByteArray more = in.read(qint64(kVersionProbeBytes) - head.size());
    if (more.isEmpty()) break;
    head += more;
  }
  return head;
}

LoadResult incorrectFormat() {
  LoadResult result;
  result.status = LoadResult::Status::IncorrectFormat;
  result.error = QString::fromLatin1(kIncorrectFileFormat);
  return result;
}

}  // namespace

LoadResult readDataFile(QIODevice& in, Document& document) {
  QByteArray bytes = readHead(in);
  if (!startsWithVersion(std::string_view(bytes.constData(), std::size_t(bytes.size()))))
    return incorrectFormat();
  bytes += in.readAll();
  return readDataFile(std::string_view(bytes.constData(), std::size_t(bytes.size())), document);
}

LoadResult loadDataFile(const QString& path, Document& document) {
  LoadResult result;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    result.status = LoadResult::Status::CannotOpen;
    result.error = QStringLiteral("Cannot open %1: %2").arg(path, file.errorString());
    return result;
  }
  const auto cannotRead = [&] {
    result.status = LoadResult::Status::CannotOpen;
    result.error = QStringLiteral("Cannot read %1: %2").arg(path, file.errorString());
    return result;
  };
  // Only a file that opens like a data file is mapped or read any further.
  QByteArray copy = readHead(file);
  if (file.error() != QFileDevice::NoError) return cannotRead();
  if (!startsWithVersion(std::string_view(copy.constData(), std::size_t(copy.size()))))
    return incorrectFormat();
  std::string_view bytes;
  // A mapped file costs no copy, and only the pages read become resident: a damaged file
  // that fails early costs no more memory than what was read of it. Devices that cannot be
  // mapped are read whole.
  void* mapped = MAP_FAILED;
  const qint64 size = file.size();
  if (size > 0) {
    mapped = ::mmap(nullptr, std::size_t(size), PROT_READ, MAP_PRIVATE, file.handle(), 0);
    if (mapped != MAP_FAILED)
      bytes = std::string_view(static_cast<const char*>(mapped), std::size_t(size));
  }
  const auto unmap = qScopeGuard([&] {
    if (mapped != MAP_FAILED) ::munmap(mapped, std::size_t(size));
  });
  if (bytes.empty()) {
    copy += file.readAll();
    if (file.error() != QFileDevice::NoError) return cannotRead();
    bytes = std::string_view(copy.constData(), std::size_t(copy.size()));
  }
  result = readBytes(bytes, document, mapped != MAP_FAILED);
  if (result.status == LoadResult::Status::ReadError)
    result.error = QStringLiteral("Error in %1: %2").arg(path, result.error);
  return result;
}

}  // namespace zrvlog
