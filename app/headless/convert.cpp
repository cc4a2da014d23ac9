// Converting a data file into CSV and pictures without a window.
#include <QCommandLineParser>
#include <QSize>
#include <vector>

#include "app/dialogs/dialogs.h"
#include "app/graphview/graphview.h"
#include "app/graphview/pictureformats.h"
#include "app/headless/cli.h"
#include "common/automationerror.h"

namespace zrvlog::cli {

namespace {

const QSize kDefaultPictureSize(1024, 768);

QString optionName(const PictureFormat& format) {
  return QStringLiteral("--") + QLatin1String(format.id);
}

}  // namespace

QString pictureOptionsSynopsis() {
  QStringList options;
  for (const PictureFormat& format : pictureFormats())
    options << QStringLiteral("[%1 FILE]").arg(optionName(format));
  return options.join(QLatin1Char(' ')) + QStringLiteral(" [--size WxH] [--style STYLE]");
}

QString pictureOptionsHelp() {
  QString help;
  for (const PictureFormat& format : pictureFormats())
    help += QStringLiteral("  %1 FILE").arg(optionName(format)).leftJustified(23) +
            QString::fromLatin1(format.help) + QLatin1Char('\n');
  help += QStringLiteral(
              "  --size WxH           picture size in pixels (default %1x%2); a page takes the\n"
              "                       width, which sets the text's size relative to the graph\n")
              .arg(kDefaultPictureSize.width())
              .arg(kDefaultPictureSize.height());
  help += QStringLiteral(
              "  --style STYLE        %1: the graph's own colours (the default), or white\n"
              "                       paper with dark text and darkened channel colours\n")
              .arg(pictureStyleNames().join(QLatin1Char('|')));
  return help;
}

int convert(const QStringList& args) {
  QCommandLineParser p;
  p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QCommandLineOption in(QStringLiteral("convert"), {}, QStringLiteral("file")),
      help(QStringLiteral("help")), csv(QStringLiteral("csv"), {}, QStringLiteral("file")),
      size(QStringLiteral("size"), {}, QStringLiteral("wxh")),
      style(QStringLiteral("style"), {}, QStringLiteral("style"));
  p.addOptions({in, help, csv, size, style});
  struct Picture {
    const PictureFormat& format;
    QCommandLineOption option;
  };
  std::vector<Picture> pictures;
  QStringList wanted{QStringLiteral("--csv")};
  for (const PictureFormat& format : pictureFormats()) {
    pictures.push_back(
        {format, QCommandLineOption(QString::fromLatin1(format.id), {}, QStringLiteral("file"))});
    p.addOption(pictures.back().option);
    wanted << optionName(format);
  }
  if (const auto status = parseOrStop(p, args)) return *status;
  {
    QList<NamedFile> outputs{{QStringLiteral("--csv"), p.value(csv)}};
    for (const Picture& picture : pictures)
      outputs.append({optionName(picture.format), p.value(picture.option)});
    if (const auto problem = clobberedFile({{QStringLiteral("--convert"), p.value(in)}}, outputs))
      return usageError(*problem);
  }
  const bool anyPicture = std::any_of(pictures.begin(), pictures.end(),
                                      [&](const Picture& x) { return p.isSet(x.option); });
  if (!p.isSet(csv) && !anyPicture)
    return usageError(
        QStringLiteral("say what to make: %1 and/or %2 FILE")
            .arg(wanted.mid(0, wanted.size() - 1).join(QStringLiteral(", ")), wanted.back()));
  PictureOptions options{kDefaultPictureSize, PictureStyle::AsShown};
  if (p.isSet(size)) {
    const QStringList wh = p.value(size).split(QLatin1Char('x'));
    bool okW = false, okH = false;
    const int w = wh.value(0).toInt(&okW), h = wh.size() == 2 ? wh[1].toInt(&okH) : 0;
    if (!okW || !okH || w < 16 || h < 16 || w > 10000 || h > 10000)
      return usageError(
          QStringLiteral("--size takes WIDTHxHEIGHT in pixels, not '%1'").arg(p.value(size)));
    options.size = QSize(w, h);
  }
  if (p.isSet(style)) {
    const auto chosen = pictureStyleByName(p.value(style));
    if (!chosen)
      return usageError(QStringLiteral("--style takes %1, not '%2'")
                            .arg(pictureStyleNames().join(QStringLiteral(" or ")), p.value(style)));
    options.style = *chosen;
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
  if (anyPicture) {
    // The same drawing as the window's export at that size: the view lays the graph out for
    // each picture, shown or not.
    WidgetDialogs dialogs;
    GraphView view(files.graph, dialogs);
    view.resize(options.size);
    for (const Picture& picture : pictures) {
      if (!p.isSet(picture.option)) continue;
      const QString path = p.value(picture.option);
      try {
        (view.*picture.format.write)(path, options);
        report(QStringLiteral("wrote %1").arg(path));
      } catch (const zrv::AutomationError& e) {
        ok = false;
        say(e.message());
      }
    }
  }
  return ok ? kExitOk : kExitFailed;
}

}  // namespace zrvlog::cli
