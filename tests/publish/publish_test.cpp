// Broker addresses, password sources, the JSON of the messages and the outbox's bounds.
#include "app/publish/publish.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <cstdlib>
#include <fstream>

namespace zrvlog::publish {
namespace {

TEST(BrokerUrlTest, GoodAndBadAddresses) {
  struct Case {
    const char* text;
    bool ok;
    bool tls;
    const char* user;
    const char* host;
    int port;
    const char* topic;
    const char* error;  // a part of the message
  };
  const Case cases[] = {
      {"mqtt://localhost/lab/bench1", true, false, "", "localhost", 1883, "lab/bench1", ""},
      {"mqtts://broker.lab:8884/x", true, true, "", "broker.lab", 8884, "x", ""},
      {"mqtts://h/t", true, true, "", "h", 8883, "t", ""},
      {"mqtt://ann@10.0.0.2:1884/lab/b", true, false, "ann", "10.0.0.2", 1884, "lab/b", ""},
      {"mqtt://[::1]:1883/t", true, false, "", "::1", 1883, "t", ""},
      {"http://h/t", false, false, "", "", 0, "", "mqtt://"},
      {"mqtt://h", false, false, "", "", 0, "", "topic"},
      {"mqtt://h/", false, false, "", "", 0, "", "topic is empty"},
      {"mqtt:///t", false, false, "", "", 0, "", "host"},
      {"mqtt://h:0/t", false, false, "", "", 0, "", "port"},
      {"mqtt://h:70000/t", false, false, "", "", 0, "", "port"},
      {"mqtt://h:12x/t", false, false, "", "", 0, "", "port"},
      {"mqtt://ann:secret@h/t", false, false, "", "", 0, "", "password never"},
      {"mqtt://@h/t", false, false, "", "", 0, "", "user"},
      {"mqtt://h/lab/+", false, false, "", "", 0, "", "wildcards"},
      {"mqtt://h/lab//b", false, false, "", "", 0, "", "empty level"},
      {"mqtt://h o/t", false, false, "", "", 0, "", "host"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string error;
    const auto url = parseBrokerUrl(c.text, &error);
    ASSERT_EQ(url.has_value(), c.ok) << error;
    if (!c.ok) {
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
      continue;
    }
    EXPECT_EQ(url->tls, c.tls);
    EXPECT_EQ(url->user, c.user);
    EXPECT_EQ(url->host, c.host);
    EXPECT_EQ(url->port, c.port);
    EXPECT_EQ(url->topic, c.topic);
  }
}

TEST(BrokerPasswordTest, Sources) {
  QTemporaryDir dir;
  const std::string file = dir.filePath(QStringLiteral("pw")).toStdString();
  struct Case {
    const char* env;       // ZRVLOG_MQTT_PASSWORD, nullptr: unset
    const char* contents;  // the file's, nullptr: no file
    mode_t mode;
    bool ok;
    const char* result;  // the password, or a part of the error
  };
  const Case cases[] = {
      {"from-env", "from-file\n", 0600, true, "from-env"},
      {nullptr, "from-file\nsecond line", 0600, true, "from-file"},
      {nullptr, "from-file", 0640, false, "can be read by others"},
      {nullptr, "from-file", 0604, false, "chmod 600"},
      {nullptr, nullptr, 0, false, "cannot read the password file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.contents ? c.contents : "(no file)");
    std::remove(file.c_str());
    if (c.contents) {
      std::ofstream(file) << c.contents;
      ::chmod(file.c_str(), c.mode);
    }
    if (c.env)
      ::setenv("ZRVLOG_MQTT_PASSWORD", c.env, 1);
    else
      ::unsetenv("ZRVLOG_MQTT_PASSWORD");
    ::setenv("ZRVLOG_MQTT_PASSWORD_FILE", file.c_str(), 1);
    std::string error;
    const auto password = brokerPassword(&error);
    ASSERT_EQ(password.has_value(), c.ok) << error;
    if (c.ok)
      EXPECT_EQ(*password, c.result);
    else
      EXPECT_NE(error.find(c.result), std::string::npos) << error;
  }
  ::unsetenv("ZRVLOG_MQTT_PASSWORD");
  ::unsetenv("ZRVLOG_MQTT_PASSWORD_FILE");
  ::setenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("none")).toUtf8().constData(), 1);
  EXPECT_EQ(brokerPassword(nullptr), std::optional<std::string>(""));  // none at all: no password
}

TEST(PayloadTest, SamplesAndMetaCarryEveryField) {
  RunInfo run;
  run.runId = "1765227993123";
  run.intervalMs = 10;
  run.channels = {{"Ch0", "V"}, {"Ch1", "V"}};
  run.average = 4;
  run.reference = "vdd";
  run.calibration = "volts";
  run.version = "1.1.0";
  run.startUnixMs = 1765227993123;
  Sample a{0, 1765227993123, 0.0, 0, {1.25, 2.5}};
  Sample b{1, 1765227993133, 0.01, -2, {std::nan(""), 0.1}};
  const QJsonDocument doc =
      QJsonDocument::fromJson(QByteArray::fromStdString(samplesPayload(run, {a, b})));
  ASSERT_TRUE(doc.isArray());
  const QJsonArray samples = doc.array();
  ASSERT_EQ(samples.size(), 2);
  const QJsonObject second = samples[1].toObject();
  EXPECT_EQ(second[QStringLiteral("key")].toString(), QStringLiteral("1765227993123-1"));
  EXPECT_EQ(second[QStringLiteral("time")].toString(), QStringLiteral("2025-12-08T21:06:33.133Z"));
  EXPECT_DOUBLE_EQ(second[QStringLiteral("elapsed")].toDouble(), 0.01);
  EXPECT_EQ(second[QStringLiteral("jitter")].toInt(), -2);
  const QJsonObject values = second[QStringLiteral("values")].toObject();
  EXPECT_EQ(values.keys(), (QStringList{QStringLiteral("Ch0"), QStringLiteral("Ch1")}));
  EXPECT_TRUE(values[QStringLiteral("Ch0")][QStringLiteral("value")].isNull());  // NaN
  EXPECT_DOUBLE_EQ(values[QStringLiteral("Ch1")][QStringLiteral("value")].toDouble(), 0.1);
  EXPECT_EQ(values[QStringLiteral("Ch1")][QStringLiteral("unit")].toString(), QStringLiteral("V"));
  EXPECT_DOUBLE_EQ(
      samples[0][QStringLiteral("values")][QStringLiteral("Ch0")][QStringLiteral("value")]
          .toDouble(),
      1.25);

  const QJsonObject meta =
      QJsonDocument::fromJson(QByteArray::fromStdString(metaPayload(run))).object();
  EXPECT_EQ(meta[QStringLiteral("interval_ms")].toInt(), 10);
  EXPECT_EQ(meta[QStringLiteral("channels")].toArray().size(), 2);
  EXPECT_EQ(meta[QStringLiteral("average")].toInt(), 4);
  EXPECT_EQ(meta[QStringLiteral("reference")].toString(), QStringLiteral("vdd"));
  EXPECT_EQ(meta[QStringLiteral("calibration")].toString(), QStringLiteral("volts"));
  EXPECT_EQ(meta[QStringLiteral("version")].toString(), QStringLiteral("1.1.0"));
  EXPECT_EQ(meta[QStringLiteral("started")].toString(), QStringLiteral("2025-12-08T21:06:33.123Z"));
}

TEST(OutboxTest, BoundedPrivateOrderedAndLeftForTheNextStart) {
  QTemporaryDir dir;
  const std::filesystem::path folder = dir.filePath(QStringLiteral("outbox/b")).toStdString();
  const std::string message(100, 'x');
  {
    Outbox box(folder, 350);  // room for three messages
    ASSERT_TRUE(box.open(nullptr));
    Outbox other(folder, 350);
    std::string error;
    EXPECT_FALSE(other.open(&error));  // one logger per broker and topic
    EXPECT_NE(error.find("another zrvlog"), std::string::npos);
    for (std::uint32_t i = 1; i <= 5; ++i)
      EXPECT_EQ(box.add(message, i), i);
    EXPECT_EQ(box.dropped(), 1u + 2u);  // the oldest two, by their samples
    EXPECT_EQ(box.waitingSamples(), 3u + 4u + 5u);
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
  }
  Outbox again(folder, 350);
  ASSERT_TRUE(again.open(nullptr));
  const auto entries = again.next(0, 10);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].seq, 3u);
  EXPECT_EQ(entries[2].seq, 5u);
  EXPECT_EQ(again.read(4), message);
  again.remove(3);
  EXPECT_EQ(again.next(0, 10).front().seq, 4u);
  EXPECT_EQ(again.add(message, 1), 6u);  // numbering goes on after a restart
}

}  // namespace
}  // namespace zrvlog::publish
