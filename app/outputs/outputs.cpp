#include "outputs.h"

#include <QFileInfo>

#include "app/documents/analysiscsv.h"
#include "app/documents/document.h"
#include "app/safewrite/safewrite.h"
#include "common/automationerror.h"

namespace zrvlog {

namespace {

// ---- The writers, one class per kind of output ---------------------------------------------

class DataFileWriter : public OutputWriter {
 public:
  SaveResult write(QIODevice& out, OutputSource& source) const override {
    return writeDataFile(out, source.document);
  }
};

class CsvWriter : public OutputWriter {
 public:
  SaveResult write(QIODevice& out, OutputSource& source) const override {
    return writeCsv(out, source.document);
  }
};

// Only the channels the run reads: those beyond ChanLimit hold no readings.
class AnalysisCsvWriter : public OutputWriter {
 public:
  SaveResult write(QIODevice& out, OutputSource& source) const override {
    return writeAnalysisCsv(out, source.document, source.document.settings.ChanLimit);
  }
};

// Bitmaps through the image writer of the format given, a page through the PDF writer.
class PictureWriter : public OutputWriter {
 public:
  explicit PictureWriter(const char* format) : m_format(format) {}
  SaveResult write(QIODevice& out, OutputSource& source) const override {
    SaveResult result;
    try {
      GraphView& view = source.view();
      if (m_format)
        view.writeImage(out, m_format, source.picture);
      else
        view.writePdf(out, source.picture);
      result.ok = true;
    } catch (const zrv::AutomationError& e) {
      result.error = e.detail().isEmpty() ? e.message() : e.detail();
    }
    return result;
  }

 private:
  const char* m_format;  // nullptr: a PDF page
};

const DataFileWriter kDataFile;
const CsvWriter kCsv;
const AnalysisCsvWriter kAnalysisCsv;
const PictureWriter kBmp("BMP"), kPng("PNG"), kPdf(nullptr);

// The pictures come together: pictureFormats() is their part of the table.
const OutputFormat kFormats[] = {
    {"zrv", nullptr, "ZRV Files (*.zrv)", "zrv", "ZRV Files (*.zrv)|*.zrv|All Files (*.*)|*.*",
     "the data file (open it in ZRVLOG later)", true, false, false, &kDataFile},
    {"csv", "&CSV", "Comma delimited (*.csv)", "csv;txt",
     "Comma delimited (*.csv)|*.csv|Text file (*.txt)|*.txt|All Files|*.*||",
     "the samples as comma-separated text", true, true, false, &kCsv},
    // Written whole at the end of a run: the live stream is the spreadsheet CSV's.
    {"analysis", "&Analysis CSV", "Analysis CSV (*.csv)", "csv",
     "Analysis CSV (*.csv)|*.csv|All Files|*.*||",
     "CSV for analysis: ISO-8601 local times with UTC offset,\n"
     "                       elapsed seconds, the recorded channels by name and unit,\n"
     "                       point decimals, LF line ends",
     true, false, false, &kAnalysisCsv},
    {"bmp", "&BMP", "Bitmap (*.bmp)", "bmp", nullptr, "the graph as a Windows bitmap", false, false,
     true, &kBmp},
    {"png", "&PNG", "PNG image (*.png)", "png", nullptr, "the graph as a PNG image", false, false,
     true, &kPng},
    {"pdf", "P&DF", "PDF document (*.pdf)", "pdf", nullptr,
     "the graph on an A4 page, as vector drawing with its text", false, false, true, &kPdf},
    // Not an export: the window turns it on in Options, the command line with --publish.
    {"publish", nullptr, "", "", nullptr,
     "also publish every sample to an MQTT broker while the run\n"
     "                       records (--headless only; mqtts:// for TLS with the system's\n"
     "                       CAs): TOPIC/samples (JSON arrays, QoS 1), TOPIC/meta and\n"
     "                       TOPIC/status (retained). URL is\n"
     "                       mqtt://[USER@]HOST[:PORT]/TOPIC; USER's password comes from\n"
     "                       ZRVLOG_MQTT_PASSWORD or the file ZRVLOG_MQTT_PASSWORD_FILE\n"
     "                       (default ~/.config/ZRVLOG/mqtt-password; yours alone, mode\n"
     "                       600), never the command line. Samples the broker has not taken\n"
     "                       wait in ~/.local/share/ZRVLOG/outbox (at most 1 GB, the oldest\n"
     "                       dropped first; --publish-outbox MB sets it) and go out, in\n"
     "                       order, when it is back or at the next --publish to it. A\n"
     "                       broker that cannot be reached is a warning; one that refuses\n"
     "                       the user ends the program (exit 1).\n"
     "  --publish-ca FILE    the CA certificate of a broker with a private CA (mqtts://)\n"
     "  --publish-outbox MB  the outbox's size for this broker and topic (default 1024)",
     true, true, false, nullptr, TargetKind::Url},
};
// The pictures, then the broker last.
constexpr std::size_t kFirstPicture = 3;
constexpr std::size_t kPictures = 3;

const QString kAllFiles = QStringLiteral("All Files|*.*");

}  // namespace

QStringList OutputFormat::extensionList() const {
  return QString::fromLatin1(extensions).split(QLatin1Char(';'), Qt::SkipEmptyParts);
}

QString OutputFormat::filter() const {
  QStringList patterns;
  for (const QString& extension : extensionList())
    patterns << QStringLiteral("*.") + extension;
  return QString::fromLatin1(filterText) + QLatin1Char('|') + patterns.join(QLatin1Char(';'));
}

QString OutputFormat::targetName() const {
  return isFile() ? QStringLiteral("FILE") : QStringLiteral("URL");
}

std::span<const OutputFormat> outputFormats() {
  return kFormats;
}

const OutputFormat* outputFormatById(const QString& id) {
  for (const OutputFormat& format : outputFormats())
    if (id == QLatin1String(format.id)) return &format;
  return nullptr;
}

const OutputFormat& dataFileFormat() {
  return outputFormats()[0];
}

const OutputFormat& csvFormat() {
  return outputFormats()[1];
}

const OutputFormat& publishFormat() {
  return outputFormats().back();
}

std::span<const OutputFormat> pictureFormats() {
  return outputFormats().subspan(kFirstPicture, kPictures);
}

QString picturesFilter() {
  QStringList pairs;
  for (const OutputFormat& format : pictureFormats())
    pairs << format.filter();
  pairs << kAllFiles;
  return pairs.join(QLatin1Char('|'));
}

QString dialogFilter(const OutputFormat& format) {
  return format.dialog ? QString::fromLatin1(format.dialog) : picturesFilter();
}

const OutputFormat& pictureFormatFor(const QString& path, int selectedFilter) {
  const auto pictures = pictureFormats();
  const QString suffix = QFileInfo(path).suffix().toLower();
  for (const OutputFormat& format : pictures)
    if (!suffix.isEmpty() && format.extensionList().contains(suffix)) return format;
  if (selectedFilter >= 0 && selectedFilter < int(pictures.size())) return pictures[selectedFilter];
  return pictures[0];
}

std::optional<QString> writeOutput(const OutputFormat& format, SafeOutput& target,
                                   OutputSource& source, SaveResult* result) {
  SaveResult written;
  if (!format.writer) {
    written.error =
        QStringLiteral("%1 takes samples only while a run records").arg(format.option());
    if (result) *result = written;
    return written.error;
  }
  auto problem = target.write([&](QIODevice& out) -> std::optional<QString> {
    written = format.writer->write(out, source);
    if (!written.ok) return written.error;
    return std::nullopt;
  });
  written.ok = !problem;
  if (problem)
    written.error =
        QStringLiteral("Cannot write %1: %2").arg(outputName(target.target().path), *problem);
  if (result) *result = written;
  if (problem) return written.error;
  return std::nullopt;
}

std::optional<PictureStyle> pictureStyleByName(const QString& name) {
  if (name == QLatin1String("shown")) return PictureStyle::AsShown;
  if (name == QLatin1String("light")) return PictureStyle::Light;
  return std::nullopt;
}

QStringList pictureStyleNames() {
  return {QStringLiteral("shown"), QStringLiteral("light")};
}

}  // namespace zrvlog
