#include "analysiscsv.h"

#include <QLocale>
#include <QRegularExpression>
#include <algorithm>
#include <charconv>
#include <vector>

#include "app/documents/document.h"
#include "app/documents/fieldio.h"
#include "app/documents/numbertext.h"
#include "app/graph/graphmodel.h"
#include "app/store/samplestore.h"
#include "common/automationdate.h"
#include "common/automationerror.h"
#include "common/variant.h"

namespace zrvlog {

namespace {

using M = GraphMember;

// A header cell: quoted when it holds a comma, a quote, a line end or edge spaces, and kept
// from starting a formula when the file is opened in a spreadsheet after all.
void appendHeaderCell(std::string& b, QString name) {
  const QByteArray utf8 = name.toUtf8();
  if (startsLikeFormula(std::string_view(utf8.constData(), std::size_t(utf8.size())), "."))
    name.prepend(QLatin1Char('\''));
  const bool quote = name.contains(QRegularExpression(QStringLiteral("[\",\\r\\n]|^\\s|\\s$")));
  if (quote)
    name = QLatin1Char('"') + name.replace(QLatin1Char('"'), QStringLiteral("\"\"")) +
           QLatin1Char('"');
  b += name.toUtf8().toStdString();
}

// Milliseconds as seconds with three decimals and a point: "-1.250".
void appendSeconds(std::string& b, qint64 ms) {
  if (ms < 0) b.push_back('-');
  const quint64 magnitude = ms < 0 ? quint64(0) - quint64(ms) : quint64(ms);
  b += std::to_string(magnitude / 1000);
  char frac[5];
  std::snprintf(frac, sizeof frac, ".%03u", unsigned(magnitude % 1000));
  b += frac;
}

// The shortest text that reads back as the same double, with a point whatever the locale.
void appendValue(std::string& b, double value) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  b.append(text, end);
}

}  // namespace

QString isoWithOffset(const QDateTime& local) {
  const int offset = local.offsetFromUtc();
  const int minutes = std::abs(offset) / 60;
  return local.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) +
         QLatin1Char(offset < 0 ? '-' : '+') +
         QStringLiteral("%1:%2")
             .arg(minutes / 60, 2, 10, QLatin1Char('0'))
             .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QString valueAxisUnit(const GraphModel& graph) {
  static const QRegularExpression conversion(QStringLiteral("%[-+ #0]*\\d*(\\.\\d+)?[fgeEGdiu]"));
  const QString format = graph.graphValue(M::LabelFormatY).toText();
  if (const QRegularExpressionMatch m = conversion.match(format); m.hasMatch()) {
    const QString after = format.mid(m.capturedEnd()).trimmed();
    if (!after.isEmpty()) return after;
  }
  static const QRegularExpression inParentheses(QStringLiteral("\\(([^()]+)\\)\\s*$"));
  const QRegularExpressionMatch m = inParentheses.match(graph.graphValue(M::AxisTitleY).toText());
  return m.hasMatch() ? m.captured(1).trimmed() : QString();
}

SaveResult writeAnalysisCsv(QIODevice& out, const Document& document, int channels) {
  SaveResult result;
  const GraphModel& graph = document.graph();
  const SampleStore& store = document.store();
  channels = std::clamp(channels, 0, std::min(kChannels, graph.elementCount()));
  try {
    ByteWriter bytes(out);
    std::string& b = bytes.buffer();
    b += "Time,Elapsed (s)";
    const QString unit = valueAxisUnit(graph);
    for (int k = 0; k < channels; ++k) {
      QString name = graph.itemValue(M::ElementLabel, k).toText().trimmed();
      if (name.isEmpty()) name = QStringLiteral("Channel %1").arg(k + 1);
      if (!unit.isEmpty()) name += QStringLiteral(" (%1)").arg(unit);
      b.push_back(',');
      appendHeaderCell(b, name);
    }
    b.push_back('\n');

    const std::size_t complete = store.rows();
    std::optional<QDateTime> first;
    std::size_t notDates = 0, firstNotDate = 0;
    constexpr std::size_t kPrefetchRows = 4096;
    for (std::size_t i = 0; i < complete; ++i) {
      if (i % kPrefetchRows == 0) store.prefetch(i, i + kPrefetchRows);
      const zrv::Variant stamp = store.stamp(i);
      if (const auto moment = timeStampMoment(stamp)) {
        if (!first) first = moment;
        b += isoWithOffset(*moment).toStdString();
        b.push_back(',');
        appendSeconds(b, first->msecsTo(*moment));
      } else {
        if (notDates++ == 0) firstNotDate = i + 1;
        b.push_back(',');
      }
      for (int k = 0; k < channels; ++k) {
        b.push_back(',');
        appendValue(b, store.value(k, i));
      }
      b.push_back('\n');
      bytes.flushIfFull();
      // The rows written need not stay in memory: a long run would bring it all in.
      if ((i + 1) % SampleStore::kDropEveryRows == 0) store.dropResident();
    }
    bytes.flush();
    result.rows = int64_t(complete);
    QStringList problems;
    if (notDates > 0)
      problems << QStringLiteral(
                      "%1 of %2 time stamps are not dates (the first is sample %3's: "
                      "\"%4\"); their Time and Elapsed cells are empty.")
                      .arg(notDates)
                      .arg(complete)
                      .arg(firstNotDate)
                      .arg(store.stamp(firstNotDate - 1).toText().left(40));
    result.rowsError = problems.join(QLatin1Char(' '));
    result.ok = true;
  } catch (const zrv::AutomationError& e) {
    result.error = e.detail().isEmpty() ? e.message() : e.detail();
  }
  return result;
}

}  // namespace zrvlog
