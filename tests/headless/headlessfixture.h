#pragma once
// The zrvlog binary run as a user runs it: without a display, with a recovery folder of the
// test's own, its exit status and both output streams collected.

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <memory>

#include "app/documents/datafile.h"
#include "tests/documents/documentfixture.h"

namespace zrvlog {

inline QString binary(const char* name) {
  return qEnvironmentVariable("ZRV_BIN_DIR") + QLatin1Char('/') + QLatin1String(name);
}

struct Outcome {
  int status = -1;
  QString out, err;
};

inline QByteArray fileBytes(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class HeadlessTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.isValid()); }
  void TearDown() override {
    if (sim.state() != QProcess::NotRunning) {
      sim.terminate();
      sim.waitForFinished(3000);
    }
  }

  // Starts zrvlog with the arguments; the environment has no display, and recovery journals
  // of its own (a test's killed run must not turn up in another test).
  QProcessEnvironment environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
    env.insert(QStringLiteral("ZRVLOG"), binary("zrvlog"));  // for shell pipelines
    return env;
  }
  void start(QProcess& p, const QStringList& args, const QString& program = binary("zrvlog")) {
    p.setProcessEnvironment(environment());
    p.start(program, args);
    ASSERT_TRUE(p.waitForStarted(5000));
  }
  Outcome finish(QProcess& p, int ms = 60000) {
    EXPECT_TRUE(p.waitForFinished(ms)) << "zrvlog did not end";
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromLocal8Bit(p.readAllStandardOutput()),
            QString::fromLocal8Bit(p.readAllStandardError())};
  }
  Outcome run(const QStringList& args) {
    QProcess p;
    start(p, args);
    return finish(p);
  }
  /// A bash script, with $ZRVLOG the program, run in the test's folder.
  Outcome shell(const QString& script, int ms = 60000) {
    QProcess p;
    p.setWorkingDirectory(dir.path());
    start(p, {QStringLiteral("-c"), script}, QStringLiteral("/bin/bash"));
    return finish(p, ms);
  }
  QString path(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }
  QString journalFolder() const { return dir.filePath(QStringLiteral("data/ZRVLOG/recovery")); }
  // Samples in a data file, and its engine for a closer look.
  LoadResult load(const QString& file) {
    parts = std::make_unique<zrvtest::EngineParts>();
    parts->engine.InitGraph();
    return loadDataFile(file, parts->engine.document());
  }
  QString startSim() {
    sim.start(binary("zrvsim"), {});
    if (!sim.waitForStarted(5000) || !sim.waitForReadyRead(5000)) return {};
    return QString::fromLocal8Bit(sim.readLine()).trimmed();
  }

  QTemporaryDir dir;
  QProcess sim;
  std::unique_ptr<zrvtest::EngineParts> parts;
};

}  // namespace zrvlog
