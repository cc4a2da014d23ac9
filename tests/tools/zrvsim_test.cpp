// zrvsim --link: a second zrvsim never takes over the link of one that is still running,
// never replaces what is not a link, and each removes at exit only a link to its own device.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <functional>
#include <memory>

namespace {

/// A zrvsim started with arguments; the device it serves once it has printed it.
struct Sim {
  QProcess process;
  QString device;
};

class ZrvsimLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_dir.isValid());
    m_bin = qEnvironmentVariable("ZRV_BIN_DIR");
    ASSERT_FALSE(m_bin.isEmpty()) << "ZRV_BIN_DIR is not set";
    m_link = m_dir.filePath("zrv-sim");
  }

  /// Starts zrvsim --link `link` in `folder`; waits for its device or its end.
  std::unique_ptr<Sim> start(const QString& link, const QString& folder = {}) {
    auto sim = std::make_unique<Sim>();
    if (!folder.isEmpty()) sim->process.setWorkingDirectory(folder);
    sim->process.start(m_bin + "/zrvsim", {"--link", link});
    EXPECT_TRUE(sim->process.waitForStarted(5000));
    while (!sim->process.canReadLine() && sim->process.state() == QProcess::Running)
      sim->process.waitForReadyRead(5000);
    sim->device = QString::fromLocal8Bit(sim->process.readLine()).trimmed();
    return sim;
  }
  /// Waits until a zrvsim that refused has ended; its exit status.
  static int ended(Sim& sim) {
    if (sim.process.state() != QProcess::NotRunning) {
      EXPECT_TRUE(sim.process.waitForFinished(5000));
    }
    return sim.process.exitCode();
  }
  /// Stops a zrvsim as Ctrl+C would; its exit status.
  static int stop(Sim& sim) {
    sim.process.terminate();
    EXPECT_TRUE(sim.process.waitForFinished(5000));
    return sim.process.exitCode();
  }
  QString target() const { return QFileInfo(m_link).symLinkTarget(); }

  QTemporaryDir m_dir;
  QString m_bin;
  QString m_link;
};

TEST_F(ZrvsimLinkTest, LinkIsMadeOnlyWhereNoOtherZrvsimOrFileIsInTheWay) {
  const struct {
    const char* name;
    std::function<void()> before;  // what is at the path beforehand
    bool linked;
    const char* message;  // stderr, after "zrvsim: <path> "
  } cases[] = {
      {"nothing", [] {}, true, ""},
      {"a link left by a zrvsim that ended",
       [this] { ASSERT_TRUE(QFile::link("/dev/pts/9999", m_link)); }, true,
       "(a link to /dev/pts/9999 that no zrvsim serves)"},
      {"a link to some other file",
       [this] { ASSERT_TRUE(QFile::link(m_dir.filePath("other"), m_link)); }, true,
       "that no zrvsim serves"},
      {"a regular file",
       [this] {
         QFile file(m_link);
         ASSERT_TRUE(file.open(QIODevice::WriteOnly));
         file.write("keep me");
       },
       false, "exists and is not a symbolic link; it is left alone"},
      {"a folder", [this] { ASSERT_TRUE(QDir().mkpath(m_link)); }, false,
       "exists and is not a symbolic link; it is left alone"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QFile::remove(m_link);
    QDir(m_link).removeRecursively();
    c.before();
    auto sim = start(m_link);
    const QString errors = QString::fromLocal8Bit(sim->process.readAllStandardError());
    EXPECT_TRUE(errors.contains(c.message)) << errors.toStdString();
    if (c.linked) {
      ASSERT_TRUE(sim->device.startsWith("/dev/")) << errors.toStdString();
      EXPECT_EQ(target(), sim->device);
      EXPECT_EQ(stop(*sim), 0);
      EXPECT_FALSE(QFileInfo::exists(m_link) || QFileInfo(m_link).isSymLink());
    } else {
      EXPECT_EQ(ended(*sim), 1);
      EXPECT_TRUE(sim->device.isEmpty());
      EXPECT_TRUE(QFileInfo::exists(m_link));
      EXPECT_FALSE(QFileInfo(m_link).isSymLink());
    }
  }
}

TEST_F(ZrvsimLinkTest, SecondZrvsimRefusesTheLinkOfARunningOneHoweverItNamesIt) {
  auto first = start(m_link);
  ASSERT_TRUE(first->device.startsWith("/dev/"));
  for (const auto& [link, folder] :
       {std::pair{m_link, QString()}, std::pair{QStringLiteral("zrv-sim"), m_dir.path()},
        std::pair{QStringLiteral("./sub/../zrv-sim"), m_dir.path()}}) {
    QDir(m_dir.path()).mkpath("sub");
    auto second = start(link, folder);
    EXPECT_EQ(ended(*second), 1) << link.toStdString();
    EXPECT_EQ(QString::fromLocal8Bit(second->process.readAllStandardError()),
              QStringLiteral("zrvsim: %1 is the link of another zrvsim that is still running; "
                             "stop it or choose another path\n")
                  .arg(link));
    // The first one's link stays, and it is served.
    EXPECT_EQ(target(), first->device);
    EXPECT_EQ(first->process.state(), QProcess::Running);
  }
  EXPECT_EQ(stop(*first), 0);
  EXPECT_FALSE(QFileInfo(m_link).isSymLink());
}

TEST_F(ZrvsimLinkTest, ExitRemovesTheLinkOnlyWhileItPointsAtItsOwnDevice) {
  auto sim = start(m_link);
  ASSERT_TRUE(sim->device.startsWith("/dev/"));
  // Someone points the path elsewhere while zrvsim runs.
  ASSERT_TRUE(QFile::remove(m_link));
  ASSERT_TRUE(QFile::link("/dev/ttyUSB0", m_link));
  EXPECT_EQ(stop(*sim), 0);
  EXPECT_EQ(target(), "/dev/ttyUSB0");
}

}  // namespace
