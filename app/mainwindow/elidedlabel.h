#pragma once
// A status-bar panel that never cuts its text off mid-letter: a text wider than the panel
// ends in "…", and the tooltip then shows the whole of it under the panel's own tooltip.

#include <QLabel>
#include <functional>

namespace zrvlog {

class ElidedLabel : public QLabel {
  Q_OBJECT

 public:
  using QLabel::QLabel;

  /// What the panel is for; the tooltip starts with it.
  void setPurpose(const QString& purpose) { m_purpose = purpose; }
  /// A longer form of the text for the tooltip (panel 1's labelled values), built only when
  /// the tooltip is shown; none, or an empty result: the text itself.
  void setDetail(std::function<QString()> detail) { m_detail = std::move(detail); }
  /// Whether the text is wider than the panel.
  bool elided() const;
  /// The tooltip as it would show now.
  QString toolTipText() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool event(QEvent* event) override;

 private:
  QString m_purpose;
  std::function<QString()> m_detail;
};

}  // namespace zrvlog
