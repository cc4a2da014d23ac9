// The Options dialog's Publish page through its widgets: what Apply refuses (naming the
// field) or stores, where a typed password goes, the window's status text, and a "Test
// connection" that answers without blocking the window.
#include "app/options/publishpage.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCheckBox>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

#include "app/outputs/livepublish.h"
#include "tests/options/optionsfixture.h"
#include "tests/support/freeport.h"

namespace zrvlog {
namespace {

using zrvtest::OptionsFixture;

class PublishPageTest : public OptionsFixture {
 protected:
  void SetUp() override {
    OptionsFixture::SetUp();
    savedDataHome = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", dir.filePath(QStringLiteral("data")).toLocal8Bit());
    savedPassword = qgetenv("ZRVLOG_MQTT_PASSWORD");
    qunsetenv("ZRVLOG_MQTT_PASSWORD");
  }
  void TearDown() override {
    OptionsFixture::TearDown();
    qputenv("XDG_DATA_HOME", savedDataHome);
    if (!savedPassword.isNull()) qputenv("ZRVLOG_MQTT_PASSWORD", savedPassword);
  }
  static PublishPage& page(frmOptions& f) {
    auto* p = qobject_cast<PublishPage*>(f.morePages().value(0));
    EXPECT_NE(p, nullptr);
    return *p;
  }
  QByteArray savedDataHome, savedPassword;
};

TEST_F(PublishPageTest, ApplyRefusesNamingTheFieldOrStoresWithoutThePassword) {
  const int port = zrvtest::freeLoopbackPort();
  struct Case {
    const char* name;
    bool on;
    QString host, topic, user, password;
    bool tls;
    QString ca;
    bool accepted;
    QString says;      // in the message box, when refused
    QString focussed;  // the field that has the focus then
  };
  const Case cases[] = {
      {"off, nothing filled in", false, {}, {}, {}, {}, false, {}, true, {}, {}},
      {"no host",
       true,
       {},
       QStringLiteral("lab/b1"),
       {},
       {},
       false,
       {},
       false,
       QStringLiteral("Broker"),
       QStringLiteral("txtHost")},
      {"no topic",
       true,
       QStringLiteral("127.0.0.1"),
       {},
       {},
       {},
       false,
       {},
       false,
       QStringLiteral("Topic"),
       QStringLiteral("txtTopic")},
      {"a wildcard topic",
       true,
       QStringLiteral("127.0.0.1"),
       QStringLiteral("lab/+/b1"),
       {},
       {},
       false,
       {},
       false,
       QStringLiteral("wildcards"),
       QStringLiteral("txtTopic")},
      {"a host with a space",
       true,
       QStringLiteral("lab host"),
       QStringLiteral("lab/b1"),
       {},
       {},
       false,
       {},
       false,
       QStringLiteral("character"),
       QStringLiteral("txtHost")},
      {"a CA that is not there",
       true,
       QStringLiteral("127.0.0.1"),
       QStringLiteral("lab/b1"),
       {},
       {},
       true,
       QStringLiteral("/nonexistent/ca.pem"),
       false,
       QStringLiteral("cannot read the CA"),
       QStringLiteral("txtCaFile")},
      {"a user with a typed password",
       true,
       QStringLiteral("127.0.0.1"),
       QStringLiteral("lab/b1"),
       QStringLiteral("ann"),
       QStringLiteral("s3cret-word"),
       false,
       {},
       true,
       {},
       {}},
  };
  open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t messagesBefore = dialogs.messages().size();
    bool applied = false;
    scriptOptions([&](frmOptions& f) {
      PublishPage& p = page(f);
      p.chkPublish->setChecked(c.on);
      p.txtHost->setText(c.host);
      p.spnPort->setValue(port);
      p.txtTopic->setText(c.topic);
      p.txtUser->setText(c.user);
      p.txtPassword->setText(c.password);
      p.chkTls->setChecked(c.tls);
      p.txtCaFile->setText(c.ca);
      applied = f.cmdApply_Click();
      if (!c.accepted) {
        EXPECT_EQ(focusName(f), c.focussed);
      }
      EXPECT_EQ(f.selectedTab(), c.accepted ? 1 : 5) << "a refusal shows the page";
    });
    if (!c.accepted) dialogs.answerMessage(Answer::Ok);
    showOptions();
    EXPECT_EQ(applied, c.accepted);
    if (!c.accepted) {
      ASSERT_EQ(dialogs.messages().size(), messagesBefore + 1);
      EXPECT_TRUE(dialogs.messages().back().contains(c.says))
          << dialogs.messages().back().toStdString();
      continue;
    }
    const PublishSettings stored = window->storedSettings().publishSettings();
    EXPECT_EQ(stored.enabled, c.on);
    EXPECT_EQ(stored.host, c.host);
    EXPECT_EQ(stored.user, c.user);
    QFile ini(iniPath);
    ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
    EXPECT_FALSE(c.password.isEmpty() && ini.readAll().contains("s3cret")) << "in the settings";
    if (!c.password.isEmpty()) {
      const QString file = QString::fromStdString(publish::passwordFile().string());
      QFile secret(file);
      ASSERT_TRUE(secret.open(QIODevice::ReadOnly)) << file.toStdString();
      EXPECT_EQ(secret.readAll().trimmed(), c.password.toUtf8());
      struct stat st {};
      ASSERT_EQ(::stat(file.toLocal8Bit().constData(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0600u);
      ini.seek(0);
      EXPECT_FALSE(ini.readAll().contains(c.password.toUtf8()));
    }
    // On, the window publishes and says so: nobody answers on that port.
    if (c.on) {
      QDeadlineTimer until(10000);
      while (!window->publishStatus().startsWith(QLatin1String("Broker unreachable")) &&
             !until.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
      EXPECT_TRUE(
          window->publishStatus().startsWith(QLatin1String("Broker unreachable: 0 samples")))
          << window->publishStatus().toStdString();
    } else {
      EXPECT_EQ(window->publishStatus(), QString());
    }
  }
}

TEST_F(PublishPageTest, TestConnectionAnswersInPlainWordsWithoutBlocking) {
  const int port = zrvtest::freeLoopbackPort();
  open();
  withOptions([&](frmOptions& f) {
    PublishPage& p = page(f);
    p.chkPublish->setChecked(true);
    p.txtHost->setText(QStringLiteral("127.0.0.1"));
    p.spnPort->setValue(port);
    p.txtTopic->setText(QStringLiteral("lab/b1"));
    bool finished = false;
    QObject::connect(&p, &PublishPage::testFinished, [&] { finished = true; });
    p.cmdTest->click();
    // The click returned before the answer: the window's events go on meanwhile.
    EXPECT_FALSE(p.cmdTest->isEnabled());
    QDeadlineTimer until(15000);
    while (!finished && !until.hasExpired())
      QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    ASSERT_TRUE(finished);
    EXPECT_TRUE(p.cmdTest->isEnabled());
    EXPECT_TRUE(p.lblTest->text().startsWith(
        QStringLiteral("No broker answers at mqtt://127.0.0.1:%1").arg(port)))
        << p.lblTest->text().toStdString();
  });
}

TEST(PublishStatusText, SaysWhatTheBrokerLinkIsDoing) {
  using publish::Link;
  const struct {
    Link link;
    std::uint64_t waiting, dropped;
    QString why, text;
  } cases[] = {
      {Link::Connected, 3, 0, {}, QStringLiteral("Publishing to lab/bench1")},
      {Link::Connected,
       5000,
       0,
       {},
       QStringLiteral("Publishing to lab/bench1 (5,000 samples to send)")},
      {Link::Unreachable, 1234, 0, {}, QStringLiteral("Broker unreachable: 1,234 samples waiting")},
      {Link::Unreachable,
       1,
       7,
       {},
       QStringLiteral("Broker unreachable: 1 sample waiting; 7 dropped (outbox full)")},
      {Link::Refused, 0, 0, QStringLiteral("wrong user name or password"),
       QStringLiteral("Broker refused: wrong user name or password")},
      {Link::Connecting, 0, 0, {}, QStringLiteral("Connecting to the broker for lab/bench1")},
  };
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  for (const auto& c : cases)
    EXPECT_EQ(publishStatusText(QStringLiteral("lab/bench1"), c.link, c.waiting, c.dropped, c.why),
              c.text);
  QLocale::setDefault(QLocale::c());
}

}  // namespace
}  // namespace zrvlog
