// Graph demo: five live channels paced by the sampling timer, with the cursor modes, the
// track read-out as a tooltip and the property dialog. `graphdemo --shot file.png [samples]`
// draws a fixed data set (801 samples unless given) and writes the picture instead of
// opening a window.
#include <QApplication>
#include <QMainWindow>
#include <QMenuBar>
#include <QStatusBar>
#include <cmath>

#include "app/dialogs/dialogs.h"
#include "app/graph/graphmodel.h"
#include "app/graphview/graphview.h"
#include "app/timer/precisiontimer.h"
#include "common/numberformat.h"

using namespace zrvlog;
using zrv::Variant;

namespace {

const int32_t kColours[] = {0x00FF00, 0x0000FF, 0xFF0000, 0x00FFFF, 0xFFFFFF};

double channel(int c, double t) {
  switch (c) {
    case 0:
      return 2.5 + 2.0 * std::sin(t * 0.6);
    case 1:
      return 2.5 + 1.5 * std::sin(t * 1.7 + 1.0);
    case 2:
      return std::fmod(t * 0.25, 5.0);
    case 3:
      return 1.0 + 0.8 * std::cos(t * 0.3) + 0.2 * std::sin(t * 9.0);
    default:
      return std::fmod(t, 10.0) < 5.0 ? 4.2 : 0.6;
  }
}

void setUp(GraphModel& g) {
  g.resetElements();
  for (int c = 0; c < 5; ++c) {
    if (c > 0) g.newElement();
    g.setProperty(GraphMember::ElementIndex, Variant(int16_t(c)));
    g.setProperty(GraphMember::ElementColor, Variant(kColours[c]));
    g.setProperty(GraphMember::ElementLabel, Variant(QStringLiteral("Channel %1").arg(c + 1)));
  }
  g.setProperty(GraphMember::GridCountX, Variant(int16_t(20)));
  g.setProperty(GraphMember::GridCountY, Variant(int16_t(10)));
  g.setProperty(GraphMember::LabelFormatX, Variant("%.1f"));
  g.setProperty(GraphMember::LabelFormatY, Variant("%g V"));
  g.setProperty(GraphMember::RangeXMin, Variant(0.0));
  g.setProperty(GraphMember::RangeXMax, Variant(100.0));
  g.setProperty(GraphMember::RangeYMin, Variant(0.0));
  g.setProperty(GraphMember::RangeYMax, Variant(5.0));
  g.setProperty(GraphMember::AxisTitleX, Variant("Time (s)"));
  g.setProperty(GraphMember::AxisTitleY, Variant("Volts"));
  g.setProperty(GraphMember::Caption, Variant("ZRV demo run"));
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  WidgetDialogs dialogs;
  GraphModel model;
  setUp(model);
  GraphView view(model, dialogs);
  view.resize(1000, 600);

  const QStringList args = app.arguments();
  if (args.size() >= 3 && args[1] == QLatin1String("--shot")) {
    for (int i = 0; i <= 800; ++i)
      for (int c = 0; c < 5; ++c)
        model.addPoint(i * 0.1, channel(c, i * 0.1), c);
    model.newAnnotation();
    model.setProperty(GraphMember::AnnoLabelText, Variant("step"));
    model.setProperty(GraphMember::AnnoLabelX, Variant(50.5));
    model.setProperty(GraphMember::AnnoLabelY, Variant(4.4));
    model.newCursor();
    model.setProperty(GraphMember::CursorPosX, Variant(30.0));
    model.setProperty(GraphMember::CursorPosY, Variant(2.0));
    view.show();
    QApplication::processEvents();
    view.savePng(args[2], {});
    return 0;
  }

  QMainWindow window;
  window.setCentralWidget(&view);
  PrecisionTimer timer;
  timer.setInterval(10);
  view.setTickDeadlineSource([&timer] { return timer.nextDeadline(); });
  double t = 0;
  QObject::connect(&timer, &SamplingTimer::tick, [&](int32_t) {
    for (int c = 0; c < 5; ++c)
      model.addPoint(t, channel(c, t), c);
    t += timer.interval() / 1000.0;
    if (t > model.rangeX().upper) {
      const double width = model.rangeX().upper - model.rangeX().lower;
      model.setRanges({t - 0.02, t - 0.02 + width}, model.rangeY());
    }
  });
  QObject::connect(&view, &GraphView::cursorPosition, [&](double x, double) {
    QString text;
    const int index = int(std::lround(x * 1000.0 / timer.interval()));
    if (index >= 0 && index < int(model.series(0).size())) {
      text = QStringLiteral("X=") + zrv::formatPattern(x, u"0.0");
      for (int c = 0; c < 5; ++c)
        text += QStringLiteral(" Ch%1=").arg(c + 1) +
                zrv::formatPattern(model.pointY(index, c), u"0.0");
    }
    view.setToolTipText(text);
    window.statusBar()->showMessage(text);
  });
  QMenu* cursor = window.menuBar()->addMenu(QStringLiteral("&Cursor"));
  const std::pair<const char*, CursorMode> modes[] = {{"&Normal", CursorMode::Normal},
                                                      {"&Track", CursorMode::Track},
                                                      {"&Zoom", CursorMode::Zoom},
                                                      {"&Pan", CursorMode::Pan}};
  for (const auto& [caption, mode] : modes)
    cursor->addAction(QString::fromLatin1(caption), [&model, mode] {
      model.setProperty(GraphMember::CursorMode, Variant(static_cast<int32_t>(mode)));
    });
  QMenu* data = window.menuBar()->addMenu(QStringLiteral("&Data"));
  data->addAction(QStringLiteral("&Start"), [&] { timer.setEnabled(true); });
  data->addAction(QStringLiteral("Sto&p"), [&] { timer.setEnabled(false); });
  data->addAction(QStringLiteral("&Fit range"), [&] { model.fitRange(); });
  QMenu* viewMenu = window.menuBar()->addMenu(QStringLiteral("&View"));
  viewMenu->addAction(QStringLiteral("&Graph Properties..."), QKeySequence(Qt::Key_F5),
                      [&] { view.propertyDialog(); });
  viewMenu->addAction(QStringLiteral("&Copy"), [&] { view.copyGraph(); });
  viewMenu->addAction(QStringLiteral("&Print..."), [&] { view.printPlot(); });
  window.setWindowTitle(QStringLiteral("Graph demo"));
  window.resize(1100, 700);
  window.show();
  timer.setEnabled(true);
  return app.exec();
}
