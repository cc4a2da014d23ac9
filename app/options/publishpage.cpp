#include "app/options/publishpage.h"

#include <QApplication>
#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <thread>

#include "app/appinfo/appinfo.h"
#include "app/dialogs/dialogs.h"
#include "app/outputs/livepublish.h"

namespace zrvlog {

namespace {

// Long enough for a broker across a slow network, short enough to wait for.
constexpr std::chrono::seconds kTrialWait{5};

QLineEdit* lineEdit(const char* name, const QString& label, QWidget* parent) {
  auto* box = new QLineEdit(parent);
  box->setObjectName(QLatin1String(name));
  box->setProperty("label", label);
  return box;
}

}  // namespace

PublishPage::PublishPage(StoredSettings& stored, Dialogs& dialogs, std::function<void()> applied,
                         QWidget* parent)
    : OptionsPage(parent), m_stored(stored), m_dialogs(dialogs), m_applied(std::move(applied)) {
  setObjectName(QStringLiteral("pagePublish"));
  chkPublish = new QCheckBox(QStringLiteral("&Publish every sample to a broker while recording"));
  chkPublish->setObjectName(QStringLiteral("chkPublish"));
  txtHost = lineEdit("txtHost", QStringLiteral("Broker"), this);
  txtHost->setPlaceholderText(QStringLiteral("broker.lab or 192.168.1.10"));
  spnPort = new QSpinBox;
  spnPort->setObjectName(QStringLiteral("spnPort"));
  spnPort->setRange(0, 65535);
  spnPort->setSpecialValueText(QStringLiteral("standard"));
  spnPort->setToolTip(QStringLiteral("standard: 1883, or 8883 with TLS"));
  txtTopic = lineEdit("txtTopic", QStringLiteral("Topic"), this);
  txtTopic->setPlaceholderText(QStringLiteral("lab/bench1"));
  txtUser = lineEdit("txtUser", QStringLiteral("User"), this);
  txtUser->setPlaceholderText(QStringLiteral("none"));
  txtPassword = lineEdit("txtPassword", QStringLiteral("Password"), this);
  txtPassword->setEchoMode(QLineEdit::Password);
  txtPassword->setPlaceholderText(QStringLiteral("unchanged"));
  chkTls = new QCheckBox(QStringLiteral("&TLS (mqtts), checked with the system's CAs"));
  chkTls->setObjectName(QStringLiteral("chkTls"));
  txtCaFile = lineEdit("txtCaFile", QStringLiteral("Private CA"), this);
  txtCaFile->setPlaceholderText(QStringLiteral("none: the system's CAs"));
  cmdCaFile = new QPushButton(QStringLiteral("&Browse..."));
  cmdCaFile->setObjectName(QStringLiteral("cmdCaFile"));
  spnOutbox = new QSpinBox;
  spnOutbox->setObjectName(QStringLiteral("spnOutbox"));
  spnOutbox->setRange(1, 1048576);
  spnOutbox->setSuffix(QStringLiteral(" MB"));
  cmdTest = new QPushButton(QStringLiteral("Test &connection"));
  cmdTest->setObjectName(QStringLiteral("cmdTest"));
  lblTest = new QLabel;
  lblTest->setObjectName(QStringLiteral("lblTest"));
  lblTest->setWordWrap(true);
  lblTest->setTextInteractionFlags(Qt::TextSelectableByMouse);

  auto* form = new QFormLayout;
  auto* hostRow = new QHBoxLayout;
  hostRow->addWidget(txtHost, 1);
  hostRow->addWidget(new QLabel(QStringLiteral("Port:")));
  hostRow->addWidget(spnPort);
  // A row of several controls gets its label's buddy by hand, or its & would show.
  const auto label = [](const QString& text, QWidget* buddy) {
    auto* l = new QLabel(text);
    l->setBuddy(buddy);
    return l;
  };
  form->addRow(label(QStringLiteral("&Broker:"), txtHost), hostRow);
  form->addRow(QStringLiteral("T&opic:"), txtTopic);
  form->addRow(QStringLiteral("&User:"), txtUser);
  form->addRow(QStringLiteral("Pass&word:"), txtPassword);
  const QString passwordFile = QString::fromStdString(publish::passwordFile().string());
  auto* passwordNote = new QLabel(
      QStringLiteral("A password typed here is kept in %1, readable by you alone (the file "
                     "zrvlog --publish reads), never in the settings file. "
                     "ZRVLOG_MQTT_PASSWORD, when set, comes first.")
          .arg(passwordFile));
  passwordNote->setObjectName(QStringLiteral("lblPasswordNote"));
  passwordNote->setWordWrap(true);
  form->addRow(QString(), passwordNote);
  form->addRow(QString(), chkTls);
  auto* caRow = new QHBoxLayout;
  caRow->addWidget(txtCaFile, 1);
  caRow->addWidget(cmdCaFile);
  form->addRow(label(QStringLiteral("Private &CA:"), txtCaFile), caRow);
  form->addRow(QStringLiteral("Out&box:"), spnOutbox);
  auto* outboxNote = new QLabel(
      QStringLiteral("Samples wait there while the broker cannot be reached; when it is full "
                     "the oldest are dropped."));
  outboxNote->setWordWrap(true);
  form->addRow(QString(), outboxNote);
  auto* testRow = new QHBoxLayout;
  testRow->addWidget(cmdTest);
  testRow->addWidget(lblTest, 1);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(chkPublish);
  layout->addLayout(form);
  layout->addLayout(testRow);
  layout->addStretch(1);

  const PublishSettings p = m_stored.publishSettings();
  chkPublish->setChecked(p.enabled);
  txtHost->setText(p.host);
  spnPort->setValue(p.port);
  txtTopic->setText(p.topic);
  txtUser->setText(p.user);
  chkTls->setChecked(p.tls);
  txtCaFile->setText(p.caFile);
  spnOutbox->setValue(p.outboxMB);
  showTls();

  connect(chkTls, &QCheckBox::toggled, this, &PublishPage::showTls);
  connect(cmdTest, &QPushButton::clicked, this, &PublishPage::cmdTest_Click);
  connect(cmdCaFile, &QPushButton::clicked, this, [this] {
    const QString file = m_dialogs.openFile(
        this, FileRequest(QStringLiteral("The broker's CA certificate"),
                          QStringLiteral("Certificates (*.crt *.pem)|*.crt;*.pem|All Files|*.*")));
    if (!file.isEmpty()) txtCaFile->setText(file);
  });
}

PublishPage::~PublishPage() = default;

void PublishPage::showTls() {
  txtCaFile->setEnabled(chkTls->isChecked());
  cmdCaFile->setEnabled(chkTls->isChecked());
}

PublishSettings PublishPage::fields() const {
  PublishSettings p;
  p.enabled = chkPublish->isChecked();
  p.host = txtHost->text().trimmed();
  p.port = spnPort->value();
  p.topic = txtTopic->text().trimmed();
  p.user = txtUser->text().trimmed();
  p.tls = chkTls->isChecked();
  p.caFile = txtCaFile->text().trimmed();
  p.outboxMB = spnOutbox->value();
  return p;
}

void PublishPage::refuse(QWidget* field, const QString& text) {
  field->setFocus();
  m_dialogs.message(this, text, kAppTitle, Buttons::Ok, Icon::None);
}

std::optional<publish::PublisherOptions> PublishPage::check() {
  const PublishSettings p = fields();
  if (p.host.isEmpty()) {
    refuse(txtHost, QStringLiteral("Broker: enter the broker's host name or address."));
    return std::nullopt;
  }
  if (p.topic.isEmpty()) {
    refuse(txtTopic,
           QStringLiteral("Topic: enter the topic to publish under, such as lab/bench1."));
    return std::nullopt;
  }
  // The password typed here counts before it is stored; the others are read as zrvlog
  // --publish reads them.
  QByteArray password = qgetenv("ZRVLOG_MQTT_PASSWORD");
  const bool typed = !txtPassword->text().isEmpty() && password.isNull();
  QString why;
  const QString url = PublishSettings{p}.url();
  std::optional<publish::PublisherOptions> options;
  if (typed) {
    PublishSettings noUser = p;
    noUser.user.clear();
    options = publisherOptions(noUser.url(), p.tls ? p.caFile : QString(), &why);
    if (options) {
      options->url.user = p.user.toStdString();
      options->password = txtPassword->text().toStdString();
    }
  } else {
    options = publisherOptions(url, p.tls ? p.caFile : QString(), &why);
  }
  if (!options) {
    QWidget* field = why.contains(QLatin1String("topic"))      ? txtTopic
                     : why.contains(QLatin1String("password")) ? txtPassword
                     : why.contains(QLatin1String("CA"))       ? txtCaFile
                     : why.contains(QLatin1String("user"))     ? txtUser
                                                               : txtHost;
    refuse(field, QStringLiteral("The broker's settings cannot be used:\n") + why);
    return std::nullopt;
  }
  options->outboxLimit = std::uint64_t(p.outboxMB) << 20;
  return options;
}

bool PublishPage::validate() {
  // Off, the fields are kept as they are, complete or not.
  if (!chkPublish->isChecked()) return true;
  return check().has_value();
}

void PublishPage::apply() {
  if (!m_stored.setPublishSettings(fields()))
    m_dialogs.message(this, QStringLiteral("The publishing settings could not be stored."),
                      kAppTitle, Buttons::Ok, Icon::None);
  if (!txtPassword->text().isEmpty()) {
    std::string why;
    if (publish::storePassword(txtPassword->text().toStdString(), &why))
      txtPassword->clear();
    else
      m_dialogs.message(this, QString::fromStdString(why), kAppTitle, Buttons::Ok, Icon::None);
  }
  if (m_applied) m_applied();
}

void PublishPage::cmdTest_Click() {
  const std::optional<publish::PublisherOptions> options = check();
  if (!options) return;
  cmdTest->setEnabled(false);
  lblTest->setText(
      QStringLiteral("Asking %1...").arg(QString::fromStdString(options->url.display())));
  // The answer may take seconds: the window goes on meanwhile, and a page closed before it
  // comes is simply not told.
  QPointer<PublishPage> self(this);
  std::thread([self, options = *options] {
    const publish::TrialResult result = publish::tryBroker(options, kTrialWait);
    QMetaObject::invokeMethod(qApp, [self, result] {
      if (!self) return;
      self->cmdTest->setEnabled(true);
      self->lblTest->setText(QString::fromStdString(result.message));
      emit self->testFinished(result.ok, QString::fromStdString(result.message));
    });
  }).detach();
}

}  // namespace zrvlog
