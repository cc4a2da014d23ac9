// Converting a data file into CSV and pictures without a window.
#include <QCommandLineParser>
#include <QSize>

#include "app/dialogs/dialogs.h"
#include "app/graphview/graphview.h"
#include "app/headless/cli.h"
#include "common/automationerror.h"

namespace zrvlog::cli {

int convert(const QStringList& args) {
  QCommandLineParser p;
  p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QCommandLineOption in(QStringLiteral("convert"), {}, QStringLiteral("file")),
      help(QStringLiteral("help")), csv(QStringLiteral("csv"), {}, QStringLiteral("file")),
      bmp(QStringLiteral("bmp"), {}, QStringLiteral("file")),
      png(QStringLiteral("png"), {}, QStringLiteral("file")),
      pdf(QStringLiteral("pdf"), {}, QStringLiteral("file")),
      size(QStringLiteral("size"), {}, QStringLiteral("wxh"));
  p.addOptions({in, help, csv, bmp, png, pdf, size});
  if (const auto status = parseOrStop(p, args)) return *status;
  if (const auto problem = clobberedFile({{QStringLiteral("--convert"), p.value(in)}},
                                         {{QStringLiteral("--csv"), p.value(csv)},
                                          {QStringLiteral("--bmp"), p.value(bmp)},
                                          {QStringLiteral("--png"), p.value(png)},
                                          {QStringLiteral("--pdf"), p.value(pdf)}}))
    return usageError(*problem);
  if (!p.isSet(csv) && !p.isSet(bmp) && !p.isSet(png) && !p.isSet(pdf))
    return usageError(QStringLiteral("say what to make: --csv, --bmp, --png and/or --pdf FILE"));
  QSize pictureSize(1024, 768);
  if (p.isSet(size)) {
    const QStringList wh = p.value(size).split(QLatin1Char('x'));
    bool okW = false, okH = false;
    const int w = wh.value(0).toInt(&okW), h = wh.size() == 2 ? wh[1].toInt(&okH) : 0;
    if (!okW || !okH || w < 16 || h < 16 || w > 10000 || h > 10000)
      return usageError(
          QStringLiteral("--size takes WIDTHxHEIGHT in pixels, not '%1'").arg(p.value(size)));
    pictureSize = QSize(w, h);
  }

  FileEngine files;
  AcquisitionEngine& engine = files.engine;
  const QString input = p.value(in);
  const LoadResult loaded = loadDataFile(input, engine);
  if (!loaded.ok()) {
    say(loaded.status == LoadResult::Status::IncorrectFormat
            ? QStringLiteral("%1: %2").arg(input, loaded.error)
            : loaded.error);
    // A file cut short among its rows (by a crash, say) still gives the rows before the cut.
    if (!loaded.partial()) return kExitFailed;
  }
  bool ok = loaded.ok();
  if (p.isSet(csv)) {
    const QString path = p.value(csv);
    ok &= reportWritten(path, exportCsv(path, engine.data, files.graph),
                        qulonglong(engine.data.sampleCount()));
  }
  if (p.isSet(bmp) || p.isSet(png) || p.isSet(pdf)) {
    WidgetDialogs dialogs;
    GraphView view(files.graph, dialogs);
    view.resize(pictureSize);
    const struct {
      const QCommandLineOption& option;
      void (GraphView::*save)(const QString&);
    } pictures[] = {
        {bmp, &GraphView::saveBitmap}, {png, &GraphView::savePng}, {pdf, &GraphView::savePdf}};
    for (const auto& picture : pictures) {
      if (!p.isSet(picture.option)) continue;
      try {
        (view.*picture.save)(p.value(picture.option));
        report(QStringLiteral("wrote %1").arg(p.value(picture.option)));
      } catch (const zrv::AutomationError& e) {
        ok = false;
        say(e.message());
      }
    }
  }
  return ok ? kExitOk : kExitFailed;
}

}  // namespace zrvlog::cli
