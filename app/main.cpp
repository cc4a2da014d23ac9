// ZRVLOG's entry point: the splash window while the main window loads, then the main window.
//
//   zrvlog            the program on the board of the stored COM port
//   zrvlog --demo     the same on the built-in simulated board (this process only)
//   zrvlog FILE.zrv   opens the data file (as a file manager does)
//   zrvlog --help, --version          without a display as well
//   zrvlog --headless / --convert / --recover   recording, conversion and recovery without
//                                               the window (app/headless/commandline.h)
#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <optional>

#include "app/about/programicon.h"
#include "app/appinfo/appinfo.h"
#include "app/dialogs/dialogs.h"
#include "app/documents/document.h"
#include "app/headless/cli.h"
#include "app/headless/commandline.h"
#include "app/mainwindow/frmmain.h"
#include "app/mainwindow/frmsplash.h"
#include "app/settings/storedsettings.h"
#include "board/portmap.h"

namespace {

constexpr int kSplashMilliseconds = 2500;

// The window's options; QApplication has taken its own (-platform, -display...) out of the
// arguments by the time they are read, but --help and --version are read before it exists.
struct WindowOptions {
  WindowOptions() {
    parser.setApplicationDescription(
        QStringLiteral("Data logging with the ZRV I/O board.\n"
                       "Without a display: zrvlog --headless --help (recording, conversion,\n"
                       "recovery, and their exit statuses).\n"
                       "Exit status: 0 closed normally, 1 no display, 2 wrong options."));
    parser.addOption(demo);
    parser.addOption(noSplash);
    parser.addPositionalArgument(QStringLiteral("file"),
                                 QStringLiteral("A data file (.zrv) to open."),
                                 QStringLiteral("[file]"));
  }
  QCommandLineParser parser;
  const QCommandLineOption help{parser.addHelpOption()};
  const QCommandLineOption version{parser.addVersionOption()};
  const QCommandLineOption demo{
      QStringLiteral("demo"),
      QStringLiteral("Work on the built-in simulated board instead of the serial port.")};
  const QCommandLineOption noSplash{QStringLiteral("no-splash"),
                                    QStringLiteral("Open the main window at once.")};
};

void setIdentity() {
  QCoreApplication::setOrganizationName(QStringLiteral("ZRVLOG"));
  QCoreApplication::setApplicationName(QStringLiteral("ZRVLOG"));
  const zrvlog::Version v = zrvlog::programVersion();
  QCoreApplication::setApplicationVersion(
      QStringLiteral("%1.%2.%3").arg(v.major).arg(v.minor).arg(v.revision));
}

bool asksForHelpOrVersion(int argc, char** argv) {
  for (const char* name : {"--help", "-h", "--help-all", "-?", "--version", "-v"})
    if (zrvlog::cli::hasArgument(argc, argv, name)) return true;
  return false;
}

// Qt ends the process with an abort when it finds no display; say what to do instead.
bool displayAvailable(int argc, char** argv) {
  return !qEnvironmentVariableIsEmpty("DISPLAY") ||
         !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
         !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") ||
         zrvlog::cli::hasArgument(argc, argv, "-platform");
}

// What is wrong with the window's options, said with where the help is; the exit status 2.
std::optional<int> wrongOptions(const QCommandLineParser& parser, bool parsed) {
  // One data file may be named.
  if (parsed && parser.positionalArguments().size() <= 1) return std::nullopt;
  std::fprintf(stderr, "zrvlog: %s\nTry 'zrvlog --help'.\n",
               qPrintable(parsed ? QStringLiteral("unexpected argument '%1'")
                                       .arg(parser.positionalArguments().value(1))
                                 : parser.errorText()));
  return 2;
}

// What can be answered before a window system is asked for, so that it works on a machine
// without a display: --help, --version, wrong options, and the lack of a display. An exit
// status when the program ends here.
std::optional<int> beforeTheWindow(int argc, char** argv) {
  const bool display = displayAvailable(argc, argv);
  if (display && !asksForHelpOrVersion(argc, argv)) return std::nullopt;
  QCoreApplication app(argc, argv);
  setIdentity();
  WindowOptions options;
  QCommandLineParser& parser = options.parser;
  const bool parsed = parser.parse(QCoreApplication::arguments());
  if (parser.isSet(options.version)) {
    std::printf("%s %s\n", qPrintable(QCoreApplication::applicationName()),
                qPrintable(QCoreApplication::applicationVersion()));
    return 0;
  }
  if (parser.isSet(options.help)) {
    std::fputs(qPrintable(parser.helpText()), stdout);
    return 0;
  }
  if (const auto status = wrongOptions(parser, parsed)) return status;
  std::fprintf(stderr,
               "zrvlog: the window needs a display (none is set in DISPLAY or "
               "WAYLAND_DISPLAY).\nWithout one: zrvlog --headless --help\n");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  // Samples live on the disk beside the recovery journal, and not in a temporary folder
  // that may be kept in memory: a run's journal takes its store over by renaming it, which
  // needs the same file system.
  zrvlog::Document::setSampleFolder(
      QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
      QStringLiteral("/ZRVLOG/samples"));
  // Without the window no display may be needed, so this comes before any QApplication.
  if (zrvlog::isCommandLineMode(argc, argv)) return zrvlog::runCommandLine(argc, argv);
  // A file-size limit (ulimit -f) must not kill the window with its data set: the sample
  // store, the journal and a save each see a failed write and say so.
  std::signal(SIGXFSZ, SIG_IGN);
  if (const auto status = beforeTheWindow(argc, argv)) return *status;
  QApplication app(argc, argv);
  setIdentity();
  zrvlog::applyDesktopIdentity();
  WindowOptions parsed;
  if (const auto status =
          wrongOptions(parsed.parser, parsed.parser.parse(QApplication::arguments())))
    return *status;
  const bool demo = parsed.parser.isSet(parsed.demo);
  const bool noSplash = parsed.parser.isSet(parsed.noSplash);
  const QStringList files = parsed.parser.positionalArguments();
  const QString file = files.isEmpty() ? QString() : QFileInfo(files.front()).absoluteFilePath();

  zrvlog::WidgetDialogs dialogs;
  zrvlog::StoredSettings stored;
  if (demo) zrv::portmap::overrideForProcess(stored.comPort(), QStringLiteral("sim"));

  zrvlog::frmSplash splash;
  splash.setSimulated(demo);
  if (!noSplash) {
    splash.show();
    QApplication::processEvents();
  }

  zrvlog::frmMain main({&dialogs, &stored, nullptr, nullptr, QString()});
  main.setSimulatedBoard(demo);
  main.Form_Load();

  // The splash stays up for its full time; the event loop keeps it drawn meanwhile.
  QTimer::singleShot(noSplash ? 0 : kSplashMilliseconds, &main, [&] {
    splash.close();
    main.show();
    main.offerRecovery();
    // After a recovery the recovered samples are offered for saving before the file replaces
    // them; a file that cannot be read says why, as File > Open does.
    if (!file.isEmpty()) main.LoadDataFile(file);
  });
  return app.exec();
}
