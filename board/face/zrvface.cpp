#include "board/face/zrvface.h"

#include <QPaintEvent>
#include <QPainter>

#include "board/host.h"

namespace zrv {

ZrvFace::ZrvFace(Host* host, QWidget* parent)
    : QWidget(parent), m_host(host), m_face(new QLabel(QStringLiteral("Corvane ZRV"), this)) {
  m_face->setObjectName(QStringLiteral("FACE"));
  m_face->setAlignment(Qt::AlignCenter);
  QPalette text = m_face->palette();
  text.setColor(QPalette::WindowText, Qt::white);
  m_face->setPalette(text);
  refresh();
}

Host& ZrvFace::host() const {
  return m_host ? *m_host : defaultHost();
}

QSize ZrvFace::sizeHint() const {
  const QSize text = m_face->sizeHint();
  return {text.width() + 16, text.height() + 16};
}

void ZrvFace::refresh() {
  const bool design = host().designMode();
  const int height = m_face->sizeHint().height();
  m_face->setGeometry(0, (this->height() - height) / 2, width(), height);
  // Only a change is applied: this runs on every paint, and a change asks for another.
  if (m_face->isVisibleTo(this) != design) m_face->setVisible(design);
}

void ZrvFace::paintEvent(QPaintEvent* event) {
  refresh();
  // Opaque black while the form is laid out; at run time nothing is painted, so the host's
  // form shows through.
  if (host().designMode()) QPainter(this).fillRect(event->rect(), Qt::black);
}

void ZrvFace::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  refresh();
}

}  // namespace zrv
