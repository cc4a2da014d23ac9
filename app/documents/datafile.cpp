#include "datafile.h"

#include <sys/mman.h>
#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <algorithm>
#include <array>

#include "app/acquisition/engine.h"
#include "app/acquisition/settingtable.h"
#include "app/documents/fieldio.h"
#include "app/documents/numbertext.h"
#include "app/documents/textcodec.h"
#include "app/graph/graphmodel.h"
#include "app/safewrite/safewrite.h"
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
  MINX,
  MINY,
  MAXX,
  MAXY,
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
};

constexpr Cell kEol{Source::EndOfLine};
constexpr Cell graph(M member, Column column) {
  return {Source::Graph, column, member};
}
constexpr Cell settingOn(int line) {
  return {Source::Setting, Column::Variant, M::Caption, line};
}

// The setting a cell stands for, and the type the file writes it as.
const SettingDescriptor& settingOf(const Cell& cell) {
  const SettingDescriptor* d = settingOnFileLine(cell.line);
  Q_ASSERT(d);
  return *d;
}
Column columnOf(const Cell& cell) {
  if (cell.source != Source::Setting) return cell.column;
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
    {Source::MINX},
    {Source::MINY},
    {Source::MAXX},
    {Source::MAXY},
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
      return QString::fromLatin1(settingOf(cell).name);
    case Source::Autorange:
      return QStringLiteral("Autorange");
    case Source::MINX:
      return QStringLiteral("MINX");
    case Source::MINY:
      return QStringLiteral("MINY");
    case Source::MAXX:
      return QStringLiteral("MAXX");
    case Source::MAXY:
      return QStringLiteral("MAXY");
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

Variant valueOf(const Cell& cell, AcquisitionEngine& engine) {
  const AcquisitionSettings& s = engine.settings;
  switch (cell.source) {
    case Source::Version:
      return Variant(kDataFileVersion);
    case Source::StartTime:
      return engine.data.StartTime;
    case Source::Setting:
      return settingValue(engine, settingOf(cell));
    case Source::Autorange:
      return Variant(engine.autorange());
    case Source::MINX:
      return s.MINX;
    case Source::MINY:
      return s.MINY;
    case Source::MAXX:
      return s.MAXX;
    case Source::MAXY:
      return s.MAXY;
    case Source::Graph:
      return engine.graph().property(cell.member);
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

template <std::size_t N>
void writeRecord(FieldWriter& w, const std::array<Cell, N>& cells, GraphModel& g) {
  for (const Cell& cell : cells)
    writeCell(w, cell, g.property(cell.member));
  w.endLine();
}

void writeHeaderAndBlocks(FieldWriter& w, AcquisitionEngine& engine) {
  for (const Cell& cell : kHeader) {
    if (cell.source == Source::EndOfLine)
      w.endLine();
    else
      writeCell(w, cell, valueOf(cell, engine));
  }
  GraphModel& g = engine.graph();
  const int16_t elements = g.property(M::ElementTotal).toInteger();
  w.whole(elements);
  w.endLine();
  for (int16_t k = 0; k < elements; ++k) {
    g.setProperty(M::ElementIndex, Variant(k));
    writeRecord(w, kElementCells, g);
  }
  g.setProperty(M::ElementIndex, Variant(int16_t{0}));
  for (int16_t order = 0; order < kOrders; ++order) {
    for (int16_t c = 0; c < kChannels; ++c) {
      w.variant(engine.data.GetCoef(order, c));
      w.endLine();
    }
  }
  const int16_t annotations = g.property(M::AnnotationTotal).toInteger();
  w.whole(annotations);
  w.endLine();
  for (int16_t k = 0; k < annotations; ++k) {
    g.setProperty(M::AnnotationIndex, Variant(k));
    writeRecord(w, kAnnotationCells, g);
  }
  const int16_t cursors = g.property(M::CursorTotal).toInteger();
  w.whole(cursors);
  w.endLine();
  for (int16_t k = 0; k < cursors; ++k) {
    g.setProperty(M::CursorIndex, Variant(k));
    writeRecord(w, kCursorCells, g);
  }
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

std::size_t completeRows(const DataSet& data, const GraphModel& graph) {
  // Every element must hold a point for every row; the rows stop where one does not.
  std::size_t complete = std::min(data.TimeStamps.count(), data.Jitters.count());
  for (int k = 0; k < kChannels; ++k)
    complete = k < graph.elementCount() ? std::min(complete, graph.series(k).size()) : 0;
  return complete;
}

void appendSampleRows(std::string& b, GeneralText& text, const DataSet& data,
                      const GraphModel& graph, std::size_t first, std::size_t end, RowTexts texts) {
  std::array<const Series*, kChannels> series{};
  for (int k = 0; k < kChannels; ++k)
    series[k] = &graph.series(k);
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
  for (std::size_t i = first; i < end; ++i) {
    quoted(data.TimeStamps.item(i + 1));
    b.push_back(',');
    quoted(data.Jitters.item(i + 1));
    b.push_back(',');
    for (int k = 0; k < kChannels; ++k) {
      b.push_back('"');
      text.appendNumber(b, series[k]->y(i));
      b += k < kChannels - 1 ? "\"," : "\"\r\n";
    }
  }
}

SaveResult WriteSampleRows(ByteWriter& out, const DataSet& data, const GraphModel& graph,
                           bool withHeader) {
  SaveResult result;
  std::string& b = out.buffer();
  if (withHeader) {
    b += kCsvHeader;
    b += "\r\n";
  }
  const std::size_t rows = data.TimeStamps.count();
  const std::size_t complete = completeRows(data, graph);
  GeneralText text;
  // Only the CSV export has the header; its readers are spreadsheets.
  const RowTexts texts = withHeader ? RowTexts::Spreadsheet : RowTexts::AsStored;
  constexpr std::size_t kRowsPerFlush = 4096;
  for (std::size_t i = 0; i < complete; i += kRowsPerFlush) {
    appendSampleRows(b, text, data, graph, i, std::min(complete, i + kRowsPerFlush), texts);
    out.flushIfFull();
  }
  result.rows = int64_t(complete);
  if (complete < rows) {
    // Say which read failed, as the collections and the graph word it.
    try {
      data.Jitters.item(complete + 1);
      for (int k = 0; k < kChannels; ++k)
        graph.pointY(int64_t(complete), k);
    } catch (const AutomationError& e) {
      result.rowsError = QStringLiteral("Sample %1 of %2 cannot be written: %3")
                             .arg(complete + 1)
                             .arg(rows)
                             .arg(e.message());
    }
  }
  result.ok = true;
  return result;
}

QByteArray dataFileHeader(AcquisitionEngine& engine) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  ByteWriter out(buffer);
  FieldWriter fields(out);
  writeHeaderAndBlocks(fields, engine);
  out.flush();
  return bytes;
}

SaveResult writeDataFile(QIODevice& out, AcquisitionEngine& engine) {
  SaveResult result;
  try {
    ByteWriter bytes(out);
    FieldWriter fields(bytes);
    writeHeaderAndBlocks(fields, engine);
    result = WriteSampleRows(bytes, engine.data, engine.graph(), false);
    bytes.flush();
  } catch (const AutomationError& e) {
    result.ok = false;
    result.error =
        e.number() == err::kPathFileAccessError && !e.detail().isEmpty() ? e.detail() : e.message();
  }
  return result;
}

SaveResult saveDataFile(const QString& path, AcquisitionEngine& engine) {
  return writeFileSafely(path, QStringLiteral("save"),
                         [&](QIODevice& file) { return writeDataFile(file, engine); });
}

SaveResult writeCsv(QIODevice& out, const DataSet& data, const GraphModel& graph) {
  SaveResult result;
  try {
    ByteWriter bytes(out);
    result = WriteSampleRows(bytes, data, graph, true);
    bytes.flush();
  } catch (const AutomationError& e) {
    result.ok = false;
    result.error = e.detail().isEmpty() ? e.message() : e.detail();
  }
  return result;
}

SaveResult exportCsv(const QString& path, const DataSet& data, const GraphModel& graph) {
  return writeFileSafely(path, QStringLiteral("write"),
                         [&](QIODevice& file) { return writeCsv(file, data, graph); });
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

const char* const kRowFieldNames[] = {"time stamp", "jitter",    "channel 0", "channel 1",
                                      "channel 2",  "channel 3", "channel 4"};

class Loader {
 public:
  Loader(std::string_view bytes, AcquisitionEngine& engine)
      : m_fields(bytes), m_engine(engine), m_graph(engine.graph()) {}

  void run(LoadResult& result);

 private:
  Field take(QString what) {
    m_what = std::move(what);
    m_line = m_fields.line();
    m_field = m_fields.next();
    return m_field;
  }
  Variant takeVariant(QString what) { return m_fields.toVariant(take(std::move(what))); }
  void applyCell(const Cell& cell, const Variant& v, LoadResult& result);
  template <std::size_t N>
  void readRecord(const std::array<Cell, N>& cells, const QString& record);
  void readRows(LoadResult& result);

  FieldReader m_fields;
  AcquisitionEngine& m_engine;
  GraphModel& m_graph;
  std::array<Variant, 4> m_range;  // MINX, MINY, MAXX, MAXY as read

 public:
  QString m_what;
  int m_line = 1;
  Field m_field;  // the last field of lines 1 to 23 and the blocks
};

void Loader::applyCell(const Cell& cell, const Variant& v, LoadResult& result) {
  AcquisitionSettings& s = m_engine.settings;
  switch (cell.source) {
    case Source::StartTime:
      m_engine.data.StartTime = v;
      return;
    case Source::Setting:
      setSetting(m_engine, settingOf(cell), v);
      // Lines 2 and 3: the start and stop times the status bar shows.
      if (settingOf(cell).id == SettingId::StopTime) result.startTimeRead = true;
      return;
    case Source::Autorange:
      m_engine.setAutorange(v.toBool());
      return;
    case Source::MINX:
    case Source::MINY:
    case Source::MAXX:
      m_range[static_cast<int>(cell.source) - static_cast<int>(Source::MINX)] = v;
      return;
    case Source::MAXY: {
      m_range[3] = v;
      // The four become settings only when the graph can take them: a range that is not a
      // number would make every later reset of the graph fail.
      const M members[] = {M::RangeXMin, M::RangeYMin, M::RangeXMax, M::RangeYMax};
      for (int i = 0; i < 4; ++i) {
        m_what = cellName(Cell{static_cast<Source>(int(Source::MINX) + i)});
        convertForMember(memberInfo(members[i]), m_range[i]);
      }
      s.MINX = m_range[0];
      s.MINY = m_range[1];
      s.MAXX = m_range[2];
      s.MAXY = m_range[3];
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
      m_engine.data.SetCoef(
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
  DataSet& data = m_engine.data;
  const int32_t interval = m_engine.GetTimerInt();
  const std::string separator = userSeparatorUtf8();
  char key[kNumberTextCapacity + 1];
  char16_t keyUnits[kNumberTextCapacity + 1];
  std::array<Field, 7> f;
  std::array<double, kChannels> y{};
  int64_t row = 0;
  // What is being read is put into words only when something goes wrong.
  int field = 0;
  int channel = -1;
  const std::size_t firstRowStart = m_fields.bytesLeft();
  // The nominal times only grow, and so (in the 15-digit general format) do their keys: a
  // key that differs from the one before is new, and goes in without an index lookup.
  const bool startedEmpty = data.TimeStamps.count() == 0 && data.Jitters.count() == 0;
  std::string previousKey;
  std::string utf8;
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
      // The key and X of a recorded sample: the nominal time, advanced by the interval.
      const double x = data.SampleTime.toDouble();
      key[0] = 'T';
      const std::size_t length = 1 + formatNumberTo(key + 1, x, separator, true);
      // Keys are ASCII but for an unusual separator; those take the general conversion.
      QString wideKey;
      QStringView keyText;
      if (std::all_of(key, key + length, [](char ch) { return (ch & 0x80) == 0; })) {
        std::copy(key, key + length, keyUnits);
        keyText = QStringView(keyUnits, qsizetype(length));
      } else {
        wideKey = QString::fromUtf8(key, qsizetype(length));
        keyText = wideKey;
      }
      const bool newKey = startedEmpty && std::string_view(key, length) != previousKey;
      for (int i = 0; i < 2; ++i) {
        zrv::KeyedCollection& c = i == 0 ? data.TimeStamps : data.Jitters;
        // Plain ASCII goes in as it is; other bytes are decoded as the file's text first.
        std::string_view t = f[std::size_t(i)].text;
        if (!std::all_of(t.begin(), t.end(), [](char ch) { return (ch & 0x80) == 0; })) {
          utf8.clear();
          appendUtf8(utf8, FieldReader::toText(f[std::size_t(i)]));
          t = utf8;
        }
        if (newKey)
          c.appendNewText(t, keyText);
        else
          c.addText(t, keyText);  // checked: raises the duplicate-key error
      }
      previousKey.assign(key, length);
      for (int k = 0; k < kChannels; ++k)
        m_graph.addPoint(x, y[std::size_t(k)], k);
      data.advanceSampleTime(interval);
      result.rows = row;
      if (row == 1) {
        // Room for as many keys as the rest of the file holds rows like this one, counting no
        // row shorter than the writer's shortest. Only once a row has been read whole: a
        // short first line before a mass of other bytes must not reserve for all of them.
        constexpr std::size_t kShortestRow = 2 * 2 + 5 * 3 + 6 + 2;  // "","","0",... CR LF
        const std::size_t rowBytes = std::max(firstRowStart - m_fields.bytesLeft(), kShortestRow);
        const std::size_t rows = m_fields.bytesLeft() / rowBytes + 16;
        data.TimeStamps.reserve(data.TimeStamps.count() + rows);
        data.Jitters.reserve(data.Jitters.count() + rows);
      }
    }
  } catch (const AutomationError& e) {
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

LoadResult readDataFile(std::string_view bytes, AcquisitionEngine& engine) {
  LoadResult result;
  Loader loader(bytes, engine);
  try {
    loader.run(result);
  } catch (const AutomationError& e) {
    result.status = LoadResult::Status::ReadError;
    // A conversion names the whole value it could not take; a long one is quoted by its start.
    QString message = e.message();
    if (const QString value = FieldReader::toText(loader.m_field);
        value.size() > kExcerptCharacters)
      message.replace(value, excerpt(QStringView(value)));
    result.error =
        QStringLiteral("%1 (line %2, %3)").arg(message).arg(loader.m_line).arg(loader.m_what);
  }
  if (result.status == LoadResult::Status::IncorrectFormat)
    result.error = QString::fromLatin1(kIncorrectFileFormat);
  return result;
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

LoadResult readDataFile(QIODevice& in, AcquisitionEngine& engine) {
  QByteArray bytes = readHead(in);
  if (!startsWithVersion(std::string_view(bytes.constData(), std::size_t(bytes.size()))))
    return incorrectFormat();
  bytes += in.readAll();
  return readDataFile(std::string_view(bytes.constData(), std::size_t(bytes.size())), engine);
}

LoadResult loadDataFile(const QString& path, AcquisitionEngine& engine) {
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
  result = readDataFile(bytes, engine);
  if (result.status == LoadResult::Status::ReadError)
    result.error = QStringLiteral("Error in %1: %2").arg(path, result.error);
  return result;
}

}  // namespace zrvlog
