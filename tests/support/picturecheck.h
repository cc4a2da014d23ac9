#pragma once
// Checks of pictures and PDF pages that hold whatever fonts the machine renders with: text
// is looked for as ink where labels belong, or read back from a PDF with pdftotext
// (poppler-utils), never compared pixel by pixel with a stored picture.

#include <gtest/gtest.h>

#include <QImage>
#include <QProcess>
#include <QStringList>
#include <vector>

namespace zrvtest {

/// The text of a PDF as pdftotext gives it (extra arguments such as "-bbox" go first).
inline QString pdfText(const QString& pdf, const QStringList& options = {}) {
  QProcess p;
  p.start(QStringLiteral("pdftotext"), options + QStringList{pdf, QStringLiteral("-")});
  if (!p.waitForFinished(30000) || p.exitCode() != 0) {
    ADD_FAILURE() << "pdftotext failed on " << pdf.toStdString()
                  << " (is poppler-utils installed? scripts/install-deps)";
    return {};
  }
  return QString::fromUtf8(p.readAllStandardOutput());
}

/// Whether every font of a PDF is embedded, as pdffonts lists them.
inline ::testing::AssertionResult fontsEmbedded(const QString& pdf) {
  QProcess p;
  p.start(QStringLiteral("pdffonts"), {pdf});
  if (!p.waitForFinished(30000) || p.exitCode() != 0)
    return ::testing::AssertionFailure() << "pdffonts failed";
  const QStringList lines = QString::fromUtf8(p.readAllStandardOutput()).split(u'\n');
  int fonts = 0;
  for (qsizetype i = 2; i < lines.size(); ++i) {  // after the heading and its rule
    const QStringList fields = lines[i].split(u' ', Qt::SkipEmptyParts);
    if (fields.size() < 6) continue;
    ++fonts;
    // name, type (one or more words), encoding, emb, sub, uni, object, generation
    if (fields[fields.size() - 5] != QLatin1String("yes"))
      return ::testing::AssertionFailure() << "not embedded: " << lines[i].toStdString();
  }
  if (fonts == 0) return ::testing::AssertionFailure() << "no fonts: the text was lost";
  return ::testing::AssertionSuccess();
}

/// A run of inked rows (or columns) in a strip of a picture: where a label sits.
struct Blob {
  int from, to;
  double centre() const { return (from + to) / 2.0; }
};

/// The blobs across a strip: along Y (rows with ink) for Qt::Vertical, along X for
/// Qt::Horizontal. Ink is any pixel far from the background colour; runs closer than gap
/// merge (the letters of one label).
inline std::vector<Blob> inkBlobs(const QImage& image, QRect strip, QRgb background,
                                  Qt::Orientation along, int gap = 4) {
  strip = strip.intersected(image.rect());
  auto inked = [&](int x, int y) {
    const QRgb p = image.pixel(x, y);
    return std::abs(qRed(p) - qRed(background)) + std::abs(qGreen(p) - qGreen(background)) +
               std::abs(qBlue(p) - qBlue(background)) >
           150;
  };
  std::vector<Blob> blobs;
  const int first = along == Qt::Vertical ? strip.top() : strip.left();
  const int last = along == Qt::Vertical ? strip.bottom() : strip.right();
  for (int i = first; i <= last; ++i) {
    bool any = false;
    const int from = along == Qt::Vertical ? strip.left() : strip.top();
    const int to = along == Qt::Vertical ? strip.right() : strip.bottom();
    for (int j = from; j <= to && !any; ++j)
      any = along == Qt::Vertical ? inked(j, i) : inked(i, j);
    if (!any) continue;
    if (!blobs.empty() && i - blobs.back().to <= gap)
      blobs.back().to = i;
    else
      blobs.push_back({i, i});
  }
  return blobs;
}

/// The share of pixels that differ between two pictures of one size (1 when sizes differ).
inline double differingShare(const QImage& a, const QImage& b) {
  if (a.size() != b.size()) return 1.0;
  const QImage x = a.convertToFormat(QImage::Format_RGB32);
  const QImage y = b.convertToFormat(QImage::Format_RGB32);
  qint64 differ = 0;
  for (int r = 0; r < x.height(); ++r)
    for (int c = 0; c < x.width(); ++c)
      differ += x.pixel(c, r) != y.pixel(c, r);
  return double(differ) / (double(x.width()) * x.height());
}

}  // namespace zrvtest
