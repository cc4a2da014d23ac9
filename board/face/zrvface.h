#pragma once
// The face of a ZRVIO on a host's form: what a form designer sees while laying the form out.
// In design mode a label "Corvane ZRV" spans the whole width, vertically centred on black;
// at run time the label is hidden and the face is transparent, so the control shows nothing.
//
// It is a companion of libzrv (libzrvface, Qt Widgets), so that the control library itself
// needs no widgets. The face asks the host for the mode each time it lays itself out: on
// every paint and resize, and when the host calls refresh() after switching modes.

#include <QLabel>
#include <QWidget>

namespace zrv {

class Host;

class ZrvFace : public QWidget {
  Q_OBJECT

 public:
  /// `host` (not owned, null for the default host, which is at run time) must outlive the
  /// face.
  explicit ZrvFace(Host* host = nullptr, QWidget* parent = nullptr);

  /// The caption label, FACE.
  QLabel* face() const { return m_face; }
  /// Lays the face out for the host's current mode.
  void refresh();

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  Host& host() const;

  Host* m_host;
  QLabel* m_face;
};

}  // namespace zrv
