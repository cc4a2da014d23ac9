#include "elidedlabel.h"

#include <QHelpEvent>
#include <QPainter>
#include <QStyle>
#include <QToolTip>

namespace zrvlog {

namespace {
QRect textRect(const QLabel& label) {
  const int m = label.margin();
  return label.contentsRect().adjusted(m, 0, -m, 0);
}
}  // namespace

bool ElidedLabel::elided() const {
  return fontMetrics().horizontalAdvance(text()) > textRect(*this).width();
}

QString ElidedLabel::toolTipText() const {
  QString whole = m_detail ? m_detail() : QString();
  if (whole.isEmpty() && elided()) whole = text();
  if (whole.isEmpty()) return m_purpose;
  if (m_purpose.isEmpty()) return whole;
  return m_purpose + QStringLiteral("\n\n") + whole;
}

void ElidedLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  drawFrame(&painter);
  const QRect r = textRect(*this);
  const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, r.width());
  style()->drawItemText(&painter, r, int(alignment()), palette(), isEnabled(), shown,
                        foregroundRole());
}

bool ElidedLabel::event(QEvent* e) {
  if (e->type() == QEvent::ToolTip) {
    const QString tip = toolTipText();
    if (tip.isEmpty())
      QToolTip::hideText();
    else
      QToolTip::showText(static_cast<QHelpEvent*>(e)->globalPos(), tip, this);
    return true;
  }
  return QLabel::event(e);
}

}  // namespace zrvlog
