// ZRVLOG's entry point: the splash window while the main window loads, then the main window.
//
//   zrvlog            the program on the board of the stored COM port
//   zrvlog --demo     the same on the built-in simulated board (this process only)
//   zrvlog --headless / --convert   recording and conversion without the window
//                                   (app/headless/commandline.h)
#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>

#include "app/about/programicon.h"
#include "app/appinfo/appinfo.h"
#include "app/dialogs/dialogs.h"
#include "app/headless/commandline.h"
#include "app/mainwindow/frmmain.h"
#include "app/mainwindow/frmsplash.h"
#include "app/settings/storedsettings.h"
#include "board/portmap.h"

namespace {
constexpr int kSplashMilliseconds = 2500;
}

int main(int argc, char** argv) {
  // Without the window no display may be needed, so this comes before any QApplication.
  if (zrvlog::isCommandLineMode(argc, argv)) return zrvlog::runCommandLine(argc, argv);
  QApplication app(argc, argv);
  QApplication::setOrganizationName(QStringLiteral("ZRVLOG"));
  QApplication::setApplicationName(QStringLiteral("ZRVLOG"));
  zrvlog::applyDesktopIdentity();
  const zrvlog::Version v = zrvlog::programVersion();
  QApplication::setApplicationVersion(
      QStringLiteral("%1.%2.%3").arg(v.major).arg(v.minor).arg(v.revision));

  QCommandLineParser parser;
  parser.setApplicationDescription(
      QStringLiteral("Data logging with the ZRV I/O board.\n"
                     "Without a display: zrvlog --headless --help (recording, conversion)."));
  parser.addHelpOption();
  parser.addVersionOption();
  const QCommandLineOption demo(
      QStringLiteral("demo"),
      QStringLiteral("Work on the built-in simulated board instead of the serial port."));
  const QCommandLineOption noSplash(QStringLiteral("no-splash"),
                                    QStringLiteral("Open the main window at once."));
  parser.addOption(demo);
  parser.addOption(noSplash);
  parser.process(app);

  zrvlog::WidgetDialogs dialogs;
  zrvlog::StoredSettings stored;
  if (parser.isSet(demo)) zrv::portmap::overrideForProcess(stored.comPort(), QStringLiteral("sim"));

  zrvlog::frmSplash splash;
  splash.setSimulated(parser.isSet(demo));
  if (!parser.isSet(noSplash)) {
    splash.show();
    QApplication::processEvents();
  }

  zrvlog::frmMain main({&dialogs, &stored, nullptr, nullptr, QString()});
  main.setSimulatedBoard(parser.isSet(demo));
  main.Form_Load();

  // The splash stays up for its full time; the event loop keeps it drawn meanwhile.
  QTimer::singleShot(parser.isSet(noSplash) ? 0 : kSplashMilliseconds, &main, [&] {
    splash.close();
    main.show();
    main.offerRecovery();
  });
  return app.exec();
}
