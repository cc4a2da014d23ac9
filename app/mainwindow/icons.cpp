#include "icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <cmath>

namespace zrvlog {

namespace {

constexpr int kSize = 48;  // drawn large, scaled down by the toolbar
const QColor kInk(0x30, 0x34, 0x3a);
const QColor kPaper(0xfa, 0xfa, 0xf7);

QPen inkPen(qreal width = 2.5) {
  return QPen(kInk, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

void drawPage(QPainter& p, QRectF r) {
  const qreal fold = r.width() * 0.3;
  QPainterPath page;
  page.moveTo(r.left(), r.top());
  page.lineTo(r.right() - fold, r.top());
  page.lineTo(r.right(), r.top() + fold);
  page.lineTo(r.right(), r.bottom());
  page.lineTo(r.left(), r.bottom());
  page.closeSubpath();
  p.setPen(inkPen());
  p.setBrush(kPaper);
  p.drawPath(page);
  p.drawPolyline(
      QPolygonF({QPointF(r.right() - fold, r.top()), QPointF(r.right() - fold, r.top() + fold),
                 QPointF(r.right(), r.top() + fold)}));
}

void drawNew(QPainter& p) {
  drawPage(p, QRectF(10, 5, 26, 36));
  p.setPen(QPen(QColor(0x2e, 0x9d, 0x4b), 4, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(36, 32), QPointF(36, 44));
  p.drawLine(QPointF(30, 38), QPointF(42, 38));
}

void drawOpen(QPainter& p) {
  p.setPen(inkPen());
  p.setBrush(QColor(0xe8, 0xb9, 0x4a));
  QPainterPath back;
  back.moveTo(5, 40);
  back.lineTo(5, 10);
  back.lineTo(17, 10);
  back.lineTo(21, 15);
  back.lineTo(38, 15);
  back.lineTo(38, 22);
  p.drawPath(back);
  p.setBrush(QColor(0xf4, 0xcf, 0x6e));
  p.drawPolygon(QPolygonF({QPointF(5, 40), QPointF(12, 22), QPointF(44, 22), QPointF(37, 40)}));
}

void drawSave(QPainter& p) {
  p.setPen(inkPen());
  p.setBrush(QColor(0x3b, 0x6e, 0xb4));
  p.drawRoundedRect(QRectF(7, 7, 34, 34), 3, 3);
  p.setBrush(kPaper);
  p.drawRect(QRectF(13, 7, 20, 12));
  p.setBrush(QColor(0xdd, 0xe3, 0xea));
  p.drawRect(QRectF(13, 26, 22, 15));
  p.setBrush(kInk);
  p.drawRect(QRectF(26, 9, 4, 8));
}

void drawPrint(QPainter& p) {
  p.setPen(inkPen());
  p.setBrush(kPaper);
  p.drawRect(QRectF(14, 5, 20, 14));
  p.setBrush(QColor(0x8a, 0x94, 0xa0));
  p.drawRoundedRect(QRectF(5, 17, 38, 17), 3, 3);
  p.setBrush(kPaper);
  p.drawRect(QRectF(14, 28, 20, 15));
  p.setPen(inkPen(1.5));
  p.drawLine(QPointF(18, 34), QPointF(30, 34));
  p.drawLine(QPointF(18, 38), QPointF(30, 38));
}

void drawCopy(QPainter& p) {
  drawPage(p, QRectF(6, 4, 22, 29));
  drawPage(p, QRectF(19, 15, 22, 29));
}

void drawRun(QPainter& p) {
  p.setPen(inkPen());
  p.setBrush(QColor(0x2e, 0x9d, 0x4b));
  p.drawPolygon(QPolygonF({QPointF(13, 7), QPointF(40, 24), QPointF(13, 41)}));
}

void drawStop(QPainter& p) {
  p.setPen(inkPen());
  p.setBrush(QColor(0xc8, 0x3a, 0x32));
  p.drawRoundedRect(QRectF(10, 10, 28, 28), 3, 3);
}

void drawOptions(QPainter& p) {
  // Three sliders: settings at a glance.
  p.setPen(inkPen(3));
  for (int i = 0; i < 3; ++i)
    p.drawLine(QPointF(8, 12 + 12 * i), QPointF(40, 12 + 12 * i));
  p.setPen(inkPen());
  p.setBrush(QColor(0x3b, 0x6e, 0xb4));
  const qreal knobs[] = {30, 16, 25};
  for (int i = 0; i < 3; ++i)
    p.drawEllipse(QPointF(knobs[i], 12 + 12 * i), 4.5, 4.5);
}

QIcon drawn(void (*draw)(QPainter&)) {
  QPixmap pixmap(kSize, kSize);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  draw(p);
  p.end();
  return QIcon(pixmap);
}

}  // namespace

QIcon toolIcon(ToolIcon which) {
  struct Source {
    const char* themeName;
    void (*draw)(QPainter&);
  };
  static const Source kSources[] = {
      {"document-new", drawNew},         {"document-open", drawOpen},
      {"document-save", drawSave},       {"document-print", drawPrint},
      {"edit-copy", drawCopy},           {"media-playback-start", drawRun},
      {"media-playback-stop", drawStop}, {"preferences-system", drawOptions},
  };
  const Source& source = kSources[static_cast<int>(which)];
  return QIcon::fromTheme(QString::fromLatin1(source.themeName), drawn(source.draw));
}

}  // namespace zrvlog
