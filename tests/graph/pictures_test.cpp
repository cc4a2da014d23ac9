// Pictures and pages of the graph as they leave the program: the converter's pictures of the
// golden data file against the view's own, labels found where they belong, PDF pages that
// keep their text, the light style for paper, and a lone sample that shows.
#include <gtest/gtest.h>

#include <QApplication>
#include <QBuffer>
#include <QFile>
#include <QPdfWriter>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <cmath>

#include "app/documents/datafile.h"
#include "app/graph/graphmodel.h"
#include "app/graphview/graphview.h"
#include "app/headless/cli.h"
#include "app/outputs/outputs.h"
#include "tests/support/picturecheck.h"
#include "tests/support/scripteddialogs.h"

namespace zrvlog {
namespace {

using zrv::Variant;
using zrvtest::Blob;

QString goldenFile() {
  return qEnvironmentVariable("ZRV_TEST_DATA") + QStringLiteral("/golden.zrv");
}

// The converter, as a user runs it.
int convert(const QStringList& args) {
  QProcess p;
  p.start(qEnvironmentVariable("ZRV_BIN_DIR") + QStringLiteral("/zrvlog"),
          QStringList{QStringLiteral("--convert")} + args);
  if (!p.waitForFinished(60000)) return -1;
  EXPECT_TRUE(p.readAllStandardError().isEmpty() || p.exitCode() == 0);
  return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

// A data file loaded as the converter loads it, in a view shown at a size.
struct Loaded {
  explicit Loaded(const QString& file, QSize size) : view(files.document.graph(), dialogs) {
    EXPECT_TRUE(loadDataFile(file, files.document).ok()) << file.toStdString();
    view.resize(size);
    view.show();
    QApplication::processEvents();
    view.replotNow();
  }
  cli::FileDocument files;
  zrvtest::ScriptedDialogs dialogs;
  GraphView view;
};

// The axis value a label names ("0.66 V" names 0.66).
double valueOf(const QString& label) {
  static const QRegularExpression number(QStringLiteral("-?[0-9.]+(e[-+][0-9]+)?"));
  return number.match(label).captured().toDouble();
}

// Every label of the view, found as ink beside the plot where its grid line is.
void expectLabelsWhereTheyBelong(const QImage& image, Loaded& g, QRgb background) {
  const QRect plot = g.view.plotRect();
  const QStringList yLabels = g.view.tickLabels(Qt::Vertical);
  const QStringList xLabels = g.view.tickLabels(Qt::Horizontal);
  ASSERT_GE(yLabels.size(), 3) << yLabels.join(u' ').toStdString();
  ASSERT_GE(xLabels.size(), 3) << xLabels.join(u' ').toStdString();
  // The ends of the Y labels, right-aligned beside the plot (the axis title is further out).
  const std::vector<Blob> rows =
      zrvtest::inkBlobs(image, QRect(plot.left() - 24, plot.top() - 12, 20, plot.height() + 24),
                        background, Qt::Vertical, 2);
  ASSERT_EQ(rows.size(), size_t(yLabels.size())) << yLabels.join(u' ').toStdString();
  for (qsizetype i = 0; i < yLabels.size(); ++i) {
    // Labels run bottom to top, ink top to bottom.
    const double y = g.view.toPixel(g.view.model().rangeX().lower, valueOf(yLabels[i])).y();
    EXPECT_NEAR(rows[size_t(yLabels.size() - 1 - i)].centre(), y, 5) << yLabels[i].toStdString();
  }
  // The label row under the plot, inside the frame drawn around the picture.
  const QRect labelRow = QRect(plot.left() - 40, plot.bottom() + 8, plot.width() + 80, 8)
                             .intersected(image.rect().adjusted(3, 3, -3, -3));
  const std::vector<Blob> columns =
      zrvtest::inkBlobs(image, labelRow, background, Qt::Horizontal, 5);
  ASSERT_EQ(columns.size(), size_t(xLabels.size())) << xLabels.join(u' ').toStdString();
  for (qsizetype i = 0; i < xLabels.size(); ++i) {
    const double x = g.view.toPixel(valueOf(xLabels[i]), 0).x();
    EXPECT_NEAR(columns[size_t(i)].centre(), x, 5) << xLabels[i].toStdString();
  }
}

TEST(Pictures, TheGoldenFileConvertsToTheViewsPictureWithEveryLabelInPlace) {
  QTemporaryDir dir;
  const QSize size(800, 500);
  Loaded g(goldenFile(), size);
  const struct {
    const char* format;
    const char* style;
    PictureStyle pictureStyle;
    QRgb background;
  } cases[] = {
      {"png", "shown", PictureStyle::AsShown, qRgb(0x28, 0x28, 0x28)},
      {"bmp", "shown", PictureStyle::AsShown, qRgb(0x28, 0x28, 0x28)},
      {"png", "light", PictureStyle::Light, qRgb(255, 255, 255)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.format) + " " + c.style);
    const QString out = dir.filePath(QStringLiteral("golden.") + QLatin1String(c.format));
    ASSERT_EQ(convert({goldenFile(), QStringLiteral("--") + QLatin1String(c.format), out,
                       QStringLiteral("--size"), QStringLiteral("800x500"),
                       QStringLiteral("--style"), QLatin1String(c.style)}),
              0);
    QImage converted(out);
    ASSERT_EQ(converted.size(), size);
    const QImage shown = g.view.picture({QSize(), c.pictureStyle});
    EXPECT_LT(zrvtest::differingShare(converted, shown), 0.001)
        << "the converter draws what the window exports at that size";
    expectLabelsWhereTheyBelong(converted, g, c.background);
  }
}

TEST(Pictures, FilesWithAnyYGridCountConvert) {
  // Files like these stopped the converter before it wrote anything.
  QFile golden(goldenFile());
  ASSERT_TRUE(golden.open(QIODevice::ReadOnly));
  const QByteArray text = golden.readAll();
  QTemporaryDir dir;
  for (int steps : {5, 6, 7, 9, 12}) {
    SCOPED_TRACE(steps);
    QByteArray changed = text;
    changed.replace("0,-.5,12.5,5.25", "0,0,100,5")
        .replace("20,10\r\n", "20," + QByteArray::number(steps) + "\r\n")
        .replace("#FALSE#,#TRUE#\r\n", "#FALSE#,#FALSE#\r\n");
    const QString file = dir.filePath(QStringLiteral("steps%1.zrv").arg(steps));
    QFile out(file);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(changed);
    out.close();
    const QString png = dir.filePath(QStringLiteral("steps%1.png").arg(steps));
    ASSERT_EQ(convert({file, QStringLiteral("--png"), png}), 0);
    Loaded g(file, QSize(1024, 768));
    ASSERT_EQ(g.files.document.graph().graphValue(GraphMember::GridCountY).integerValue(), steps);
    expectLabelsWhereTheyBelong(QImage(png), g, qRgb(0x28, 0x28, 0x28));
  }
}

// The words of a page as pdftotext -bbox gives them, in points.
struct PageWords {
  double width = 0, height = 0;
  std::vector<QRectF> boxes;
};

PageWords wordsOf(const QString& pdf) {
  PageWords page;
  const QString html = zrvtest::pdfText(pdf, {QStringLiteral("-bbox")});
  static const QRegularExpression pageSize(
      QStringLiteral(R"re(<page width="([0-9.]+)" height="([0-9.]+)")re"));
  const auto m = pageSize.match(html);
  page.width = m.captured(1).toDouble();
  page.height = m.captured(2).toDouble();
  static const QRegularExpression word(QStringLiteral(
      R"re(<word xMin="([0-9.]+)" yMin="([0-9.]+)" xMax="([0-9.]+)" yMax="([0-9.]+)")re"));
  for (auto it = word.globalMatch(html); it.hasNext();) {
    const auto w = it.next();
    page.boxes.push_back(QRectF(QPointF(w.captured(1).toDouble(), w.captured(2).toDouble()),
                                QPointF(w.captured(3).toDouble(), w.captured(4).toDouble())));
  }
  return page;
}

// The labels of a page laid out from a picture width, as savePdf lays it out.
QStringList pageLabels(GraphView& view, int width, Qt::Orientation axis, PictureStyle style) {
  QBuffer buffer;
  buffer.open(QIODevice::WriteOnly);
  QPdfWriter pdf(&buffer);
  pdf.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Landscape,
                                QMarginsF(10, 10, 10, 10), QPageLayout::Millimeter));
  return view.tickLabels(axis, {GraphView::pageSize(pdf, width), style});
}

QString oneLine(const QString& text) {
  return QString(text).replace(u'\n', u' ').simplified();
}

TEST(Pictures, PagesKeepTheirTextAtItsSizeFillThePageAndEmbedTheirFonts) {
  QTemporaryDir dir;
  Loaded g(goldenFile(), QSize(800, 500));
  g.files.document.graph().setProperty(GraphMember::LegendOn, Variant(true));
  const QString legendFile = dir.filePath(QStringLiteral("legend.zrv"));
  ASSERT_TRUE(saveDataFile(legendFile, g.files.document).ok);
  const struct {
    const char* name;
    std::function<QString()> make;
    PictureStyle style;
  } cases[] = {
      {"--convert --pdf",
       [&] {
         const QString out = dir.filePath(QStringLiteral("c.pdf"));
         EXPECT_EQ(convert({legendFile, QStringLiteral("--pdf"), out, QStringLiteral("--size"),
                            QStringLiteral("800x500")}),
                   0);
         return out;
       },
       PictureStyle::AsShown},
      {"--convert --pdf --style light",
       [&] {
         const QString out = dir.filePath(QStringLiteral("l.pdf"));
         EXPECT_EQ(convert({legendFile, QStringLiteral("--pdf"), out, QStringLiteral("--size"),
                            QStringLiteral("800x500"), QStringLiteral("--style"),
                            QStringLiteral("light")}),
                   0);
         return out;
       },
       PictureStyle::Light},
      {"the view's export",
       [&] {
         const QString out = dir.filePath(QStringLiteral("v.pdf"));
         g.view.savePdf(out, {});
         return out;
       },
       PictureStyle::AsShown},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const QString pdf = c.make();
    const QString text = oneLine(zrvtest::pdfText(pdf));
    for (Qt::Orientation axis : {Qt::Horizontal, Qt::Vertical})
      for (const QString& label : pageLabels(g.view, 800, axis, c.style))
        EXPECT_TRUE(text.contains(label)) << label.toStdString() << " in " << text.toStdString();
    for (const char* word : {"Pressure test", "Time (s)", "Volts", "Channel 1", "Channel 5"})
      EXPECT_TRUE(text.contains(QLatin1String(word))) << word;
    EXPECT_TRUE(zrvtest::fontsEmbedded(pdf));

    const PageWords page = wordsOf(pdf);
    ASSERT_GT(page.width, page.height) << "landscape";
    ASSERT_FALSE(page.boxes.empty());
    QRectF all;
    for (const QRectF& box : page.boxes) {
      all = all.united(box);
      // 9 point labels on a graph 500 pixels high on screen stay about 2.4% of its height
      // (the Y axis title stands on end: its box is tall).
      if (box.width() > box.height()) {
        EXPECT_LT(box.height(), page.height * 0.04) << "text far larger than on screen";
      }
    }
    // The graph fills the page inside its margins (10 mm, 28 points).
    EXPECT_LT(all.left(), 0.1 * page.width);
    EXPECT_GT(all.right(), 0.9 * page.width);
    EXPECT_LT(all.top(), 0.1 * page.height);
    EXPECT_GT(all.bottom(), 0.9 * page.height);
  }
}

// A shown view of the default graph with a green element.
struct Plain {
  Plain() : view(model, dialogs) {
    view.resize(500, 350);
    view.show();
    QApplication::processEvents();
  }
  QRgb at(const QImage& image, double x, double y) const {
    return image.pixel(view.toPixel(x, y).toPoint());
  }
  zrvtest::ScriptedDialogs dialogs;
  GraphModel model;
  GraphView view;
};

TEST(Pictures, TheLightStyleIsForPaper) {
  Plain p;
  for (int i = 0; i <= 100; ++i)
    p.model.addPoint(i * 0.1, 5.0, 0);
  p.model.setProperty(GraphMember::ElementLineWidth, Variant(int32_t(3)));
  p.view.replotNow();
  const QImage shown = p.view.picture();
  const QImage light = p.view.picture({QSize(), PictureStyle::Light});
  EXPECT_EQ(p.at(shown, 5.5, 3), qRgb(0, 0, 0)) << "the plot area as shown";
  EXPECT_EQ(p.at(light, 5.5, 3), qRgb(255, 255, 255)) << "white paper";
  EXPECT_EQ(light.pixel(2, 2), qRgb(255, 255, 255));
  EXPECT_EQ(p.at(shown, 5.5, 5), qRgb(0, 255, 0));
  // The screen's bright green is darkened until it shows on white, and stays green.
  const QRgb line = p.at(light, 5.5, 5);
  EXPECT_GT(qGreen(line), 80);
  EXPECT_LT(qGreen(line), 200);
  EXPECT_LT(qRed(line) + qBlue(line), 40);
  // Drawing a light picture leaves the screen as it was.
  EXPECT_EQ(p.at(p.view.picture(), 5.5, 3), qRgb(0, 0, 0));
}

TEST(Pictures, ALoneSampleIsMarked) {
  const struct {
    const char* name;
    int points;
    int32_t lineStyle;
    bool shows;
  } cases[] = {
      {"one sample", 1, 0, true},
      {"one sample, dashed line", 1, 1, true},
      {"one sample, no line asked for", 1, 5, false},
      {"two samples: the line shows them", 2, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Plain p;
    for (int i = 0; i < c.points; ++i)
      p.model.addPoint(5 + i, 5, 0);
    p.model.setProperty(GraphMember::ElementLineStyle, Variant(c.lineStyle));
    const QImage image = p.view.picture();
    const QPoint at = p.view.toPixel(5, 5).toPoint();
    bool green = false;
    for (int dx = -1; dx <= 1; ++dx)
      for (int dy = -1; dy <= 1; ++dy)
        green |= qGreen(image.pixel(at + QPoint(dx, dy))) > 100;
    EXPECT_EQ(green, c.shows);
  }
}

}  // namespace
}  // namespace zrvlog
