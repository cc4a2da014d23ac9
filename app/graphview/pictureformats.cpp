#include "pictureformats.h"

#include <QFileInfo>

namespace zrvlog {

namespace {

constexpr PictureFormat kFormats[] = {
    {"bmp", "&BMP", "Bitmap (*.bmp)", "bmp", "the graph as a Windows bitmap",
     &GraphView::saveBitmap},
    {"png", "&PNG", "PNG image (*.png)", "png", "the graph as a PNG image", &GraphView::savePng},
    {"pdf", "P&DF", "PDF document (*.pdf)", "pdf",
     "the graph on an A4 page, as vector drawing with its text", &GraphView::savePdf},
};

const QString kAllFiles = QStringLiteral("All Files|*.*");

}  // namespace

QStringList PictureFormat::extensionList() const {
  return QString::fromLatin1(extensions).split(QLatin1Char(';'), Qt::SkipEmptyParts);
}

QString PictureFormat::filter() const {
  QStringList patterns;
  for (const QString& extension : extensionList())
    patterns << QStringLiteral("*.") + extension;
  return QString::fromLatin1(filterText) + QLatin1Char('|') + patterns.join(QLatin1Char(';'));
}

std::span<const PictureFormat> pictureFormats() {
  return kFormats;
}

const PictureFormat* pictureFormatById(const QString& id) {
  for (const PictureFormat& format : kFormats)
    if (id == QLatin1String(format.id)) return &format;
  return nullptr;
}

const PictureFormat* pictureFormatForPath(const QString& path) {
  const QString suffix = QFileInfo(path).suffix().toLower();
  if (suffix.isEmpty()) return nullptr;
  for (const PictureFormat& format : kFormats)
    if (format.extensionList().contains(suffix)) return &format;
  return nullptr;
}

QString picturesFilter() {
  QStringList pairs;
  for (const PictureFormat& format : kFormats)
    pairs << format.filter();
  pairs << kAllFiles;
  return pairs.join(QLatin1Char('|'));
}

const PictureFormat& pictureFormatFor(const QString& path, int selectedFilter) {
  if (const PictureFormat* byName = pictureFormatForPath(path)) return *byName;
  if (selectedFilter >= 0 && selectedFilter < int(std::size(kFormats)))
    return kFormats[selectedFilter];
  return kFormats[0];
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
