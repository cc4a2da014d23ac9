// Fuzz target of the data-file reader: any bytes must load or fail with a short message,
// never crash or hang; whatever loads must save to a file that loads and saves back the same;
// and the CSV of whatever was read holds no cell that a spreadsheet would run as a formula.
#include <QBuffer>
#include <QFile>
#include <QLocale>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "app/documents/datafile.h"
#include "app/documents/document.h"

namespace {

// A document of its own, as --convert reads a file: no engine, no board, no timer.
struct Parts {
  Parts() { document.applyStartUpDefaults(); }
  zrvlog::Document document;
};

QByteArray save(Parts& parts) {
  QBuffer buffer;
  buffer.open(QIODevice::WriteOnly);
  if (!zrvlog::writeDataFile(buffer, parts.document).ok) std::abort();
  return buffer.data();
}

zrvlog::LoadResult load(Parts& parts, std::string_view bytes) {
  parts.document.setInterval(1000);
  parts.document.initGraph();
  return zrvlog::readDataFile(bytes, parts.document);
}

// Every cell of the CSV: the texts between its quotes (a cell holds no quote of its own).
void checkCsv(Parts& parts) {
  QBuffer buffer;
  buffer.open(QIODevice::WriteOnly);
  if (!zrvlog::writeCsv(buffer, parts.document).ok) std::abort();
  const QList<QByteArray> pieces = buffer.data().split('"');
  for (qsizetype i = 1; i < pieces.size(); i += 2) {
    const QByteArray& cell = pieces[i];
    if (zrvlog::startsLikeFormula(std::string_view(cell.constData(), std::size_t(cell.size())),
                                  "."))
      std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  QLocale::setDefault(QLocale::c());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Parts first, second;
  const zrvlog::LoadResult r =
      load(first, std::string_view(reinterpret_cast<const char*>(data), size));
  if (!r.ok()) {
    // Every failure says what went wrong, quoting no more than the start of a bad value.
    if (r.error.isEmpty() || r.error.size() > 400) std::abort();
    if (r.partial()) checkCsv(first);
    return 0;
  }
  checkCsv(first);
  const QByteArray saved = save(first);
  const zrvlog::LoadResult again =
      load(second, std::string_view(saved.constData(), std::size_t(saved.size())));
  if (!again.ok() || again.rows != r.rows) std::abort();
  const QByteArray resaved = save(second);
  if (resaved != saved) {
    // For triage: ZRV_FUZZ_DUMP=DIR keeps both saves (first.zrv, second.zrv) to compare.
    if (const QString dump = qEnvironmentVariable("ZRV_FUZZ_DUMP"); !dump.isEmpty()) {
      for (const auto& [name, bytes] : {std::pair{"/first.zrv", saved}, {"/second.zrv", resaved}}) {
        QFile f(dump + QLatin1String(name));
        if (f.open(QIODevice::WriteOnly)) f.write(bytes);
      }
    }
    std::abort();
  }
  return 0;
}
