// Converting a data file into any output of the registry without a window.
#include <QCommandLineParser>

#include "app/headless/cli.h"

namespace zrvlog::cli {

int convert(const QStringList& args) {
  QCommandLineParser p;
  p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QCommandLineOption in(QStringLiteral("convert"), {}, QStringLiteral("file")),
      help(QStringLiteral("help"));
  p.addOptions({in, help});
  addOutputOptions(p);
  if (const auto status = parseOrStop(p, args)) return *status;
  Outputs outputs;
  if (const auto status = takeOutputs(p, {{QStringLiteral("--convert"), p.value(in)}}, outputs))
    return *status;
  if (outputs.empty()) {
    QStringList wanted;
    for (const OutputFormat& format : outputFormats())
      if (format.isFile()) wanted << format.option();
    return usageError(
        QStringLiteral("say what to make: %1 and/or %2 FILE")
            .arg(wanted.mid(0, wanted.size() - 1).join(QStringLiteral(", ")), wanted.back()));
  }

  FileDocument file;
  Document& document = file.document;
  const QString input = p.value(in);
  const LoadResult loaded = loadDataFile(input, document);
  if (!loaded.ok()) {
    say(loaded.status == LoadResult::Status::IncorrectFormat
            ? QStringLiteral("%1: %2").arg(input, loaded.error)
            : loaded.error);
    // A file cut short among its rows (by a crash, say) still gives the rows before the cut.
    if (!loaded.partial()) return kExitFailed;
  }
  HeadlessSource source(document, outputs.picture);
  const bool written = writeOutputs(outputs, source.source);
  return loaded.ok() && written ? kExitOk : kExitFailed;
}

}  // namespace zrvlog::cli
