// Publishing a run's samples to a broker, as the Options dialog's Publish page sets it: the
// broker entry of the output registry, started at start-up and after each Apply, with its
// state in the status bar.
#include <QFontMetrics>
#include <QStatusBar>
#include <QTimer>
#include <algorithm>

#include "app/mainwindow/elidedlabel.h"
#include "app/mainwindow/frmmain.h"
#include "app/outputs/livepublish.h"
#include "app/settings/storedsettings.h"

namespace zrvlog {

void frmMain::initPublishing() {
  m_publishState = new ElidedLabel(QString(), statusBar());
  m_publishState->setObjectName(QStringLiteral("panelPublish"));
  m_publishState->setPurpose(QStringLiteral("Publishing to the broker (View > Options > Publish)"));
  m_publishState->setFrameShape(QFrame::StyledPanel);
  m_publishState->setFrameShadow(QFrame::Sunken);
  m_publishState->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  statusBar()->insertPermanentWidget(0, m_publishState, 6);
  m_publishState->hide();
  // The broker's state changes on the publisher's thread; once a second is soon enough.
  auto* refresh = new QTimer(this);
  connect(refresh, &QTimer::timeout, this, &frmMain::showPublishing);
  refresh->start(1000);
  // Settings applied during a run take over once it has ended, so a run's samples all go
  // to one broker under one run.
  connect(m_engine.get(), &AcquisitionEngine::runningChanged, this, [this](bool running) {
    if (!running && m_publishPending) restartPublishing();
  });
}

void frmMain::restartPublishing() {
  if (m_engine->running()) {
    m_publishPending = true;
    return;
  }
  m_publishPending = false;
  m_publisher.reset();
  m_publishProblem.clear();
  const PublishSettings settings = m_stored->publishSettings();
  if (settings.enabled) {
    QString why;
    auto options =
        publisherOptions(settings.url(), settings.tls ? settings.caFile : QString(), &why);
    if (options) {
      options->outboxLimit = std::uint64_t(settings.outboxMB) << 20;
      auto publisher = std::make_unique<LivePublisher>(*m_engine, *options);
      if (const auto problem = publisher->start())
        why = *problem;
      else
        m_publisher = std::move(publisher);
    }
    if (!m_publisher) m_publishProblem = QStringLiteral("Not publishing: %1").arg(why);
  }
  showPublishing();
}

QString frmMain::publishStatus() const {
  if (m_publisher) return m_publisher->statusText();
  return m_publishProblem;
}

void frmMain::showPublishing() {
  const QString text = publishStatus();
  m_publishState->setVisible(!text.isEmpty());
  m_publishState->setText(text);
  // Its whole text, up to a quarter of the window; beyond, it elides and the tooltip holds
  // the rest.
  const QFontMetrics metrics = m_publishState->fontMetrics();
  const int whole = metrics.horizontalAdvance(text) + 2 * m_publishState->frameWidth() +
                    metrics.averageCharWidth();
  m_publishState->setMinimumWidth(std::clamp(whole, 20, std::max(20, width() / 4)));
}

}  // namespace zrvlog
