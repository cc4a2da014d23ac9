#pragma once
// The splash window shown while the main window loads.

#include <QWidget>

class QLabel;

namespace zrvlog {

class frmSplash : public QWidget {
  Q_OBJECT

 public:
  explicit frmSplash(QWidget* parent = nullptr);

  QLabel* lblProductName;
  QLabel* lblVersion;
  /// A note that the board is simulated, shown in demo mode.
  void setSimulated(bool simulated);

 private:
  QLabel* m_simulated;
};

}  // namespace zrvlog
