// The safe writer against every kind of target a name can stand for: what is written, what
// is refused, what stays as it was, and which links are followed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <csignal>
#include <functional>
#include <thread>

#include "app/safewrite/safewrite.h"

namespace zrvlog {
namespace {

QByteArray encoded(const QString& path) {
  return QFile::encodeName(path);
}

mode_t typeOf(const QString& path) {
  struct stat st {};
  return ::lstat(encoded(path).constData(), &st) == 0 ? (st.st_mode & S_IFMT) : 0;
}

QByteArray bytesOf(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

const QByteArray kPayload = QByteArray(20000, 'x') + "end";

SafeOutput::Fill payload() {
  return [](QIODevice& out) -> std::optional<QString> {
    if (out.write(kPayload) != kPayload.size()) return out.errorString();
    return std::nullopt;
  };
}

TEST(LinkRule, FollowsLinksInASharedStickyFolderOnlyForTheFolderOwnerOrTheUser) {
  const struct {
    mode_t folder;
    uid_t folderOwner, linkOwner, user;
    bool followed;
  } cases[] = {
      {S_IFDIR | 01777, 0, 1001, 1000, false},  // another user's link in /tmp
      {S_IFDIR | 01777, 0, 1000, 1000, true},   // the user's own link
      {S_IFDIR | 01777, 0, 0, 1000, true},      // the folder owner's link
      {S_IFDIR | 01777, 1002, 1002, 0, true},   // root following the folder owner's link
      {S_IFDIR | 01777, 1002, 1001, 0, false},  // root too is protected
      {S_IFDIR | 0777, 0, 1001, 1000, true},    // not sticky
      {S_IFDIR | 01775, 0, 1001, 1000, true},   // sticky but not world-writable
      {S_IFDIR | 0755, 1000, 1001, 1000, true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(linkMayBeFollowed(c.folder, c.folderOwner, c.linkOwner, c.user), c.followed)
        << std::oct << c.folder << std::dec << " " << c.folderOwner << " " << c.linkOwner << " "
        << c.user;
}

// One target: how it is made, what a write must give, and what it must still be afterwards.
struct Target {
  const char* name;
  std::function<QString(QTemporaryDir&)> make;  // the path to write; empty: skip the case
  const char* holdRefusal;                      // a part of the refusal; nullptr: held
  const char* writeFailure;                     // a part of the failure; nullptr: written
  mode_t typeAfter;                             // of the path itself, lstat
  std::function<void(const QString&)> check;    // of what was written
};

QString plainFile(QTemporaryDir& dir, const char* name, const QByteArray& bytes) {
  const QString path = dir.filePath(QString::fromLatin1(name));
  QFile f(path);
  if (f.open(QIODevice::WriteOnly)) f.write(bytes);
  return path;
}

TEST(SafeOutput, EveryKindOfTargetIsWrittenWholeOrRefusedWithItsReason) {
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
  const bool root = ::geteuid() == 0;
  std::thread reader;
  QByteArray fromFifo;
  QString descriptorFile;
  const Target targets[] = {
      {"a regular file is replaced", [](QTemporaryDir& d) { return plainFile(d, "f", "old"); },
       nullptr, nullptr, S_IFREG, [](const QString& p) { EXPECT_EQ(bytesOf(p), kPayload); }},
      {"a new name is created", [](QTemporaryDir& d) { return d.filePath(QStringLiteral("new")); },
       nullptr, nullptr, S_IFREG, [](const QString& p) { EXPECT_EQ(bytesOf(p), kPayload); }},
      {"a full disk fails and the old file stays",
       [](QTemporaryDir& d) {
         const QString p = plainFile(d, "full", "old");
         rlimit limit{8192, RLIM_INFINITY};
         ::setrlimit(RLIMIT_FSIZE, &limit);
         return p;
       },
       nullptr, "File too large", S_IFREG,
       [](const QString& p) {
         rlimit none{RLIM_INFINITY, RLIM_INFINITY};
         ::setrlimit(RLIMIT_FSIZE, &none);
         EXPECT_EQ(bytesOf(p), "old");
       }},
      {"a FIFO with a reader is written in place",
       [&](QTemporaryDir& d) {
         const QString p = d.filePath(QStringLiteral("fifo"));
         ::mkfifo(encoded(p).constData(), 0600);
         reader = std::thread([&fromFifo, p] {
           QFile f(p);
           if (f.open(QIODevice::ReadOnly)) fromFifo = f.readAll();
         });
         return p;
       },
       nullptr, nullptr, S_IFIFO,
       [&](const QString&) {
         reader.join();
         EXPECT_EQ(fromFifo, kPayload);
       }},
      {"a FIFO without a reader fails when waiting is stopped",
       [](QTemporaryDir& d) {
         const QString p = d.filePath(QStringLiteral("lonely"));
         ::mkfifo(encoded(p).constData(), 0600);
         static int stop[2];
         if (::pipe(stop) == 0 && ::write(stop[1], "x", 1) == 1) setStopDescriptor(stop[0]);
         return p;
       },
       nullptr, "nobody reads the FIFO", S_IFIFO, [](const QString&) { setStopDescriptor(-1); }},
      {"a device node in a private folder stays a device",
       [root](QTemporaryDir& d) {
         const QString p = d.filePath(QStringLiteral("null"));
         // Our own null device where the system lets us make one, else the system's.
         if (root && ::mknod(encoded(p).constData(), S_IFCHR | 0600, makedev(1, 3)) == 0) {
           const int fd = ::open(encoded(p).constData(), O_WRONLY);
           if (fd >= 0) {
             ::close(fd);
             return p;
           }
           ::unlink(encoded(p).constData());
         }
         return QStringLiteral("/dev/null");
       },
       nullptr, nullptr, S_IFCHR, nullptr},
      {"a full device reports its reason",
       [](QTemporaryDir&) { return QStringLiteral("/dev/full"); }, nullptr,
       "No space left on device", S_IFCHR, nullptr},
      {"a folder is refused", [](QTemporaryDir& d) { return d.path(); }, "it is a folder", nullptr,
       S_IFDIR, nullptr},
      {"a socket is refused",
       [](QTemporaryDir& d) {
         const QString p = d.filePath(QStringLiteral("sock"));
         sockaddr_un a{};
         a.sun_family = AF_UNIX;
         qstrncpy(a.sun_path, encoded(p).constData(), sizeof a.sun_path);
         const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
         ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
         ::close(s);
         return p;
       },
       "it is a socket", nullptr, S_IFSOCK, nullptr},
      {"the user's own dangling link is followed",
       [](QTemporaryDir& d) {
         const QString p = d.filePath(QStringLiteral("link"));
         QFile::link(d.filePath(QStringLiteral("target")), p);
         return p;
       },
       nullptr, nullptr, S_IFLNK,
       [](const QString& p) {
         EXPECT_EQ(bytesOf(QFileInfo(p).absolutePath() + QStringLiteral("/target")), kPayload);
       }},
      {"another user's link in a sticky shared folder is not followed",
       [root](QTemporaryDir& d) -> QString {
         if (!root) return {};  // making a link of another user takes root
         const QString shared = d.filePath(QStringLiteral("shared"));
         ::mkdir(encoded(shared).constData(), 0777);
         ::chmod(encoded(shared).constData(), 01777);
         const QString victim = plainFile(d, "precious", "mine");
         const QString p = shared + QStringLiteral("/run.zrv");
         QFile::link(victim, p);
         return ::lchown(encoded(p).constData(), 65534, 65534) == 0 ? p : QString();
       },
       "is a link that another user put in the shared folder", nullptr, S_IFLNK,
       [](const QString& p) {
         EXPECT_EQ(bytesOf(QFileInfo(p).absolutePath() + QStringLiteral("/../precious")), "mine");
       }},
      {"a descriptor named as a device file is written in place",
       [&](QTemporaryDir& d) {
         const QString file = plainFile(d, "behind-fd", "");
         descriptorFile = file;
         return QStringLiteral("/dev/fd/%1").arg(::open(encoded(file).constData(), O_WRONLY));
       },
       nullptr, nullptr, 0, [&](const QString&) { EXPECT_EQ(bytesOf(descriptorFile), kPayload); }},
  };
  for (const Target& t : targets) {
    SCOPED_TRACE(t.name);
    QTemporaryDir dir;
    const QString path = t.make(dir);
    if (path.isEmpty()) continue;
    SafeOutput out;
    const auto refused = out.hold(path);
    if (t.holdRefusal) {
      ASSERT_TRUE(refused) << "held " << path.toStdString();
      EXPECT_TRUE(refused->contains(QLatin1String(t.holdRefusal))) << refused->toStdString();
    } else {
      ASSERT_FALSE(refused) << refused->toStdString();
      const auto failed = out.write(payload());
      if (t.writeFailure) {
        ASSERT_TRUE(failed) << "written";
        EXPECT_TRUE(failed->contains(QLatin1String(t.writeFailure))) << failed->toStdString();
      } else {
        EXPECT_FALSE(failed) << failed->toStdString();
      }
    }
    if (t.typeAfter != 0) {
      EXPECT_EQ(typeOf(path), t.typeAfter) << "never replaced by a file";
    }
    if (t.check) t.check(path);
    for (const QString& name :
         QDir(dir.path()).entryList(QDir::Hidden | QDir::NoDotAndDotDot | QDir::Files))
      EXPECT_TRUE(!name.startsWith(u'.') || name.endsWith(QLatin1String(".lock")))
          << "a temporary file is left: " << name.toStdString();
  }
}

TEST(SafeOutput, AnOutputHeldByOneWriterIsRefusedToASecondUntilItIsLetGo) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("same.zrv"));
  auto first = std::make_unique<SafeOutput>();
  ASSERT_FALSE(first->hold(path));
  SafeOutput second;
  const auto refused = second.hold(path);
  ASSERT_TRUE(refused);
  EXPECT_TRUE(refused->contains(QStringLiteral("another program is writing it")))
      << refused->toStdString();
  // Also under another name for the same file.
  ASSERT_TRUE(QFile::link(path, dir.filePath(QStringLiteral("alias.zrv"))));
  EXPECT_TRUE(SafeOutput().hold(dir.filePath(QStringLiteral("alias.zrv"))));
  ASSERT_FALSE(first->write(payload()));
  first.reset();
  EXPECT_FALSE(second.hold(path)) << "free once the first let go";
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Hidden | QDir::Files | QDir::NoDotAndDotDot),
            QStringList({".same.zrv.lock", "alias.zrv", "same.zrv"}))
      << "the lock of the holder only, and no temporary file";
}

}  // namespace
}  // namespace zrvlog
